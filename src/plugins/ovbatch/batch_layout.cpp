#include "batch_layout.h"

#include <algorithm>

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

uint32_t rebase_device_index(uint32_t device_idx, size_t input_devices, size_t merged_before) {
  if (device_idx >= input_devices || merged_before + device_idx >= UINT32_MAX)
    return UINT32_MAX;
  return uint32_t(merged_before + device_idx);
}

}  // namespace ovbatch
