/* ovvideobatch's negotiation: the format the inputs are stacked in and the
 * converters of the inputs in another one, the source caps from the layout,
 * and the caps the sink pads accept.  The decisions are batch_caps' and
 * batch_layout's; this file applies them to the element's pads. */
#include <vector>

#include "batch_element.h"
#include "batch_layout.h"
#include "ov_element.h"
#include "ov_gst_ptr.h"

namespace {

bool same_rate(gint a_n, gint a_d, gint b_n, gint b_d) {
  return gst_util_fraction_compare(a_n, a_d, b_n, b_d) == 0;
}

}  // namespace

gboolean ov_videobatch_update_converters(OvVideoBatch *self) {
  ov::CapsPtr downstream(gst_pad_get_allowed_caps(self->srcpad));
  if (!downstream)
    downstream.reset(gst_pad_get_pad_template_caps(self->srcpad));

  ov::MutexLock guard(&self->lock);
  std::vector<OvVideoBatchPad *> pads;
  std::vector<GstVideoInfo> inputs;
  for (GSList *l = self->pad_list; l; l = l->next) {
    pads.push_back(OV_VIDEO_BATCH_PAD(l->data));
    inputs.push_back(pads.back()->pad_info);
  }
  const ovbatch::MixChoice choice = ovbatch::choose_mix_format(inputs, downstream.get());
  if (choice.error == ovbatch::MixError::kAlphaRefused) {
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION,
                      ("At least one of the input pads contains alpha, but downstream can't "
                       "support alpha."),
                      ("Either convert your inputs to not contain alpha or add a videoconvert "
                       "after the mixer"));
    return FALSE;
  }
  if (choice.error != ovbatch::MixError::kNone)
    return FALSE;
  self->mix = choice.mix;

  for (OvVideoBatchPad *p : pads) {
    if (GST_VIDEO_INFO_FORMAT(&p->pad_info) == GST_VIDEO_FORMAT_UNKNOWN)
      continue;
    ov_videobatch_pad_free_converter(p);
    if (!ovbatch::needs_conversion(p->pad_info, self->mix)) {
      GST_DEBUG_OBJECT(p, "This pad will not need conversion");
      continue;
    }
    GstVideoInfo target = ovbatch::conversion_target(p->pad_info, self->mix);
    p->converter = gst_video_converter_new(&p->pad_info, &target, nullptr);
    p->conversion_info = target;
    p->need_conversion_update = TRUE;
    if (!p->converter) {
      GST_WARNING_OBJECT(p, "No path found for conversion");
      return FALSE;
    }
    GST_DEBUG_OBJECT(p, "This pad will be converted from %d to %d",
                     GST_VIDEO_INFO_FORMAT(&p->pad_info), self->mix.format);
  }

  gchar *colorimetry = gst_video_colorimetry_to_string(&self->mix.colorimetry);
#if GST_CHECK_VERSION(1, 20, 0)
  const gchar *chroma = gst_video_chroma_site_to_string(self->mix.chroma_site);
#else
  const gchar *chroma = gst_video_chroma_to_string(self->mix.chroma_site);
#endif
  GST_DEBUG_OBJECT(self, "The output format will now be : %d with colorimetry : %s and chroma : %s",
                   self->mix.format, GST_STR_NULL(colorimetry), GST_STR_NULL(chroma));
  g_free(colorimetry);
  return TRUE;
}

gboolean ov_videobatch_update_src_caps(OvVideoBatch *self) {
  ov::MutexLock caps_guard(&self->caps_lock);

  ovbatch::Layout layout;
  ovbatch::MixFormat mix;
  gint cur_fps_n, cur_fps_d;
  {
    ov::MutexLock guard(&self->lock);
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
    mix = self->mix;
    cur_fps_n = GST_VIDEO_INFO_FPS_N(&self->output_info);
    cur_fps_d = GST_VIDEO_INFO_FPS_D(&self->output_info);
    if (!same_rate(layout.fps_n, layout.fps_d, cur_fps_n, cur_fps_d))
      self->timeline.rebase();
  }
  if (mix.format == GST_VIDEO_FORMAT_UNKNOWN)
    return FALSE;

  ov::CapsPtr peer(gst_pad_peer_query_caps(self->srcpad, nullptr));
  ov::CapsPtr caps(ovbatch::output_caps(mix, layout, peer.get()));
  if (!caps) {
    GST_DEBUG_OBJECT(self, "empty caps");
    return FALSE;
  }
  GstVideoInfo out_info;
  if (!gst_video_info_from_caps(&out_info, caps.get()))
    return FALSE;
  GST_INFO_OBJECT(self, "set src caps: %" GST_PTR_FORMAT, caps.get());

  const BlendKernels *kernels = ov_blend_kernels_for(GST_VIDEO_INFO_FORMAT(&out_info));
  ov::MutexLock guard(&self->lock);
  const bool fps_changed = !same_rate(GST_VIDEO_INFO_FPS_N(&out_info),
                                      GST_VIDEO_INFO_FPS_D(&out_info), cur_fps_n, cur_fps_d);
  self->output_info = out_info;
  if (fps_changed) {
    GST_OBJECT_LOCK(self);
    self->qos.reset();
    GST_OBJECT_UNLOCK(self);
    self->timeline.rebase();
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
  return TRUE;
}

GstCaps *ov_videobatch_sink_caps(OvVideoBatch *self, GstPad *pad, GstCaps *filter) {
  ov::CapsPtr sink_template(gst_pad_get_pad_template_caps(pad));
  ov::CapsPtr src(gst_pad_get_current_caps(self->srcpad));
  if (!src)
    src.reset(gst_pad_get_pad_template_caps(self->srcpad));
  return ovbatch::sink_pad_caps(src.get(), sink_template.get(), filter);
}

gboolean ov_videobatch_set_pad_caps(OvVideoBatch *self, OvVideoBatchPad *pad, GstCaps *caps) {
  GST_INFO_OBJECT(pad, "Setting caps %" GST_PTR_FORMAT, caps);
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, caps)) {
    GST_ERROR_OBJECT(pad, "Failed to parse caps");
    return FALSE;
  }
  {
    ov::MutexLock guard(&self->lock);
    if (!ovbatch::input_fits_output(self->output_info, info)) {
      GST_DEBUG_OBJECT(pad, "got input caps %" GST_PTR_FORMAT ", but current caps are %" GST_PTR_FORMAT,
                       caps, self->output_caps);
      return FALSE;
    }
  }
  GST_COLLECT_PADS_STREAM_LOCK(self->collect_pads);
  {
    ov::MutexLock guard(&self->lock);
    pad->pad_info = info;
  }
  gboolean ok = ov_videobatch_update_converters(self);
  if (ok)
    ok = ov_videobatch_update_src_caps(self);
  GST_COLLECT_PADS_STREAM_UNLOCK(self->collect_pads);
  return ok;
}
