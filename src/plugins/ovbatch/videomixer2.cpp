/* ovvideobatch: stacks one frame from each request pad, top to bottom, into
 * one batch image per output interval and merges the inputs' frame and device
 * records into the batch record, in pad order.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=30 ! video/x-raw,format=BGR,width=320,height=240 !
 *     ovvideobatch name=b ! fakesink
 *     videotestsrc num-buffers=30 pattern=ball ! video/x-raw,format=BGR,width=320,height=240 ! b.
 */
#include "videomixer2.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include "batch_layout.h"
#include "gstovmeta.h"
#include "gstovmeta_utils.h"
#include "ov_gst_ptr.h"

GST_DEBUG_CATEGORY_STATIC(ov_videobatch_debug);
#define GST_CAT_DEFAULT ov_videobatch_debug

#define OV_CAPS                                                                                 \
  "video/x-raw, format = (string)  { ARGBx, xRGB, BGRx, xBGR, RGBA, ARGB, BGRA, ABGR, RGB, BGR, " \
  "AYUV, YUY2, YVYU, UYVY, I420, YV12, RGB16, RGB15, GRAY8, NV12, NV21, GRAY16_LE, GRAY16_BE } " \
  ", width = (int) [ 1, max ], height = (int) [ 1, max ], framerate = (fraction) [ 0, max ]"

static GstStaticPadTemplate src_factory =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(OV_CAPS));
static GstStaticPadTemplate sink_factory =
    GST_STATIC_PAD_TEMPLATE("sink_%u", GST_PAD_SINK, GST_PAD_REQUEST, GST_STATIC_CAPS(OV_CAPS));

/* Per-pad collect data: the buffer shown for the current interval and the one
 * held back until its successor gives it an end. */
struct OvVideoBatchCollect {
  GstCollectData collect;
  OvVideoBatchPad *mixpad;
  GstBuffer *queued; /* buffer without duration waiting for the next one */
  GstBuffer *buffer; /* current buffer */
  GstClockTime start; /* running time of `buffer` */
  GstClockTime end;
};

/* ---------------------------------------------------------------- pad --- */

G_DEFINE_TYPE(OvVideoBatchPad, ov_videobatch_pad, GST_TYPE_PAD)

static void ov_videobatch_pad_finalize(GObject *object) {
  OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(object);
  if (pad->converter)
    gst_video_converter_free(pad->converter);
  pad->converter = nullptr;
  G_OBJECT_CLASS(ov_videobatch_pad_parent_class)->finalize(object);
}

static void ov_videobatch_pad_class_init(OvVideoBatchPadClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = ov_videobatch_pad_finalize;
}

static void ov_videobatch_pad_init(OvVideoBatchPad *pad) {
  pad->x_offset = 0;
  pad->y_offset = 0;
  pad->z_order = 0;
  pad->opacity = 1.0;
  gst_video_info_init(&pad->pad_info);
  gst_video_info_init(&pad->conversion_info);
  pad->converter = nullptr;
  pad->need_conversion_update = FALSE;
  pad->mixcol = nullptr;
}

/* ------------------------------------------------------------ element --- */

static void ov_videobatch_child_proxy_init(gpointer g_iface, gpointer iface_data);

G_DEFINE_TYPE_WITH_CODE(OvVideoBatch, ov_videobatch, GST_TYPE_ELEMENT,
                        G_IMPLEMENT_INTERFACE(GST_TYPE_CHILD_PROXY,
                                              ov_videobatch_child_proxy_init))

namespace {

struct MutexGuard {
  explicit MutexGuard(GMutex *m) : m_(m) { g_mutex_lock(m_); }
  ~MutexGuard() { g_mutex_unlock(m_); }
  MutexGuard(const MutexGuard &) = delete;
  MutexGuard &operator=(const MutexGuard &) = delete;
  GMutex *m_;
};

void reset_qos(OvVideoBatch *self) {
  GST_OBJECT_LOCK(self);
  self->qos_proportion = 0.5;
  self->qos_earliest = GST_CLOCK_TIME_NONE;
  GST_OBJECT_UNLOCK(self);
}

void reset_qos_counters(OvVideoBatch *self) {
  GST_OBJECT_LOCK(self);
  self->qos_processed = 0;
  self->qos_dropped = 0;
  GST_OBJECT_UNLOCK(self);
}

void clear_collect_buffers(OvVideoBatchCollect *c) {
  gst_clear_buffer(&c->queued);
  gst_clear_buffer(&c->buffer);
  c->start = GST_CLOCK_TIME_NONE;
  c->end = GST_CLOCK_TIME_NONE;
}

void collect_free(GstCollectData *data) {
  clear_collect_buffers(reinterpret_cast<OvVideoBatchCollect *>(data));
}

/* Resets everything a stop or a new element starts from.  Call with no
 * streaming going on. */
void reset(OvVideoBatch *self) {
  gst_video_info_init(&self->output_info);
  self->time_offset = 0;
  self->frame_count = 0;
  gst_segment_init(&self->segment, GST_FORMAT_TIME);
  self->segment.position = GST_CLOCK_TIME_NONE;
  reset_qos(self);
  reset_qos_counters(self);
  for (GSList *l = self->pad_list; l; l = l->next) {
    OvVideoBatchPad *p = OV_VIDEO_BATCH_PAD(l->data);
    if (p->mixcol)
      clear_collect_buffers(p->mixcol);
    gst_video_info_init(&p->pad_info);
  }
  self->segment_pending = TRUE;
  self->segment_done_posted = FALSE;
}

/* Chooses the output format from the inputs and makes the converters.  Call
 * with the collect pads' stream lock. */
gboolean update_converters(OvVideoBatch *self) {
  ov::CapsPtr downstream(gst_pad_get_allowed_caps(self->srcpad));
  if (!downstream)
    downstream.reset(gst_pad_get_pad_template_caps(self->srcpad));
  if (gst_caps_is_empty(downstream.get()))
    return FALSE;

  MutexGuard guard(&self->lock);
  std::vector<OvVideoBatchPad *> pads;
  std::vector<ovbatch::FormatVote> votes;
  for (GSList *l = self->pad_list; l; l = l->next) {
    OvVideoBatchPad *p = OV_VIDEO_BATCH_PAD(l->data);
    pads.push_back(p);
    ovbatch::FormatVote v;
    if (GST_VIDEO_INFO_FORMAT(&p->pad_info) != GST_VIDEO_FORMAT_UNKNOWN) {
      v.format = GST_VIDEO_INFO_FORMAT(&p->pad_info);
      v.has_alpha = GST_VIDEO_INFO_HAS_ALPHA(&p->pad_info);
      ov::CapsPtr c(gst_video_info_to_caps(&p->pad_info));
      GstStructure *s = gst_caps_get_structure(c.get(), 0);
      gst_structure_remove_fields(s, "width", "height", "framerate", "pixel-aspect-ratio",
                                  "interlace-mode", nullptr);
      v.accepted = gst_caps_can_intersect(downstream.get(), c.get());
    }
    votes.push_back(v);
  }

  const ovbatch::FormatChoice choice = ovbatch::choose_output_format(votes);
  GstVideoInfo best;
  gst_video_info_init(&best);
  if (choice.format == GST_VIDEO_FORMAT_UNKNOWN) {
    ov::CapsPtr fixed(gst_caps_fixate(gst_caps_copy(downstream.get())));
    GstStructure *s = gst_caps_get_structure(fixed.get(), 0);
    const gchar *fmt = gst_structure_get_string(s, "format");
    GstVideoFormat f = fmt ? gst_video_format_from_string(fmt) : GST_VIDEO_FORMAT_UNKNOWN;
    if (f == GST_VIDEO_FORMAT_UNKNOWN)
      return FALSE;
    gst_video_info_set_format(&best, f, 1, 1);
  } else {
    best = pads[choice.winner]->pad_info;
  }

  if (choice.any_alpha_input && !GST_VIDEO_INFO_HAS_ALPHA(&best)) {
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION,
                      ("At least one of the input pads contains alpha, but downstream can't "
                       "support alpha."),
                      ("Either convert your inputs to not contain alpha or add a videoconvert "
                       "after the mixer"));
    return FALSE;
  }

  self->mix_format = GST_VIDEO_INFO_FORMAT(&best);
  self->mix_colorimetry = best.colorimetry;
  self->mix_chroma_site = GST_VIDEO_INFO_CHROMA_SITE(&best);

