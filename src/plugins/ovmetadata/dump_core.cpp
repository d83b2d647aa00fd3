#include "dump_core.h"

#include <cstdarg>
#include <cstdio>

namespace ovmetadata {

static std::string printf_string(const char *format, ...) __attribute__((format(printf, 1, 2)));

static std::string printf_string(const char *format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    vsnprintf(&out[0], out.size(), format, again);
    out.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return out;
}

static void format_segments(std::vector<std::string> &lines, const orvane::ai::SegmentGrid &grid,
                            unsigned segment_num) {
  unsigned long printed = 0;
  int32_t previous = 0;
  for (size_t r = 0; r < grid.size(); ++r) {
    for (size_t c = 0; c < grid[r].size(); ++c) {
      if (printed >= segment_num)
        return;
      const orvane::ai::SegmentResult &cell = grid[r][c];
      if (cell.label_id == previous)
        continue;
      lines.push_back(printf_string("Seg[%lu] (%d,%d) label id: %d label:%s", printed,
                                    static_cast<int>(c), static_cast<int>(r), cell.label_id,
                                    cell.label.c_str()));
      ++printed;
      previous = cell.label_id;
    }
  }
}

std::vector<std::string> format_batch_dump(const OvBatch *batch, unsigned segment_num) {
  std::vector<std::string> lines;
  if (!batch) {
    lines.emplace_back("No orvane batch metadata");
    return lines;
  }
  lines.emplace_back("========== Orvane batch metadata ==========");
  for (size_t d = 0; d < batch->devices.size(); ++d)
    lines.push_back(printf_string("Device[%d] ID:%s", static_cast<int>(d),
                                  batch->devices[d].stream_id.c_str()));
  for (size_t f = 0; f < batch->frames.size(); ++f) {
    const VideoFrameData &frame = batch->frames[f];
    lines.push_back(printf_string("Frame[%d] Num:%u (%u, %u, %u, %u) for Device %u",
                                  static_cast<int>(f), frame.frame_id, frame.width, frame.height,
                                  frame.depth, frame.channels, frame.device_idx));
    for (const auto &cls : frame.class_results)
      lines.push_back(printf_string("Class[%u] label:%s prop:%f", cls.index, cls.label.c_str(),
                                    static_cast<double>(cls.prob)));
    for (const auto &box : frame.box_results)
      lines.push_back(printf_string("Box[%u] (%.3f,%.3f)-(%.3f,%.3f) label:%s prob:%f",
                                    box.obj_id, static_cast<double>(box.x1),
                                    static_cast<double>(box.y1), static_cast<double>(box.x2),
                                    static_cast<double>(box.y2), box.obj_label.c_str(),
                                    static_cast<double>(box.prob)));
    format_segments(lines, frame.seg_results, segment_num);
  }
  lines.emplace_back("===========================================");
  return lines;
}

}  // namespace ovmetadata
