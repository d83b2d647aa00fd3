/* ovedgesrc: a live source that subscribes to frames (and, per "taggroups",
 * device descriptions and results) on the data bus, joins them by frame and
 * pushes raw video whose batch record holds the frame and its device.  The
 * output size is the size of the first received frame: the source waits for
 * it before negotiating.  stream=<stream id or device serial> follows one
 * camera of a publisher that sends several (its frames only, at its size).
 * With a publisher running (see ovedgesink):
 *
 *   gst-launch-1.0 ovedgesrc taggroups=DetectionBoxData+DeviceInfoData num-buffers=40 ! \
 *       video/x-raw,format=BGR ! ovmetadumper ! fakesink
 */
#include "ovedgesrc.h"

#include <gst/video/gstvideopool.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "edge.h"
#include "edge_log.h"
#include "gstovmeta.h"
#include "gstovmeta_utils.h"
#include "model_loader.h"
#include "ov_element.h"
#include "peer_refusals.h"
#include "ovedgesink.h"
#include "src_extract.h"
#include "synchronizer.h"

GST_DEBUG_CATEGORY_STATIC(ov_edge_src_debug);
#define GST_CAT_DEFAULT ov_edge_src_debug

namespace {

constexpr const char *kPropertiesIn = "config/VideoFrameThingInProperties.json";
constexpr const char *kClassIn = "definitions/ThingClass/com.vision.data/VideoFrameThingInClass.json";
constexpr const char *kVideoTagGroup = "definitions/TagGroup/com.vision.data/VideoFrameTagGroup.json";
constexpr const char *kUniTagGroup = "definitions/TagGroup/com.vision.data/VXAPipeTagGroup.json";

/* Taken for the last look at the receiver's image before negotiating. */
std::mutex ovedgesrc_mutex;

struct SrcPrivate {
  /* Guarded by the object lock: the settings. */
  std::vector<std::string> tag_groups;
  std::string context_id;
  bool combined = false;
  bool sync_message = false;
  std::string follow;  /* stream id or device serial; empty: every frame */

  /* State-change thread (and dispose); the streaming thread reads them only
   * between READY and PAUSED, when they do not change. */
  std::unique_ptr<VXCORE::ReceiveImage> receiver;
  std::shared_ptr<VXCORE::Edge> edge;
  bool subscribed = false;
  std::unique_ptr<ovedge::PeerRefusalWatch> refusals; /* while subscribed */

  /* Streaming thread only: the frame taken while negotiating, pushed first;
   * the picture of the frame being pushed (when it is not a view of the
   * record's own bytes). */
  bool have_pending = false;
  VXCORE::SynchronizedData pending;
  cv::Mat image;

  /* Set by unlock (flushing, pausing, stopping), cleared by unlock_stop;
   * `interrupts` counts unlocks so a wait that began before an unlock /
   * unlock_stop pair still ends. */
  std::atomic<bool> flushing{false};
  std::atomic<unsigned> interrupts{0};
};

}  // namespace

struct _OvEdgeSrc {
  GstPushSrc parent;
  /* Streaming thread: negotiated info and running-time bookkeeping. */
  GstVideoInfo info;
  gboolean negotiated;
  gint64 accum_frames;
  GstClockTime accum_rtime;
  gint64 n_frames;
  GstClockTime running_time;
  gboolean encoded;
  guint32 encoded_size;
  /* Size of the first received frame, set before negotiation. */
  guint32 width_to_set, height_to_set;
  SrcPrivate *priv;
};

G_DEFINE_TYPE(OvEdgeSrc, ov_edge_src, GST_TYPE_PUSH_SRC)

enum { PROP_0, PROP_TAGGROUPS, PROP_SYNCMESSAGE, PROP_CONTEXT_ID, PROP_STREAM };

static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(OV_EDGE_CAPS));