  for (OvVideoBatchPad *p : pads) {
    if (GST_VIDEO_INFO_FORMAT(&p->pad_info) == GST_VIDEO_FORMAT_UNKNOWN)
      continue;
    if (p->converter)
      gst_video_converter_free(p->converter);
    p->converter = nullptr;

    gchar *pad_colorimetry = gst_video_colorimetry_to_string(&p->pad_info.colorimetry);
    gchar *best_colorimetry = gst_video_colorimetry_to_string(&self->mix_colorimetry);
    const bool same_colorimetry = g_strcmp0(pad_colorimetry, best_colorimetry) == 0;
    g_free(pad_colorimetry);
    g_free(best_colorimetry);

    if (GST_VIDEO_INFO_FORMAT(&p->pad_info) != self->mix_format || !same_colorimetry ||
        GST_VIDEO_INFO_CHROMA_SITE(&p->pad_info) != self->mix_chroma_site) {
      GstVideoInfo target;
      gst_video_info_set_format(&target, self->mix_format, GST_VIDEO_INFO_WIDTH(&p->pad_info),
                                GST_VIDEO_INFO_HEIGHT(&p->pad_info));
      target.colorimetry = self->mix_colorimetry;
      target.chroma_site = self->mix_chroma_site;
      target.par_n = p->pad_info.par_n;
      target.par_d = p->pad_info.par_d;
      target.fps_n = p->pad_info.fps_n;
      target.fps_d = p->pad_info.fps_d;
      p->converter = gst_video_converter_new(&p->pad_info, &target, nullptr);
      p->conversion_info = target;
      p->need_conversion_update = TRUE;
      if (!p->converter) {
        GST_WARNING_OBJECT(p, "No path found for conversion");
        return FALSE;
      }
      GST_DEBUG_OBJECT(p, "This pad will be converted from %d to %d",
                       GST_VIDEO_INFO_FORMAT(&p->pad_info), self->mix_format);
    } else {
      GST_DEBUG_OBJECT(p, "This pad will not need conversion");
    }
  }

  gchar *colorimetry = gst_video_colorimetry_to_string(&self->mix_colorimetry);
  const gchar *chroma = gst_video_chroma_site_to_string(self->mix_chroma_site);
  GST_DEBUG_OBJECT(self, "The output format will now be : %d with colorimetry : %s and chroma : %s",
                   self->mix_format, GST_STR_NULL(colorimetry), GST_STR_NULL(chroma));
  g_free(colorimetry);
  return TRUE;
}

GstClockTime frame_duration(const GstVideoInfo *info) {
  if (GST_VIDEO_INFO_FPS_N(info) <= 0)
    return 0;
  return gst_util_uint64_scale_int(GST_SECOND, GST_VIDEO_INFO_FPS_D(info),
                                   GST_VIDEO_INFO_FPS_N(info));
}

/* Resets the timing base when the output framerate changes.  Call with `lock`. */
void rebase_timing(OvVideoBatch *self) {
  if (GST_CLOCK_TIME_IS_VALID(self->segment.position)) {
    self->time_offset = self->segment.position - self->segment.start;
    self->frame_count = 0;
  }
}

}  // namespace

/* Recomputes the layout and the source caps.  Call with the collect pads'
 * stream lock (or from the streaming thread), without `lock`. */
static gboolean ov_videobatch_update_src_caps(OvVideoBatch *self) {
  MutexGuard caps_guard(&self->caps_lock);

  ovbatch::Layout layout;
  GstVideoFormat format;
  GstVideoColorimetry colorimetry;
  GstVideoChromaSite chroma;
  gint cur_fps_n, cur_fps_d;
  {
    MutexGuard guard(&self->lock);
    std::vector<ovbatch::PadGeometry> geometry;
    for (GSList *l = self->pad_list; l; l = l->next) {
      OvVideoBatchPad *p = OV_VIDEO_BATCH_PAD(l->data);
      ovbatch::PadGeometry g;
      g.width = GST_VIDEO_INFO_WIDTH(&p->pad_info);
      g.height = GST_VIDEO_INFO_HEIGHT(&p->pad_info);
      g.fps_n = GST_VIDEO_INFO_FPS_N(&p->pad_info);
      g.fps_d = GST_VIDEO_INFO_FPS_D(&p->pad_info);
      geometry.push_back(g);
    }
    layout = ovbatch::compute_layout(geometry);
    size_t i = 0;
    for (GSList *l = self->pad_list; l; l = l->next, ++i)
      OV_VIDEO_BATCH_PAD(l->data)->y_offset = layout.y_offsets[i];
    if (!layout.valid())
      return TRUE;
    format = self->mix_format;
    colorimetry = self->mix_colorimetry;
    chroma = self->mix_chroma_site;
    cur_fps_n = GST_VIDEO_INFO_FPS_N(&self->output_info);
    cur_fps_d = GST_VIDEO_INFO_FPS_D(&self->output_info);
    if (gst_util_fraction_compare(layout.fps_n, layout.fps_d, cur_fps_n, cur_fps_d) != 0)
      rebase_timing(self);
  }
  if (format == GST_VIDEO_FORMAT_UNKNOWN)
    return FALSE;

  GstVideoInfo info;
  gst_video_info_set_format(&info, format, layout.width, layout.height);
  info.colorimetry = colorimetry;
  info.chroma_site = chroma;
  info.fps_n = layout.fps_n;
  info.fps_d = layout.fps_d;
  ov::CapsPtr caps(gst_video_info_to_caps(&info));

  ov::CapsPtr peer(gst_pad_peer_query_caps(self->srcpad, nullptr));
  if (peer && !gst_caps_can_intersect(peer.get(), caps.get())) {
    GstCaps *wide = gst_caps_make_writable(caps.release());
    gst_caps_set_simple(wide, "width", GST_TYPE_INT_RANGE, 1, G_MAXINT, "height",
                        GST_TYPE_INT_RANGE, 1, G_MAXINT, "framerate", GST_TYPE_FRACTION_RANGE, 0,
                        1, G_MAXINT, 1, nullptr);
    ov::CapsPtr wide_ptr(wide);
    ov::CapsPtr both(gst_caps_intersect(wide, peer.get()));
    if (gst_caps_is_empty(both.get())) {
      GST_DEBUG_OBJECT(self, "empty caps");
      return FALSE;
    }
    both.reset(gst_caps_truncate(both.release()));
    both.reset(gst_caps_make_writable(both.release()));
    GstStructure *s = gst_caps_get_structure(both.get(), 0);
    gst_structure_fixate_field_nearest_int(s, "width", layout.width);
    gst_structure_fixate_field_nearest_int(s, "height", layout.height);
    gst_structure_fixate_field_nearest_fraction(s, "framerate", layout.fps_n, layout.fps_d);
    gst_structure_get_int(s, "width", &layout.width);
    gst_structure_get_int(s, "height", &layout.height);
    gst_structure_get_fraction(s, "framerate", &layout.fps_n, &layout.fps_d);
    both.reset(gst_caps_fixate(both.release()));
    caps = std::move(both);
  }

  GstVideoInfo out_info;
  if (!gst_video_info_from_caps(&out_info, caps.get()))
    return FALSE;
  GST_INFO_OBJECT(self, "set src caps: %" GST_PTR_FORMAT, caps.get());

  const BlendKernels *kernels = ov_blend_kernels_for(GST_VIDEO_INFO_FORMAT(&out_info));
  {
    MutexGuard guard(&self->lock);
    const bool fps_changed =
        gst_util_fraction_compare(GST_VIDEO_INFO_FPS_N(&out_info), GST_VIDEO_INFO_FPS_D(&out_info),
                                  cur_fps_n, cur_fps_d) != 0;
    self->output_info = out_info;
    if (fps_changed) {
      reset_qos(self);
      rebase_timing(self);
    }
    if (!kernels) {
      self->blend = self->overlay = nullptr;
      return FALSE;
    }
    self->blend = kernels->blend;
    self->overlay = kernels->overlay;
    if (!self->output_caps || !gst_caps_is_equal(self->output_caps, caps.get())) {
      gst_caps_replace(&self->output_caps, caps.get());
      self->caps_pending = TRUE;
    }
  }
  return TRUE;
}

