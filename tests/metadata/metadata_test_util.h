/* Records the metadata tests build again and again: boxes, segmentation
 * grids, and the random class label the debugger picks. */
#ifndef OV_METADATA_TEST_UTIL_H
#define OV_METADATA_TEST_UTIL_H

#include <string>
#include <vector>

#include "ovbatch_records.h"

namespace metatest {

inline orvane::ai::DetectionBoxResult box(float x1, float y1, float x2, float y2,
                                          const std::string &label = "",
                                          const std::string &meta = "") {
  orvane::ai::DetectionBoxResult b;
  b.x1 = x1;
  b.y1 = y1;
  b.x2 = x2;
  b.y2 = y2;
  b.obj_label = label;
  b.meta = meta;
  return b;
}

/* One cell per id, row by row; `name` gives each cell's label (none: ""). */
inline orvane::ai::SegmentGrid grid_of(const std::vector<std::vector<int>> &ids,
                                       std::string (*name)(int) = nullptr) {
  orvane::ai::SegmentGrid g;
  for (const auto &row : ids) {
    g.emplace_back();
    for (int id : row) {
      orvane::ai::SegmentResult cell;
      cell.label_id = id;
      if (name)
        cell.label = name(id);
      g.back().push_back(cell);
    }
  }
  return g;
}

/* "test" followed by a decimal from 0 to 1000 without leading zeros. */
inline bool is_test_label(const std::string &s) {
  if (s.rfind("test", 0) != 0)
    return false;
  const std::string digits = s.substr(4);
  if (digits.empty() || digits.size() > 4 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  if (digits.size() > 1 && digits[0] == '0')
    return false;
  return std::stoi(digits) <= 1000;
}

}  // namespace metatest

#endif /* OV_METADATA_TEST_UTIL_H */
