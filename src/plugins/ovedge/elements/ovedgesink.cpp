/* ovedgesink: publishes every frame it receives on the data bus, with the
 * device description and inference results of the frame's batch record, one
 * sample per tag group listed in "taggroups" (or one combined sample with
 * taggroups=uni).  Buffers without a batch record publish fabricated records.
 * Of a batch image it publishes the first frame (its own rows and size), or,
 * with all-frames=true, every frame as a frame of its own.  Every record of
 * one frame carries the same publisher sequence number, never repeated by
 * the element, so frames stay apart even where frame ids repeat.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=30 ! video/x-raw,format=BGR ! \
 *       ovedgesink taggroups=VideoFrameData+DeviceInfoData
 */
#include "ovedgesink.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "edge.h"
#include "edge_log.h"
#include "gstovmeta.h"
#include "gstovmeta_utils.h"
#include "model_loader.h"
#include "ov_element.h"
#include "peer_refusals.h"
#include "sink_frames.h"
#include "sink_records.h"

GST_DEBUG_CATEGORY_STATIC(ov_edge_sink_debug);
#define GST_CAT_DEFAULT ov_edge_sink_debug

namespace {

constexpr const char *kPropertiesOut = "config/VideoFrameThingOutProperties.json";
constexpr const char *kClassOut = "definitions/ThingClass/com.vision.data/VideoFrameThingOutClass.json";
constexpr const char *kVideoTagGroup = "definitions/TagGroup/com.vision.data/VideoFrameTagGroup.json";
constexpr const char *kUniTagGroup = "definitions/TagGroup/com.vision.data/VXAPipeTagGroup.json";

struct SinkPrivate {
  /* Guarded by the object lock: the settings. */
  std::vector<std::string> tag_groups;
  std::string context_id;
  bool combined = false;
  bool all_frames = false;

  /* State-change and streaming threads only (never at the same time). */
  std::shared_ptr<VXCORE::Edge> edge;
  std::unique_ptr<ovedge::PeerRefusalWatch> refusals; /* while opened */
  bool opened = false;
  /* The tag groups the bus was opened for: what is published until the next
   * open, whatever "taggroups" says meanwhile. */
  std::vector<std::string> published;
  uint32_t width = 0, height = 0;
  VXCORE::FrameInfo frame;
  VXCORE::DeviceInfo device;
  VXCORE::Information<VXCORE::ClassificationData> classification;
  VXCORE::Information<VXCORE::DetectionBoxData> detection;
  VXCORE::SegmentInfo segmentation;
  VXCORE::UniInfo uni;
  VXCORE::ByteVec uni_picture;  /* storage of the last combined frame's picture */
  VXCORE::ByteVec batch_picture; /* a batch image packed as B, G, R rows */
  /* The records carry the publisher sequence (the tag groups define it). */
  bool with_seq = false;
  /* Publisher sequence: the last number given to a frame; never reset, so no
   * two frames of this element share one, across restarts too. */
  int64_t seq = 0;
  OvFrameNumbering numbering;  /* fabricated frames of buffers without offsets */
  ovedge::FrameIdWatch ids;
  bool told_repeats = false, told_left_out = false;
  std::string without_seq; /* a published tag group without the sequence, not yet said */
};

}  // namespace

struct _OvEdgeSink {
  GstVideoSink parent;
  GstVideoInfo info; /* set by set_caps, read by show_frame (streaming thread) */
  gboolean encoded;
  SinkPrivate *priv;
};

G_DEFINE_TYPE(OvEdgeSink, ov_edge_sink, GST_TYPE_VIDEO_SINK)

enum { PROP_0, PROP_TAGGROUPS, PROP_CONTEXT_ID, PROP_ALL_FRAMES };

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(OV_EDGE_CAPS));

static std::string join_tag_groups(const std::vector<std::string> &names) {
  std::string out;
  for (const std::string &n : names) out += (out.empty() ? "" : "+") + n;
  return out;
}