namespace {

bool push_stream_start(OvVideoBatch *self) {
  gchar id[32];
  g_snprintf(id, sizeof id, "mix-%08x", g_random_int());
  if (!gst_pad_push_event(self->srcpad, gst_event_new_stream_start(id))) {
    GST_WARNING_OBJECT(self->srcpad, "Sending stream start event failed");
    return false;
  }
  return true;
}

/* Attaches the records of one pad to the batch; a pad that brings none gets
 * one frame and one device record for its rows, so that frames cut by adding
 * up record heights stay where the image has them. */
void merge_pad_records(OvVideoBatch *self, OvVideoBatchPad *pad, GstBuffer *inbuf,
                       GstBuffer *outbuf, GstOvBatchMeta *out) {
  GstOvBatchMeta *in = inbuf ? gst_buffer_get_ov_batch_meta(inbuf) : nullptr;
  if (inbuf && !in)
    GST_DEBUG_OBJECT(self, "Can not find orvane batch metadata");
  if (in && !in->batch.frames.empty()) {
    // Device indices point into the merged device list, after earlier pads'.
    const size_t merged_before = out->batch.devices.size();
    for (const VideoFrameData &f : in->batch.frames) {
      GST_DEBUG_OBJECT(self, "\n Frame info added: \n");
      out->batch.frames.push_back(f);
      out->batch.frames.back().device_idx =
          ovbatch::rebase_device_index(f.device_idx, in->batch.devices.size(), merged_before);
    }
    for (const DeviceInfoData &d : in->batch.devices) {
      GST_DEBUG_OBJECT(self, "\n Device info added: \n");
      out->batch.devices.push_back(d);
    }
    return;
  }
  if (in) {
    for (const DeviceInfoData &d : in->batch.devices)
      out->batch.devices.push_back(d);
  }
  if (GST_VIDEO_INFO_HEIGHT(&pad->pad_info) > 0)
    attach_gst_pads(outbuf, GST_PAD(pad));
}

/* Clears the rows a pad was meant to cover, when it could not be drawn. */
void clear_rows(GstVideoFrame *frame, std::vector<gint> &covered, OvVideoBatchPad *pad) {
  if (covered.empty())
    return;
  const gint y0 = std::max(pad->y_offset, 0);
  const gint y1 = std::min(pad->y_offset + GST_VIDEO_INFO_HEIGHT(&pad->pad_info),
                           gint(covered.size()));
  std::vector<gint> none(covered.size(), G_MAXINT);
  for (gint y = y0; y < y1; ++y)
    none[y] = 0;
  ov_blend_fill_zero_beyond(frame, none.data());
}

void drop_pool(OvVideoBatch *self) {
  if (!self->pool)
    return;
  gst_buffer_pool_set_active(self->pool, FALSE);
  gst_object_unref(self->pool);
  self->pool = nullptr;
  self->pool_size = 0;
}

/* A buffer of `size` bytes.  Reused buffers spare the page faults of a fresh
 * allocation of several megabytes per frame. */
GstBuffer *allocate_output(OvVideoBatch *self, gsize size) {
  if (!self->pool || self->pool_size != size) {
    drop_pool(self);
    GstBufferPool *pool = gst_buffer_pool_new();
    GstStructure *config = gst_buffer_pool_get_config(pool);
    gst_buffer_pool_config_set_params(config, self->output_caps, guint(size), 0, 0);
    if (!gst_buffer_pool_set_config(pool, config) || !gst_buffer_pool_set_active(pool, TRUE)) {
      gst_object_unref(pool);
      return gst_buffer_new_allocate(nullptr, size, nullptr);
    }
    self->pool = pool;
    self->pool_size = size;
  }
  GstBuffer *buf = nullptr;
  if (gst_buffer_pool_acquire_buffer(self->pool, &buf, nullptr) != GST_FLOW_OK)
    return gst_buffer_new_allocate(nullptr, size, nullptr);
  return buf;
}

/* Builds one output buffer.  Call with `lock`. */
GstFlowReturn blend_buffers(OvVideoBatch *self, GstClockTime start, GstClockTime end,
                            GstBuffer **out) {
  ov::BufferPtr outbuf(allocate_output(self, GST_VIDEO_INFO_SIZE(&self->output_info)));
  if (!outbuf) {
    GST_ELEMENT_ERROR(self, RESOURCE, NO_SPACE_LEFT, ("Cannot allocate the batch image."),
                      ("an output buffer of %" G_GSIZE_FORMAT " bytes",
                       GST_VIDEO_INFO_SIZE(&self->output_info)));
    return GST_FLOW_ERROR;
  }
  GST_BUFFER_PTS(outbuf.get()) = start;
  GST_BUFFER_DURATION(outbuf.get()) = end - start;

  GstOvBatchMeta *meta = reinterpret_cast<GstOvBatchMeta *>(
      gst_buffer_add_meta(outbuf.get(), gst_ov_batch_meta_get_info(), nullptr));
  if (!meta) {
    GST_ELEMENT_ERROR(self, CORE, FAILED, ("Cannot attach a batch record to the batch image."),
                      ("output buffer of %" G_GSIZE_FORMAT " bytes",
                       GST_VIDEO_INFO_SIZE(&self->output_info)));
    return GST_FLOW_ERROR;
  }

  GstVideoFrame outframe;
  if (!gst_video_frame_map(&outframe, &self->output_info, outbuf.get(), GST_MAP_WRITE)) {
    GST_ELEMENT_ERROR(self, CORE, FAILED, ("Cannot map the batch image."),
                      ("%dx%d output of %" G_GSIZE_FORMAT " bytes",
                       GST_VIDEO_INFO_WIDTH(&self->output_info),
                       GST_VIDEO_INFO_HEIGHT(&self->output_info),
                       GST_VIDEO_INFO_SIZE(&self->output_info)));
    return GST_FLOW_ERROR;
  }
  // Where the frames will be copied over, clearing first is wasted bandwidth.
  std::vector<gint> covered;
  if (ov_blend_can_fill_beyond(&self->output_info)) {
    covered.assign(GST_VIDEO_INFO_HEIGHT(&self->output_info), 0);
    const gint out_w = GST_VIDEO_INFO_WIDTH(&self->output_info);
    for (GSList *l = self->pad_list; l; l = l->next) {
      OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(l->data);
      if (!pad->mixcol || !pad->mixcol->buffer || pad->opacity != 1.0 || pad->x_offset != 0)
        continue;
      const gint y0 = std::max(pad->y_offset, 0);
      const gint y1 = std::min(pad->y_offset + GST_VIDEO_INFO_HEIGHT(&pad->pad_info),
                               gint(covered.size()));
      const gint w = std::min(pad->x_offset + GST_VIDEO_INFO_WIDTH(&pad->pad_info), out_w);
      for (gint y = y0; y < y1; ++y)
        covered[y] = std::max(covered[y], w);
    }
    ov_blend_fill_zero_beyond(&outframe, covered.data());
  } else {
    ov_blend_fill_zero(&outframe);
  }
  BlendFunction composite = self->overlay;

  GstFlowReturn ret = GST_FLOW_OK;
  for (GSList *l = self->pad_list; l; l = l->next) {
    OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(l->data);
    OvVideoBatchCollect *c = pad->mixcol;
    GstBuffer *inbuf = c ? c->buffer : nullptr;
    merge_pad_records(self, pad, inbuf, outbuf.get(), meta);
    if (!inbuf)
      continue;

    GstClockTime stream_time =
        gst_segment_to_stream_time(&c->collect.segment, GST_FORMAT_TIME, GST_BUFFER_PTS(inbuf));
    if (GST_CLOCK_TIME_IS_VALID(stream_time))
      gst_object_sync_values(GST_OBJECT(pad), stream_time);

    GstVideoFrame inframe;
    if (!gst_video_frame_map(&inframe, &pad->pad_info, inbuf, GST_MAP_READ)) {
      GST_WARNING_OBJECT(pad, "Could not map input buffer");
      clear_rows(&outframe, covered, pad);
      continue;
    }
    if (pad->converter) {
      if (pad->need_conversion_update) {
        GstVideoInfo conv = pad->conversion_info;
        gst_video_info_set_format(&pad->conversion_info, GST_VIDEO_INFO_FORMAT(&self->output_info),
                                  GST_VIDEO_INFO_WIDTH(&pad->pad_info),
                                  GST_VIDEO_INFO_HEIGHT(&pad->pad_info));
        pad->conversion_info.colorimetry = conv.colorimetry;
        pad->conversion_info.chroma_site = conv.chroma_site;
        pad->need_conversion_update = FALSE;
      }
      ov::BufferPtr tmp(gst_buffer_new_allocate(
          nullptr, GST_VIDEO_INFO_SIZE(&pad->conversion_info), nullptr));
      GstVideoFrame converted;
      if (tmp &&
          gst_video_frame_map(&converted, &pad->conversion_info, tmp.get(), GST_MAP_READWRITE)) {
        gst_video_converter_frame(pad->converter, &inframe, &converted);
        composite(&converted, pad->x_offset, pad->y_offset, pad->opacity, &outframe);
        gst_video_frame_unmap(&converted);
      } else {
        clear_rows(&outframe, covered, pad);
        GST_ELEMENT_ERROR(self, CORE, FAILED, ("Cannot convert the frame of %s.",
                                               GST_PAD_NAME(pad)),
                          ("%s: a %dx%d frame could not be converted to the output format",
                           GST_PAD_NAME(pad), GST_VIDEO_INFO_WIDTH(&pad->pad_info),
                           GST_VIDEO_INFO_HEIGHT(&pad->pad_info)));
        ret = GST_FLOW_ERROR;
      }
    } else {
      composite(&inframe, pad->x_offset, pad->y_offset, pad->opacity, &outframe);
    }
    gst_video_frame_unmap(&inframe);
    if (ret != GST_FLOW_OK)
      break;
  }
  gst_video_frame_unmap(&outframe);
  if (ret == GST_FLOW_OK)
    *out = outbuf.release();
  return ret;
}

/* kNothing: no input has a frame for the interval (live inputs that started
 * after it, or that all stalled); a batch would hold no frame at all. */
enum class Fill { kReady, kNeedData, kEos, kNothing, kError };

/* Picks, for every pad, the buffer that covers [start, end) (running times
 * of the output segment).  Call with `lock`. */
Fill fill_queues(OvVideoBatch *self, GstClockTime output_start, GstClockTime output_end) {
  bool all_eos = true;
  bool need_more_data = false;
  // Once every input has ended, an interval in which no pad takes a new
  // buffer would only repeat frames already sent: a live input's last frame
  // usually straddles the end of the last interval (its time stamps do not
  // start on the output's grid), which made one batch more than came in.
  bool all_ended = true;
  bool took_new = false;

  for (GSList *l = self->pad_list; l; l = l->next) {
    OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(l->data);
    OvVideoBatchCollect *c = pad->mixcol;
    GstSegment *seg = &c->collect.segment;

    // A shown buffer that has run out is of no use any more.
    if (c->buffer && GST_CLOCK_TIME_IS_VALID(c->end) && c->end <= output_start) {
      gst_clear_buffer(&c->buffer);
      c->start = c->end = GST_CLOCK_TIME_NONE;
    }

    ov::BufferPtr peeked(gst_collect_pads_peek(self->collect_pads, &c->collect));
    if (!peeked) {
      if (c->queued) {
        // End of stream behind a buffer without duration: it lasts one
        // output frame.
        all_eos = false;
        GstBuffer *q = c->queued;
        c->queued = nullptr;
        GstClockTime qs = gst_segment_to_running_time(seg, GST_FORMAT_TIME, GST_BUFFER_PTS(q));
        gst_clear_buffer(&c->buffer);
        c->buffer = q;
        c->start = qs;
        c->end = output_end;
        took_new = true;
        continue;
      }
      if (c->buffer)
        all_eos = false;
      if (!GST_COLLECT_PADS_STATE_IS_SET(&c->collect, GST_COLLECT_PADS_STATE_EOS))
        all_ended = false;
      continue;
    }
    all_eos = false;
    all_ended = false;

    GstBuffer *buf = peeked.get();
    if (!GST_BUFFER_PTS_IS_VALID(buf)) {
      GST_ERROR_OBJECT(pad, "Need timestamped buffers!");
      GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("Need timestamped buffers!"),
                        ("%s: a buffer of %" G_GSIZE_FORMAT " bytes has no PTS", GST_PAD_NAME(pad),
                         gst_buffer_get_size(buf)));
      return Fill::kError;
    }

    GstClockTime start_time = GST_BUFFER_PTS(buf);
    GstClockTime end_time;
    bool from_queue = false;
    if (!GST_BUFFER_DURATION_IS_VALID(buf)) {
      if (!c->queued) {
        c->queued = gst_collect_pads_pop(self->collect_pads, &c->collect);
        need_more_data = true;
        continue;
      }
      if (start_time < GST_BUFFER_PTS(c->queued)) {
        GST_WARNING_OBJECT(pad, "Buffer from the past, dropping");
        gst_buffer_unref(gst_collect_pads_pop(self->collect_pads, &c->collect));
        need_more_data = true;
        continue;
      }
      // The held buffer ends where its successor starts.
      end_time = start_time;
      start_time = GST_BUFFER_PTS(c->queued);
      buf = c->queued;
      from_queue = true;
    } else {
      end_time = start_time + GST_BUFFER_DURATION(buf);
    }

    if (GST_CLOCK_TIME_IS_VALID(seg->stop))
      end_time = std::min(end_time, seg->stop);
    GstClockTime start_rt = gst_segment_to_running_time(seg, GST_FORMAT_TIME, start_time);
    GstClockTime end_rt = gst_segment_to_running_time(seg, GST_FORMAT_TIME, end_time);

    auto drop = [&]() {
      if (from_queue)
        gst_clear_buffer(&c->queued);
      else
        gst_buffer_unref(gst_collect_pads_pop(self->collect_pads, &c->collect));
      need_more_data = true;
    };

    if (c->buffer && GST_CLOCK_TIME_IS_VALID(end_rt) && GST_CLOCK_TIME_IS_VALID(c->end) &&
        end_rt < c->end) {
      GST_DEBUG_OBJECT(pad, "Buffer from the past, dropping");
      drop();
      continue;
    }
    if (!GST_CLOCK_TIME_IS_VALID(start_rt) || !GST_CLOCK_TIME_IS_VALID(end_rt)) {
      GST_DEBUG_OBJECT(pad, "Buffer outside the segment");
      drop();
      continue;
    }
    if (end_rt <= output_start) {
      GST_DEBUG_OBJECT(pad, "Too old buffer -- dropping");
      drop();
      continue;
    }
    if (start_rt >= output_end) {
      GST_DEBUG_OBJECT(pad, "Keeping buffer until %" GST_TIME_FORMAT, GST_TIME_ARGS(start_rt));
      continue;
    }

    GST_DEBUG_OBJECT(pad, "Taking new buffer with start time %" GST_TIME_FORMAT,
                     GST_TIME_ARGS(start_rt));
    gst_clear_buffer(&c->buffer);
    if (from_queue) {
      c->buffer = c->queued;
      // Its successor now waits for its own end.
      c->queued = gst_collect_pads_pop(self->collect_pads, &c->collect);
    } else {
      c->buffer = gst_collect_pads_pop(self->collect_pads, &c->collect);
    }
    c->start = start_rt;
    c->end = end_rt;
    took_new = true;
  }

