#include "batch_caps.h"

#include <map>

#include "ov_gst_ptr.h"

namespace ovbatch {

namespace {

bool same_colorimetry(const GstVideoColorimetry &a, const GstVideoColorimetry &b) {
  gchar *sa = gst_video_colorimetry_to_string(&a);
  gchar *sb = gst_video_colorimetry_to_string(&b);
  const bool same = g_strcmp0(sa, sb) == 0;
  g_free(sa);
  g_free(sb);
  return same;
}

}  // namespace

FormatChoice choose_output_format(const std::vector<FormatVote> &votes) {
  FormatChoice choice;
  std::map<int, int> counts;
  int best_count = 0;
  bool alpha_only = false;
  for (size_t i = 0; i < votes.size(); ++i) {
    const FormatVote &v = votes[i];
    if (v.format == GST_VIDEO_FORMAT_UNKNOWN)
      continue;
    choice.any_alpha_input = choice.any_alpha_input || v.has_alpha;
    if (!v.accepted || (alpha_only && !v.has_alpha))
      continue;
    if (v.has_alpha && !alpha_only) {
      alpha_only = true;
      counts.clear();
      counts[v.format] = 1;
      best_count = 1;
      choice.format = v.format;
      choice.winner = int(i);
      continue;
    }
    const int c = ++counts[v.format];
    if (c > best_count) {
      best_count = c;
      if (choice.format != v.format) {
        choice.format = v.format;
        choice.winner = int(i);
      }
    }
  }
  // The winner is the first input that used the winning format.
  if (choice.format != GST_VIDEO_FORMAT_UNKNOWN) {
    for (size_t i = 0; i < votes.size(); ++i)
      if (votes[i].format == choice.format && votes[i].accepted) {
        choice.winner = int(i);
        break;
      }
  }
  return choice;
}

FormatVote vote_for(const GstVideoInfo &input, const GstCaps *downstream) {
  FormatVote v;
  if (GST_VIDEO_INFO_FORMAT(&input) == GST_VIDEO_FORMAT_UNKNOWN)
    return v;
  v.format = GST_VIDEO_INFO_FORMAT(&input);
  v.has_alpha = GST_VIDEO_INFO_HAS_ALPHA(&input);
  ov::CapsPtr c(gst_video_info_to_caps(&input));
  GstStructure *s = gst_caps_get_structure(c.get(), 0);
  gst_structure_remove_fields(s, "width", "height", "framerate", "pixel-aspect-ratio",
                              "interlace-mode", nullptr);
  v.accepted = gst_caps_can_intersect(downstream, c.get());
  return v;
}

MixChoice choose_mix_format(const std::vector<GstVideoInfo> &inputs, const GstCaps *downstream) {
  MixChoice out;
  if (gst_caps_is_empty(downstream)) {
    out.error = MixError::kNoFormat;
    return out;
  }
  std::vector<FormatVote> votes;
  votes.reserve(inputs.size());
  for (const GstVideoInfo &in : inputs)
    votes.push_back(vote_for(in, downstream));
  const FormatChoice choice = choose_output_format(votes);

  GstVideoInfo best;
  gst_video_info_init(&best);
  if (choice.format == GST_VIDEO_FORMAT_UNKNOWN) {
    ov::CapsPtr fixed(gst_caps_fixate(gst_caps_copy(downstream)));
    const gchar *fmt = gst_structure_get_string(gst_caps_get_structure(fixed.get(), 0), "format");
    const GstVideoFormat f = fmt ? gst_video_format_from_string(fmt) : GST_VIDEO_FORMAT_UNKNOWN;
    if (f == GST_VIDEO_FORMAT_UNKNOWN) {
      out.error = MixError::kNoFormat;
      return out;
    }
    gst_video_info_set_format(&best, f, 1, 1);
  } else {
    best = inputs[size_t(choice.winner)];
  }
  if (choice.any_alpha_input && !GST_VIDEO_INFO_HAS_ALPHA(&best)) {
    out.error = MixError::kAlphaRefused;
    return out;
  }
  out.mix.format = GST_VIDEO_INFO_FORMAT(&best);
  out.mix.colorimetry = best.colorimetry;
  out.mix.chroma_site = GST_VIDEO_INFO_CHROMA_SITE(&best);
  return out;
}

bool needs_conversion(const GstVideoInfo &input, const MixFormat &mix) {
  return GST_VIDEO_INFO_FORMAT(&input) != mix.format ||
         !same_colorimetry(input.colorimetry, mix.colorimetry) ||
         GST_VIDEO_INFO_CHROMA_SITE(&input) != mix.chroma_site;
}

GstVideoInfo conversion_target(const GstVideoInfo &input, const MixFormat &mix) {
  GstVideoInfo target;
  gst_video_info_init(&target);
  gst_video_info_set_format(&target, mix.format, GST_VIDEO_INFO_WIDTH(&input),
                            GST_VIDEO_INFO_HEIGHT(&input));
  target.colorimetry = mix.colorimetry;
  target.chroma_site = mix.chroma_site;
  target.par_n = input.par_n;
  target.par_d = input.par_d;
  target.fps_n = input.fps_n;
  target.fps_d = input.fps_d;
  return target;
}

GstVideoInfo renew_conversion(const GstVideoInfo &target, GstVideoFormat out_format,
                              const GstVideoInfo &input) {
  GstVideoInfo renewed = target;
  gst_video_info_set_format(&renewed, out_format, GST_VIDEO_INFO_WIDTH(&input),
                            GST_VIDEO_INFO_HEIGHT(&input));
  renewed.colorimetry = target.colorimetry;
  renewed.chroma_site = target.chroma_site;
  return renewed;
}

GstCaps *output_caps(const MixFormat &mix, const Layout &layout, const GstCaps *peer) {
  GstVideoInfo info;
  gst_video_info_set_format(&info, mix.format, guint(layout.width), guint(layout.height));
  info.colorimetry = mix.colorimetry;
  info.chroma_site = mix.chroma_site;
  info.fps_n = layout.fps_n;
  info.fps_d = layout.fps_d;
  GstCaps *caps = gst_video_info_to_caps(&info);
  if (!peer || gst_caps_can_intersect(peer, caps))
    return caps;

  // The peer wants another size or rate: the nearest it takes.
  ov::CapsPtr wide(gst_caps_make_writable(caps));
  gst_caps_set_simple(wide.get(), "width", GST_TYPE_INT_RANGE, 1, G_MAXINT, "height",
                      GST_TYPE_INT_RANGE, 1, G_MAXINT, "framerate", GST_TYPE_FRACTION_RANGE, 0, 1,
                      G_MAXINT, 1, nullptr);
  ov::CapsPtr both(gst_caps_intersect(wide.get(), const_cast<GstCaps *>(peer)));
  if (gst_caps_is_empty(both.get()))
    return nullptr;
  GstCaps *fitted = gst_caps_make_writable(gst_caps_truncate(both.release()));
  GstStructure *s = gst_caps_get_structure(fitted, 0);
  gst_structure_fixate_field_nearest_int(s, "width", layout.width);
  gst_structure_fixate_field_nearest_int(s, "height", layout.height);
  gst_structure_fixate_field_nearest_fraction(s, "framerate", layout.fps_n, layout.fps_d);
  return gst_caps_fixate(fitted);
}

GstCaps *sink_pad_caps(const GstCaps *src_caps, const GstCaps *sink_template,
                       const GstCaps *filter) {
  ov::CapsPtr base(gst_caps_copy(src_caps));
  for (guint i = 0; i < gst_caps_get_size(base.get()); ++i) {
    GstStructure *s = gst_caps_get_structure(base.get(), i);
    gst_structure_set(s, "width", GST_TYPE_INT_RANGE, 1, G_MAXINT, "height", GST_TYPE_INT_RANGE,
                      1, G_MAXINT, "framerate", GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1,
                      nullptr);
    gst_structure_remove_fields(s, "format", "colorimetry", "chroma-site", nullptr);
    if (!gst_structure_has_field(s, "pixel-aspect-ratio"))
      gst_structure_set(s, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
  }
  ov::CapsPtr result(gst_caps_intersect(base.get(), const_cast<GstCaps *>(sink_template)));
  if (!filter)
    return result.release();
  return gst_caps_intersect_full(const_cast<GstCaps *>(filter), result.get(),
                                 GST_CAPS_INTERSECT_FIRST);
}

bool input_fits_output(const GstVideoInfo &output, const GstVideoInfo &input) {
  if (GST_VIDEO_INFO_FORMAT(&output) == GST_VIDEO_FORMAT_UNKNOWN)
    return true;
  return GST_VIDEO_INFO_PAR_N(&output) == GST_VIDEO_INFO_PAR_N(&input) &&
         GST_VIDEO_INFO_PAR_D(&output) == GST_VIDEO_INFO_PAR_D(&input) &&
         GST_VIDEO_INFO_INTERLACE_MODE(&output) == GST_VIDEO_INFO_INTERLACE_MODE(&input);
}

}  // namespace ovbatch