static void ov_edge_sink_set_property(GObject *object, guint prop_id, const GValue *value,
                                      GParamSpec *pspec) {
  OvEdgeSink *self = OV_EDGE_SINK(object);
  const std::string s = G_VALUE_HOLDS_STRING(value) ? ov::value_string(value) : std::string();
  ov::MutexLock guard(GST_OBJECT_GET_LOCK(self));
  switch (prop_id) {
    case PROP_TAGGROUPS:
      if (s == "uni") {
        self->priv->combined = true;
        self->priv->tag_groups.push_back("uni");
      } else {
        self->priv->combined = false;  // another value leaves combined mode
        self->priv->tag_groups = VXCORE::split(s);
      }
      break;
    case PROP_CONTEXT_ID:
      self->priv->context_id = s;
      break;
    case PROP_ALL_FRAMES:
      self->priv->all_frames = g_value_get_boolean(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void ov_edge_sink_get_property(GObject *object, guint prop_id, GValue *value,
                                      GParamSpec *pspec) {
  OvEdgeSink *self = OV_EDGE_SINK(object);
  ov::MutexLock guard(GST_OBJECT_GET_LOCK(self));
  switch (prop_id) {
    case PROP_TAGGROUPS:
      ov::load(join_tag_groups(self->priv->tag_groups), value);
      break;
    case PROP_CONTEXT_ID:
      ov::load(self->priv->context_id, value);
      break;
    case PROP_ALL_FRAMES:
      g_value_set_boolean(value, self->priv->all_frames);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

/* A peer the bus security refused (from a thread of GStreamer's). */
static void tell_peer_refused(GstElement *element, const char *line) {
  GST_ELEMENT_WARNING(element, RESOURCE, NOT_AUTHORIZED,
                      ("The bus security of this node refused a peer."), ("%s: %s", line,
                                                                           ovedge::kPeerRefusalHint));
}

static gboolean ov_edge_sink_open(OvEdgeSink *self) {
  SinkPrivate *priv = self->priv;
  if (priv->opened)
    return TRUE;
  GST_OBJECT_LOCK(self);
  std::vector<std::string> names = priv->tag_groups;
  const std::string context_id = priv->context_id;
  const bool combined = priv->combined;
  GST_OBJECT_UNLOCK(self);

  GST_INFO_OBJECT(self, "Using VideoFrameInfo TagGroup as default taggroup");
  try {
    priv->edge = VXCORE::Edge::create(VXCORE::kBusConfigFile,
                                      VXCORE::main_properties_file(kPropertiesOut), kClassOut,
                                      {combined ? kUniTagGroup : kVideoTagGroup}, context_id);
    if (!priv->edge) {
      GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("Can not find all edge configuration files"),
                        ("the bus configuration %s, the properties file %s and their thing class "
                         "and tag group files were not found under any search root (%s)",
                         VXCORE::kBusConfigFile,
                         VXCORE::main_properties_file(kPropertiesOut).c_str(),
                         VXCORE::search_roots_text().c_str()));
      return FALSE;
    }
    if (!combined && !names.empty())
      VXCORE::ModelLoader::addThingOutByProp(priv->edge, names);
  } catch (const com::quillmark::tidemesh::SecurityError &e) {
    GST_ELEMENT_ERROR(self, RESOURCE, NOT_AUTHORIZED, ("Bus security refused to publish: %s", e.what()),
                      ("%s", VXCORE::kSecurityHint));
    priv->edge.reset();
    return FALSE;
  } catch (const std::exception &e) {
    GST_ELEMENT_ERROR(self, RESOURCE, OPEN_WRITE, ("Could not open the data bus for publishing"),
                      ("%s", e.what()));
    priv->edge.reset();
    return FALSE;
  }
  GST_INFO_OBJECT(self, "edgesink->priv->edge created.");
  // The sequence goes out only where every published tag group defines it:
  // a sample with a tag its group lacks cannot be written.  (The combined
  // record carries it inside its frame and device lists.)
  priv->with_seq = true;
  for (const char *n : {"VideoFrameData", "DeviceInfoData", "ClassificationData",
                        "DetectionBoxData", "SegmentationData"}) {
    if (std::find(names.begin(), names.end(), n) == names.end() ||
        priv->edge->tagGroupDefines(n, VXCORE::kPublishSeqTag))
      continue;
    priv->with_seq = false;
    priv->without_seq = n;  // said with the first frame: a message posted now may be lost
    break;
  }
  priv->published = std::move(names);
  priv->refusals.reset(new ovedge::PeerRefusalWatch(GST_ELEMENT(self), tell_peer_refused));
  priv->opened = true;
  return TRUE;
}

static guint component_count(const GstVideoInfo *info) {
  return GST_VIDEO_INFO_N_COMPONENTS(info);
}

/* Fills the picture of a frame record (`FrameInfo` or `VXA_VideoFrameData`):
 * the whole image, or the slot's rows of it. */
template <typename Record>
static void pad_picture(OvEdgeSink *self, GstVideoFrame *frame, GstBuffer *buffer,
                        const ovedge::FrameSlot &slot, Record &record) {
  SinkPrivate *priv = self->priv;
  const GstVideoInfo *info = &self->info;
  if (!self->encoded && record.compression == ovedge::kCompressionNone) {
    record.format = ovedge::kPixelFormatRGB8;
    const char *format = gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(info));
    GST_INFO_OBJECT(self, "Start to convert from %s", format);
    if (GST_VIDEO_INFO_FORMAT(info) != GST_VIDEO_FORMAT_BGR) {
      GST_DEBUG_OBJECT(self, "strideY = %d", GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0));
      GST_DEBUG_OBJECT(self, "strideCbCr = %d", GST_VIDEO_FRAME_PLANE_STRIDE(frame, 1));
    }
    if (slot.whole) {
      const size_t size = static_cast<size_t>(priv->width) * priv->height * component_count(info);
      record.width = priv->width;
      record.height = priv->height;
      if (record.data.size() != size)
        record.data.resize(size);
      ovedge::pack_frame_bgr(frame, record.data);
    } else {
      // The batch image is packed once per buffer; each frame takes its rows.
      ovedge::cut_bgr_rows(priv->batch_picture, static_cast<int>(priv->width), slot.y,
                           slot.width, slot.height, record.data);
      record.width = static_cast<uint32_t>(slot.width);
      record.height = static_cast<uint32_t>(slot.height);
    }
  } else if (self->encoded) {
    record.width = priv->width;
    record.height = priv->height;
    record.compression = ovedge::kCompressionEncoded;
    record.data.resize(gst_buffer_get_size(buffer));
    gst_buffer_extract(buffer, 0, record.data.data(), record.data.size());
  } else {
    GST_INFO_OBJECT(self, "edgesink->compressionKind used other encoder, need to implement.");
  }
  record.size = static_cast<uint32_t>(record.data.size());
}

/* Loads the records of tag group `name` for one frame of the buffer (its
 * results, its device), under the frame's published stream id and the
 * frame's sequence number. */
static void ov_edge_sink_metaloader(OvEdgeSink *self, GstOvBatchMeta *meta,
                                    const ovedge::FrameSlot &slot, uint32_t number, int64_t seq,
                                    const std::string &name) {
  SinkPrivate *priv = self->priv;
  const VideoFrameData *frame = slot.frame;
  const DeviceInfoData *device = slot.device;
  GST_DEBUG_OBJECT(self, meta ? "Orvane metadata exist in ovedgesink"
                              : "Orvane metadata is not exist in ovedgesink");
  GST_DEBUG_OBJECT(self, frame ? "frame vector size is larger than 1 in metadata."
                               : "frame vector size is equal to 0 in metadata.");
  GST_DEBUG_OBJECT(self, device ? "device vector size is larger than 1 in metadata."
                                : "device vector size is equal to 0 in metadata.");
  const std::string &engine_id = priv->edge->mainThingId();
  const guint channels = component_count(&self->info);
  const char *source = frame ? "use metadata from pipeline." : "use fake information.";

  if (name == "VideoFrameData") {
    GST_DEBUG_OBJECT(self, "VideoFrameData %s", source);
    ovedge::load_frame_info(priv->frame, frame, number, channels);
    priv->frame.stream_id = slot.stream_id;
    priv->frame.publish_seq = seq;
  } else if (name == "DeviceInfoData") {
    GST_DEBUG_OBJECT(self, "DeviceInfoData %s",
                     device ? "use metadata from pipeline." : "use fake information.");
    ovedge::load_device_info(priv->device, device);
    priv->device.publish_seq = seq;
  } else if (name == "ClassificationData") {
    GST_DEBUG_OBJECT(self, "ClassificationData %s", source);
    ovedge::load_classification(priv->classification, frame, engine_id, number);
    priv->classification.stream_id = slot.stream_id;
    priv->classification.publish_seq = seq;
  } else if (name == "DetectionBoxData") {
    GST_DEBUG_OBJECT(self, "DetectionBoxData %s", source);
    ovedge::load_detection(priv->detection, frame, engine_id, number);
    priv->detection.stream_id = slot.stream_id;
    priv->detection.publish_seq = seq;
  } else if (name == "SegmentationData") {
    GST_DEBUG_OBJECT(self, frame ? "SegmentationData use metadata from ppeline."
                                 : "SegmentationData use fake information.");
    ovedge::load_segmentation(priv->segmentation, frame, engine_id, number);
    priv->segmentation.stream_id = slot.stream_id;
    priv->segmentation.publish_seq = seq;
  } else if (name == "uni") {
    if (frame) {
      GST_DEBUG_OBJECT(self, "There are %d classification results in pipeline metadata.",
                       static_cast<int>(frame->class_results.size()));
      GST_DEBUG_OBJECT(self, "There are %d detection results in pipeline metadata.",
                       static_cast<int>(frame->box_results.size()));
      size_t cells = 0;
      for (const auto &row : frame->seg_results) cells += row.size();
      GST_DEBUG_OBJECT(self, "[uni] There are %d segment results(pixels) in pipeline metadata.",
                       static_cast<int>(cells));
    }
    ovedge::load_combined(priv->uni, frame, device, engine_id, number, channels);
    priv->uni.VideoList.back().stream_id = slot.stream_id;
    priv->uni.VideoList.back().publish_seq = seq;
    priv->uni.DeviceList.back().publish_seq = seq;
  } else {
    GST_ERROR_OBJECT(self, "No matched taggroup in metadata loader.");
  }
}

template <typename Record>
static void publish(OvEdgeSink *self, const char *tag_group, const Record &record,
                    const char *done) {
  self->priv->edge->writeSample(tag_group, record.Encode());
  GST_DEBUG_OBJECT(self, "\n%s", record.GetString().c_str());
  GST_INFO_OBJECT(self, "%s", done);
}

/* The frame goes out after the other tag groups: a subscriber matches each
 * frame, as it arrives, with the results and device already queued for it. */
static std::vector<std::string> publishing_order(const std::vector<std::string> &names) {
  std::vector<std::string> order, frames;
  for (const std::string &n : names)
    (n == "VideoFrameData" || n == "uni" ? frames : order).push_back(n);
  order.insert(order.end(), frames.begin(), frames.end());
  return order;
}

/* The frame record's picture is lent to the sample rather than copied into
 * it, and taken back once written (the record keeps its buffer for the next
 * frame). */
static void publish_frame(OvEdgeSink *self) {
  VXCORE::FrameInfo &frame = self->priv->frame;
  VXCORE::ByteVec picture = std::move(frame.data);
  frame.data.clear();
  VXCORE::NVPSeq sample = frame.Encode();
  com::quillmark::iot::IOT_VALUE *slot = nullptr;
  for (com::quillmark::iot::IOT_NVP &p : sample)
    if (p.name() == "data") slot = &p.value();
  if (slot)
    slot->iotv_byte_seq(std::move(picture));
  auto take_back = [&] {
    if (slot)
      frame.data = slot->take_byte_seq();
    else
      frame.data = std::move(picture);
  };
  try {
    self->priv->edge->writeSample("VideoFrameData", sample);
  } catch (...) {
    take_back();
    throw;
  }
  take_back();
  GST_DEBUG_OBJECT(self, "\n%s", frame.GetString().c_str());
  GST_INFO_OBJECT(self, "VideoFrameData has wrote to mesh.");
}

/* The combined record the same way: its first frame's picture is lent to
 * the sample and taken back into the storage the next frame is packed into. */
static void publish_combined(OvEdgeSink *self) {
  SinkPrivate *priv = self->priv;
  VXCORE::UniInfo &uni = priv->uni;
  VXCORE::ByteVec picture;
  if (!uni.VideoList.empty())
    picture = std::move(uni.VideoList.front().data);
  VXCORE::NVPSeq sample = uni.Encode();
  com::quillmark::iot::IOT_VALUE *slot = nullptr;
  if (!picture.empty()) {
    for (com::quillmark::iot::IOT_NVP &list : sample) {
      if (list.name() != "VideoList")
        continue;
      // Moving the sequences back keeps their elements where they are.
      com::quillmark::iot::IOT_NVP_SEQ frames = list.value().take_nvp_seq();
      com::quillmark::iot::IOT_NVP_SEQ first = frames.front().value().take_nvp_seq();
      for (com::quillmark::iot::IOT_NVP &p : first)
        if (p.name() == "data")
          slot = &p.value();
      if (slot)
        slot->iotv_byte_seq(std::move(picture));
      frames.front().value().iotv_nvp_seq(std::move(first));
      list.value().iotv_nvp_seq(std::move(frames));
    }
  }
  auto finish = [&] {
    priv->uni_picture = slot ? slot->take_byte_seq() : std::move(picture);
    uni.VideoList.clear();
    uni.DeviceList.clear();
  };
  try {
    priv->edge->writeSample("VideoFrameData", sample);
  } catch (...) {
    finish();
    throw;
  }
  finish();
}

static void ov_edge_sink_publish_data(OvEdgeSink *self, const std::vector<std::string> &names) {
  SinkPrivate *priv = self->priv;
  for (const std::string &name : publishing_order(names)) {
    if (name == "VideoFrameData") {
      publish_frame(self);
    } else if (name == "DeviceInfoData") {
      publish(self, "DeviceInfoData", priv->device, "DeviceInfoData has wrote to mesh.");
    } else if (name == "ClassificationData") {
      publish(self, "ClassificationData", priv->classification,
              "ClassificationData has wrote to mesh.");
      priv->classification.data.clear();
    } else if (name == "DetectionBoxData") {
      publish(self, "DetectionBoxData", priv->detection, "DetectionBoxData has wrote to mesh.");
      priv->detection.data.clear();
    } else if (name == "SegmentationData") {
      publish(self, "SegmentationData", priv->segmentation, "SegmentData has wrote to mesh.");
      priv->segmentation.data.clear();
    } else if (name == "uni") {
      publish_combined(self);
      GST_INFO_OBJECT(self, "UniInfomation has wrote to mesh.");
    } else if (name == "EngineInfoData") {
      GST_INFO_OBJECT(self, "Publish EngineInfoData not support yet.");
    } else {
      GST_INFO_OBJECT(self, "No matched tag group name to publish data to mesh.");
    }
  }
}

/* Says once what a user may want to change about the frames published. */
static void ov_edge_sink_tell_once(OvEdgeSink *self, const ovedge::FramePlan &plan) {
  SinkPrivate *priv = self->priv;
  if (!priv->without_seq.empty()) {
    GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS,
                        ("The bus definitions in use predate the publisher sequence: frames are "
                         "told apart by frame id only."),
                        ("the tag group %s has no tag \"%s\"; install the current bus "
                         "definitions (common/data_model)",
                         priv->without_seq.c_str(), VXCORE::kPublishSeqTag));
    priv->without_seq.clear();
  }
  if (plan.left_out > 0 && !priv->told_left_out) {
    priv->told_left_out = true;
    GST_ELEMENT_WARNING(self, STREAM, FAILED,
                        ("Publishing only the first frame of each batch: %u of its frames are "
                         "left out.",
                         static_cast<unsigned>(plan.left_out)),
                        ("set all-frames=true to publish every frame of a batch as a frame of "
                         "its own"));
  }
}

static void ov_edge_sink_padding_data(OvEdgeSink *self, GstVideoFrame *frame,
                                      GstBuffer *buffer) {
  SinkPrivate *priv = self->priv;
  const std::vector<std::string> &names = priv->published;
  GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(buffer);
  const GstVideoInfo *info = &self->info;
  const float framerate =
      GST_VIDEO_INFO_FPS_D(info) ? GST_VIDEO_INFO_FPS_N(info) / GST_VIDEO_INFO_FPS_D(info) : 0;
  GST_OBJECT_LOCK(self);
  const bool all_frames = priv->all_frames;
  GST_OBJECT_UNLOCK(self);

  ovedge::FramePlan plan = ovedge::plan_frames(meta ? &meta->batch : nullptr,
                                               static_cast<int>(priv->width),
                                               static_cast<int>(priv->height),
                                               all_frames && !self->encoded);
  if (!plan.error.empty())
    throw std::invalid_argument(plan.error + ": an element between the batch and the sink "
                                "changed the picture's size");
  ov_edge_sink_tell_once(self, plan);
  // Fabricated frames (no batch record) are numbered like a writer does.
  const uint32_t number = meta && !meta->batch.frames.empty()
                              ? 0u
                              : priv->numbering.id_for(GST_BUFFER_OFFSET(buffer));
  bool packed = false;

  for (const ovedge::FrameSlot &slot : plan.slots) {
    const int64_t seq = ++priv->seq;
    const int64_t carried = priv->with_seq ? seq : 0;
    if (slot.frame && priv->ids.repeats(slot.stream_id, slot.frame->frame_id) &&
        !priv->told_repeats) {
      priv->told_repeats = true;
      GST_INFO_OBJECT(self,
                      "frame ids of stream \"%s\" repeat (frame %u again): the pipeline's "
                      "ids are kept and frames stay apart by the publisher sequence%s",
                      slot.stream_id.c_str(), slot.frame->frame_id,
                      priv->with_seq ? "" : ", which these bus definitions cannot carry");
    }
    if (!slot.whole && !packed && !self->encoded) {
      const size_t size = static_cast<size_t>(priv->width) * priv->height * 3;
      priv->batch_picture.resize(size);
      ovedge::pack_frame_bgr(frame, priv->batch_picture);
      packed = true;
    }
    for (const std::string &name : names) {
      if (name == "VideoFrameData") {
        GST_INFO_OBJECT(self, "Call metaloader in VideoFrameData...");
        ov_edge_sink_metaloader(self, meta, slot, number, carried, name);
        GST_INFO_OBJECT(self, "load reset frame content information...");
        priv->frame.framerate = framerate;
        pad_picture(self, frame, buffer, slot, priv->frame);
      } else if (name == "uni") {
        GST_INFO_OBJECT(self, "Call metaloader in ClassificationData...");
        ov_edge_sink_metaloader(self, meta, slot, number, seq, name);
        GST_INFO_OBJECT(self, "load reset frame content information...");
        VXCORE::VXA_VideoFrameData &record = priv->uni.VideoList.front();
        if (record.data.empty())
          record.data = std::move(priv->uni_picture);  // the last frame's storage
        record.framerate = framerate;
        pad_picture(self, frame, buffer, slot, record);
      } else if (name == "DeviceInfoData" || name == "DetectionBoxData" ||
                 name == "ClassificationData" || name == "SegmentationData") {
        GST_INFO_OBJECT(self, "Call metaloader in %s...", name.c_str());
        ov_edge_sink_metaloader(self, meta, slot, number, carried, name);
      } else if (name == "EngineInfoData") {
        GST_INFO_OBJECT(self, "Add EngineInfoData not support yet.");
      } else {
        GST_ERROR_OBJECT(self, "No matched tag group name to pad data to edge instance.");
      }
    }
    ov_edge_sink_publish_data(self, names);
  }
}

static GstFlowReturn ov_edge_sink_show_frame(GstVideoSink *sink, GstBuffer *buffer) {
  OvEdgeSink *self = OV_EDGE_SINK(sink);
  SinkPrivate *priv = self->priv;
  if (!priv->edge) {
    GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("The bus connection is not open."), (nullptr));
    return GST_FLOW_ERROR;
  }
  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, &self->info, buffer, GST_MAP_READ)) {
    GST_DEBUG_OBJECT(self, "invalid frame");
    return GST_FLOW_ERROR;
  }
  priv->width = GST_VIDEO_INFO_WIDTH(&self->info);
  priv->height = GST_VIDEO_INFO_HEIGHT(&self->info);
  self->encoded = GST_VIDEO_INFO_FORMAT(&self->info) == GST_VIDEO_FORMAT_ENCODED;
  GST_INFO_OBJECT(self, "Call paddingData in ov_edgesink_write_data");
  GstFlowReturn ret = GST_FLOW_OK;
  try {
    ov_edge_sink_padding_data(self, &frame, buffer);
  } catch (const std::exception &e) {
    GST_ELEMENT_ERROR(self, RESOURCE, WRITE, ("Failed to pad data to edge instance."),
                      ("%s", e.what()));
    ret = GST_FLOW_ERROR;
  }
  gst_video_frame_unmap(&frame);
  if (ret == GST_FLOW_OK)
    GST_INFO_OBJECT(self, "ov_edgesink_write_data done.");
  return ret;
}