  if (all_eos)
    return Fill::kEos;
  if (need_more_data) {
    GST_DEBUG_OBJECT(self, "Need more data for decisions");
    return Fill::kNeedData;
  }
  if (all_ended && !took_new) {
    GST_DEBUG_OBJECT(self, "All sinkpads are EOS and their last frames were sent");
    return Fill::kEos;
  }
  for (GSList *l = self->pad_list; l; l = l->next)
    if (OV_VIDEO_BATCH_PAD(l->data)->mixcol->buffer)
      return Fill::kReady;
  return Fill::kNothing;
}

/* Whether the frame starting at `timestamp` is still worth making. */
bool do_qos(OvVideoBatch *self, GstClockTime timestamp) {
  GST_OBJECT_LOCK(self);
  GstClockTime earliest = self->qos_earliest;
  GST_OBJECT_UNLOCK(self);
  if (!GST_CLOCK_TIME_IS_VALID(earliest)) {
    GST_LOG_OBJECT(self, "no observation yet, process frame");
    return true;
  }
  if (!GST_CLOCK_TIME_IS_VALID(timestamp)) {
    GST_LOG_OBJECT(self, "invalid timestamp, can't do QoS, process frame");
    return true;
  }
  GstClockTime qostime = gst_segment_to_running_time(&self->segment, GST_FORMAT_TIME, timestamp);
  GST_LOG_OBJECT(self, "qostime %" GST_TIME_FORMAT ", earliest %" GST_TIME_FORMAT,
                 GST_TIME_ARGS(qostime), GST_TIME_ARGS(earliest));
  if (GST_CLOCK_TIME_IS_VALID(qostime) && qostime <= earliest) {
    GST_DEBUG_OBJECT(self, "we are late, drop frame");
    return false;
  }
  GST_LOG_OBJECT(self, "process frame");
  return true;
}

void post_qos(OvVideoBatch *self, GstClockTime start, GstClockTime end) {
  GstClockTime running = gst_segment_to_running_time(&self->segment, GST_FORMAT_TIME, start);
  GstClockTime stream = gst_segment_to_stream_time(&self->segment, GST_FORMAT_TIME, start);
  GST_OBJECT_LOCK(self);
  const GstClockTimeDiff jitter = GST_CLOCK_DIFF(running, self->qos_earliest);
  const gdouble proportion = self->qos_proportion;
  const guint64 processed = self->qos_processed, dropped = self->qos_dropped;
  GST_OBJECT_UNLOCK(self);
  GstMessage *msg = gst_message_new_qos(GST_OBJECT(self), FALSE, running, stream, start, end - start);
  gst_message_set_qos_values(msg, jitter, proportion, 1000000);
  gst_message_set_qos_stats(msg, GST_FORMAT_BUFFERS, processed, dropped);
  gst_element_post_message(GST_ELEMENT(self), msg);
}

GstFlowReturn push_eos(OvVideoBatch *self) {
  gst_pad_push_event(self->srcpad, gst_event_new_eos());
  return GST_FLOW_EOS;
}

