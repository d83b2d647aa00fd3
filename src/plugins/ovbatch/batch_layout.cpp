#include "batch_layout.h"

#include <algorithm>
#include <map>

namespace ovbatch {

Layout compute_layout(const std::vector<PadGeometry> &pads) {
  Layout out;
  out.y_offsets.reserve(pads.size());
  int sum = 0;
  double best_fps = 0.0;
  int fps_n = 0, fps_d = 1;
  for (const PadGeometry &p : pads) {
    out.y_offsets.push_back(sum);
    if (p.width > 0 && p.height > 0) {
      out.width = std::max(out.width, p.width);
      out.height = std::max(out.height, sum + p.height);
      if (p.fps_n > 0 && p.fps_d > 0) {
        const double fps = double(p.fps_n) / p.fps_d;
        if (fps > best_fps) {
          best_fps = fps;
          fps_n = p.fps_n;
          fps_d = p.fps_d;
        }
      }
    }
    sum += std::max(p.height, 0);
  }
  if (best_fps > 0.0) {
    out.fps_n = fps_n;
    out.fps_d = fps_d;
  }
  return out;
}

GstClockTime interval_end(GstClockTime segment_start, GstClockTime time_offset,
                          guint64 frame_count, int fps_n, int fps_d) {
  return segment_start + time_offset +
         gst_util_uint64_scale_round(frame_count + 1, GST_SECOND * guint64(fps_d),
                                     guint64(fps_n));
}

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

uint32_t rebase_device_index(uint32_t device_idx, size_t input_devices, size_t merged_before) {
  if (device_idx >= input_devices || merged_before + device_idx >= UINT32_MAX)
    return UINT32_MAX;
  return uint32_t(merged_before + device_idx);
}

}  // namespace ovbatch
