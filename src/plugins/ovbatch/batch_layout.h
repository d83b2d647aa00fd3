/* Plain decisions of the batch element: where each input goes in the batch
 * image, and where its records go in the batch record. */
#ifndef OV_BATCH_LAYOUT_H
#define OV_BATCH_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ovbatch {

/* One input in pad order; 0 × 0 when it has not negotiated yet. */
struct PadGeometry {
  int width = 0;
  int height = 0;
  int fps_n = 0;
  int fps_d = 1;
};

struct Layout {
  std::vector<int> y_offsets; /* one per input, in the same order */
  int width = 0;
  int height = 0;
  int fps_n = 25;
  int fps_d = 1;
  bool valid() const { return width >= 1 && height >= 1; }
};

/* Frames stacked top to bottom at column 0; width = widest, height = sum of
 * heights, framerate = the fastest input's (25/1 when none is positive). */
Layout compute_layout(const std::vector<PadGeometry> &pads);

/* A frame's device index once its input's devices follow `merged_before`
 * devices of earlier inputs in the batch; an index that named none of its
 * input's `input_devices` devices keeps naming none (UINT32_MAX). */
uint32_t rebase_device_index(uint32_t device_idx, size_t input_devices, size_t merged_before);

}  // namespace ovbatch

#endif /* OV_BATCH_LAYOUT_H */
