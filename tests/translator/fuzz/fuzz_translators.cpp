/* libFuzzer target: a dims text (first line) and a tensor (the rest of the
 * bytes, whole floats) through every translator, as the element hands them
 * over.  Whatever the text says, no translator may read outside the tensor
 * or ask for unbounded memory. */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "translator_core.h"
#include "translators.h"

using namespace orvane::ai;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const uint8_t *nl = static_cast<const uint8_t *>(std::memchr(data, '\n', size));
  const size_t text_len = nl ? size_t(nl - data) : size;
  const std::string text(reinterpret_cast<const char *>(data), text_len);
  const size_t rest = nl ? size - text_len - 1 : 0;

  // Exactly as many floats as the bytes hold, on the heap: ASan sees any
  // read past them.
  std::vector<float> tensor(rest / sizeof(float));
  if (!tensor.empty())
    std::memcpy(tensor.data(), nl + 1, tensor.size() * sizeof(float));
  const int n = int(tensor.size());

  std::istringstream label_text(text);
  const std::vector<std::string> labels = read_label_lines(label_text);

  const DimsParse parsed = parse_dims(n, text.c_str());
  TranslateInfo info;
  info["count"] = TranslateElem(int32_t(n));
  info["iw"] = TranslateElem(int32_t(416));
  info["ih"] = TranslateElem(int32_t(416));

  using Fn = bool (*)(const void *, const std::vector<int> &, const std::vector<std::string> &,
                      const TranslateInfo &, Result &);
  for (Fn fn : {ClassifierTopology, SSDTopology, OpenVINO_Yolov3, TensorRT_Yolov3, Segment,
                SegmentFCN}) {
    Result result;
    try {
      fn(tensor.empty() ? nullptr : tensor.data(), parsed.dims, labels, info, result);
    } catch (const std::runtime_error &) {
      // the OpenVINO decoder's non-square layer
    }
  }
  return 0;
}
