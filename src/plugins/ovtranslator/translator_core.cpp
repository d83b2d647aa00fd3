#include "translator_core.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace orvane {
namespace ai {

DimsParse parse_dims(int n, const char *text) {
  DimsParse out;
  if (text == nullptr)
    return out;

  std::vector<int> tokens;
  const std::string s(text);
  size_t start = 0;
  while (true) {
    const size_t comma = s.find(',', start);
    const std::string token = s.substr(start, comma == std::string::npos ? std::string::npos
                                                                          : comma - start);
    tokens.push_back(static_cast<int>(static_cast<int32_t>(std::strtol(token.c_str(), nullptr, 10))));
    if (comma == std::string::npos || comma + 1 == s.size())
      break;
    start = comma + 1;
  }

  int zeros = 0;
  int64_t product = 1;
  bool product_fits = true;
  for (int v : tokens) {
    if (v == 0)
      ++zeros;
    else if (product_fits && __builtin_mul_overflow(product, int64_t(v), &product))
      product_fits = false;
  }
  const bool usable = product_fits && product > 0;

  out.automatic = zeros == 1;
  if (zeros <= 1)
    out.not_divisible = !usable || (int64_t(n) % product) != 0;
  else
    out.several_auto = true;

  int auto_dim = 0;
  if (usable && n > 0)
    auto_dim = static_cast<int>(std::floor(static_cast<float>(n) / static_cast<float>(product)));

  bool first_zero = true;
  for (int v : tokens) {
    if (v != 0) {
      out.dims.push_back(v);
    } else if (first_zero) {
      out.dims.push_back(auto_dim);
      first_zero = false;
    }
  }
  return out;
}

std::string dims_to_string(const std::vector<int> &dims) {
  std::string s;
  for (int d : dims)
    s += std::to_string(d) + ",";
  return s;
}

std::vector<std::string> read_label_lines(std::istream &in) {
  std::vector<std::string> labels;
  std::string line;
  while (std::getline(in, line, '\n'))
    labels.push_back(line);
  return labels;
}

}  // namespace ai
}  // namespace orvane
