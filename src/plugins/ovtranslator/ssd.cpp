/* SSD: the network has already decoded and suppressed; keep the records
 * above the confidence threshold, each in the frame its image id names. */
#include "translate_util.h"
#include "translators.h"

namespace orvane {
namespace ai {

using namespace detail;

namespace {
constexpr int64_t kRecordFloats = 7;
}

bool SSDTopology(const void *data, const std::vector<int> &dims,
                 const std::vector<std::string> &labels, const TranslateInfo &info,
                 Result &result) {
  if (dims.size() != 4 || any_negative(dims))
    return false;
  const int64_t batch = dims[0];
  int64_t max_count = 0, obj_size = 0;
  if (!read_int(info, "maxCount", max_count))
    max_count = dims[2];
  if (!read_int(info, "objSize", obj_size))
    obj_size = dims[3];
  float threshold = 0.5f;
  try {
    threshold = info.at("threshold").as_float();
  } catch (const std::out_of_range &) {
  }
  if (obj_size < 0 || !frames_ok(info, batch))
    return false;

  // The last block starts (batch - 1) strides in and its records are read
  // 7 floats apart whatever objSize says.
  if (batch > 0 && max_count > 0) {
    int64_t before_last = 0, last = 0, needed = 0;
    if (!checked_product({batch - 1, max_count, obj_size}, before_last) ||
        !checked_product({max_count, kRecordFloats}, last) ||
        __builtin_add_overflow(before_last, last, &needed) || !fits_tensor(info, needed))
      return false;
    if (data == nullptr)
      return false;
  }

  result.set_type(RESULT_DETECTION_BOX);
  if (batch <= 0)
    return true;
  result.detection_box.resize(static_cast<size_t>(batch));

  const float *block = static_cast<const float *>(data);
  for (int64_t i = 0; i < batch; ++i) {
    uint32_t running = 0;
    for (int64_t r = 0; r < max_count; ++r) {
      const float *rec = block + r * kRecordFloats;
      const double margin = static_cast<double>(rec[2] - threshold);
      if (!(margin >= 1e-8))  // also drops a NaN confidence
        continue;
      const float image_id = rec[0];
      if (!(image_id >= 0.0f))  // negative marks an empty record; NaN is no id
        continue;
      if (static_cast<double>(image_id) >= static_cast<double>(batch))
        continue;
      const int64_t target = trunc_to_int(image_id);
      DetectionBoxResult box;
      box.obj_id = running;
      box.obj_label = label_for(trunc_to_int(rec[1]), labels);
      box.x1 = rec[3];
      box.y1 = rec[4];
      box.x2 = rec[5];
      box.y2 = rec[6];
      box.prob = rec[2];
      result.detection_box[static_cast<size_t>(target)].push_back(std::move(box));
      ++running;
    }
    if (i + 1 < batch)
      block += max_count * obj_size;
  }
  return true;
}

}  // namespace ai
}  // namespace orvane
