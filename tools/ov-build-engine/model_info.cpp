#include "model_info.h"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <cctype>
#include <initializer_list>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace ovbuild {

namespace {

struct Section {
  std::string type;
  std::map<std::string, std::string> options;
  int line = 0;
};

std::string trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos)
    return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool to_int(const std::string &s, int &v) {
  try {
    size_t used = 0;
    long x = std::stol(s, &used);
    if (used != s.size() || x < -(1L << 30) || x > (1L << 30))
      return false;
    v = static_cast<int>(x);
    return true;
  } catch (...) {
    return false;
  }
}

class Options {
 public:
  Options(const Section &s, std::string &error) : s_(s), error_(error) {}
  int get(const std::string &key, int fallback) {
    auto it = s_.options.find(key);
    if (it == s_.options.end())
      return fallback;
    int v;
    if (!to_int(it->second, v)) {
      error_ = "line " + std::to_string(s_.line) + ": [" + s_.type + "] " + key + "=" +
               it->second + " is not a number";
      ok = false;
      return fallback;
    }
    return v;
  }
  std::string text(const std::string &key) const {
    auto it = s_.options.find(key);
    return it == s_.options.end() ? "" : it->second;
  }
  bool ok = true;

 private:
  const Section &s_;
  std::string &error_;
};

/* Layer shapes and the weight count are kept in 64 bits, and a cfg whose
 * sizes leave these bounds is refused instead of wrapping around. */
constexpr int64_t kMaxExtent = int64_t(1) << 30;

struct Shape {
  int64_t c, h, w;
};

/* params += product of factors + extra; false when that does not fit. */
bool add_weights(uint64_t &params, std::initializer_list<uint64_t> factors, uint64_t extra) {
  uint64_t p = 1;
  for (uint64_t f : factors)
    if (__builtin_mul_overflow(p, f, &p))
      return false;
  return !__builtin_add_overflow(p, extra, &p) && !__builtin_add_overflow(params, p, &params);
}

/* Comma-separated numbers ("10,14,  23,27"); false for anything else. */
template <typename T>
bool number_list(const std::string &text, std::vector<T> &out) {
  out.clear();
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    item = trim(item);
    if (item.empty())
      continue;
    try {
      size_t used = 0;
      const double v = std::stod(item, &used);
      // Anchor sizes and mask indices: sane magnitudes only (a number an
      // int cannot hold is a broken cfg, not a conversion to attempt).
      if (used != item.size() || !std::isfinite(v) || std::fabs(v) > 1e6 ||
          (std::is_integral<T>::value && v != std::floor(v)))
        return false;
      out.push_back(static_cast<T>(v));
    } catch (...) {
      return false;
    }
  }
  return true;
}

template <typename Opts, typename Shape>
bool parse_yolo_section(Opts &o, const std::string &where, const Shape &head, DarknetYolo &y,
                        std::string &error) {
  y.classes = o.get("classes", 0);
  const int num = o.get("num", 0);
  if (!o.ok)
    return false;
  if (!number_list(o.text("mask"), y.mask) || !number_list(o.text("anchors"), y.anchors)) {
    error = where + " has a mask or anchors that are not comma-separated numbers";
    return false;
  }
  if (y.anchors.size() % 2 != 0 || (num > 0 && y.anchors.size() != size_t(2 * num))) {
    error = where + " has " + std::to_string(y.anchors.size()) + " anchor values for num=" +
            std::to_string(num) + " (two per anchor)";
    return false;
  }
  if (y.mask.empty()) // a section without a mask uses every anchor
    for (size_t i = 0; i < y.anchors.size() / 2; ++i)
      y.mask.push_back(int(i));
  for (int m : y.mask)
    if (m < 0 || size_t(m) >= y.anchors.size() / 2) {
      error = where + " has mask index " + std::to_string(m) + " beyond its " +
              std::to_string(y.anchors.size() / 2) + " anchors";
      return false;
    }
  y.channels = int(head.c);
  y.gridHeight = int(head.h);
  y.gridWidth = int(head.w);
  return true;
}

}  // namespace