/* A prerolled frame is rendered again when playing starts: publish it once. */
static GstFlowReturn ov_edge_sink_preroll(GstBaseSink *, GstBuffer *) { return GST_FLOW_OK; }

static gboolean ov_edge_sink_set_caps(GstBaseSink *sink, GstCaps *caps) {
  OvEdgeSink *self = OV_EDGE_SINK(sink);
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, caps)) {
    GST_DEBUG_OBJECT(self, "invalid caps");
    return FALSE;
  }
  self->info = info;
  return TRUE;
}

static GstStateChangeReturn ov_edge_sink_change_state(GstElement *element,
                                                      GstStateChange transition) {
  OvEdgeSink *self = OV_EDGE_SINK(element);
  switch (transition) {
    case GST_STATE_CHANGE_NULL_TO_READY:
      if (!ov_edge_sink_open(self))
        return GST_STATE_CHANGE_FAILURE;
      break;
    case GST_STATE_CHANGE_READY_TO_NULL:
      /* Closed things cannot be reused: the next NULL to READY opens anew. */
      self->priv->refusals.reset();
      if (self->priv->edge)
        self->priv->edge->deinit();
      self->priv->opened = false;
      break;
    default:
      break;
  }
  return GST_ELEMENT_CLASS(ov_edge_sink_parent_class)->change_state(element, transition);
}