/* Every input at end of stream with nothing left to show. */
bool all_pads_drained(OvVideoBatch *self) {
  MutexGuard guard(&self->lock);
  for (GSList *l = self->pad_list; l; l = l->next) {
    OvVideoBatchCollect *c = OV_VIDEO_BATCH_PAD(l->data)->mixcol;
    if (!GST_COLLECT_PADS_STATE_IS_SET(&c->collect, GST_COLLECT_PADS_STATE_EOS) || c->buffer ||
        c->queued)
      return false;
    ov::BufferPtr peeked(gst_collect_pads_peek(self->collect_pads, &c->collect));
    if (peeked)
      return false;
  }
  return true;
}

/* Posts why no batch image can be made and returns not-negotiated. */
GstFlowReturn not_negotiated(OvVideoBatch *self, const char *why) {
  ov::CapsPtr peer(gst_pad_peer_query_caps(self->srcpad, nullptr));
  gchar *peer_text = peer ? gst_caps_to_string(peer.get()) : g_strdup("none");
  GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("No output format for the batch image."),
                    ("%s; downstream accepts %s", why, peer_text));
  g_free(peer_text);
  return GST_FLOW_NOT_NEGOTIATED;
}

GstFlowReturn collected(OvVideoBatch *self) {
  if (self->stream_start_pending) {
    push_stream_start(self);
    self->stream_start_pending = FALSE;
  }
  if (gst_pad_check_reconfigure(self->srcpad))
    ov_videobatch_update_src_caps(self);

  bool have_format;
  {
    MutexGuard guard(&self->lock);
    have_format = GST_VIDEO_INFO_FORMAT(&self->output_info) != GST_VIDEO_FORMAT_UNKNOWN;
  }
  if (!have_format) {
    // Inputs that end before sending any caps end the stream, not fail it.
    if (all_pads_drained(self)) {
      GST_DEBUG_OBJECT(self, "All sinkpads are EOS -- forwarding");
      return push_eos(self);
    }
    if (!ov_videobatch_update_src_caps(self))
      return not_negotiated(self, "the inputs' formats and sizes give no caps downstream accepts");
    bool still_unknown;
    {
      MutexGuard guard(&self->lock);
      still_unknown = GST_VIDEO_INFO_FORMAT(&self->output_info) == GST_VIDEO_FORMAT_UNKNOWN;
    }
    if (still_unknown)
      return not_negotiated(self, "no input has caps yet");
  }

  ov::CapsPtr caps_to_push;
  GstSegment segment;
  bool push_segment;
  gint fps_n, fps_d;
  {
    MutexGuard guard(&self->lock);
    if (self->caps_pending && self->output_caps) {
      caps_to_push.reset(gst_caps_ref(self->output_caps));
      self->caps_pending = FALSE;
    }
    have_format = self->overlay != nullptr;
    segment = self->segment;
    push_segment = self->segment_pending;
    fps_n = GST_VIDEO_INFO_FPS_N(&self->output_info);
    fps_d = GST_VIDEO_INFO_FPS_D(&self->output_info);
  }
  if (!have_format)
    return not_negotiated(self, "the output format has no batch kernels");
  if (caps_to_push && !gst_pad_push_event(self->srcpad, gst_event_new_caps(caps_to_push.get())))
    GST_WARNING_OBJECT(self->srcpad, "Sending caps event failed");

  if (push_segment) {
    GST_DEBUG_OBJECT(self, "Sending NEWSEGMENT event");
    if (!gst_pad_push_event(self->srcpad, gst_event_new_segment(&segment))) {
      GST_ELEMENT_ERROR(self, STREAM, FAILED, (nullptr), ("Pushing the segment event failed"));
      return GST_FLOW_ERROR;
    }
    MutexGuard guard(&self->lock);
    self->segment_pending = FALSE;
  }
  if (fps_n <= 0 || fps_d <= 0)
    return not_negotiated(self, "the output framerate is not positive");

  GstClockTime output_start, output_end;
  GstTagList *tags = nullptr;
  bool segment_done = false, segment_seek_done = false, posted_before = false;
  {
    MutexGuard guard(&self->lock);
    output_start = GST_CLOCK_TIME_IS_VALID(self->segment.position) ? self->segment.position
                                                                     : self->segment.start;
    output_end = ovbatch::interval_end(self->segment.start, self->time_offset, self->frame_count,
                                       fps_n, fps_d);
    // The frame that straddles the stop is still made, cut at the stop.
    if (GST_CLOCK_TIME_IS_VALID(self->segment.stop) && output_start >= self->segment.stop) {
      GST_DEBUG_OBJECT(self, "Segment done");
      if (self->segment.flags & GST_SEGMENT_FLAG_SEGMENT)
        segment_seek_done = true;
      else
        segment_done = true;
    }
    if (segment_seek_done) {
      // Nothing past the stop until the next seek (frames of negative length
      // would follow): the inputs' buffers are let go as they come.
      bool any = false;
      for (GSList *l = self->pad_list; l; l = l->next) {
        OvVideoBatchCollect *c = OV_VIDEO_BATCH_PAD(l->data)->mixcol;
        ov::BufferPtr dropped(gst_collect_pads_pop(self->collect_pads, &c->collect));
        any = any || dropped;
      }
      posted_before = self->segment_done_posted;
      self->segment_done_posted = TRUE;
      // Called with nothing to take: every input has ended.
      if (!any)
        segment_done = true;
      else if (posted_before)
        return GST_FLOW_OK;
    } else if (!segment_done) {
      tags = self->tags_pending;
      self->tags_pending = nullptr;
      if (GST_CLOCK_TIME_IS_VALID(self->segment.stop))
        output_end = std::min(output_end, GstClockTime(self->segment.stop));
    }
  }
  if (segment_seek_done && !posted_before) {
    const gint64 stop = gint64(segment.stop);
    gst_element_post_message(GST_ELEMENT(self),
                             gst_message_new_segment_done(GST_OBJECT(self), GST_FORMAT_TIME, stop));
    gst_pad_push_event(self->srcpad, gst_event_new_segment_done(GST_FORMAT_TIME, stop));
  }
  if (segment_done)
    return push_eos(self);
  if (segment_seek_done)
    return GST_FLOW_OK;
  if (tags)
    gst_pad_push_event(self->srcpad, gst_event_new_tag(tags));

  GstBuffer *outbuf = nullptr;
  GstFlowReturn ret = GST_FLOW_OK;
  bool late = false, nothing = false;
  {
    MutexGuard guard(&self->lock);
    GstClockTime start_rt =
        gst_segment_to_running_time(&self->segment, GST_FORMAT_TIME, output_start);
    GstClockTime end_rt = gst_segment_to_running_time(&self->segment, GST_FORMAT_TIME, output_end);
    switch (fill_queues(self, start_rt, end_rt)) {
      case Fill::kError:
        GST_ERROR_OBJECT(self, "Error collecting buffers");
        return GST_FLOW_ERROR;
      case Fill::kNeedData:
        return GST_FLOW_OK;
      case Fill::kEos:
        GST_DEBUG_OBJECT(self, "All sinkpads are EOS -- forwarding");
        ret = GST_FLOW_EOS;
        break;
      case Fill::kNothing:
        // A batch without a single frame tells downstream nothing; a gap
        // event says the same without one.
        GST_DEBUG_OBJECT(self, "No input has a frame for this interval -- skipping it");
        nothing = true;
        break;
      case Fill::kReady:
        break;
    }
    if (nothing) {
      self->segment.position = output_end;
      self->frame_count++;
    } else if (ret == GST_FLOW_OK) {
      if (do_qos(self, output_start)) {
        ret = blend_buffers(self, output_start, output_end, &outbuf);
        GST_OBJECT_LOCK(self);
        self->qos_processed++;
        GST_OBJECT_UNLOCK(self);
      } else {
        GST_OBJECT_LOCK(self);
        self->qos_dropped++;
        GST_OBJECT_UNLOCK(self);
        late = true;
      }
      self->segment.position = output_end;
      self->frame_count++;
    }
  }
  if (nothing) {
    gst_pad_push_event(self->srcpad, gst_event_new_gap(output_start, output_end - output_start));
    return GST_FLOW_OK;
  }
  if (late)
    post_qos(self, output_start, output_end);
  if (ret == GST_FLOW_EOS)
    return push_eos(self);
  if (ret != GST_FLOW_OK || !outbuf)
    return ret;
  GST_LOG_OBJECT(self, "Pushing buffer with ts %" GST_TIME_FORMAT " and duration %" GST_TIME_FORMAT,
                 GST_TIME_ARGS(GST_BUFFER_PTS(outbuf)), GST_TIME_ARGS(GST_BUFFER_DURATION(outbuf)));
  return gst_pad_push(self->srcpad, outbuf);
}