bool parseDarknetCfg(const std::string &text, DarknetCfg &cfg, std::string &error) {
  std::vector<Section> sections;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    line = trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';')
      continue;
    if (line[0] == '[') {
      if (line.back() != ']') {
        error = "line " + std::to_string(number) + ": bad section header";
        return false;
      }
      sections.push_back({trim(line.substr(1, line.size() - 2)), {}, number});
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos || sections.empty()) {
      error = "line " + std::to_string(number) + ": expected key=value";
      return false;
    }
    sections.back().options[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
  }
  if (sections.empty() || (sections[0].type != "net" && sections[0].type != "network")) {
    error = "the cfg does not start with a [net] section";
    return false;
  }
  Options net(sections[0], error);
  cfg = DarknetCfg{};
  cfg.channels = net.get("channels", 3);
  cfg.height = net.get("height", 0);
  cfg.width = net.get("width", 0);
  if (!net.ok)
    return false;
  if (cfg.channels < 1 || cfg.height < 1 || cfg.width < 1) {
    error = "[net] needs positive channels, width and height";
    return false;
  }

  static const std::set<std::string> passthrough = {
      "shortcut", "yolo", "region", "dropout", "softmax", "cost", "activation", "detection"};
  static const char *const too_many = " has more weights than a weights file can hold";
  static const char *const too_large = " produces an output too large";
  std::vector<Shape> shapes;
  Shape cur{cfg.channels, cfg.height, cfg.width};
  uint64_t params = 0;
  for (size_t i = 1; i < sections.size(); ++i) {
    const Section &s = sections[i];
    Options o(s, error);
    const std::string where = "line " + std::to_string(s.line) + ": [" + s.type + "]";
    if (s.type == "convolutional" || s.type == "conv") {
      int n = o.get("filters", 1), k = o.get("size", 1), stride = o.get("stride", 1);
      int groups = o.get("groups", 1), bn = o.get("batch_normalize", 0);
      int pad = o.get("pad", 0), padding = o.get("padding", 0);
      if (!o.ok)
        return false;
      if (n < 1 || k < 1 || stride < 1 || groups < 1 || cur.c % groups != 0) {
        error = where + " has bad filters, size, stride or groups";
        return false;
      }
      if (pad)
        padding = k / 2;
      if (!add_weights(params, {uint64_t(n), uint64_t(cur.c / groups), uint64_t(k), uint64_t(k)},
                       n + (bn ? 3ull * n : 0))) {
        error = where + too_many;
        return false;
      }
      const int64_t border = 2 * int64_t(padding) - k;
      cur = {n, (cur.h + border) / stride + 1, (cur.w + border) / stride + 1};
    } else if (s.type == "connected") {
      int n = o.get("output", 1), bn = o.get("batch_normalize", 0);
      if (!o.ok)
        return false;
      if (n < 1) {
        error = where + " has a bad output count";
        return false;
      }
      if (!add_weights(params, {uint64_t(cur.c), uint64_t(cur.h), uint64_t(cur.w), uint64_t(n)},
                       n + (bn ? 3ull * n : 0))) {
        error = where + too_many;
        return false;
      }
      cur = {n, 1, 1};
    } else if (s.type == "maxpool" || s.type == "max") {
      int stride = o.get("stride", 1);
      int size = o.get("size", stride);
      int padding = o.get("padding", size - 1);
      if (!o.ok)
        return false;
      if (stride < 1 || size < 1) {
        error = where + " has a bad size or stride";
        return false;
      }
      cur = {cur.c, (cur.h + padding - size) / stride + 1, (cur.w + padding - size) / stride + 1};
    } else if (s.type == "avgpool" || s.type == "avg") {
      cur = {cur.c, 1, 1};
    } else if (s.type == "upsample") {
      int stride = o.get("stride", 2);
      if (!o.ok)
        return false;
      if (stride < 1) {
        error = where + " has a bad stride";
        return false;
      }
      cur = {cur.c, cur.h * stride, cur.w * stride};
    } else if (s.type == "reorg") {
      int stride = o.get("stride", 1);
      if (!o.ok)
        return false;
      if (stride < 1) {
        error = where + " has a bad stride";
        return false;
      }
      int64_t c = 0;
      if (__builtin_mul_overflow(cur.c, int64_t(stride) * stride, &c)) {
        error = where + too_large;
        return false;
      }
      cur = {c, cur.h / stride, cur.w / stride};
    } else if (s.type == "route") {
      std::string list = o.text("layers");
      int groups = o.get("groups", 1);
      if (!o.ok)
        return false;
      std::istringstream ls(list);
      std::string item;
      int64_t c = 0;
      bool first = true;
      Shape next{};
      while (std::getline(ls, item, ',')) {
        int idx;
        if (!to_int(trim(item), idx)) {
          error = where + " has a bad layer list";
          return false;
        }
        int at = idx < 0 ? static_cast<int>(shapes.size()) + idx : idx;
        if (at < 0 || at >= static_cast<int>(shapes.size())) {
          error = where + " refers to a layer that does not exist";
          return false;
        }
        c += shapes[static_cast<size_t>(at)].c;
        if (first)
          next = shapes[static_cast<size_t>(at)];
        first = false;
      }
      if (first || groups < 1) {
        error = where + " has no layers";
        return false;
      }
      cur = {c / groups, next.h, next.w};
    } else if (passthrough.count(s.type)) {
      if (s.type == "yolo" || s.type == "region")
        ++cfg.yoloLayers;
      if (s.type == "yolo") {
        DarknetYolo y;
        if (!parse_yolo_section(o, where, cur, y, error))
          return false;
        cfg.yolo.push_back(std::move(y));
      }
    } else {
      error = where + ": layer type not supported by the weights size check";
      return false;
    }
    if (cur.c < 1 || cur.h < 1 || cur.w < 1) {
      error = where + " produces an empty output";
      return false;
    }
    if (cur.c > kMaxExtent || cur.h > kMaxExtent || cur.w > kMaxExtent) {
      error = where + too_large;
      return false;
    }
    shapes.push_back(cur);
    if (cfg.width % cur.w == 0 && cfg.height % cur.h == 0)
      cfg.stride = std::max(cfg.stride, std::max(cfg.width / int(cur.w), cfg.height / int(cur.h)));
  }
  cfg.parameters = params;
  return true;
}