static void ov_edge_src_set_property(GObject *object, guint prop_id, const GValue *value,
                                     GParamSpec *pspec) {
  OvEdgeSrc *self = OV_EDGE_SRC(object);
  SrcPrivate *priv = self->priv;
  switch (prop_id) {
    case PROP_TAGGROUPS: {
      const std::string s = ov::value_string(value);
      ov::MutexLock guard(GST_OBJECT_GET_LOCK(self));
      if (s == "uni") {
        priv->combined = true;
        priv->tag_groups.push_back("uni");
      } else {
        priv->combined = false;  // another value leaves combined mode
        priv->tag_groups = VXCORE::split(s);
      }
      guard.unlock();
      GST_INFO_OBJECT(self, "PROP_TAGGROUPS set ok.");
      break;
    }
    case PROP_SYNCMESSAGE: {
      const bool on = g_value_get_boolean(value);
      ov::MutexLock guard(GST_OBJECT_GET_LOCK(self));
      priv->sync_message = on;
      if (priv->receiver)
        priv->receiver->synchronizer.SetWorkerMessageFlag(on);
      break;
    }
    case PROP_CONTEXT_ID: {
      const std::string s = ov::value_string(value);
      std::cout << "context_id_String = " << s << std::endl;
      ov::MutexLock guard(GST_OBJECT_GET_LOCK(self));
      priv->context_id = s;
      break;
    }
    case PROP_STREAM: {
      const std::string s = ov::value_string(value);
      ov::MutexLock guard(GST_OBJECT_GET_LOCK(self));
      priv->follow = s;
      if (priv->receiver)
        priv->receiver->synchronizer.SetFollow(s);
      break;
    }
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void ov_edge_src_get_property(GObject *object, guint prop_id, GValue *value,
                                     GParamSpec *pspec) {
  OvEdgeSrc *self = OV_EDGE_SRC(object);
  SrcPrivate *priv = self->priv;
  ov::MutexLock guard(GST_OBJECT_GET_LOCK(self));
  switch (prop_id) {
    case PROP_TAGGROUPS: {
      std::string joined;
      for (const std::string &n : priv->tag_groups) joined += (joined.empty() ? "" : "+") + n;
      ov::load(joined, value);
      break;
    }
    case PROP_SYNCMESSAGE:
      ov::load(priv->sync_message, value);
      break;
    case PROP_CONTEXT_ID:
      ov::load(priv->context_id, value);
      break;
    case PROP_STREAM:
      ov::load(priv->follow, value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
  guard.unlock();
  if (prop_id == PROP_TAGGROUPS)
    GST_INFO_OBJECT(self, "PROP_TAGGROUPS get ok.");
}

/* Stops the readers and the worker and forgets them; the next NULL to READY
 * subscribes anew. */
static void ov_edge_src_unsubscribe(OvEdgeSrc *self) {
  SrcPrivate *priv = self->priv;
  if (priv->edge)
    priv->edge->deinit();
  if (priv->receiver) {
    priv->receiver->synchronizer.Stop();
    const VXCORE::SyncCounters c = priv->receiver->synchronizer.counters();
    GST_INFO_OBJECT(self,
                    "frames delivered %" G_GUINT64_FORMAT ", overwritten before being pushed %"
                    G_GUINT64_FORMAT ", dropped from full queues %" G_GUINT64_FORMAT
                    ", results matched %" G_GUINT64_FORMAT ", results dropped %" G_GUINT64_FORMAT
                    " (%" G_GUINT64_FORMAT " of repeated frame ids), frames delivered when "
                    "their wait for results ran out %" G_GUINT64_FORMAT
                    ", publisher restarts %" G_GUINT64_FORMAT ", frames of other streams %"
                    G_GUINT64_FORMAT,
                    c.delivered, c.poolDropped, c.framesDropped, c.resultsMatched,
                    c.resultsDropped, c.resultsAmbiguous, c.waitExpired, c.restarts,
                    c.notFollowed);
  }
  priv->have_pending = false;
  priv->pending = VXCORE::SynchronizedData();
  priv->refusals.reset();
  priv->edge.reset();
  priv->receiver.reset();
  priv->subscribed = false;
}

/* A peer the bus security refused (from a thread of GStreamer's). */
static void tell_peer_refused(GstElement *element, const char *line) {
  GST_ELEMENT_WARNING(element, RESOURCE, NOT_AUTHORIZED,
                      ("The bus security of this node refused a peer."), ("%s: %s", line,
                                                                           ovedge::kPeerRefusalHint));
}

static gboolean ov_edge_src_subscribe(OvEdgeSrc *self) {
  SrcPrivate *priv = self->priv;
  if (priv->subscribed)
    return TRUE;
  GST_OBJECT_LOCK(self);
  std::vector<std::string> names = priv->tag_groups;
  const std::string context_id = priv->context_id;
  const bool combined = priv->combined;
  const bool sync_message = priv->sync_message;
  const std::string follow = priv->follow;
  GST_OBJECT_UNLOCK(self);

  GST_INFO_OBJECT(self, "Using VideoFrameInfo TagGroup as default taggroup");
  const std::string properties = VXCORE::main_properties_file(kPropertiesIn);
  auto receiver = std::make_unique<VXCORE::ReceiveImage>();
  receiver->contextId = context_id;
  receiver->synchronizer.SetWorkerMessageFlag(sync_message);
  receiver->synchronizer.SetFollow(follow);
  try {
    std::shared_ptr<VXCORE::Edge> edge;
    if (combined) {
      edge = VXCORE::Edge::create(VXCORE::kBusConfigFile, properties, kClassIn, {kUniTagGroup}, "");
      if (edge)
        edge->startReader<VXCORE::ReceiveImage, VXCORE::UniInfo>(receiver.get(), "VideoFrameData",
                                                                 context_id);
    } else {
      receiver->synchronizer.Start();
      edge = VXCORE::Edge::create(VXCORE::kBusConfigFile, properties, kClassIn, {kVideoTagGroup},
                                  context_id);
      if (edge) {
        edge->startReader<VXCORE::ReceiveImage, VXCORE::FrameInfo>(receiver.get(),
                                                                   "VideoFrameData", context_id);
        GST_DEBUG_OBJECT(self, "edgesrc->priv->edge create VideoFrame Done.");
        VXCORE::ModelLoader::addThingInByProp(edge, names, *receiver, context_id);
      }
    }
    if (!edge) {
      GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("Can not find all edge configuration files"),
                        ("the bus configuration %s, the properties file %s and their thing class "
                         "and tag group files were not found under any search root (%s)",
                         VXCORE::kBusConfigFile, properties.c_str(),
                         VXCORE::search_roots_text().c_str()));
      return FALSE;
    }
    priv->receiver = std::move(receiver);
    priv->edge = std::move(edge);
  } catch (const com::quillmark::tidemesh::SecurityError &e) {
    GST_ELEMENT_ERROR(self, RESOURCE, NOT_AUTHORIZED, ("Bus security refused to subscribe: %s", e.what()),
                      ("%s", VXCORE::kSecurityHint));
    return FALSE;
  } catch (const std::exception &e) {
    GST_DEBUG_OBJECT(self, "edgesrc->priv->edge create VideoFrame failed in edge_subscribe.");
    GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ, ("Could not subscribe to the data bus"),
                      ("%s", e.what()));
    return FALSE;
  }
  priv->refusals.reset(new ovedge::PeerRefusalWatch(GST_ELEMENT(self), tell_peer_refused));
  priv->subscribed = true;
  GST_DEBUG_OBJECT(self,
                   "Set ImageReceiver to edgesrc->priv->edge done for preparing to receive the "
                   "mesh's data.");
  GST_INFO_OBJECT(self, "edge_subscribe OK.");
  return TRUE;
}

static bool ov_edge_src_bus_gone(OvEdgeSrc *self) {
  const auto &edge = self->priv->edge;
  return !edge || (edge->isStopped() && edge->runningReaders() == 0);
}

/* Whether a wait for data must end: the source was unlocked (flushing,
 * pausing, stopping) since `interrupts` was read, or its bus is gone. */
static bool ov_edge_src_interrupted(OvEdgeSrc *self, unsigned interrupts) {
  SrcPrivate *priv = self->priv;
  return priv->flushing.load() || priv->interrupts.load() != interrupts ||
         ov_edge_src_bus_gone(self);
}

/* Until the first frame has been matched (TRUE: it is kept to be pushed
 * first, and its size is the output size) or the source is unlocked or its
 * bus connection is gone (FALSE). */
static gboolean ov_edge_src_wait_first_frame(OvEdgeSrc *self) {
  SrcPrivate *priv = self->priv;
  const unsigned interrupts = priv->interrupts.load();
  if (!priv->receiver)
    return FALSE;
  while (!priv->have_pending) {
    if (!priv->receiver->synchronizer.waitPop(
            priv->pending, [&] { return ov_edge_src_interrupted(self, interrupts); }))
      return FALSE;
    // A frame whose picture cannot be shown fixes no size.
    if (priv->pending.frame.width != 0 && priv->pending.frame.height != 0)
      priv->have_pending = true;
  }
  std::lock_guard<std::mutex> lock(ovedgesrc_mutex);
  self->width_to_set = priv->pending.frame.width;
  self->height_to_set = priv->pending.frame.height;
  GST_INFO_OBJECT(self, "size are going to be width_to_set = %d, height_to_set = %d",
                  self->width_to_set, self->height_to_set);
  return TRUE;
}

static gboolean ov_edge_src_negotiate(GstBaseSrc *bsrc) {
  OvEdgeSrc *self = OV_EDGE_SRC(bsrc);
  if ((self->width_to_set == 0 || self->height_to_set == 0) &&
      !ov_edge_src_wait_first_frame(self))
    return FALSE;
  return GST_BASE_SRC_CLASS(ov_edge_src_parent_class)->negotiate(bsrc);
}

static GstCaps *ov_edge_src_fixate(GstBaseSrc *bsrc, GstCaps *caps) {
  OvEdgeSrc *self = OV_EDGE_SRC(bsrc);
  GST_INFO_OBJECT(self, "in ov_edgesrc_fixate");
  int width = GST_VIDEO_INFO_WIDTH(&self->info);
  int height = GST_VIDEO_INFO_HEIGHT(&self->info);
  if (width == 0 || height == 0) {
    GST_INFO_OBJECT(self, "First time set image size in fixate");
    width = static_cast<int>(self->width_to_set);
    height = static_cast<int>(self->height_to_set);
    GST_INFO_OBJECT(self, "width and height is set in fixate, width = %d, height = %d", width,
                    height);
  }
  caps = gst_caps_make_writable(caps);
  for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
    GstStructure *s = gst_caps_get_structure(caps, i);
    if (width > 0 && gst_structure_has_field(s, "width"))
      gst_structure_fixate_field_nearest_int(s, "width", width);
    if (height > 0 && gst_structure_has_field(s, "height"))
      gst_structure_fixate_field_nearest_int(s, "height", height);
    if (gst_structure_has_field(s, "framerate"))
      gst_structure_fixate_field_nearest_fraction(s, "framerate", 100, 1);
    if (gst_structure_has_field(s, "format"))
      gst_structure_fixate_field(s, "format");
    if (gst_structure_has_field(s, "interlace-mode"))
      gst_structure_fixate_field(s, "interlace-mode");
  }
  return GST_BASE_SRC_CLASS(ov_edge_src_parent_class)->fixate(bsrc, caps);
}

static gboolean ov_edge_src_setcaps(GstBaseSrc *bsrc, GstCaps *caps) {
  OvEdgeSrc *self = OV_EDGE_SRC(bsrc);
  GST_DEBUG_OBJECT(self, "in ov_edge_src_setcaps");
  const GstStructure *s = gst_caps_get_structure(caps, 0);
  GstVideoInfo info;
  gst_video_info_init(&info);
  guint blocksize = 0;
  if (gst_structure_has_name(s, "video/x-raw") || gst_structure_has_name(s, "image/jpeg")) {
    if (gst_structure_has_name(s, "image/jpeg"))
      GST_DEBUG_OBJECT(self, "in gst_video_test_src_parse_caps, recognize as \"image/jpeg\", "
                             "need do something...");
    if (!gst_video_info_from_caps(&info, caps)) {
      GST_DEBUG_OBJECT(self, "failed to parse caps");
      return FALSE;
    }
    /* Encoded output carries at most one received image's bytes. */
    blocksize = GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_ENCODED
                    ? GST_VIDEO_INFO_WIDTH(&info) * GST_VIDEO_INFO_HEIGHT(&info) * 3
                    : GST_VIDEO_INFO_SIZE(&info);
  } else if (gst_structure_has_name(s, "image/png")) {
    GST_DEBUG_OBJECT(self, "in gst_video_test_src_parse_caps, recognize as \"image/png\", need "
                           "do something...");
    return TRUE;
  } else {
    GST_DEBUG_OBJECT(self, "unsupported caps: %" GST_PTR_FORMAT, caps);
    return FALSE;
  }
  self->info = info;
  self->negotiated = TRUE;
  gst_base_src_set_blocksize(bsrc, blocksize);
  GST_DEBUG_OBJECT(self, "size %dx%d, %d/%d fps", GST_VIDEO_INFO_WIDTH(&info),
                   GST_VIDEO_INFO_HEIGHT(&info), GST_VIDEO_INFO_FPS_N(&info),
                   GST_VIDEO_INFO_FPS_D(&info));
  self->accum_frames += self->n_frames;
  self->accum_rtime += self->running_time;
  self->n_frames = 0;
  self->running_time = 0;
  GST_DEBUG_OBJECT(self, "finish reset caps");
  return TRUE;
}

static void ov_edge_src_extract_info_to_meta(OvEdgeSrc *self, GstOvBatchMeta *meta,
                                             const VXCORE::SynchronizedData &data) {
  if (!meta) {
    GST_DEBUG_OBJECT(self, "GstMeta is NULL");
    return;
  }
  GST_INFO_OBJECT(self, "[prepare to add metadata...]");
  meta->batch.frames.push_back(ovedge::frame_data_from(data.frame, data.classification,
                                                       data.detection, data.segmentation));
  meta->batch.devices.push_back(ovedge::device_data_from(data.device));
  GST_DEBUG_OBJECT(self, "\n%s", ovedge::batch_meta_string(meta->batch).c_str());
  GST_INFO_OBJECT(self, "[metadata added of this GstVideoFrame.]");
}

/* Writes a matched frame's own picture into the output frame and its
 * record into the batch record.  False when the record carries no picture
 * it can show (it is dropped, never replaced by another frame's picture). */
static bool ov_edge_src_extracting_data(OvEdgeSrc *self, VXCORE::SynchronizedData &data,
                                        GstVideoFrame *frame, GstOvBatchMeta *meta) {
  SrcPrivate *priv = self->priv;
  cv::Mat picture;
  try {
    picture = ovedge::received_picture(data.frame, priv->image);
  } catch (const std::exception &e) {
    GST_WARNING_OBJECT(self, "dropping frame %u: %s", data.frame.frame_id, e.what());
    return false;
  }
  if (picture.empty()) {
    GST_WARNING_OBJECT(self, "dropping frame %u: it carries no picture (compression \"%s\")",
                       data.frame.frame_id, data.frame.compression.c_str());
    return false;
  }
  self->encoded_size = data.frame.size;
  GST_INFO_OBJECT(self, "Adding mesh data model information to pipeline metadata");
  ov_edge_src_extract_info_to_meta(self, meta, data);

  const GstVideoFormat format = GST_VIDEO_INFO_FORMAT(&self->info);
  const char *name = gst_video_format_to_string(format);
  if (GST_VIDEO_INFO_WIDTH(&self->info) != picture.cols ||
      GST_VIDEO_INFO_HEIGHT(&self->info) != picture.rows)
    GST_DEBUG_OBJECT(self,
                     "Size of image in mesh is different from pipeline frame info, need resize "
                     "first.");
  GST_DEBUG_OBJECT(self, "Convert mesh data to %s", name);
  if (format == GST_VIDEO_FORMAT_ENCODED) {
    self->encoded = TRUE;
    if (picture.data != priv->image.data)
      priv->image = picture.clone();  // fill copies the bytes from here
    GST_DEBUG_OBJECT(self, "Convert %s OK", name);
  } else if (ovedge::write_image_to_frame(picture, frame)) {
    GST_DEBUG_OBJECT(self, "Convert %s OK", name);
  } else {
    GST_ERROR_OBJECT(self, "Pixel format is not allowed in ov_edge_receive_data().");
  }
  return true;
}

/* Waits for the next matched frame (no polling: the synchronizer signals a
 * delivery, unlock signals an interruption).  OK once it is in the frame,
 * FLUSHING when unlocked, EOS when the bus connection has stopped. */
static GstFlowReturn ov_edge_receive_data(OvEdgeSrc *self, GstVideoFrame *frame,
                                          GstOvBatchMeta *meta) {
  SrcPrivate *priv = self->priv;
  const unsigned interrupts = priv->interrupts.load();
  while (true) {
    VXCORE::SynchronizedData data;
    if (priv->have_pending) {
      data = std::move(priv->pending);
      priv->have_pending = false;
    } else if (!priv->receiver ||
               !priv->receiver->synchronizer.waitPop(
                   data, [&] { return ov_edge_src_interrupted(self, interrupts); })) {
      return ov_edge_src_bus_gone(self) && !priv->flushing.load() ? GST_FLOW_EOS
                                                                   : GST_FLOW_FLUSHING;
    }
    GST_INFO_OBJECT(self, "ImageReceiver.synchronizer.syncPool.synchronizedVec.size() > 0");
    const bool taken = ov_edge_src_extracting_data(self, data, frame, meta);
    // The picture's bytes are in the buffer now: their storage serves the
    // next received frame.
    com::quillmark::iot::byte_seq_pool::give(std::move(data.frame.data));
    if (taken) {
      GST_DEBUG_OBJECT(self, "ov_edge_receive_data return TRUE.");
      return GST_FLOW_OK;
    }
  }
}

static GstFlowReturn ov_edge_src_fill(GstPushSrc *psrc, GstBuffer *buffer) {
  OvEdgeSrc *self = OV_EDGE_SRC(psrc);
  GstOvBatchMeta *meta = try_get_ov_batch_meta(buffer);
  GST_DEBUG_OBJECT(self, "Added metadata into buffer.");
  if (!self->negotiated)
    return GST_FLOW_NOT_NEGOTIATED;
  if (GST_VIDEO_INFO_FPS_N(&self->info) == 0 && self->n_frames == 1) {
    GST_DEBUG_OBJECT(self, "eos: 0 framerate, frame %d", static_cast<int>(self->n_frames));
    return GST_FLOW_EOS;
  }
  GST_LOG_OBJECT(self, "creating buffer from pool for frame %li",
                 static_cast<long>(self->n_frames));
  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, &self->info, buffer, GST_MAP_WRITE)) {
    GST_DEBUG_OBJECT(self, "invalid frame");
    return GST_FLOW_ERROR;
  }
  GST_DEBUG_OBJECT(self, "Start to call edgesrc->receive_image.");
  GstFlowReturn ret;
  try {
    ret = ov_edge_receive_data(self, &frame, meta);
  } catch (const std::exception &e) {
    GST_DEBUG_OBJECT(self, "Catch ov_edge_receive_data failed.");
    GST_ELEMENT_ERROR(self, STREAM, FAILED, ("Could not turn a received frame into a buffer"),
                      ("%s", e.what()));
    ret = GST_FLOW_ERROR;
  }
  gst_video_frame_unmap(&frame);
  if (ret != GST_FLOW_OK)
    return ret;
  if (self->encoded)
    ovedge::copy_encoded_bytes(self->priv->image, self->encoded_size, buffer);
  GST_LOG_OBJECT(self, "pushing frame %" G_GINT64_FORMAT, static_cast<gint64>(self->n_frames));

  GST_BUFFER_PTS(buffer) = self->accum_rtime + self->running_time;
  GST_BUFFER_DTS(buffer) = GST_BUFFER_PTS(buffer);
  GST_BUFFER_OFFSET(buffer) = self->accum_frames + self->n_frames;
  self->n_frames++;
  GST_BUFFER_OFFSET_END(buffer) = GST_BUFFER_OFFSET(buffer) + 1;
  if (GST_VIDEO_INFO_FPS_N(&self->info) > 0) {
    const GstClockTime next = gst_util_uint64_scale_int(
        self->n_frames * GST_SECOND, GST_VIDEO_INFO_FPS_D(&self->info),
        GST_VIDEO_INFO_FPS_N(&self->info));
    GST_BUFFER_DURATION(buffer) = next - self->running_time;
    self->running_time = next;
  } else {
    GST_BUFFER_DURATION(buffer) = GST_CLOCK_TIME_NONE;
  }
  GST_DEBUG_OBJECT(self, "Return GST_FLOW_OK");
  return GST_FLOW_OK;
}

