/* ovmetawriter: gives every buffer of a single stream a new batch record
 * with one frame described from the caps and one device read from the
 * "devinfo" file (read again for every buffer).  The frame id is the
 * buffer's offset, or, for buffers without one (decoded files, network
 * cameras, application sources), the element's own count from 0.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=10 ! video/x-raw,format=BGR,width=640,height=480 ! ovmetawriter count_frame=true ! ovmetadumper ! fakesink
 */
#include "metawriter.h"

#include <exception>
#include <string>

#include "gstopencvutils.h"
#include "gstovmeta.h"
#include "gstovmeta_utils.h"
#include "metawriter_core.h"
#include "ov_element.h"
#include "ov_gst_ptr.h"

GST_DEBUG_CATEGORY_STATIC(ov_metawriter_debug);
#define GST_CAT_DEFAULT ov_metawriter_debug

#define DEFAULT_DEVINFO nullptr
#define DEFAULT_COUNT_FRAME FALSE

enum { PROP_0, PROP_DEVINFO, PROP_COUNT_FRAME };

/* The object lock guards devinfo and count_frame; the pads are set once in
 * init; `numbering` belongs to the streaming thread. */
struct _OvMetaWriter {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  gchar *devinfo;
  gboolean count_frame;
  OvFrameNumbering *numbering;
};

G_DEFINE_TYPE(OvMetaWriter, ov_metawriter, GST_TYPE_ELEMENT)

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(OV_BGR_CAPS));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(OV_BGR_CAPS));

static void describe_frame(OvMetaWriter *self, GstBuffer *buffer, OvBatch &batch,
                           const std::string &devinfo, bool have_devinfo, bool count_frame) {
  ov::CapsPtr caps(gst_pad_get_current_caps(self->sinkpad));
  if (!caps) {
    GST_ERROR_OBJECT(self, "Get current caps failed");
    return;
  }
  int width = 0, height = 0, cv_type = 0;
  GError *error = nullptr;
  gboolean parsed =
      gst_opencv_parse_cv_mat_params_from_caps(caps.get(), &width, &height, &cv_type, &error);
  ov::ErrorPtr error_owner(error);
  if (!parsed) {
    GST_ERROR_OBJECT(self, "Get width and height from caps failed");
    return;
  }
  if (error) {
    GST_ERROR_OBJECT(self, "Parse caps failed with error: %s", error->message);
    return;
  }

  VideoFrameData frame;
  frame.stream_id = " ";
  if (count_frame) {
    frame.frame_id = static_cast<uint32_t>(ovmetadata::next_frame_number());
  } else {
    bool first_own = false;
    frame.frame_id = self->numbering->id_for(GST_BUFFER_OFFSET(buffer), &first_own);
    if (first_own)
      GST_INFO_OBJECT(self,
                      "%s: buffers carry no offset (a decoder, a network camera or an "
                      "application source), so frames are numbered from 0 by this element",
                      GST_OBJECT_NAME(self));
  }
  frame.width = static_cast<uint32_t>(width);
  frame.height = static_cast<uint32_t>(height);
  frame.depth = static_cast<uint32_t>(cv_type & 7);
  frame.channels = static_cast<uint32_t>(((cv_type >> 3) & 511) + 1);
  frame.device_idx = static_cast<uint32_t>(batch.devices.size());
  batch.frames.push_back(frame);

  batch.devices.push_back(
      ovmetadata::read_device_info_file(have_devinfo ? devinfo.c_str() : nullptr));
}

static GstFlowReturn ov_metawriter_chain(GstPad *pad, GstObject *parent, GstBuffer *buffer) {
  OvMetaWriter *self = OV_METAWRITER(parent);
  GST_OBJECT_LOCK(self);
  const bool have_devinfo = self->devinfo != nullptr;
  const std::string devinfo = have_devinfo ? self->devinfo : "";
  const bool count_frame = self->count_frame;
  GST_OBJECT_UNLOCK(self);

  try {
    // A shared buffer gets a copy of its own (metadata only; pixels shared)
    // rather than leaving the stream untagged.
    if (!gst_buffer_is_writable(buffer))
      buffer = gst_buffer_make_writable(buffer);
    auto *meta = reinterpret_cast<GstOvBatchMeta *>(
        gst_buffer_add_meta(buffer, gst_ov_batch_meta_get_info(), nullptr));
    if (!meta)
      GST_ERROR_OBJECT(self, "Gst orvane metadata should be add into buffer");
    else
      describe_frame(self, buffer, meta->batch, devinfo, have_devinfo, count_frame);
  } catch (const std::exception &e) {
    GST_ERROR_OBJECT(self, "Writing batch metadata failed: %s", e.what());
  } catch (...) {
    GST_ERROR_OBJECT(self, "Writing batch metadata failed");
  }
  return gst_pad_push(self->srcpad, buffer);
}

static const ov::Property kProperties[] = {
    ov::field<&OvMetaWriter::devinfo>(PROP_DEVINFO),
    ov::field<&OvMetaWriter::count_frame>(PROP_COUNT_FRAME),
};

static void ov_metawriter_set_property(GObject *object, guint prop_id, const GValue *value,
                                       GParamSpec *pspec) {
  ov::MutexLock guard(GST_OBJECT_GET_LOCK(object));
  ov::set_property(kProperties, object, prop_id, value, pspec);
}

static void ov_metawriter_get_property(GObject *object, guint prop_id, GValue *value,
                                       GParamSpec *pspec) {
  ov::MutexLock guard(GST_OBJECT_GET_LOCK(object));
  ov::get_property(kProperties, object, prop_id, value, pspec);
}

static void ov_metawriter_finalize(GObject *object) {
  OvMetaWriter *self = OV_METAWRITER(object);
  g_free(self->devinfo);
  delete self->numbering;
  G_OBJECT_CLASS(ov_metawriter_parent_class)->finalize(object);
}

static void ov_metawriter_class_init(OvMetaWriterClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->set_property = ov_metawriter_set_property;
  gobject_class->get_property = ov_metawriter_get_property;
  gobject_class->finalize = ov_metawriter_finalize;

  g_object_class_install_property(
      gobject_class, PROP_DEVINFO,
      g_param_spec_string("devinfo", "DevInfo", "Information file of device", DEFAULT_DEVINFO,
                          GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property(
      gobject_class, PROP_COUNT_FRAME,
      g_param_spec_boolean("count_frame", "Count_Frame", "Enable count frame as frame id",
                           DEFAULT_COUNT_FRAME, G_PARAM_READWRITE));

  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "ovmeta writer", "OVMETA WRITER",
                                        "orvane batch metadata writer",
                                        "orvane <dev@orvane.invalid>");

  GST_DEBUG_CATEGORY_INIT(ov_metawriter_debug, "ovmetawriter", 0,
                          "debug category for orvane batch metadata draw");
}

static void ov_metawriter_init(OvMetaWriter *self) {
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, GST_DEBUG_FUNCPTR(ov_metawriter_chain));
  GST_PAD_SET_PROXY_CAPS(self->sinkpad);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);

  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  GST_PAD_SET_PROXY_CAPS(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);

  self->devinfo = DEFAULT_DEVINFO;
  self->count_frame = DEFAULT_COUNT_FRAME;
  self->numbering = new OvFrameNumbering();
}