GstFlowReturn ov_videobatch_collected(GstCollectPads *pads, gpointer user_data) {
  OvVideoBatch *self = OV_VIDEO_BATCH(user_data);
  try {
    return collected(self);
  } catch (const std::exception &e) {
    GST_ERROR_OBJECT(self, "collect failed: %s", e.what());
    GST_ELEMENT_ERROR(self, CORE, FAILED, ("Cannot make the batch image."), ("%s", e.what()));
  } catch (...) {
    GST_ERROR_OBJECT(self, "collect failed");
    GST_ELEMENT_ERROR(self, CORE, FAILED, ("Cannot make the batch image."), ("unknown exception"));
  }
  return GST_FLOW_ERROR;
}

/* --------------------------------------------------------- sink side --- */

GstCaps *sink_caps(OvVideoBatch *self, GstPad *pad, GstCaps *filter) {
  GstCaps *template_caps = gst_pad_get_pad_template_caps(pad);
  GstCaps *base = gst_pad_get_current_caps(self->srcpad);
  if (!base)
    base = gst_pad_get_pad_template_caps(self->srcpad);
  base = gst_caps_make_writable(base);
  for (guint i = 0; i < gst_caps_get_size(base); ++i) {
    GstStructure *s = gst_caps_get_structure(base, i);
    gst_structure_set(s, "width", GST_TYPE_INT_RANGE, 1, G_MAXINT, "height", GST_TYPE_INT_RANGE,
                      1, G_MAXINT, "framerate", GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1,
                      nullptr);
    gst_structure_remove_fields(s, "format", "colorimetry", "chroma-site", nullptr);
    if (!gst_structure_has_field(s, "pixel-aspect-ratio"))
      gst_structure_set(s, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
  }
  GstCaps *result = gst_caps_intersect(base, template_caps);
  gst_caps_unref(base);
  gst_caps_unref(template_caps);
  if (filter) {
    GstCaps *f = gst_caps_intersect_full(filter, result, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(result);
    result = f;
  }
  return result;
}

gboolean pad_set_caps(OvVideoBatch *self, OvVideoBatchPad *pad, GstCaps *caps) {
  GST_INFO_OBJECT(pad, "Setting caps %" GST_PTR_FORMAT, caps);
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, caps)) {
    GST_ERROR_OBJECT(pad, "Failed to parse caps");
    return FALSE;
  }
  {
    MutexGuard guard(&self->lock);
    const GstVideoInfo &out = self->output_info;
    if (GST_VIDEO_INFO_FORMAT(&out) != GST_VIDEO_FORMAT_UNKNOWN &&
        (GST_VIDEO_INFO_PAR_N(&out) != GST_VIDEO_INFO_PAR_N(&info) ||
         GST_VIDEO_INFO_PAR_D(&out) != GST_VIDEO_INFO_PAR_D(&info) ||
         GST_VIDEO_INFO_INTERLACE_MODE(&out) != GST_VIDEO_INFO_INTERLACE_MODE(&info))) {
      GST_DEBUG_OBJECT(pad, "got input caps %" GST_PTR_FORMAT ", but current caps are %" GST_PTR_FORMAT,
                       caps, self->output_caps);
      return FALSE;
    }
  }
  GST_COLLECT_PADS_STREAM_LOCK(self->collect_pads);
  {
    MutexGuard guard(&self->lock);
    pad->pad_info = info;
  }
  gboolean ok = update_converters(self);
  if (ok)
    ok = ov_videobatch_update_src_caps(self);
  GST_COLLECT_PADS_STREAM_UNLOCK(self->collect_pads);
  return ok;
}

gboolean ov_videobatch_sink_event(GstCollectPads *pads, GstCollectData *data, GstEvent *event,
                                  gpointer user_data) {
  OvVideoBatch *self = OV_VIDEO_BATCH(user_data);
  OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(data->pad);
  OvVideoBatchCollect *c = reinterpret_cast<OvVideoBatchCollect *>(data);

  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
      GstCaps *caps;
      gst_event_parse_caps(event, &caps);
      gboolean ok = pad_set_caps(self, pad, caps);
      gst_event_unref(event);
      return ok;
    }
    case GST_EVENT_SEGMENT: {
      const GstSegment *seg;
      gst_event_parse_segment(event, &seg);
      if (seg->format != GST_FORMAT_TIME) {
        GST_DEBUG_OBJECT(pad, "segment in %s format refused", gst_format_get_name(seg->format));
        gst_event_unref(event);
        return FALSE;
      }
      reset_qos(self);
      reset_qos_counters(self);
      return gst_collect_pads_event_default(pads, data, event, FALSE);
    }
    case GST_EVENT_FLUSH_STOP: {
      reset_qos(self);
      reset_qos_counters(self);
      {
        MutexGuard guard(&self->lock);
        self->segment_pending = TRUE;
        self->segment_done_posted = FALSE;
        clear_collect_buffers(c);
        self->segment.position = GST_CLOCK_TIME_NONE;
        self->time_offset = 0;
        self->frame_count = 0;
      }
      return gst_collect_pads_event_default(pads, data, event, FALSE);
    }
    case GST_EVENT_TAG: {
      GstTagList *tags;
      gst_event_parse_tag(event, &tags);
      {
        MutexGuard guard(&self->lock);
        GstTagList *merged = gst_tag_list_merge(self->tags_pending, tags, GST_TAG_MERGE_APPEND);
        if (self->tags_pending)
          gst_tag_list_unref(self->tags_pending);
        self->tags_pending = merged;
      }
      gst_event_unref(event);
      return TRUE;
    }
    default:
      return gst_collect_pads_event_default(pads, data, event, FALSE);
  }
}

gboolean ov_videobatch_sink_query(GstCollectPads *pads, GstCollectData *data, GstQuery *query,
                                  gpointer user_data) {
  OvVideoBatch *self = OV_VIDEO_BATCH(user_data);
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_CAPS: {
      GstCaps *filter;
      gst_query_parse_caps(query, &filter);
      GstCaps *caps = sink_caps(self, data->pad, filter);
      gst_query_set_caps_result(query, caps);
      gst_caps_unref(caps);
      return TRUE;
    }
    case GST_QUERY_ACCEPT_CAPS: {
      GstCaps *caps;
      gst_query_parse_accept_caps(query, &caps);
      GstCaps *allowed = sink_caps(self, data->pad, nullptr);
      gst_query_set_accept_caps_result(query, gst_caps_can_intersect(caps, allowed));
      gst_caps_unref(allowed);
      return TRUE;
    }
    default:
      return gst_collect_pads_query_default(pads, data, query, FALSE);
  }
}

GstFlowReturn ov_videobatch_clip(GstCollectPads *pads, GstCollectData *data, GstBuffer *buf,
                                 GstBuffer **outbuf, gpointer user_data) {
  OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(data->pad);
  OvVideoBatchCollect *c = reinterpret_cast<OvVideoBatchCollect *>(data);
  *outbuf = nullptr;
  if (!buf)
    return GST_FLOW_OK;
  if (!GST_BUFFER_PTS_IS_VALID(buf)) {
    GST_ERROR_OBJECT(pad, "Timestamped buffers required!");
    GST_ELEMENT_ERROR(OV_VIDEO_BATCH(user_data), STREAM, FORMAT, ("Timestamped buffers required!"),
                      ("%s: a buffer of %" G_GSIZE_FORMAT " bytes has no PTS", GST_PAD_NAME(pad),
                       gst_buffer_get_size(buf)));
    gst_buffer_unref(buf);
    return GST_FLOW_ERROR;
  }
  const gint fps_n = GST_VIDEO_INFO_FPS_N(&pad->pad_info);
  const gint fps_d = GST_VIDEO_INFO_FPS_D(&pad->pad_info);
  if (!GST_BUFFER_DURATION_IS_VALID(buf) && fps_n > 0 && fps_d > 0) {
    buf = gst_buffer_make_writable(buf);
    GST_BUFFER_DURATION(buf) = gst_util_uint64_scale_int_round(GST_SECOND, fps_d, fps_n);
  }
  if (GST_BUFFER_DURATION_IS_VALID(buf)) {
    GstClockTime end = GST_BUFFER_PTS(buf) + GST_BUFFER_DURATION(buf);
    const GstSegment *seg = &data->segment;
    if (GST_CLOCK_TIME_IS_VALID(seg->stop))
      end = std::min(end, GstClockTime(seg->stop));
    GstClockTime end_rt = gst_segment_to_running_time(seg, GST_FORMAT_TIME, end);
    if (c->buffer && GST_CLOCK_TIME_IS_VALID(end_rt) && GST_CLOCK_TIME_IS_VALID(c->end) &&
        end_rt < c->end) {
      gst_buffer_unref(buf);
      return GST_FLOW_OK;
    }
  }
  *outbuf = buf;
  return GST_FLOW_OK;
}

/* ---------------------------------------------------------- src side --- */

