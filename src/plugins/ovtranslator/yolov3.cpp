/* YOLOv3: decode the three raw detection heads cell by cell and anchor by
 * anchor, then suppress overlapping candidates per frame.  The two engines
 * lay out and activate their outputs differently, hence two decoders. */
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "model_fit.h"
#include "translate_util.h"
#include "translators.h"

namespace orvane {
namespace ai {

using namespace detail;

namespace {

constexpr double kConfidenceThreshold = 0.8;
constexpr double kOpenVinoOverlap = 0.4;
constexpr double kTensorRtOverlap = 0.5;
constexpr int kLayers = 3;
constexpr int kAnchorsPerCell = 3;

/* The anchors one head's cells use: `count` width, height pairs in input
 * pixels. */
struct HeadAnchors {
  const float *wh;
  int count;
};

void check_layer_args(const std::vector<int> &dims, int layer, int layers, int count) {
  if (dims.size() < 4)
    throw std::invalid_argument("YOLOv3 layer needs N, CH, H, W");
  if (layer < 0 || layer >= layers)
    throw std::invalid_argument("YOLOv3 has " + std::to_string(layers) +
                                " output layers, got layer " + std::to_string(layer));
  if (count <= 0 || dims[1] / count < 5 || dims[2] < 0 || dims[3] < 0)
    throw std::invalid_argument("YOLOv3 layer needs 5 values per anchor at least");
}

/* The anchors of `layer` under `heads` (copied out, in mask order). */
std::vector<float> layer_anchors(const YoloHeads &heads, int layer) {
  std::vector<float> wh;
  for (int m : heads.masks[size_t(layer)]) {
    wh.push_back(heads.anchors[size_t(2 * m)]);
    wh.push_back(heads.anchors[size_t(2 * m + 1)]);
  }
  return wh;
}

float sigmoid(float v) { return static_cast<float>(1.0 / (1.0 + std::exp(-v))); }

using LayerDecoder = void (*)(const float *, uint64_t, uint64_t, const std::vector<int> &,
                              HeadAnchors, const std::vector<std::string> &,
                              std::vector<DetectionBoxResult> &, double);
using Overlap = double (*)(const DetectionBoxResult &, const DetectionBoxResult &);

/* A float setting the user gave, else the built-in value. */
double setting(const TranslateInfo &info, const char *key, double fallback) {
  auto it = info.find(key);
  if (it == info.end())
    return fallback;
  return static_cast<double>(it->second.as_float());
}

bool translate_yolov3(const void *data, const std::vector<int> &dims,
                      const std::vector<std::string> &labels, const TranslateInfo &info,
                      Result &result, Engine engine, LayerDecoder decode, Overlap overlap,
                      double default_overlap) {
  int64_t iw = 0, ih = 0;
  if (!read_int(info, "iw", iw))
    iw = 0;
  if (!read_int(info, "ih", ih))
    return false;
  if (iw <= 0 || ih <= 0)
    return false;
  result.set_type(RESULT_DETECTION_BOX);
  if (dims.empty() || any_negative(dims))
    return false;
  YoloHeads heads;
  std::string error;
  if (!yolo_heads_from_info(info, engine, heads, error))
    return false;
  const double threshold = setting(info, kThresholdKey, kConfidenceThreshold);
  const double overlap_threshold = setting(info, kOverlapKey, default_overlap);

  const int64_t batch = dims[0];
  if (!frames_ok(info, batch))
    return false;
  const size_t groups = dims.size() / 4;
  if (groups > heads.masks.size())
    return false;  // a head without anchors
  int64_t needed = 0;
  std::vector<int64_t> frame_floats(groups, 0);
  for (size_t g = 0; g < groups; ++g) {
    const int *d = &dims[g * 4];
    int64_t layer_floats = 0;
    if (d[1] / int(heads.masks[g].size()) < 5 ||
        !checked_product({d[1], d[2], d[3]}, frame_floats[g]) ||
        !checked_product({batch > 0 ? batch : 0, frame_floats[g]}, layer_floats) ||
        __builtin_add_overflow(needed, layer_floats, &needed))
      return false;
  }
  if (!fits_tensor(info, needed) || (needed > 0 && data == nullptr))
    return false;

  std::vector<std::vector<DetectionBoxResult>> candidates(batch > 0 ? size_t(batch) : 0);
  const float *p = static_cast<const float *>(data);
  for (size_t g = 0; g < groups; ++g) {
    std::vector<int> group(dims.begin() + g * 4, dims.begin() + g * 4 + 4);
    const std::vector<float> wh = layer_anchors(heads, int(g));
    const HeadAnchors anchors{wh.data(), int(heads.masks[g].size())};
    for (int64_t j = 0; j < batch; ++j) {
      decode(p, uint64_t(iw), uint64_t(ih), group, anchors, labels, candidates[size_t(j)],
             threshold);
      p += frame_floats[g];
    }
  }
  for (auto &frame : candidates)
    result.detection_box.push_back(SuppressOverlaps(frame, overlap_threshold, overlap));
  return true;
}

/* fminf/fmaxf semantics (a NaN operand is ignored), inlined. */
inline float min_ignoring_nan(float a, float b) {
  if (std::isnan(a))
    return b;
  if (std::isnan(b))
    return a;
  return b < a ? b : a;
}
inline float max_ignoring_nan(float a, float b) {
  if (std::isnan(a))
    return b;
  if (std::isnan(b))
    return a;
  return b > a ? b : a;
}

struct Corners {
  float x1, y1, x2, y2;
  float area;  // as IntersectionOverUnion computes it
};

/* Whether the boxes are apart on some axis: their overlap is then 0. */
inline bool disjoint(const Corners &a, const Corners &b) {
  const float width = min_ignoring_nan(a.x2, b.x2) - max_ignoring_nan(a.x1, b.x1);
  const float height = min_ignoring_nan(a.y2, b.y2) - max_ignoring_nan(a.y1, b.y1);
  return width < 0.0f || height < 0.0f;
}

/* IntersectionOverUnion on the compact copies, same arithmetic. */
inline double iou(const Corners &a, const Corners &b) {
  const float width = min_ignoring_nan(a.x2, b.x2) - max_ignoring_nan(a.x1, b.x1);
  const float height = min_ignoring_nan(a.y2, b.y2) - max_ignoring_nan(a.y1, b.y1);
  double intersection = 0.0;
  if (!(width < 0.0f || height < 0.0f))
    intersection = static_cast<double>(width) * static_cast<double>(height);
  return intersection /
         (static_cast<double>(a.area) + static_cast<double>(b.area) - intersection);
}

}  // namespace

namespace {

/* Which later candidates a kept box can suppress under the built-in measure
 * with a positive threshold t, without measuring every pair:
 *
 * - The measure is 0 unless the boxes share a point on both axes (closed
 *   intervals).  A grid of square cells over the boxes' extent, at several
 *   resolutions, holds each box in the finest level where it spans at most
 *   two cells per axis (so at most four cells).  Cell numbers are a monotone
 *   function of the coordinate, so boxes sharing a point share that point's
 *   cell at every level: no meeting pair is missed.
 * - The intersection is no larger than the smaller box and the union no
 *   smaller than the larger, so the measure never exceeds the ratio of the
 *   two areas (as the measure rounds them, give or take 2.4e-7 relative).
 *   Each cell keeps its boxes ordered by area, and a kept box of area a only
 *   looks at areas in [a·t, a/t], widened by a margin for rounding.
 *
 * Boxes with a non-finite corner follow the NaN-ignoring min/max rules of
 * the measure, and boxes with a side under 1e-10 or an area that is not a
 * finite float may have areas that lose that precision: both are compared
 * with everything.  Finite boxes with x2 < x1 or y2 < y1 are apart from
 * every box and take no part. */
class OverlapGrid {
 public:
  enum Kind : uint8_t { kGridded, kInert, kAnywhere };