static gboolean ov_edge_src_unlock(GstBaseSrc *bsrc) {
  OvEdgeSrc *self = OV_EDGE_SRC(bsrc);
  self->priv->flushing.store(true);
  self->priv->interrupts.fetch_add(1);
  if (self->priv->receiver)
    self->priv->receiver->synchronizer.wake();
  return TRUE;
}

static gboolean ov_edge_src_unlock_stop(GstBaseSrc *bsrc) {
  OV_EDGE_SRC(bsrc)->priv->flushing.store(false);
  return TRUE;
}

/* Raw video comes from a pool of buffers: a fresh megabyte per frame would
 * fault its pages in on every push.  Encoded output keeps the default (its
 * buffers are cut to the bytes received). */
static gboolean ov_edge_src_decide_allocation(GstBaseSrc *bsrc, GstQuery *query) {
  GstCaps *caps = nullptr;
  gst_query_parse_allocation(query, &caps, nullptr);
  GstVideoInfo info;
  if (!caps || !gst_video_info_from_caps(&info, caps) ||
      GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_ENCODED)
    return GST_BASE_SRC_CLASS(ov_edge_src_parent_class)->decide_allocation(bsrc, query);
  GstBufferPool *pool = nullptr;
  guint size = static_cast<guint>(GST_VIDEO_INFO_SIZE(&info)), min = 0, max = 0;
  const bool update = gst_query_get_n_allocation_pools(query) > 0;
  if (update) {
    guint offered = 0;
    gst_query_parse_nth_allocation_pool(query, 0, &pool, &offered, &min, &max);
    size = MAX(size, offered);
  }
  if (!pool)
    pool = gst_video_buffer_pool_new();
  GstStructure *config = gst_buffer_pool_get_config(pool);
  gst_buffer_pool_config_set_params(config, caps, size, min, max);
  if (gst_query_find_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr))
    gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
  if (!gst_buffer_pool_set_config(pool, config)) {
    GST_DEBUG_OBJECT(bsrc, "the buffer pool refused its configuration; buffers are allocated");
    gst_object_unref(pool);
    return GST_BASE_SRC_CLASS(ov_edge_src_parent_class)->decide_allocation(bsrc, query);
  }
  if (update)
    gst_query_set_nth_allocation_pool(query, 0, pool, size, min, max);
  else
    gst_query_add_allocation_pool(query, pool, size, min, max);
  gst_object_unref(pool);
  return GST_BASE_SRC_CLASS(ov_edge_src_parent_class)->decide_allocation(bsrc, query);
}