static void ov_edge_sink_finalize(GObject *object) {
  OvEdgeSink *self = OV_EDGE_SINK(object);
  delete self->priv;
  G_OBJECT_CLASS(ov_edge_sink_parent_class)->finalize(object);
}

static void ov_edge_sink_class_init(OvEdgeSinkClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstBaseSinkClass *base_sink_class = GST_BASE_SINK_CLASS(klass);
  GstVideoSinkClass *video_sink_class = GST_VIDEO_SINK_CLASS(klass);

  GST_DEBUG_CATEGORY_INIT(ov_edge_sink_debug, "ovedgesink", 0,
                          "debug category for ovedgesink element");

  gobject_class->set_property = ov_edge_sink_set_property;
  gobject_class->get_property = ov_edge_sink_get_property;
  gobject_class->finalize = ov_edge_sink_finalize;

  /* The description is built at class creation and kept for the process. */
  static const std::string usage = VXCORE::tag_group_usage_manual("sink");
  g_object_class_install_property(
      gobject_class, PROP_TAGGROUPS,
      g_param_spec_string("taggroups", "Tag groups", usage.c_str(), "",
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property(
      gobject_class, PROP_CONTEXT_ID,
      g_param_spec_string("context-id", "Context id",
                          "Identify to the class of a thing for publishing.", "",
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));

  g_object_class_install_property(
      gobject_class, PROP_ALL_FRAMES,
      g_param_spec_boolean("all-frames", "All frames",
                           "Publish every frame of a batch as a frame of its own (its rows of the "
                           "batch image at its own size, its results, its device, a stream id per "
                           "camera); otherwise only the first frame of each batch",
                           FALSE,
                           static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));

  gst_element_class_set_static_metadata(element_class, "ORVANE NodeKit sink", "Sink/Video",
                                        "An ORVANE NodeKit video sink", "ORVANE");
  gst_element_class_add_static_pad_template(element_class, &sink_template);

  element_class->change_state = GST_DEBUG_FUNCPTR(ov_edge_sink_change_state);
  base_sink_class->set_caps = GST_DEBUG_FUNCPTR(ov_edge_sink_set_caps);
  base_sink_class->preroll = GST_DEBUG_FUNCPTR(ov_edge_sink_preroll);
  video_sink_class->show_frame = GST_DEBUG_FUNCPTR(ov_edge_sink_show_frame);
}

static void ov_edge_sink_init(OvEdgeSink *self) {
  self->priv = new SinkPrivate();
  gst_video_info_init(&self->info);
  self->encoded = FALSE;
}
