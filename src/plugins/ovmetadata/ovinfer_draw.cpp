/* ovmetadrawer: paints the results of a batch buffer's record onto its
 * frames in place (first classification as a banner, boxes, pose lines and
 * points, the segmentation grid as a colour map) and pushes the buffer on.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=30 ! video/x-raw,format=BGR,width=640,height=480 ! ovmetadebuger type=box x1=0.25 y1=0.25 x2=0.75 y2=0.75 class=ball ! ovmetadrawer ! videoconvert ! fakesink
 */
#include "ovinfer_draw.h"

#include <exception>
#include <vector>

#include <opencv2/core.hpp>

#include "draw_core.h"
#include "gstovmeta.h"
#include "gstovmeta_utils.h"
#include "ov_element.h"
#include "ov_gst_ptr.h"

GST_DEBUG_CATEGORY_STATIC(ov_infer_draw_debug);
#define GST_CAT_DEFAULT ov_infer_draw_debug

#define DEFAULT_OVERLAY TRUE
#define DEFAULT_OPACITY 0.6f

enum { PROP_0, PROP_OVERLAY, PROP_OPACITY };

/* The object lock guards overlay and opacity; the pads are set once in init. */
struct _OvInferDraw {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  gboolean overlay;
  gfloat opacity;
  gboolean undrawn_warned; /* streaming thread only */
};

G_DEFINE_TYPE(OvInferDraw, ov_infer_draw, GST_TYPE_ELEMENT)

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(OV_BGR_CAPS));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(OV_BGR_CAPS));

static void draw_results(OvInferDraw *self, const VideoFrameData &frame, size_t i, cv::Mat &mat,
                         bool overlay, float opacity) {
  GST_INFO_OBJECT(self, "Draw %lu-th image", (unsigned long)i);
  if (!frame.class_results.empty()) {
    GST_INFO_OBJECT(self, "Draw classification in %lu-th image", (unsigned long)i);
    ovmetadata::draw_banner(mat, frame.class_results[0].label);
  }
  if (!frame.box_results.empty()) {
    GST_INFO_OBJECT(self, "Draw [%lu] boxs in %lu-th image",
                    (unsigned long)frame.box_results.size(), (unsigned long)i);
    ovmetadata::draw_box_results(mat, frame.box_results);
  }
  if (!frame.seg_results.empty()) {
    GST_INFO_OBJECT(self, "Draw [%lu] segs in %lu-th image",
                    (unsigned long)frame.seg_results.size(), (unsigned long)i);
    ovmetadata::drawSegs(mat, frame.seg_results, overlay, opacity);
  }
}

/* Draws into `buffer`, which may be replaced by a writable copy: a buffer
 * shared with another branch must not see this branch's drawing. */
static void draw_buffer(OvInferDraw *self, GstPad *pad, GstBuffer *&buffer, bool overlay,
                        float opacity) {
  if (gst_buffer_get_ov_batch_meta(buffer)) {
    if (!gst_buffer_is_writable(buffer))
      buffer = gst_buffer_make_writable(buffer);
    // A write mapping gives the buffer memory of its own (copied when shared);
    // the frame views made next point into that memory.
    ov::BufferMap writable(buffer, GST_MAP_WRITE);
    if (!writable.ok()) {
      GST_WARNING_OBJECT(self, "Can not map buffer for writing, so it is pushed undrawn");
      return;
    }
  }

  std::vector<cv::Mat> mats = batch_image_to_mats(buffer, pad);
  if (mats.empty()) {
    GST_ERROR_OBJECT(self, "Parse pad and buffer into cv::Mat failed");
    if (!self->undrawn_warned) {
      self->undrawn_warned = TRUE;
      GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(buffer);
      GST_ELEMENT_WARNING(self, STREAM, FORMAT, ("Results are not drawn."),
                          ("a buffer of %" G_GSIZE_FORMAT " bytes cannot be cut into the %u "
                           "frames of its batch record (frames wider or taller than the image, "
                           "see the \"ovmeta\" log); buffers like it go on undrawn",
                           gst_buffer_get_size(buffer),
                           meta ? unsigned(meta->batch.frames.size()) : 0u));
    }
    return;
  }
  GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(buffer);
  if (!meta) {
    GST_INFO_OBJECT(self, "Can not find orvane batch metadata");
    return;
  }
  const std::vector<VideoFrameData> &frames = meta->batch.frames;
  for (size_t i = 0; i < mats.size() && i < frames.size(); ++i)
    draw_results(self, frames[i], i, mats[i], overlay, opacity);
}

static GstFlowReturn ov_infer_draw_chain(GstPad *pad, GstObject *parent, GstBuffer *buffer) {
  OvInferDraw *self = OV_INFER_DRAW(parent);
  GST_OBJECT_LOCK(self);
  const bool overlay = self->overlay;
  const float opacity = self->opacity;
  GST_OBJECT_UNLOCK(self);

  try {
    draw_buffer(self, pad, buffer, overlay, opacity);
  } catch (const std::exception &e) {
    GST_ERROR_OBJECT(self, "Drawing failed: %s", e.what());
  } catch (...) {
    GST_ERROR_OBJECT(self, "Drawing failed");
  }
  return gst_pad_push(self->srcpad, buffer);
}

static const ov::Property kProperties[] = {
    ov::field<&OvInferDraw::overlay>(PROP_OVERLAY),
    ov::field<&OvInferDraw::opacity>(PROP_OPACITY),
};

static void ov_infer_draw_set_property(GObject *object, guint prop_id, const GValue *value,
                                       GParamSpec *pspec) {
  ov::MutexLock guard(GST_OBJECT_GET_LOCK(object));
  ov::set_property(kProperties, object, prop_id, value, pspec);
}

static void ov_infer_draw_get_property(GObject *object, guint prop_id, GValue *value,
                                       GParamSpec *pspec) {
  ov::MutexLock guard(GST_OBJECT_GET_LOCK(object));
  ov::get_property(kProperties, object, prop_id, value, pspec);
}

static void ov_infer_draw_class_init(OvInferDrawClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->set_property = ov_infer_draw_set_property;
  gobject_class->get_property = ov_infer_draw_get_property;

  g_object_class_install_property(
      gobject_class, PROP_OVERLAY,
      g_param_spec_boolean("overlay", "Overlay",
                           "Whether to overlay original image with segment image", DEFAULT_OVERLAY,
                           GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property(
      gobject_class, PROP_OPACITY,
      g_param_spec_float("opacity", "Opacity", "Opacity of segment image", 0.0f, 1.0f,
                         DEFAULT_OPACITY,
                         GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));

  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "ovinfer draw", "AI/InferDraw",
                                        "orvane batch metadata draw",
                                        "orvane <dev@orvane.invalid>");

  GST_DEBUG_CATEGORY_INIT(ov_infer_draw_debug, "ovmetadrawer", 0,
                          "debug category for orvane batch metadata draw");
}

static void ov_infer_draw_init(OvInferDraw *self) {
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, GST_DEBUG_FUNCPTR(ov_infer_draw_chain));
  GST_PAD_SET_PROXY_CAPS(self->sinkpad);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);

  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  GST_PAD_SET_PROXY_CAPS(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);

  self->overlay = DEFAULT_OVERLAY;
  self->opacity = DEFAULT_OPACITY;
}