static gboolean ov_edge_src_is_seekable(GstBaseSrc *) { return FALSE; }

static GstStateChangeReturn ov_edge_src_change_state(GstElement *element,
                                                     GstStateChange transition) {
  OvEdgeSrc *self = OV_EDGE_SRC(element);
  switch (transition) {
    case GST_STATE_CHANGE_NULL_TO_READY:
      GST_INFO_OBJECT(self, "NULL to READY");
      if (!ov_edge_src_subscribe(self))
        return GST_STATE_CHANGE_FAILURE;
      break;
    case GST_STATE_CHANGE_READY_TO_PAUSED:
      /* The wait itself runs in the streaming thread before negotiation,
       * where unlocking the source ends it. */
      std::cout << "waiting for mesh data..." << std::endl;
      self->negotiated = FALSE;
      self->encoded = FALSE;
      self->accum_frames = self->n_frames = 0;
      self->accum_rtime = self->running_time = 0;
      gst_video_info_init(&self->info);
      break;
    case GST_STATE_CHANGE_PAUSED_TO_PLAYING:
      GST_INFO_OBJECT(self, "PAUSE to PLAYING");
      break;
    default:
      break;
  }
  GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(ov_edge_src_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_READY_TO_NULL) {
    ov_edge_src_unsubscribe(self);
    self->width_to_set = self->height_to_set = 0;
  }
  return ret;
}