gboolean forward_event_upstream(OvVideoBatch *self, GstEvent *event) {
  GST_LOG_OBJECT(self, "Forwarding event %p (%s)", event, GST_EVENT_TYPE_NAME(event));
  gboolean all = TRUE;
  GstIterator *it = gst_element_iterate_sink_pads(GST_ELEMENT(self));
  GValue item = G_VALUE_INIT;
  bool done = false;
  while (!done) {
    switch (gst_iterator_next(it, &item)) {
      case GST_ITERATOR_OK: {
        GstPad *pad = GST_PAD(g_value_get_object(&item));
        GST_LOG_OBJECT(pad, "About to send event %s", GST_EVENT_TYPE_NAME(event));
        gst_event_ref(event);
        if (gst_pad_push_event(pad, event)) {
          GST_LOG_OBJECT(pad, "Sent event  %p (%s).", event, GST_EVENT_TYPE_NAME(event));
        } else {
          GST_LOG_OBJECT(pad, "Sending event  %p (%s) failed.", event, GST_EVENT_TYPE_NAME(event));
          all = FALSE;
        }
        g_value_reset(&item);
        break;
      }
      case GST_ITERATOR_RESYNC:
        gst_iterator_resync(it);
        all = TRUE;
        break;
      default:
        done = true;
        break;
    }
  }
  g_value_unset(&item);
  gst_iterator_free(it);
  gst_event_unref(event);
  return all;
}

gboolean src_event(GstPad *pad, GstObject *parent, GstEvent *event) {
  OvVideoBatch *self = OV_VIDEO_BATCH(parent);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_QOS: {
      GstQOSType type;
      gdouble proportion;
      GstClockTimeDiff diff;
      GstClockTime timestamp;
      gst_event_parse_qos(event, &type, &proportion, &diff, &timestamp);
      GstClockTime duration;
      {
        MutexGuard guard(&self->lock);
        duration = frame_duration(&self->output_info);
      }
      GST_OBJECT_LOCK(self);
      self->qos_proportion = proportion;
      if (GST_CLOCK_TIME_IS_VALID(timestamp)) {
        if (G_UNLIKELY(diff > 0))
          self->qos_earliest = timestamp + 2 * diff + duration;
        else
          self->qos_earliest = timestamp + diff;
      } else {
        self->qos_earliest = GST_CLOCK_TIME_NONE;
      }
      GST_OBJECT_UNLOCK(self);
      GST_DEBUG_OBJECT(self,
                       "Updating QoS: proportion %lf, diff %c%" GST_TIME_FORMAT
                       ", timestamp %" GST_TIME_FORMAT,
                       proportion, diff < 0 ? '-' : '+', GST_TIME_ARGS(ABS(diff)),
                       GST_TIME_ARGS(timestamp));
      return forward_event_upstream(self, event);
    }
    case GST_EVENT_SEEK: {
      gdouble rate;
      GstFormat format;
      GstSeekFlags flags;
      GstSeekType start_type, stop_type;
      gint64 start, stop;
      gst_event_parse_seek(event, &rate, &format, &flags, &start_type, &start, &stop_type, &stop);
      if (rate <= 0.0) {
        GST_ERROR_OBJECT(pad, "Negative rates not supported yet");
        gst_event_unref(event);
        return FALSE;
      }
      GST_DEBUG_OBJECT(self, "Handling SEEK event");
      const bool flush = flags & GST_SEEK_FLAG_FLUSH;
      {
        MutexGuard guard(&self->lock);
        if (!flush) {
          const gdouble old_rate = self->segment.rate;
          for (GSList *l = self->pad_list; l; l = l->next) {
            OvVideoBatchCollect *c = OV_VIDEO_BATCH_PAD(l->data)->mixcol;
            if (c && GST_CLOCK_TIME_IS_VALID(c->start))
              c->start = GstClockTime(c->start * old_rate / rate);
            if (c && GST_CLOCK_TIME_IS_VALID(c->end))
              c->end = GstClockTime(c->end * old_rate / rate);
          }
        }
        gst_segment_do_seek(&self->segment, rate, format, flags, start_type, start, stop_type,
                            stop, nullptr);
        self->segment_pending = TRUE;
        self->segment_done_posted = FALSE;
        self->segment.position = GST_CLOCK_TIME_NONE;
        self->time_offset = 0;
        self->frame_count = 0;
      }
      reset_qos(self);
      gboolean ok = gst_collect_pads_src_event_default(self->collect_pads, pad, event);
      if (flush) {
        GST_COLLECT_PADS_STREAM_LOCK(self->collect_pads);
        {
          MutexGuard guard(&self->lock);
          for (GSList *l = self->pad_list; l; l = l->next)
            if (OV_VIDEO_BATCH_PAD(l->data)->mixcol)
              clear_collect_buffers(OV_VIDEO_BATCH_PAD(l->data)->mixcol);
        }
        GST_COLLECT_PADS_STREAM_UNLOCK(self->collect_pads);
      }
      return ok;
    }
    case GST_EVENT_NAVIGATION:
      gst_event_unref(event);
      return FALSE;
    default:
      return forward_event_upstream(self, event);
  }
}

gboolean query_duration(OvVideoBatch *self, GstQuery *query) {
  GstFormat format;
  gst_query_parse_duration(query, &format, nullptr);
  gint64 max = -1;
  GstIterator *it = gst_element_iterate_sink_pads(GST_ELEMENT(self));
  GValue item = G_VALUE_INIT;
  bool done = false;
  while (!done) {
    switch (gst_iterator_next(it, &item)) {
      case GST_ITERATOR_OK: {
        GstPad *pad = GST_PAD(g_value_get_object(&item));
        gint64 duration;
        if (gst_pad_peer_query_duration(pad, format, &duration)) {
          if (duration == -1) {
            max = -1;
            done = true;
          } else if (duration > max) {
            max = duration;
          }
        }
        g_value_reset(&item);
        break;
      }
      case GST_ITERATOR_RESYNC:
        max = -1;
        gst_iterator_resync(it);
        break;
      default:
        done = true;
        break;
    }
  }
  g_value_unset(&item);
  gst_iterator_free(it);
  GST_DEBUG_OBJECT(self, "Total duration in format %s: %" GST_TIME_FORMAT,
                   gst_format_get_name(format), GST_TIME_ARGS(max));
  gst_query_set_duration(query, format, max);
  return TRUE;
}

gboolean src_query(GstPad *pad, GstObject *parent, GstQuery *query) {
  OvVideoBatch *self = OV_VIDEO_BATCH(parent);
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_POSITION: {
      GstFormat format;
      gst_query_parse_position(query, &format, nullptr);
      if (format != GST_FORMAT_TIME)
        return FALSE;
      MutexGuard guard(&self->lock);
      gst_query_set_position(
          query, format,
          gst_segment_to_stream_time(&self->segment, GST_FORMAT_TIME, self->segment.position));
      return TRUE;
    }
    case GST_QUERY_DURATION:
      return query_duration(self, query);
    case GST_QUERY_CAPS:
      return gst_pad_query_default(pad, parent, query);
    default:
      return FALSE;
  }
}

}  // namespace

/* ----------------------------------------------- request and release --- */

static GstPad *ov_videobatch_request_new_pad(GstElement *element, GstPadTemplate *templ,
                                             const gchar *req_name, const GstCaps *caps) {
  OvVideoBatch *self = OV_VIDEO_BATCH(element);
  if (templ != gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(element), "sink_%u"))
    return nullptr;

  OvVideoBatchPad *pad;
  {
    MutexGuard guard(&self->lock);
    guint serial;
    if (req_name && strlen(req_name) > 5 && g_str_has_prefix(req_name, "sink_")) {
      serial = guint(g_ascii_strtoull(req_name + 5, nullptr, 10));
      if (serial >= self->next_pad_number)
        self->next_pad_number = serial + 1;
    } else {
      serial = self->next_pad_number++;
    }
    gchar *name = g_strdup_printf("sink_%u", serial);
    pad = OV_VIDEO_BATCH_PAD(g_object_new(OV_TYPE_VIDEO_BATCH_PAD, "name", name, "direction",
                                          templ->direction, "template", templ, nullptr));
    g_free(name);
    pad->z_order = guint(self->pad_count);
    pad->opacity = 1.0;
    pad->x_offset = 0;

    OvVideoBatchCollect *c = reinterpret_cast<OvVideoBatchCollect *>(
        gst_collect_pads_add_pad(self->collect_pads, GST_PAD(pad), sizeof(OvVideoBatchCollect),
                                 collect_free, TRUE));
    c->mixpad = pad;
    c->queued = nullptr;
    c->buffer = nullptr;
    c->start = c->end = GST_CLOCK_TIME_NONE;
    pad->mixcol = c;

    // Before the pads of equal z-order, after those below it.
    GSList *pos = self->pad_list;
    gint index = 0;
    while (pos && OV_VIDEO_BATCH_PAD(pos->data)->z_order < pad->z_order) {
      pos = pos->next;
      ++index;
    }
    self->pad_list = g_slist_insert(self->pad_list, pad, index);
    self->pad_count++;
  }
  GST_DEBUG_OBJECT(element, "Adding pad %s", GST_PAD_NAME(pad));

  if (!gst_element_add_pad(element, GST_PAD(pad))) {
    // Usually a name already taken.
    MutexGuard guard(&self->lock);
    self->pad_list = g_slist_remove(self->pad_list, pad);
    self->pad_count--;
    gst_collect_pads_remove_pad(self->collect_pads, GST_PAD(pad));
    return nullptr;
  }
  gst_child_proxy_child_added(GST_CHILD_PROXY(self), G_OBJECT(pad), GST_OBJECT_NAME(pad));
  return GST_PAD(pad);
}

