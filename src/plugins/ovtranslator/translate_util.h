/* Helpers shared by the translators (internal). */
#ifndef OV_TRANSLATE_UTIL_H
#define OV_TRANSLATE_UTIL_H

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "trans_map.h"

namespace orvane {
namespace ai {
namespace detail {

/* entry k of labels, else k in decimal */
template <typename Int>
std::string label_for(Int k, const std::vector<std::string> &labels) {
  bool in_range = static_cast<uint64_t>(k) < labels.size();
  if constexpr (std::is_signed_v<Int>)
    in_range = in_range && k >= 0;
  if (in_range)
    return labels[static_cast<size_t>(k)];
  return std::to_string(k);
}

/* Integer read from the map with the map's own throwing lookup; missing keys
 * fall back. */
inline bool read_int(const TranslateInfo &info, const char *key, int64_t &out) {
  try {
    out = info.at(key).as_int();
    return true;
  } catch (const std::out_of_range &) {
    return false;
  }
}

inline bool any_negative(const std::vector<int> &dims) {
  for (int d : dims)
    if (d < 0)
      return true;
  return false;
}

/* Product of non-negative factors; false when it does not fit in int64. */
inline bool checked_product(std::initializer_list<int64_t> factors, int64_t &out) {
  int64_t p = 1;
  for (int64_t f : factors) {
    if (f < 0 || __builtin_mul_overflow(p, f, &p))
      return false;
  }
  out = p;
  return true;
}

/* Whether `needed` floats fit the tensor.  Without the count (a direct caller
 * that did not say) the caller's dims are trusted. */
inline bool fits_tensor(const TranslateInfo &info, int64_t needed) {
  int64_t count = 0;
  if (!read_int(info, kTensorCountKey, count))
    return true;
  return needed <= count;
}

/* Every frame gets an entry (and the record a frame for it): a batch larger
 * than the tensor has floats, or than any real batch, is a typo. */
constexpr int64_t kMaxFrames = 65536;
inline bool frames_ok(const TranslateInfo &info, int64_t batch) {
  if (batch > kMaxFrames)
    return false;
  int64_t count = 0;
  return !read_int(info, kTensorCountKey, count) || batch <= count;
}

/* Segmentation grids are allocated from dims, not from the tensor: keep a
 * typo from asking for gigabytes (8 Mi cells covers a batch of four 1080p
 * maps).  The fuzz build sets a smaller bound, so that each input is quick
 * and the checks against the bound are still reached. */
#ifndef OV_MAX_GRID_CELLS
#define OV_MAX_GRID_CELLS (int64_t(1) << 23)
#endif
constexpr int64_t kMaxGridCells = OV_MAX_GRID_CELLS;

/* Float to int truncating toward zero, saturated; NaN gives 0. */
inline int64_t trunc_to_int(float v) {
  if (std::isnan(v))
    return 0;
  if (v >= 9.2e18f)
    return std::numeric_limits<int64_t>::max();
  if (v <= -9.2e18f)
    return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

}  // namespace detail
}  // namespace ai
}  // namespace orvane

#endif /* OV_TRANSLATE_UTIL_H */