  OverlapGrid(const std::vector<Corners> &boxes, double threshold)
      : low_(threshold / (1.0 + kMargin)), high_((1.0 + kMargin) / threshold) {
    const size_t n = boxes.size();
    kind_.resize(n);
    std::vector<uint32_t> gridded;
    gridded.reserve(n);
    double min_x = 0, max_x = 0, min_y = 0, max_y = 0;
    for (size_t i = 0; i < n; ++i) {
      const Corners &b = boxes[i];
      if (!std::isfinite(b.x1) || !std::isfinite(b.x2) || !std::isfinite(b.y1) ||
          !std::isfinite(b.y2)) {
        kind_[i] = kAnywhere;
        anywhere_.push_back(uint32_t(i));
        continue;
      }
      if (b.x2 < b.x1 || b.y2 < b.y1) {
        kind_[i] = kInert;
        continue;
      }
      const float w = b.x2 - b.x1, h = b.y2 - b.y1;  // as the measure rounds them
      if (!(w >= kMinSide && h >= kMinSide && std::isfinite(b.area))) {
        kind_[i] = kAnywhere;
        anywhere_.push_back(uint32_t(i));
        continue;
      }
      kind_[i] = kGridded;
      if (gridded.empty()) {
        min_x = b.x1, max_x = b.x2, min_y = b.y1, max_y = b.y2;
      } else {
        min_x = std::min(min_x, double(b.x1));
        max_x = std::max(max_x, double(b.x2));
        min_y = std::min(min_y, double(b.y1));
        max_y = std::max(max_y, double(b.y2));
      }
      gridded.push_back(uint32_t(i));
    }
    // About one box per finest cell, at most 64 × 64 cells.
    while (levels_ < kMaxLevels && (size_t(1) << (2 * levels_)) < n)
      ++levels_;
    const int finest = 1 << (levels_ - 1);
    min_x_ = min_x;
    min_y_ = min_y;
    const double span = std::max(max_x - min_x, max_y - min_y);
    scale_ = span > 0.0 ? finest / span : 0.0;
    size_t cells = 0;
    for (int l = 0; l < levels_; ++l) {
      level_offset_[l] = cells;
      cells += size_t(1) << (2 * l);
    }
    range_.resize(n);
    area_.resize(n);
    std::vector<uint8_t> level_of(n);

    // Where each box goes, then every cell's share of one array, filled in
    // order of area so that each cell's stretch is ordered by area.
    cells_.assign(cells, Segment{});
    std::vector<uint32_t> level_count(size_t(levels_), 0);
    for (uint32_t i : gridded) {
      const Range r = finest_range(boxes[i]);
      int l = levels_ - 1;
      while (l > 0 && ((r.x2 >> (levels_ - 1 - l)) - (r.x1 >> (levels_ - 1 - l)) > 1 ||
                       (r.y2 >> (levels_ - 1 - l)) - (r.y1 >> (levels_ - 1 - l)) > 1))
        --l;
      range_[i] = r;
      area_[i] = boxes[i].area;
      level_of[i] = uint8_t(l);
      ++level_count[size_t(l)];
      for_cells(r, l, [&](size_t c) { ++cells_[c].size; });
    }
    uint32_t at = 0;
    for (Segment &c : cells_) {
      c.begin = at;
      at += c.size;
      c.size = 0;
    }
    entries_.resize(at);
    for (int l = 0; l < levels_; ++l)
      level_[l].members.reserve(level_count[size_t(l)]);
    for (uint32_t i : order_by_area(gridded, boxes)) {
      const Corners &b = boxes[i];
      const Entry e{b.area, i, b.x1, b.y1, b.x2, b.y2};
      Level &level = level_[level_of[i]];
      if (level.members.empty())
        level.min_area = e.area;
      level.max_area = e.area;
      level.members.push_back(e);
      for_cells(range_[i], level_of[i], [&](size_t c) {
        entries_[cells_[c].begin + cells_[c].size++] = e;
      });
    }
  }