static void ov_edge_src_dispose(GObject *object) {
  OvEdgeSrc *self = OV_EDGE_SRC(object);
  GST_DEBUG_OBJECT(self, "ov_edgesrc_dispose called");
  ov_edge_src_unsubscribe(self);
  GST_DEBUG_OBJECT(self, "dispose called finished");
  G_OBJECT_CLASS(ov_edge_src_parent_class)->dispose(object);
}

static void ov_edge_src_finalize(GObject *object) {
  delete OV_EDGE_SRC(object)->priv;
  G_OBJECT_CLASS(ov_edge_src_parent_class)->finalize(object);
}

static void ov_edge_src_class_init(OvEdgeSrcClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstBaseSrcClass *base_class = GST_BASE_SRC_CLASS(klass);
  GstPushSrcClass *push_class = GST_PUSH_SRC_CLASS(klass);

  GST_DEBUG_CATEGORY_INIT(ov_edge_src_debug, "ovedgesrc", 0, "debug category for ovedgesrc element");

  gobject_class->set_property = ov_edge_src_set_property;
  gobject_class->get_property = ov_edge_src_get_property;
  gobject_class->dispose = ov_edge_src_dispose;
  gobject_class->finalize = ov_edge_src_finalize;

  static const std::string usage = VXCORE::tag_group_usage_manual("src");
  const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  g_object_class_install_property(
      gobject_class, PROP_TAGGROUPS,
      g_param_spec_string("taggroups", "Tag groups", usage.c_str(), "", flags));
  g_object_class_install_property(
      gobject_class, PROP_SYNCMESSAGE,
      g_param_spec_boolean("syncmessage", "Sync message", "Show the Sync worker's message.",
                           FALSE, flags));
  g_object_class_install_property(
      gobject_class, PROP_CONTEXT_ID,
      g_param_spec_string("context-id", "Context id",
                          "Identify to the class of a thing for subscribing.", "", flags));

  g_object_class_install_property(
      gobject_class, PROP_STREAM,
      g_param_spec_string("stream", "Stream",
                          "Follow one camera: only the frames whose stream id, or whose "
                          "device's serial number or stream id, is this (empty: every frame, "
                          "each resized to the first frame's size)",
                          "", flags));

  gst_element_class_set_static_metadata(element_class, "ORVANE NodeKit source", "Source/Video",
                                        "An ORVANE NodeKit video source", "ORVANE");
  gst_element_class_add_static_pad_template(element_class, &src_template);

  element_class->change_state = GST_DEBUG_FUNCPTR(ov_edge_src_change_state);
  base_class->negotiate = GST_DEBUG_FUNCPTR(ov_edge_src_negotiate);
  base_class->fixate = GST_DEBUG_FUNCPTR(ov_edge_src_fixate);
  base_class->set_caps = GST_DEBUG_FUNCPTR(ov_edge_src_setcaps);
  base_class->is_seekable = GST_DEBUG_FUNCPTR(ov_edge_src_is_seekable);
  base_class->decide_allocation = GST_DEBUG_FUNCPTR(ov_edge_src_decide_allocation);
  base_class->unlock = GST_DEBUG_FUNCPTR(ov_edge_src_unlock);
  base_class->unlock_stop = GST_DEBUG_FUNCPTR(ov_edge_src_unlock_stop);
  push_class->fill = GST_DEBUG_FUNCPTR(ov_edge_src_fill);
}

static void ov_edge_src_init(OvEdgeSrc *self) {
  self->priv = new SrcPrivate();
  gst_video_info_init(&self->info);
  self->negotiated = FALSE;
  self->accum_frames = self->n_frames = 0;
  self->accum_rtime = self->running_time = 0;
  self->encoded = FALSE;
  self->encoded_size = 0;
  self->width_to_set = self->height_to_set = 0;
  gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
  gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}
