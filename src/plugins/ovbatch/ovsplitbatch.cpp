/* ovsplitbatch: for each incoming batch image outputs one of its frames, in
 * turn, with that frame's record and device, so a display shows every
 * batched stream one after another.  Frames are taken as equal horizontal
 * slices of the batch image.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=20 ! video/x-raw,format=BGR,width=320,height=240 !
 *     ovvideobatch name=b ! ovsplitbatch ! fakesink
 *     videotestsrc num-buffers=20 pattern=ball ! video/x-raw,format=BGR,width=320,height=240 ! b.
 */
#include "ovsplitbatch.h"

#include <exception>
#include <new>
#include <vector>

#include <opencv2/core.hpp>

#include "gstovmeta.h"
#include "ov_element.h"
#include "ov_gst_ptr.h"
#include "split_core.h"

GST_DEBUG_CATEGORY_STATIC(ov_split_batch_debug);
#define GST_CAT_DEFAULT ov_split_batch_debug

namespace {

/* Streaming state.  The object lock guards `cursor`'s count, `caps_changed`,
 * `fps_n`/`fps_d`, `input_caps` and the record copies; the slice index and
 * last time stamp are the streaming thread's alone.  `prop_lock` (recursive)
 * is taken for property access. */
struct SplitState {
  ovbatch::SliceCursor cursor;
  bool caps_changed = false;
  int fps_n = 0;
  int fps_d = 1;
  ov::CapsPtr input_caps;
  std::vector<DeviceInfoData> device_copies;
  std::vector<VideoFrameData> frame_copies;

  GstVideoInfo *in_info = nullptr;
  GstVideoInfo *out_info = nullptr;
  GRecMutex prop_lock;
  cv::Mat *mat = nullptr;
};

}  // namespace

struct _OvSplitBatch {
  GstBaseTransform parent;
  SplitState *state;
};

G_DEFINE_TYPE(OvSplitBatch, ov_split_batch, GST_TYPE_BASE_TRANSFORM)

static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("ANY"));
static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("ANY"));