  Kind kind(size_t i) const { return kind_[i]; }
  /* Boxes every kept box must be compared with. */
  const std::vector<uint32_t> &anywhere() const { return anywhere_; }

  /* Calls visit(j) for every gridded box j > i, still alive, that meets
   * gridded box i (`box`) and whose area is within the bounds; each j at
   * most once per i.  Entries looked at that are at or before i, or dead,
   * leave. */
  template <typename Alive, typename Visit>
  void for_each_near(uint32_t i, const Corners &box, std::vector<uint32_t> &seen,
                     const Alive &alive, const Visit &visit) {
    const Range r = range_[i];
    const double lo = double(area_[i]) * low_, hi = double(area_[i]) * high_;
    // For finite boxes the measure's test (min of the right edges below the
    // max of the left ones, on either axis) is this plain comparison.
    auto offer = [&](const Entry &e) {
      if (e.x1 <= box.x2 && box.x1 <= e.x2 && e.y1 <= box.y2 && box.y1 <= e.y2 &&
          seen[e.index] != i + 1) {
        seen[e.index] = i + 1;
        visit(e.index);
      }
    };
    for (int l = 0; l < levels_; ++l) {
      Level &level = level_[l];
      if (level.members.empty() || double(level.max_area) < lo || double(level.min_area) > hi)
        continue;
      const int shift = levels_ - 1 - l;
      const size_t span = size_t((r.x2 >> shift) - (r.x1 >> shift) + 1) *
                          size_t((r.y2 >> shift) - (r.y1 >> shift) + 1);
      if (span > level.members.size()) {
        // Fewer boxes at this level than cells to look at: walk the boxes.
        uint32_t size = uint32_t(level.members.size());
        scan(level.members.data(), size, lo, hi, i, alive, offer);
        level.members.resize(size);
        continue;
      }
      for_cells(r, l, [&](size_t c) {
        scan(entries_.data() + cells_[c].begin, cells_[c].size, lo, hi, i, alive, offer);
      });
    }
  }

