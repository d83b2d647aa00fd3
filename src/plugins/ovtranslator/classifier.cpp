/* Classification: the best-scoring class of each frame's score vector. */
#include <cmath>

#include "model_fit.h"
#include "translate_util.h"
#include "translators.h"

namespace orvane {
namespace ai {

using namespace detail;

bool ClassifierTopology(const void *data, const std::vector<int> &dims,
                        const std::vector<std::string> &labels, const TranslateInfo &info,
                        Result &result) {
  if (dims.empty() || any_negative(dims))
    return false;
  const int64_t batch = dims[0];
  int64_t cls_num = 0;
  if (!read_int(info, "cls_num", cls_num)) {
    if (dims.size() < 2)
      return false;
    cls_num = dims[1];
  }
  int64_t needed = 0;
  if (!frames_ok(info, batch) || !checked_product({batch, cls_num}, needed) ||
      !fits_tensor(info, needed))
    return false;
  if (needed > 0 && data == nullptr)
    return false;

  result.set_type(RESULT_CLASSIFICATION);
  result.classification.reserve(static_cast<size_t>(batch));
  int64_t softmax = 0;
  read_int(info, kSoftmaxKey, softmax);
  std::vector<float> activated;
  const float *frame = static_cast<const float *>(data);
  for (int64_t j = 0; j < batch; ++j, frame += cls_num) {
    const float *p = frame;
    if (softmax != 0) {
      // Logits to probabilities, shifted by the largest so exp never overflows.
      activated.assign(frame, frame + cls_num);
      float top = -INFINITY;
      for (float v : activated)
        top = std::fmax(top, v);
      double sum = 0;
      for (float &v : activated) {
        v = std::exp(v - top);
        sum += double(v);
      }
      for (float &v : activated)
        v = sum > 0 ? float(double(v) / sum) : 0.0f;
      p = activated.data();
    }
    float best = 0.0f;
    int64_t best_index = 0;
    for (int64_t k = 0; k < cls_num; ++k) {
      const float diff = p[k] - best;
      if (static_cast<double>(diff) > 1e-8) {
        best = p[k];
        best_index = k;
      }
    }
    ClassificationResult entry;
    entry.index = 0;
    entry.label = label_for(best_index, labels);
    entry.prob = best;
    result.classification.push_back(std::move(entry));
  }
  return true;
}

}  // namespace ai
}  // namespace orvane