namespace {

bool is_video_structure(const GstStructure *s) {
  return gst_structure_has_field_typed(s, "width", G_TYPE_INT) &&
         gst_structure_has_field_typed(s, "height", G_TYPE_INT) &&
         gst_structure_has_field_typed(s, "framerate", GST_TYPE_FRACTION);
}

/* Caps of one slice from caps of a batch of `count` frames. */
GstCaps *slice_caps(const GstCaps *caps, int count) {
  GstCaps *out = gst_caps_copy(caps);
  for (guint i = 0; i < gst_caps_get_size(out); ++i) {
    GstStructure *s = gst_caps_get_structure(out, i);
    if (!is_video_structure(s))
      continue;
    gint h = 0;
    gst_structure_get_int(s, "height", &h);
    gst_structure_set(s, "height", G_TYPE_INT, h / count, nullptr);
  }
  return out;
}

GstCaps *transform_caps(GstBaseTransform *trans, GstPadDirection direction, GstCaps *caps,
                        GstCaps *filter) {
  OvSplitBatch *self = OV_SPLIT_BATCH(trans);
  SplitState *st = self->state;
  GstCaps *out = gst_caps_copy(caps);
  GST_OBJECT_LOCK(self);
  const int count = st->cursor.slice_count();
  for (guint i = 0; i < gst_caps_get_size(out); ++i) {
    GstStructure *s = gst_caps_get_structure(out, i);
    if (!is_video_structure(s))
      continue;
    gst_structure_get_fraction(s, "framerate", &st->fps_n, &st->fps_d);
    gint h = 0;
    gst_structure_get_int(s, "height", &h);
    // Upstream of us the image is `count` slices high.
    gst_structure_set(s, "height", G_TYPE_INT, direction == GST_PAD_SINK ? h / count : h * count,
                      nullptr);
  }
  if (direction == GST_PAD_SINK)
    st->input_caps.reset(gst_caps_ref(caps));
  GST_OBJECT_UNLOCK(self);

  if (filter) {
    GstCaps *f = gst_caps_intersect_full(filter, out, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(out);
    out = f;
  }
  GST_DEBUG_OBJECT(self, "transformed %" GST_PTR_FORMAT " into %" GST_PTR_FORMAT, caps, out);
  return out;
}

gboolean set_caps(GstBaseTransform *trans, GstCaps *incaps, GstCaps *outcaps) {
  SplitState *st = OV_SPLIT_BATCH(trans)->state;
  if (st->in_info && !gst_video_info_from_caps(st->in_info, incaps))
    GST_DEBUG_OBJECT(trans, "input caps are not raw video: %" GST_PTR_FORMAT, incaps);
  if (st->out_info && !gst_video_info_from_caps(st->out_info, outcaps))
    GST_DEBUG_OBJECT(trans, "output caps are not raw video: %" GST_PTR_FORMAT, outcaps);
  return TRUE;
}

gboolean start(GstBaseTransform *trans) {
  SplitState *st = OV_SPLIT_BATCH(trans)->state;
  if (!st->in_info)
    st->in_info = gst_video_info_new();
  if (!st->out_info)
    st->out_info = gst_video_info_new();
  return TRUE;
}

gboolean stop(GstBaseTransform *trans) {
  SplitState *st = OV_SPLIT_BATCH(trans)->state;
  g_clear_pointer(&st->in_info, gst_video_info_free);
  g_clear_pointer(&st->out_info, gst_video_info_free);
  return TRUE;
}

GstFlowReturn prepare_output(OvSplitBatch *self, GstBuffer *input, GstBuffer **outbuf) {
  SplitState *st = self->state;
  GstBaseTransform *trans = GST_BASE_TRANSFORM(self);
  GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(input);
  if (!meta) {
    g_print("\nNo orvane batch metadata");
    GST_ERROR_OBJECT(self, "No orvane batch metadata");
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("The input carries no batch record."),
                      ("a buffer of %" G_GSIZE_FORMAT " bytes at %" GST_TIME_FORMAT
                       " has no batch metadata: put ovvideobatch or ovmetawriter upstream",
                       gst_buffer_get_size(input), GST_TIME_ARGS(GST_BUFFER_PTS(input))));
    return GST_FLOW_ERROR;
  }

  // The negotiated input caps, rather than whatever a caps query last asked
  // about, are what the slices are cut from.
  ov::CapsPtr current(gst_pad_get_current_caps(GST_BASE_TRANSFORM_SINK_PAD(trans)));

  int count, fps_n, fps_d;
  ov::CapsPtr renewed;
  {
    ov::MutexLock lock(GST_OBJECT_GET_LOCK(self));  // copies made under it may throw
    st->device_copies = meta->batch.devices;
    st->frame_copies = meta->batch.frames;
    if (st->cursor.set_frame_count(int(meta->batch.frames.size())))
      st->caps_changed = true;
    count = st->cursor.slice_count();
    GstCaps *base = current ? current.get() : st->input_caps.get();
    if (st->caps_changed && base)
      renewed.reset(slice_caps(base, count));
    st->caps_changed = false;
    fps_n = st->fps_n;
    fps_d = st->fps_d;
  }

  if (renewed) {
    GST_DEBUG_OBJECT(self, "%d frames per batch, new caps %" GST_PTR_FORMAT, count, renewed.get());
    gst_base_transform_update_src_caps(trans, renewed.get());
    gst_base_transform_reconfigure_src(trans);
  }

  if (count < 2) {
    *outbuf = input;
    return GST_FLOW_OK;
  }

  const int k = st->cursor.take();
  const gsize size = gst_buffer_get_size(input);
  const gsize slice = size / count;
  const gsize offset = size * k / count;
  ov::BufferPtr out(gst_buffer_new_allocate(nullptr, slice, nullptr));
  if (!out) {
    GST_ELEMENT_ERROR(self, RESOURCE, NO_SPACE_LEFT, ("Cannot allocate an output frame."),
                      ("a frame buffer of %" G_GSIZE_FORMAT " bytes", slice));
    return GST_FLOW_ERROR;
  }
  {
    ov::BufferMap map(out.get(), GST_MAP_WRITE);
    if (!map.ok() || gst_buffer_extract(input, offset, map.data(), slice) != slice) {
      GST_ELEMENT_ERROR(self, STREAM, FAILED, ("Cannot copy frame %d out of the batch image.", k),
                        ("%" G_GSIZE_FORMAT " bytes at offset %" G_GSIZE_FORMAT
                         " of a %" G_GSIZE_FORMAT "-byte batch of %d frames",
                         slice, offset, size, count));
      return GST_FLOW_ERROR;
    }
  }

  GstOvBatchMeta *om = reinterpret_cast<GstOvBatchMeta *>(
      gst_buffer_add_meta(out.get(), gst_ov_batch_meta_get_info(), nullptr));
  if (!om) {
    GST_ELEMENT_ERROR(self, CORE, FAILED, ("Cannot attach a batch record to the output frame."),
                      ("frame %d of %d", k, count));
    return GST_FLOW_ERROR;
  }
  VideoFrameData frame;
  DeviceInfoData device;
  {
    ov::MutexLock lock(GST_OBJECT_GET_LOCK(self));  // copies made under it may throw
    frame = st->frame_copies[k];
    // A batch may describe fewer devices than frames: those frames get none.
    if (size_t(k) < st->device_copies.size())
      device = st->device_copies[k];
  }
  frame.is_compress = false;
  om->batch.frames.push_back(std::move(frame));
  om->batch.devices.push_back(std::move(device));

  GST_BUFFER_FLAG_SET(out.get(), GST_BUFFER_FLAG_GAP);
  const ovbatch::SliceTiming t =
      st->cursor.next_timing(fps_n, fps_d, GST_BUFFER_PTS(input), GST_BUFFER_DURATION(input));
  GST_BUFFER_PTS(out.get()) = t.pts;
  GST_BUFFER_DURATION(out.get()) = t.duration;
  *outbuf = out.release();
  return GST_FLOW_OK;
}

GstFlowReturn prepare_output_buffer(GstBaseTransform *trans, GstBuffer *input,
                                    GstBuffer **outbuf) {
  OvSplitBatch *self = OV_SPLIT_BATCH(trans);
  try {
    return prepare_output(self, input, outbuf);
  } catch (const std::exception &e) {
    GST_ERROR_OBJECT(self, "cannot cut the batch: %s", e.what());
    GST_ELEMENT_ERROR(self, CORE, FAILED, ("Cannot cut the batch."),
                      ("a buffer of %" G_GSIZE_FORMAT " bytes: %s", gst_buffer_get_size(input),
                       e.what()));
  } catch (...) {
    GST_ERROR_OBJECT(self, "cannot cut the batch");
    GST_ELEMENT_ERROR(self, CORE, FAILED, ("Cannot cut the batch."),
                      ("a buffer of %" G_GSIZE_FORMAT " bytes", gst_buffer_get_size(input)));
  }
  return GST_FLOW_ERROR;
}

GstFlowReturn transform_ip(GstBaseTransform *, GstBuffer *) { return GST_FLOW_OK; }

}  // namespace