 private:
  static constexpr int kMaxLevels = 7;
  static constexpr float kMinSide = 1e-10f;
  static constexpr double kMargin = 1e-6;
  static constexpr size_t kFewBoxes = 64;

  struct Entry {
    float area;
    uint32_t index;
    float x1, y1, x2, y2;
  };
  struct Segment {
    uint32_t begin = 0, size = 0;
  };
  struct Range {
    int x1, y1, x2, y2; /* finest-level cells, inclusive */
  };
  struct Level {
    std::vector<Entry> members; /* ordered by area */
    float min_area = 0, max_area = 0;
  };

  /* Gridded boxes by area, smallest first (positive finite floats order
   * as their bits do). */
  static std::vector<uint32_t> order_by_area(std::vector<uint32_t> order,
                                             const std::vector<Corners> &boxes) {
    auto bits = [&](uint32_t i) {
      uint32_t u;
      std::memcpy(&u, &boxes[i].area, sizeof u);
      return u;
    };
    // A few boxes (a frame's usual share) sort faster by comparison than
    // through three passes over 2048 buckets; both keep equal areas in
    // their order.
    if (order.size() <= kFewBoxes) {
      std::stable_sort(order.begin(), order.end(),
                       [&](uint32_t a, uint32_t b) { return bits(a) < bits(b); });
      return order;
    }
    std::vector<uint32_t> next(order.size());
    for (int shift = 0; shift < 32; shift += 11) {
      std::vector<uint32_t> start(2049, 0);
      auto digit = [&](uint32_t i) { return (bits(i) >> shift) & 0x7FFu; };
      for (uint32_t i : order)
        ++start[digit(i) + 1];
      for (size_t b = 1; b < start.size(); ++b)
        start[b] += start[b - 1];
      for (uint32_t i : order)
        next[start[digit(i)]++] = i;
      order.swap(next);
    }
    return order;
  }

  /* Offers the entries with areas in [lo, hi] that come after i and are
   * alive, and drops the others of that stretch (they never will be);
   * `size` shrinks accordingly. */
  template <typename Alive, typename Offer>
  static void scan(Entry *list, uint32_t &size, double lo, double hi, uint32_t i,
                   const Alive &alive, const Offer &offer) {
    Entry *end = list + size;
    Entry *first = std::lower_bound(list, end, lo,
                                    [](const Entry &e, double v) { return double(e.area) < v; });
    Entry *keep = first, *it = first;
    for (; it != end && double(it->area) <= hi; ++it)
      if (it->index > i && alive(it->index)) {
        *keep++ = *it;
        offer(*it);
      }
    if (keep != it) {
      std::move(it, end, keep);
      size -= uint32_t(it - keep);
    }
  }