static void ov_videobatch_release_pad(GstElement *element, GstPad *gpad) {
  OvVideoBatch *self = OV_VIDEO_BATCH(element);
  OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(gpad);
  {
    MutexGuard guard(&self->lock);
    if (!g_slist_find(self->pad_list, pad)) {
      g_warning("Unknown pad %s", GST_PAD_NAME(pad));
      return;
    }
    if (pad->converter)
      gst_video_converter_free(pad->converter);
    pad->converter = nullptr;
    self->pad_list = g_slist_remove(self->pad_list, pad);
    self->pad_count--;
  }
  gst_child_proxy_child_removed(GST_CHILD_PROXY(self), G_OBJECT(pad), GST_OBJECT_NAME(pad));

  GST_COLLECT_PADS_STREAM_LOCK(self->collect_pads);
  update_converters(self);
  pad->mixcol = nullptr;
  gst_collect_pads_remove_pad(self->collect_pads, gpad);
  bool have_format;
  {
    MutexGuard guard(&self->lock);
    have_format = self->mix_format != GST_VIDEO_FORMAT_UNKNOWN;
  }
  if (have_format)
    ov_videobatch_update_src_caps(self);
  GST_COLLECT_PADS_STREAM_UNLOCK(self->collect_pads);

  gst_element_remove_pad(element, gpad);
}

/* ------------------------------------------------------ state, class --- */

static GstStateChangeReturn ov_videobatch_change_state(GstElement *element,
                                                       GstStateChange transition) {
  OvVideoBatch *self = OV_VIDEO_BATCH(element);
  switch (transition) {
    case GST_STATE_CHANGE_READY_TO_PAUSED: {
      self->caps_pending = TRUE;
      self->stream_start_pending = TRUE;
      {
        MutexGuard guard(&self->lock);
        gst_segment_init(&self->segment, GST_FORMAT_TIME);
        gst_caps_replace(&self->output_caps, nullptr);
      }
      GST_LOG_OBJECT(self, "starting collectpads");
      gst_collect_pads_start(self->collect_pads);
      break;
    }
    case GST_STATE_CHANGE_PAUSED_TO_READY:
      GST_LOG_OBJECT(self, "stopping collectpads");
      gst_collect_pads_stop(self->collect_pads);
      break;
    default:
      break;
  }

  GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(ov_videobatch_parent_class)->change_state(element, transition);

  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    MutexGuard guard(&self->lock);
    reset(self);
    drop_pool(self);
  }
  return ret;
}

static void ov_videobatch_set_property(GObject *object, guint prop_id, const GValue *value,
                                       GParamSpec *pspec) {
  G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
}

static void ov_videobatch_get_property(GObject *object, guint prop_id, GValue *value,
                                       GParamSpec *pspec) {
  G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
}

static void ov_videobatch_finalize(GObject *object) {
  OvVideoBatch *self = OV_VIDEO_BATCH(object);
  drop_pool(self);
  gst_object_unref(self->collect_pads);
  gst_caps_replace(&self->output_caps, nullptr);
  if (self->tags_pending)
    gst_tag_list_unref(self->tags_pending);
  g_slist_free(self->pad_list);
  g_mutex_clear(&self->lock);
  g_mutex_clear(&self->caps_lock);
  G_OBJECT_CLASS(ov_videobatch_parent_class)->finalize(object);
}

static void ov_videobatch_dispose(GObject *object) {
  OvVideoBatch *self = OV_VIDEO_BATCH(object);
  for (GSList *l = self->pad_list; l; l = l->next) {
    OvVideoBatchPad *p = OV_VIDEO_BATCH_PAD(l->data);
    if (p->converter)
      gst_video_converter_free(p->converter);
    p->converter = nullptr;
  }
  G_OBJECT_CLASS(ov_videobatch_parent_class)->dispose(object);
}

static void ov_videobatch_class_init(OvVideoBatchClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  GST_DEBUG_CATEGORY_INIT(ov_videobatch_debug, "ovvideobatch", 0, "VideoRate stream fixer");
  gst_video_mixer_init_blend();

  gobject_class->set_property = ov_videobatch_set_property;
  gobject_class->get_property = ov_videobatch_get_property;
  gobject_class->dispose = ov_videobatch_dispose;
  gobject_class->finalize = ov_videobatch_finalize;

  element_class->request_new_pad = GST_DEBUG_FUNCPTR(ov_videobatch_request_new_pad);
  element_class->release_pad = GST_DEBUG_FUNCPTR(ov_videobatch_release_pad);
  element_class->change_state = GST_DEBUG_FUNCPTR(ov_videobatch_change_state);

  gst_element_class_add_static_pad_template(element_class, &src_factory);
  gst_element_class_add_static_pad_template(element_class, &sink_factory);
  gst_element_class_set_static_metadata(element_class, "OvVideoBatch",
                                        "Filter/Editor/Video/Compositor",
                                        "Automatic batch image from multiple streams",
                                        "Orvane <dev@orvane.invalid>");
}

static void ov_videobatch_init(OvVideoBatch *self) {
  GstElementClass *klass = GST_ELEMENT_GET_CLASS(self);
  self->srcpad =
      gst_pad_new_from_template(gst_element_class_get_pad_template(klass, "src"), "src");
  gst_pad_set_query_function(self->srcpad, GST_DEBUG_FUNCPTR(src_query));
  gst_pad_set_event_function(self->srcpad, GST_DEBUG_FUNCPTR(src_event));
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);

  self->collect_pads = gst_collect_pads_new();
  gchar *cp_name = g_strdup_printf("%s-collectpads", GST_OBJECT_NAME(self));
  gst_object_set_name(GST_OBJECT(self->collect_pads), cp_name);
  g_free(cp_name);
  gst_collect_pads_set_function(self->collect_pads, GST_DEBUG_FUNCPTR(ov_videobatch_collected),
                                self);
  gst_collect_pads_set_event_function(self->collect_pads,
                                      GST_DEBUG_FUNCPTR(ov_videobatch_sink_event), self);
  gst_collect_pads_set_query_function(self->collect_pads,
                                      GST_DEBUG_FUNCPTR(ov_videobatch_sink_query), self);
  gst_collect_pads_set_clip_function(self->collect_pads, GST_DEBUG_FUNCPTR(ov_videobatch_clip),
                                     self);

  g_mutex_init(&self->lock);
  g_mutex_init(&self->caps_lock);
  self->pad_list = nullptr;
  self->pad_count = 0;
  self->next_pad_number = 0;
  self->output_caps = nullptr;
  self->mix_format = GST_VIDEO_FORMAT_UNKNOWN;
  self->mix_chroma_site = GST_VIDEO_CHROMA_SITE_UNKNOWN;
  std::memset(&self->mix_colorimetry, 0, sizeof self->mix_colorimetry);
  self->caps_pending = FALSE;
  self->stream_start_pending = FALSE;
  self->tags_pending = nullptr;
  self->blend = self->overlay = nullptr;
  self->background = 0;
  self->pool = nullptr;
  self->pool_size = 0;
  self->segment_done_posted = FALSE;
  reset(self);
}

/* ---------------------------------------------------------- child proxy --- */

static GObject *ov_videobatch_child_by_index(GstChildProxy *proxy, guint index) {
  OvVideoBatch *self = OV_VIDEO_BATCH(proxy);
  MutexGuard guard(&self->lock);
  gpointer p = g_slist_nth_data(self->pad_list, index);
  return p ? G_OBJECT(gst_object_ref(p)) : nullptr;
}

static guint ov_videobatch_children_count(GstChildProxy *proxy) {
  OvVideoBatch *self = OV_VIDEO_BATCH(proxy);
  guint count;
  {
    MutexGuard guard(&self->lock);
    count = guint(self->pad_count);
  }
  GST_INFO_OBJECT(self, "Children Count: %d", count);
  return count;
}

static void ov_videobatch_child_proxy_init(gpointer g_iface, gpointer iface_data) {
  GstChildProxyInterface *iface = static_cast<GstChildProxyInterface *>(g_iface);
  iface->get_child_by_index = ov_videobatch_child_by_index;
  iface->get_children_count = ov_videobatch_children_count;
}