static void ov_split_batch_set_property(GObject *object, guint prop_id, const GValue *value,
                                        GParamSpec *pspec) {
  ov::RecMutexLock guard(&OV_SPLIT_BATCH(object)->state->prop_lock);
  G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
}

static void ov_split_batch_get_property(GObject *object, guint prop_id, GValue *value,
                                        GParamSpec *pspec) {
  ov::RecMutexLock guard(&OV_SPLIT_BATCH(object)->state->prop_lock);
  G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
}

static void ov_split_batch_dispose(GObject *object) {
  G_OBJECT_CLASS(ov_split_batch_parent_class)->dispose(object);
}

static void ov_split_batch_finalize(GObject *object) {
  OvSplitBatch *self = OV_SPLIT_BATCH(object);
  SplitState *st = self->state;
  delete st->mat;
  g_clear_pointer(&st->in_info, gst_video_info_free);
  g_clear_pointer(&st->out_info, gst_video_info_free);
  g_rec_mutex_clear(&st->prop_lock);
  delete st;
  self->state = nullptr;
  G_OBJECT_CLASS(ov_split_batch_parent_class)->finalize(object);
}

static void ov_split_batch_class_init(OvSplitBatchClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstBaseTransformClass *trans_class = GST_BASE_TRANSFORM_CLASS(klass);

  GST_DEBUG_CATEGORY_INIT(ov_split_batch_debug, "ovsplitbatch", 0,
                          "debug category for OvSplitBatch element");

  gobject_class->set_property = ov_split_batch_set_property;
  gobject_class->get_property = ov_split_batch_get_property;
  gobject_class->dispose = ov_split_batch_dispose;
  gobject_class->finalize = ov_split_batch_finalize;

  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_set_static_metadata(
      element_class, "OvSplitBatch", "Filter/Effect/Video",
      "Split the batched stream to a single stream which will sequential show batched streams",
      "Orvane <dev@orvane.invalid>");

  trans_class->transform_caps = GST_DEBUG_FUNCPTR(transform_caps);
  trans_class->set_caps = GST_DEBUG_FUNCPTR(set_caps);
  trans_class->start = GST_DEBUG_FUNCPTR(start);
  trans_class->stop = GST_DEBUG_FUNCPTR(stop);
  trans_class->prepare_output_buffer = GST_DEBUG_FUNCPTR(prepare_output_buffer);
  trans_class->transform_ip = GST_DEBUG_FUNCPTR(transform_ip);
}

static void ov_split_batch_init(OvSplitBatch *self) {
  self->state = new SplitState();
  g_rec_mutex_init(&self->state->prop_lock);
}