  template <typename F>
  void for_cells(const Range &r, int level, const F &f) const {
    const int shift = levels_ - 1 - level;
    for (int y = r.y1 >> shift; y <= (r.y2 >> shift); ++y)
      for (int x = r.x1 >> shift; x <= (r.x2 >> shift); ++x)
        f(level_offset_[level] + (size_t(y) << level) + size_t(x));
  }

  int finest_cell(float v, double origin) const {
    const double c = (double(v) - origin) * scale_;
    const int last = (1 << (levels_ - 1)) - 1;
    if (!(c > 0.0))
      return 0;
    return c >= double(last) ? last : int(c);
  }
  Range finest_range(const Corners &b) const {
    return {finest_cell(b.x1, min_x_), finest_cell(b.y1, min_y_), finest_cell(b.x2, min_x_),
            finest_cell(b.y2, min_y_)};
  }

  const double low_, high_;
  std::vector<Kind> kind_;
  std::vector<uint32_t> anywhere_;
  int levels_ = 1;
  size_t level_offset_[kMaxLevels] = {};
  Level level_[kMaxLevels];
  double min_x_ = 0, min_y_ = 0, scale_ = 0;
  std::vector<Segment> cells_;
  std::vector<Entry> entries_;
  std::vector<Range> range_;
  std::vector<float> area_;
};

/* Candidate indices by prob, highest first, equal probs in candidate order:
 * what a stable sort on `a.prob > b.prob` gives.  Without NaN (which that
 * comparison does not order) a radix sort on the probs' bits does it in
 * three passes. */
std::vector<uint32_t> order_by_prob(const std::vector<DetectionBoxResult> &c) {
  const size_t n = c.size();
  std::vector<uint32_t> order(n);
  for (size_t i = 0; i < n; ++i)
    order[i] = uint32_t(i);
  bool nan = false;
  std::vector<uint32_t> key(n);
  for (size_t i = 0; i < n; ++i) {
    float p = c[i].prob;
    nan = nan || std::isnan(p);
    if (p == 0.0f)
      p = 0.0f;  // -0 ranks with +0
    uint32_t u;
    std::memcpy(&u, &p, sizeof u);
    u = (u & 0x80000000u) ? ~u : (u | 0x80000000u);  // ascending with the value
    key[i] = ~u;                                      // descending
  }
  if (nan || n < 256) {
    std::stable_sort(order.begin(), order.end(),
                     [&c](uint32_t a, uint32_t b) { return c[a].prob > c[b].prob; });
    return order;
  }
  std::vector<uint32_t> next(n);
  for (int shift = 0; shift < 32; shift += 11) {
    std::vector<uint32_t> start(2049, 0);
    for (uint32_t i : order)
      ++start[((key[i] >> shift) & 0x7FFu) + 1];
    for (size_t b = 1; b < start.size(); ++b)
      start[b] += start[b - 1];
    for (uint32_t i : order)
      next[start[(key[i] >> shift) & 0x7FFu]++] = i;
    order.swap(next);
  }
  return order;
}

}  // namespace

std::vector<DetectionBoxResult> SuppressOverlaps(std::vector<DetectionBoxResult> &candidates,
                                                 double threshold, Overlap overlap) {
  // Highest prob first, ties in candidate order; sorted through an index so
  // the records move once.
  const size_t n = candidates.size();
  {
    const std::vector<uint32_t> order = order_by_prob(candidates);
    std::vector<DetectionBoxResult> sorted;
    sorted.reserve(n);
    for (uint32_t i : order)
      sorted.push_back(std::move(candidates[i]));
    candidates.swap(sorted);
  }

  std::vector<Corners> corners;
  std::vector<uint8_t> alive;
  corners.reserve(n);
  alive.reserve(n);
  for (const DetectionBoxResult &c : candidates) {
    corners.push_back({c.x1, c.y1, c.x2, c.y2, (c.y2 - c.y1) * (c.x2 - c.x1)});
    alive.push_back(c.prob != 0.0f);
  }
  auto suppress = [&](size_t j) {
    candidates[j].prob = 0.0f;
    alive[j] = 0;
  };

  std::vector<DetectionBoxResult> kept;
  const bool builtin = overlap == IntersectionOverUnion || overlap == RTIntersectionOverUnion;
  if (!builtin || !(threshold > 0.0)) {
    // Any measure, any threshold: every later candidate is a suspect.
    for (size_t i = 0; i < n; ++i) {
      if (!alive[i])
        continue;
      kept.push_back(candidates[i]);
      for (size_t j = i + 1; j < n; ++j) {
        if (!alive[j])
          continue;
        const double o = builtin ? iou(corners[i], corners[j]) : overlap(candidates[i], candidates[j]);
        if (o >= threshold)
          suppress(j);
      }
    }
    return kept;
  }

  // The built-in measure is 0 for boxes apart on some axis, which a positive
  // threshold never suppresses: only boxes that meet are measured.
  OverlapGrid grid(corners, threshold);
  std::vector<uint32_t> seen(n, 0);
  auto is_alive = [&alive](uint32_t j) { return alive[j] != 0; };
  auto measure = [&](size_t i, size_t j) {
    if (!disjoint(corners[i], corners[j]) && iou(corners[i], corners[j]) >= threshold)
      suppress(j);
  };
  for (size_t i = 0; i < n; ++i) {
    if (!alive[i])
      continue;
    kept.push_back(candidates[i]);
    switch (grid.kind(i)) {
      case OverlapGrid::kInert:
        break;
      case OverlapGrid::kAnywhere:
        for (size_t j = i + 1; j < n; ++j)
          if (alive[j])
            measure(i, j);
        break;
      case OverlapGrid::kGridded:
        grid.for_each_near(uint32_t(i), corners[i], seen, is_alive,
                           [&](uint32_t j) {
                             if (iou(corners[i], corners[j]) >= threshold)
                               suppress(j);
                           });
        for (uint32_t j : grid.anywhere())
          if (j > i && alive[j])
            measure(i, j);
        break;
    }
  }
  return kept;
}

double IntersectionOverUnion(const DetectionBoxResult &a, const DetectionBoxResult &b) {
  const float width = min_ignoring_nan(a.x2, b.x2) - max_ignoring_nan(a.x1, b.x1);
  const float height = min_ignoring_nan(a.y2, b.y2) - max_ignoring_nan(a.y1, b.y1);
  double intersection = 0.0;
  if (!(width < 0.0f || height < 0.0f))
    intersection = static_cast<double>(width) * static_cast<double>(height);
  const double area_a = static_cast<double>((a.y2 - a.y1) * (a.x2 - a.x1));
  const double area_b = static_cast<double>((b.y2 - b.y1) * (b.x2 - b.x1));
  return intersection / (area_a + area_b - intersection);
}

double RTIntersectionOverUnion(const DetectionBoxResult &a, const DetectionBoxResult &b) {
  return IntersectionOverUnion(a, b);
}

namespace {

/* The OpenVINO heads are square grids. */
void require_square(const std::vector<int> &dims) {
  if (dims.size() >= 4 && dims[2] != dims[3])
    throw std::runtime_error(
        "Invalid size of output  It should be in NCHW layout and H should be equal to W. "
        "Current H = " +
        std::to_string(dims[2]) + ", current W = " + std::to_string(dims[3]));
}

void decode_openvino(const float *data, uint64_t iw, uint64_t ih, const std::vector<int> &dims,
                     HeadAnchors anchors, const std::vector<std::string> &labels,
                     std::vector<DetectionBoxResult> &candidates, double threshold) {
  require_square(dims);
  const int64_t side = dims[2];
  const int64_t side2 = side * side;
  const int64_t entries = dims[1] / anchors.count;
  const int64_t classes = entries - 5;
  const float fiw = static_cast<float>(iw), fih = static_cast<float>(ih);
  const double diw = static_cast<double>(iw), dih = static_cast<double>(ih);

  for (int64_t i = 0; i < side2; ++i) {
    const int64_t row = i / side, col = i % side;
    for (int a = 0; a < anchors.count; ++a) {
      const int64_t obj_index = a * side2 * entries + 4 * side2 + i;
      const float objectness = data[obj_index];
      if (!(static_cast<double>(objectness) >= threshold))  // a NaN never passes
        continue;
      const int64_t base = a * side2 * entries + i;
      const float x = (static_cast<float>(col) + data[base]) / static_cast<float>(side) * fiw;
      const float y = (static_cast<float>(row) + data[base + side2]) / static_cast<float>(side) * fih;
      const float w = std::exp(data[base + 2 * side2]) * anchors.wh[2 * a];
      const float h = std::exp(data[base + 3 * side2]) * anchors.wh[2 * a + 1];
      const double half_w = static_cast<double>(w) / 2.0, half_h = static_cast<double>(h) / 2.0;
      for (int64_t k = 0; k < classes; ++k) {
        const float confidence = objectness * data[base + (5 + k) * side2];
        if (!(static_cast<double>(confidence) >= threshold))
          continue;
        DetectionBoxResult box;
        box.obj_id = static_cast<uint32_t>(obj_index);
        box.obj_label = label_for(k, labels);
        box.prob = confidence;
        box.x1 = static_cast<float>(std::max(0.0, (static_cast<double>(x) - half_w) / diw));
        box.y1 = static_cast<float>(std::max(0.0, (static_cast<double>(y) - half_h) / dih));
        box.x2 = static_cast<float>(std::min(1.0, (static_cast<double>(x) + half_w) / diw));
        box.y2 = static_cast<float>(std::min(1.0, (static_cast<double>(y) + half_h) / dih));
        candidates.push_back(std::move(box));
      }
    }
  }
}

}  // namespace

void ParseYOLOV3Output(const float *data, uint64_t iw, uint64_t ih, std::vector<int> dims,
                       const int &layer, const std::vector<std::string> &labels,
                       std::vector<DetectionBoxResult> &candidates, const double &threshold) {
  require_square(dims);
  check_layer_args(dims, layer, kLayers, kAnchorsPerCell);
  const std::vector<float> wh = layer_anchors(default_yolo_heads(Engine::OpenVINO), layer);
  decode_openvino(data, iw, ih, dims, HeadAnchors{wh.data(), kAnchorsPerCell}, labels,
                  candidates, threshold);
}

namespace {

void decode_tensorrt(const float *data, uint64_t iw, uint64_t ih, const std::vector<int> &dims,
                     HeadAnchors anchors, const std::vector<std::string> &labels,
                     std::vector<DetectionBoxResult> &candidates, double threshold) {
  const int64_t H = dims[2], W = dims[3];
  const int64_t plane = H * W;
  // No cells: nothing to find, and no walk over the rows of an empty grid
  // (dims may name two thousand million of them).
  if (plane == 0)
    return;
  const int64_t entries = dims[1] / anchors.count;
  const int64_t classes = entries - 5;
  const float fiw = static_cast<float>(iw), fih = static_cast<float>(ih);

  // The class scores of one cell lie a whole plane apart: find each cell's
  // best class plane by plane (memory order) and emit the candidates in cell
  // order afterwards.  A confidence never exceeds the objectness, so a cell
  // whose objectness cannot pass the threshold needs no class scores.
  const int64_t count = anchors.count;
  std::vector<float> best(size_t(count * plane));
  std::vector<float> best_score(size_t(count * plane));  // the best class's raw value
  std::vector<int32_t> best_class(size_t(count * plane));
  std::vector<float> objectness(size_t(count * plane));
  std::vector<uint8_t> open(size_t(count * plane));
  std::vector<int64_t> open_cells;
  for (int a = 0; a < anchors.count; ++a) {
    const float *anchor_data = data + a * entries * plane;
    float *obj = objectness.data() + a * plane;
    float *b = best.data() + a * plane;
    float *bs = best_score.data() + a * plane;
    int32_t *bc = best_class.data() + a * plane;
    uint8_t *o = open.data() + a * plane;
    open_cells.clear();
    for (int64_t p = 0; p < plane; ++p) {
      obj[p] = sigmoid(anchor_data[4 * plane + p]);
      b[p] = 1e-5f;
      bs[p] = -std::numeric_limits<float>::infinity();
      bc[p] = 0;
      o[p] = static_cast<double>(obj[p]) - threshold > 1e-5;
      if (o[p])
        open_cells.push_back(p);
    }
    // A hostile channel count with an empty grid must not spin over classes.
    if (open_cells.empty())
      continue;
    // A score clearly below the best one's cannot give a larger confidence
    // (the exponential, to half an ulp, and the rest are monotone), so it
    // cannot win: its sigmoid is not computed.
    for (int64_t k = 0; k < classes; ++k) {
      const float *scores = anchor_data + (5 + k) * plane;
      for (int64_t p : open_cells) {
        if (static_cast<double>(scores[p]) <= static_cast<double>(bs[p]) - 1e-4)
          continue;
        const float confidence = sigmoid(scores[p]) * obj[p];
        if (static_cast<double>(confidence - b[p]) > 1e-5) {
          b[p] = confidence;
          bs[p] = scores[p];
          bc[p] = static_cast<int32_t>(k);
        }
      }
    }
  }

  for (int64_t r = 0; r < H; ++r) {
    for (int64_t c = 0; c < W; ++c) {
      const int64_t p = r * W + c;
      for (int a = 0; a < anchors.count; ++a) {
        const int64_t slot = a * plane + p;
        if (!open[size_t(slot)] || !(static_cast<double>(best[size_t(slot)]) - threshold > 1e-5))
          continue;
        const float *v = data + a * entries * plane + p;  // entry e at v[e * plane]
        const float bx = (static_cast<float>(c) + sigmoid(v[0])) / static_cast<float>(W);
        const float by = (static_cast<float>(r) + sigmoid(v[plane])) / static_cast<float>(H);
        const float bw = anchors.wh[2 * a] * std::exp(v[2 * plane]) / fiw;
        const float bh = anchors.wh[2 * a + 1] * std::exp(v[3 * plane]) / fih;

        DetectionBoxResult box;
        const float x1 = bx - bw / 2.0f, y1 = by - bh / 2.0f;
        const float x2 = x1 + bw, y2 = y1 + bh;
        box.x1 = std::max(x1, 0.0f);
        box.y1 = std::max(y1, 0.0f);
        box.x2 = std::min(x2, 1.0f);
        box.y2 = std::min(y2, 1.0f);
        box.obj_label = label_for(best_class[size_t(slot)], labels);
        box.prob = best[size_t(slot)];
        // unsigned: only the low 32 bits are kept, without overflow for tall layers
        const uint64_t q = uint64_t(3 * (r * W + c) + a * H * W);
        const uint64_t hh = uint64_t(H) * uint64_t(H);
        box.obj_id = static_cast<uint32_t>(q / hh * hh * uint64_t(entries) + 4 * hh + q % hh);
        candidates.push_back(std::move(box));
      }
    }
  }
}

}  // namespace

void RTParseYOLOV3Output(const float *data, uint64_t iw, uint64_t ih, std::vector<int> dims,
                         const int &layer, const std::vector<std::string> &labels,
                         std::vector<DetectionBoxResult> &candidates, const double &threshold) {
  check_layer_args(dims, layer, kLayers, kAnchorsPerCell);
  const std::vector<float> wh = layer_anchors(default_yolo_heads(Engine::TensorRT), layer);
  decode_tensorrt(data, iw, ih, dims, HeadAnchors{wh.data(), kAnchorsPerCell}, labels,
                  candidates, threshold);
}

bool OpenVINO_Yolov3(const void *data, const std::vector<int> &dims,
                     const std::vector<std::string> &labels, const TranslateInfo &info,
                     Result &result) {
  return translate_yolov3(data, dims, labels, info, result, Engine::OpenVINO, decode_openvino,
                          IntersectionOverUnion, kOpenVinoOverlap);
}

bool TensorRT_Yolov3(const void *data, const std::vector<int> &dims,
                     const std::vector<std::string> &labels, const TranslateInfo &info,
                     Result &result) {
  return translate_yolov3(data, dims, labels, info, result, Engine::TensorRT, decode_tensorrt,
                          RTIntersectionOverUnion, kTensorRtOverlap);
}

}  // namespace ai
}  // namespace orvane