size_t darknetHeaderSize(const std::string &weights) {
  if (weights.size() < 12)
    return 0;
  auto rd = [&](size_t off) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
      v |= static_cast<uint32_t>(static_cast<unsigned char>(weights[off + i])) << (8 * i);
    return v;
  };
  uint32_t major = rd(0), minor = rd(4);
  return (major * 10 + minor >= 2 && major < 1000 && minor < 1000) ? 20 : 16;
}

namespace {

/* Just enough protobuf wire format to walk ModelProto.graph.input. */
class Proto {
 public:
  Proto(const char *p, size_t n) : p_(reinterpret_cast<const unsigned char *>(p)), n_(n) {}
  bool next(uint32_t &field, uint32_t &wire) {
    if (pos_ >= n_)
      return false;
    uint64_t key;
    if (!varint(key))
      return bad_ = true, false;
    field = static_cast<uint32_t>(key >> 3);
    wire = static_cast<uint32_t>(key & 7);
    return true;
  }
  bool varint(uint64_t &v) {
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (pos_ >= n_)
        return false;
      unsigned char b = p_[pos_++];
      v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if (!(b & 0x80))
        return true;
    }
    return false;
  }
  bool bytes(Proto &sub, std::string *copy = nullptr) {
    uint64_t len;
    if (!varint(len) || len > n_ - pos_)
      return bad_ = true, false;
    sub = Proto(reinterpret_cast<const char *>(p_ + pos_), static_cast<size_t>(len));
    if (copy)
      copy->assign(reinterpret_cast<const char *>(p_ + pos_), static_cast<size_t>(len));
    pos_ += static_cast<size_t>(len);
    return true;
  }
  bool skip(uint32_t wire) {
    uint64_t v;
    Proto sub(nullptr, 0);
    switch (wire) {
      case 0: return varint(v) || (bad_ = true, false);
      case 1: return advance(8);
      case 2: return bytes(sub);
      case 5: return advance(4);
    }
    return bad_ = true, false;
  }
  bool bad() const { return bad_; }

 private:
  bool advance(size_t k) {
    if (k > n_ - pos_)
      return bad_ = true, false;
    pos_ += k;
    return true;
  }
  const unsigned char *p_;
  size_t n_;
  size_t pos_ = 0;
  bool bad_ = false;
};

