#include "model_fit.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace orvane {
namespace ai {

const char *const kThresholdKey = "threshold";
const char *const kOverlapKey = "overlap";
const char *const kAnchorsKey = "anchors";
const char *const kMasksKey = "masks";
const char *const kSoftmaxKey = "softmax";

namespace {

const float kDefaultAnchors[18] = {10, 13, 16, 30,  33,  23,  30,  61,  62,
                                   45, 59, 119, 116, 90, 156, 198, 373, 326};

/* Splits at any of `separators`, dropping empty pieces. */
std::vector<std::string> split(const std::string &text, const char *separators) {
  std::vector<std::string> out;
  std::string piece;
  for (char c : text) {
    if (std::strchr(separators, c) != nullptr) {
      if (!piece.empty())
        out.push_back(piece);
      piece.clear();
    } else {
      piece += c;
    }
  }
  if (!piece.empty())
    out.push_back(piece);
  return out;
}

std::string number_text(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

double mean_area(const YoloHeads &heads, const std::vector<int> &mask) {
  double sum = 0;
  for (int m : mask)
    sum += double(heads.anchors[size_t(2 * m)]) * double(heads.anchors[size_t(2 * m + 1)]);
  return mask.empty() ? 0.0 : sum / double(mask.size());
}

bool product_fits(const Shape &shape, size_t from, int64_t &out) {
  int64_t p = 1;
  for (size_t i = from; i < shape.size(); ++i)
    if (shape[i] < 0 || __builtin_mul_overflow(p, shape[i], &p))
      return false;
  out = p;
  return true;
}

void take(ValueRange &r, float v) {
  if (std::isnan(v))
    return;
  if (!r.any) {
    r.any = true;
    r.min = r.max = v;
    return;
  }
  r.min = std::min(r.min, v);
  r.max = std::max(r.max, v);
}

}  // namespace

YoloHeads default_yolo_heads(Engine engine) {
  YoloHeads h;
  h.anchors.assign(std::begin(kDefaultAnchors), std::end(kDefaultAnchors));
  if (engine == Engine::OpenVINO)
    h.masks = {{3, 4, 5}, {0, 1, 2}, {6, 7, 8}};
  else
    h.masks = {{6, 7, 8}, {3, 4, 5}, {0, 1, 2}};
  return h;
}

bool parse_anchors(const std::string &text, std::vector<float> &anchors, std::string &error) {
  anchors.clear();
  for (const std::string &token : split(text, ", \t\n")) {
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(token.c_str(), &end);
    if (end == token.c_str() || *end != '\0' || errno != 0 || !std::isfinite(v) || v <= 0 ||
        v > 1e6) {
      error = "\"" + token + "\" is not a positive anchor size";
      return false;
    }
    anchors.push_back(float(v));
  }
  if (anchors.empty()) {
    error = "no anchor sizes";
    return false;
  }
  if (anchors.size() % 2 != 0) {
    error = std::to_string(anchors.size()) +
            " numbers: anchors are width,height pairs, so the count must be even";
    return false;
  }
  return true;
}

bool parse_masks(const std::string &text, std::vector<std::vector<int>> &masks,
                 std::string &error) {
  masks.clear();
  for (const std::string &group : split(text, ";")) {
    std::vector<int> mask;
    for (const std::string &token : split(group, ", \t\n")) {
      char *end = nullptr;
      errno = 0;
      const long v = std::strtol(token.c_str(), &end, 10);
      if (end == token.c_str() || *end != '\0' || errno != 0 || v < 0 || v > 1000) {
        error = "\"" + token + "\" is not an anchor index";
        return false;
      }
      mask.push_back(int(v));
    }
    if (mask.empty())
      continue;
    masks.push_back(std::move(mask));
  }
  if (masks.empty()) {
    error = "no mask groups (write one group of anchor indices per head, e.g. 3,4,5;0,1,2)";
    return false;
  }
  return true;
}

std::string anchors_text(const std::vector<float> &anchors) {
  std::string s;
  for (size_t i = 0; i < anchors.size(); ++i) {
    if (i > 0)
      s += i % 2 == 0 ? ", " : ",";
    s += number_text(anchors[i]);
  }
  return s;
}

std::string masks_text(const std::vector<std::vector<int>> &masks) {
  std::string s;
  for (size_t g = 0; g < masks.size(); ++g) {
    if (g > 0)
      s += ";";
    for (size_t i = 0; i < masks[g].size(); ++i)
      s += (i > 0 ? "," : "") + std::to_string(masks[g][i]);
  }
  return s;
}

bool yolo_heads_from_info(const TranslateInfo &info, Engine engine, YoloHeads &heads,
                          std::string &error) {
  heads = default_yolo_heads(engine);
  auto text = [&info](const char *key, std::string &out) {
    auto it = info.find(key);
    if (it == info.end() || it->second.kind != TranslateElem::String)
      return false;
    out = it->second.as_string();
    return true;
  };
  std::string s;
  if (text(kAnchorsKey, s) && !parse_anchors(s, heads.anchors, error)) {
    error = "anchors: " + error;
    return false;
  }
  if (text(kMasksKey, s) && !parse_masks(s, heads.masks, error)) {
    error = "masks: " + error;
    return false;
  }
  const size_t count = heads.anchors.size() / 2;
  for (const auto &mask : heads.masks)
    for (int m : mask)
      if (size_t(m) >= count) {
        error = "masks name anchor " + std::to_string(m) + " but anchors holds " +
                std::to_string(count) + " (indices 0 to " + std::to_string(count - 1) + ")";
        return false;
      }
  return true;
}

bool heads_in_order(const std::vector<int64_t> &grids, const YoloHeads &heads,
                    std::string &suggestion) {
  const size_t n = std::min(grids.size(), heads.masks.size());
  bool ok = true;
  for (size_t a = 0; a < n && ok; ++a)
    for (size_t b = 0; b < n && ok; ++b)
      if (grids[a] < grids[b] && mean_area(heads, heads.masks[a]) < mean_area(heads, heads.masks[b]))
        ok = false;
  if (ok)
    return true;
  // Largest anchors to the coarsest grid.
  std::vector<size_t> by_grid(n), by_area(n);
  std::iota(by_grid.begin(), by_grid.end(), 0);
  std::iota(by_area.begin(), by_area.end(), 0);
  std::stable_sort(by_grid.begin(), by_grid.end(),
                   [&](size_t a, size_t b) { return grids[a] < grids[b]; });
  std::stable_sort(by_area.begin(), by_area.end(), [&](size_t a, size_t b) {
    return mean_area(heads, heads.masks[a]) > mean_area(heads, heads.masks[b]);
  });
  std::vector<std::vector<int>> fitted(heads.masks.begin(), heads.masks.begin() + long(n));
  for (size_t k = 0; k < n; ++k)
    fitted[by_grid[k]] = heads.masks[by_area[k]];
  suggestion = masks_text(fitted);
  return false;
}

bool yolo_channels_fit(const std::vector<int> &dims, const YoloHeads &heads, std::string &error) {
  const size_t groups = dims.size() / 4;
  if (groups > heads.masks.size()) {
    error = "dims describe " + std::to_string(groups) + " heads but masks gives anchors for " +
            std::to_string(heads.masks.size());
    return false;
  }
  for (size_t g = 0; g < groups; ++g) {
    const int ch = dims[g * 4 + 1];
    const int count = int(heads.masks[g].size());
    if (ch % count != 0 || ch / count < 5) {
      error = "head " + std::to_string(g) + " has " + std::to_string(ch) + " channels, which is not " +
              std::to_string(count) + " anchors of 5 + classes values";
      return false;
    }
  }
  return true;
}

std::string shapes_text(const std::vector<Shape> &shapes) {
  std::string s;
  for (size_t i = 0; i < shapes.size(); ++i) {
    if (i > 0)
      s += ", ";
    for (size_t k = 0; k < shapes[i].size(); ++k)
      s += (k > 0 ? "x" : "") + std::to_string(shapes[i][k]);
  }
  return s;
}

std::string dims_text(const std::vector<int> &dims) {
  std::string s;
  for (size_t i = 0; i < dims.size(); ++i)
    s += (i > 0 ? "," : "") + std::to_string(dims[i]);
  return s;
}

std::vector<int> dims_from_shapes(Topology topology, const std::vector<Shape> &shapes) {
  std::vector<int> dims;
  if (shapes.empty())
    return dims;
  auto fits = [](int64_t v) { return v >= 0 && v <= std::numeric_limits<int>::max(); };
  if (topology == Topology::Classifier) {
    int64_t classes = 0;
    if (shapes[0].empty() || !product_fits(shapes[0], 1, classes) || !fits(classes) ||
        !fits(shapes[0][0]))
      return dims;
    return {int(shapes[0][0]), int(classes)};
  }
  for (const Shape &shape : shapes)
    for (int64_t v : shape) {
      if (!fits(v))
        return {};
      dims.push_back(int(v));
    }
  return dims;
}

int64_t floats_described(Topology topology, const std::vector<int> &dims) {
  int64_t out = 0;
  Shape s(dims.begin(), dims.end());
  switch (topology) {
    case Topology::Classifier:
      if (dims.size() < 2 || !product_fits({s[0], s[1]}, 0, out))
        return -1;
      return out;
    case Topology::YoloV3: {
      if (dims.empty())
        return -1;
      for (size_t g = 0; g + 4 <= dims.size(); g += 4) {
        int64_t layer = 0;
        if (!product_fits({s[0], s[g + 1], s[g + 2], s[g + 3]}, 0, layer) ||
            __builtin_add_overflow(out, layer, &out))
          return -1;
      }
      return out;
    }
    case Topology::SSD:
      if (dims.size() != 4 || !product_fits({s[0], s[2], s[3]}, 0, out))
        return -1;
      return out;
    case Topology::Segment:
      if (dims.size() < 3 || !product_fits(s, 0, out))
        return -1;
      return out;
    default:
      return -1;
  }
}

bool dims_fit_shapes(Topology topology, const std::vector<int> &dims,
                     const std::vector<Shape> &shapes) {
  const std::vector<int> engine = dims_from_shapes(topology, shapes);
  if (engine.empty() || dims.empty())
    return false;
  switch (topology) {
    case Topology::Classifier:
      return dims.size() >= 2 && dims[0] == engine[0] && dims[1] == engine[1];
    case Topology::YoloV3: {
      const std::vector<int> groups(dims.begin(), dims.begin() + long(dims.size() / 4 * 4));
      return groups == engine;
    }
    default: {
      int64_t total = 0;
      for (const Shape &shape : shapes) {
        int64_t floats = 0;
        if (!product_fits(shape, 0, floats) || __builtin_add_overflow(total, floats, &total))
          return false;
      }
      const int64_t described = floats_described(topology, dims);
      return dims[0] == engine[0] && (described < 0 || described == total);
    }
  }
}

ValueRange classifier_scores(const float *data, int64_t batch, int64_t classes) {
  ValueRange r;
  if (data == nullptr || classes <= 0)
    return r;
  for (int64_t j = 0; j < batch; ++j) {
    double sum = 0;
    for (int64_t k = 0; k < classes; ++k) {
      const float v = data[j * classes + k];
      take(r, v);
      if (!std::isnan(v))
        sum += double(v);
    }
    if (j == 0) {
      r.min_sum = r.max_sum = sum;
    } else {
      r.min_sum = std::min(r.min_sum, sum);
      r.max_sum = std::max(r.max_sum, sum);
    }
  }
  return r;
}

bool looks_like_probabilities(const ValueRange &range) {
  if (!range.any)
    return true;
  return range.min >= -1e-6f && range.max <= 1.0f + 1e-6f && range.min_sum >= 0.95 &&
         range.max_sum <= 1.05;
}

ValueRange yolo_score_range(const float *data, const std::vector<int> &dims,
                            const YoloHeads &heads) {
  ValueRange r;
  if (data == nullptr || dims.empty())
    return r;
  const int64_t batch = dims[0];
  const float *p = data;
  for (size_t g = 0; g + 4 <= dims.size() && g / 4 < heads.masks.size(); g += 4) {
    const int64_t ch = dims[g + 1], plane = int64_t(dims[g + 2]) * dims[g + 3];
    const int64_t count = int64_t(heads.masks[g / 4].size());
    const int64_t entries = count > 0 ? ch / count : 0;
    for (int64_t j = 0; j < batch; ++j) {
      for (int64_t a = 0; a < count; ++a)
        for (int64_t e = 4; e < entries; ++e) {
          const float *values = p + (a * entries + e) * plane;
          for (int64_t i = 0; i < plane; ++i)
            take(r, values[i]);
        }
      p += ch * plane;
    }
  }
  return r;
}

bool looks_activated(const ValueRange &range) {
  return !range.any || (range.min >= -1e-3f && range.max <= 1.0f + 1e-3f);
}

}  // namespace ai
}  // namespace orvane
