/* Semantic segmentation: a class number per output position, as a grid of
 * cells per frame (Segment at the network's resolution, SegmentFCN sampled
 * into a grid of its own size). */
#include <algorithm>

#include "translate_util.h"
#include "translators.h"

namespace orvane {
namespace ai {

using namespace detail;

namespace {

/* The class map form stores class numbers as floats; out-of-range values
 * wrap as an unsigned 32-bit conversion would. */
uint32_t float_to_class(float v) { return static_cast<uint32_t>(trunc_to_int(v)); }

SegmentResult make_cell(uint32_t cls, const std::vector<std::string> &labels) {
  SegmentResult cell;
  cell.label_id = static_cast<int32_t>(cls);
  cell.label = label_for(cls, labels);
  return cell;
}

/* rows x cols cells of class 0.  No row is made for 0 rows, however wide. */
SegmentGrid empty_grid(int64_t rows, int64_t cols) {
  if (rows == 0)
    return SegmentGrid();
  return SegmentGrid(size_t(rows), std::vector<SegmentResult>(size_t(cols)));
}

/* The common start once the sizes are checked: false when scores are due
 * but missing; otherwise `result` holds `n` grids of rows x cols cells of
 * class 0 (none for n <= 0). */
bool begin_grids(const void *data, int64_t needed, int64_t n, int64_t rows, int64_t cols,
                 Result &result) {
  if (needed > 0 && data == nullptr)
    return false;
  result.set_type(RESULT_SEGMENTATION);
  if (n > 0)
    result.segmentation.assign(size_t(n), empty_grid(rows, cols));
  return true;
}

}  // namespace

bool Segment(const void *data, const std::vector<int> &dims,
             const std::vector<std::string> &labels, const TranslateInfo &info,
             Result &result) {
  if (any_negative(dims))
    return false;
  if (dims.size() != 3 && dims.size() != 4) {
    result.set_type(RESULT_SEGMENTATION);
    return true;
  }
  const bool class_map = dims.size() == 3;
  const int64_t n = dims[0];
  const int64_t nc = class_map ? 1 : dims[1];
  const int64_t h = class_map ? dims[1] : dims[2];
  const int64_t w = class_map ? dims[2] : dims[3];

  // Every cell must be backed by the tensor, also with no score planes, and
  // empty rows count against the bound like cells.
  int64_t needed = 0, cells = 0, slots = 0;
  if (!frames_ok(info, n) || !checked_product({n, nc, h, w}, needed) ||
      !checked_product({n, h, w}, cells) || !fits_tensor(info, std::max(needed, cells)) ||
      !checked_product({n, h, std::max<int64_t>(w, 1)}, slots) || slots > kMaxGridCells)
    return false;
  if (!begin_grids(data, needed, n, h, w, result))
    return false;

  const int64_t plane = h * w;
  const float *block = static_cast<const float *>(data);
  for (int64_t j = 0; j < n; ++j, block += nc * plane) {
    SegmentGrid &grid = result.segmentation[size_t(j)];
    for (int64_t r = 0; r < h; ++r) {
      for (int64_t c = 0; c < w; ++c) {
        const int64_t p = r * w + c;
        uint32_t cls = 0;
        if (class_map) {
          cls = float_to_class(block[p]);
        } else {
          float best = 0.0f;
          for (int64_t k = 0; k < nc; ++k) {
            if (block[k * plane + p] > best) {
              best = block[k * plane + p];
              cls = static_cast<uint32_t>(k);
            }
          }
        }
        grid[size_t(r)][size_t(c)] = make_cell(cls, labels);
      }
    }
  }
  return true;
}

bool SegmentFCN(const void *data, const std::vector<int> &dims,
                const std::vector<std::string> &labels, const TranslateInfo &info,
                Result &result) {
  if (dims.size() < 7 || any_negative(dims))
    return false;
  const int64_t n = dims[0], gh = dims[2], gw = dims[3], nc = dims[4], h = dims[5], w = dims[6];

  // The class map is as large as one score plane: with no planes it must
  // still fit the tensor.  The grid may sample it up, within a fixed bound.
  int64_t needed = 0, cells = 0, plane = 0, positions = 0;
  if (!frames_ok(info, n) || !checked_product({n, nc, h, w}, needed) ||
      !checked_product({h, w}, plane) || !checked_product({n, plane}, positions) ||
      !fits_tensor(info, std::max(needed, positions)) || plane > 8 * kMaxGridCells ||
      !checked_product({n, gh, std::max<int64_t>(gw, 1)}, cells) || cells > kMaxGridCells)
    return false;
  if (!begin_grids(data, needed, n, gh, gw, result))
    return false;
  if (n <= 0)
    return true;

  std::vector<int32_t> class_map(size_t(plane), 0);
  const float row_ratio = static_cast<float>(h) / static_cast<float>(gh);
  const float col_ratio = static_cast<float>(w) / static_cast<float>(gw);
  const float *block = static_cast<const float *>(data);
  for (int64_t j = 0; j < n; ++j, block += nc * plane) {
    if (nc > 0) {
      for (int64_t p = 0; p < plane; ++p) {
        float best = block[p];
        int32_t cls = 0;
        for (int64_t k = 1; k < nc; ++k) {
          if (block[k * plane + p] > best) {
            best = block[k * plane + p];
            cls = static_cast<int32_t>(k);
          }
        }
        class_map[size_t(p)] = cls;
      }
    }
    if (plane == 0)
      continue;  // nothing to sample: cells stay class 0
    SegmentGrid &grid = result.segmentation[size_t(j)];
    for (int64_t gr = 0; gr < gh; ++gr) {
      const int64_t sr = std::min<int64_t>(trunc_to_int(static_cast<float>(gr) * row_ratio), h - 1);
      for (int64_t gc = 0; gc < gw; ++gc) {
        const int64_t sc =
            std::min<int64_t>(trunc_to_int(static_cast<float>(gc) * col_ratio), w - 1);
        const uint8_t cls = static_cast<uint8_t>(class_map[size_t(sr * w + sc)]);
        grid[size_t(gr)][size_t(gc)] = make_cell(cls, labels);
      }
    }
  }
  return true;
}

}  // namespace ai
}  // namespace orvane