bool read_value_info(Proto vi, OnnxInput &out) {
  uint32_t f, w;
  while (vi.next(f, w)) {
    Proto sub(nullptr, 0);
    if (f == 1 && w == 2) {
      if (!vi.bytes(sub, &out.name))
        return false;
    } else if (f == 2 && w == 2) {
      if (!vi.bytes(sub))
        return false;
      uint32_t f2, w2;
      while (sub.next(f2, w2)) {
        Proto tensor(nullptr, 0);
        if (f2 == 1 && w2 == 2) {
          if (!sub.bytes(tensor))
            return false;
          uint32_t f3, w3;
          while (tensor.next(f3, w3)) {
            Proto shape(nullptr, 0);
            if (f3 == 2 && w3 == 2) {
              if (!tensor.bytes(shape))
                return false;
              uint32_t f4, w4;
              while (shape.next(f4, w4)) {
                Proto dim(nullptr, 0);
                if (f4 == 1 && w4 == 2) {
                  if (!shape.bytes(dim))
                    return false;
                  int64_t value = -1;
                  uint32_t f5, w5;
                  while (dim.next(f5, w5)) {
                    uint64_t v;
                    if (f5 == 1 && w5 == 0) {
                      if (!dim.varint(v))
                        return false;
                      value = static_cast<int64_t>(v);
                    } else if (!dim.skip(w5)) {
                      return false;
                    }
                  }
                  out.dims.push_back(value);
                } else if (!shape.skip(w4)) {
                  return false;
                }
              }
            } else if (!tensor.skip(w3)) {
              return false;
            }
          }
        } else if (!sub.skip(w2)) {
          return false;
        }
      }
    } else if (!vi.skip(w)) {
      return false;
    }
  }
  return !vi.bad();
}

}  // namespace

bool readOnnxInput(const std::string &model, OnnxInput &input, std::string &error) {
  Proto m(model.data(), model.size());
  uint32_t f, w;
  Proto graph(nullptr, 0);
  bool found = false;
  while (m.next(f, w)) {
    if (f == 7 && w == 2) {
      if (!m.bytes(graph))
        break;
      found = true;
    } else if (!m.skip(w)) {
      break;
    }
  }
  if (m.bad() || !found) {
    error = "not an ONNX model (no graph)";
    return false;
  }
  std::set<std::string> initializers;
  std::vector<OnnxInput> inputs;
  while (graph.next(f, w)) {
    Proto sub(nullptr, 0);
    if (f == 5 && w == 2) {
      if (!graph.bytes(sub))
        break;
      uint32_t f2, w2;
      std::string name;
      while (sub.next(f2, w2)) {
        Proto s2(nullptr, 0);
        if (f2 == 8 && w2 == 2) {
          if (!sub.bytes(s2, &name))
            break;
        } else if (!sub.skip(w2)) {
          break;
        }
      }
      initializers.insert(name);
    } else if (f == 11 && w == 2) {
      if (!graph.bytes(sub))
        break;
      OnnxInput in;
      if (!read_value_info(sub, in)) {
        error = "bad ONNX graph input";
        return false;
      }
      inputs.push_back(in);
    } else if (!graph.skip(w)) {
      break;
    }
  }
  if (graph.bad()) {
    error = "malformed ONNX graph";
    return false;
  }
  for (const auto &in : inputs)
    if (!initializers.count(in.name)) {
      input = in;
      return true;
    }
  error = "the ONNX graph has no input";
  return false;
}

bool readCaffeInputDims(const std::string &prototxt, std::vector<int> &dims) {
  dims.clear();
  static const std::regex input_dim(R"(input_dim\s*:\s*(\d+))");
  static const std::regex dim(R"(\bdim\s*:\s*(\d+))");
  for (const auto *re : {&input_dim, &dim}) {
    dims.clear();
    for (auto it = std::sregex_iterator(prototxt.begin(), prototxt.end(), *re);
         it != std::sregex_iterator() && dims.size() < 4; ++it) {
      int v;
      if (!to_int((*it)[1].str(), v))
        return false;
      dims.push_back(v);
    }
    if (dims.size() == 4)
      return true;
  }
  dims.clear();
  return false;
}

}  // namespace ovbuild
