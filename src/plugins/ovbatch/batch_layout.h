/* Plain decisions of the batch element: where each input goes in the batch
 * image, which output format to use, and when an output interval ends. */
#ifndef OV_BATCH_LAYOUT_H
#define OV_BATCH_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include <gst/gst.h>
#include <gst/video/video.h>

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

/* End of output frame `frame_count` (0-based) of a stream that started at
 * `segment_start` + `time_offset`: rounded, in nanoseconds. */
GstClockTime interval_end(GstClockTime segment_start, GstClockTime time_offset,
                          guint64 frame_count, int fps_n, int fps_d);

/* One negotiated input's say in the output format. */
struct FormatVote {
  GstVideoFormat format = GST_VIDEO_FORMAT_UNKNOWN;
  bool has_alpha = false;
  bool accepted = false; /* downstream takes this format */
};

struct FormatChoice {
  GstVideoFormat format = GST_VIDEO_FORMAT_UNKNOWN; /* UNKNOWN: no input qualified */
  int winner = -1;                                  /* index of the first vote of that format */
  bool any_alpha_input = false;
};

/* The format most accepted inputs use (ties: the one met first); once an
 * input with alpha is met only alpha formats count, and it leads at once. */
FormatChoice choose_output_format(const std::vector<FormatVote> &votes);

/* A frame's device index once its input's devices follow `merged_before`
 * devices of earlier inputs in the batch; an index that named none of its
 * input's `input_devices` devices keeps naming none (UINT32_MAX). */
uint32_t rebase_device_index(uint32_t device_idx, size_t input_devices, size_t merged_before);

}  // namespace ovbatch

#endif /* OV_BATCH_LAYOUT_H */
