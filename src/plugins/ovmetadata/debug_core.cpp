#include "debug_core.h"

#include <algorithm>
#include <chrono>
#include <random>

namespace ovmetadata {

bool build_debug_result(const DebugResultSettings &s, orvane::ai::Result &out) {
  switch (s.type) {
    case DATA_TYPE_CLASS: {
      orvane::ai::ClassificationResult c;
      c.index = s.id;
      c.label = s.label;
      c.prob = s.prob;
      out.set_type(orvane::ai::RESULT_CLASSIFICATION);
      out.classification.push_back(std::move(c));
      return true;
    }
    case DATA_TYPE_BOX: {
      orvane::ai::DetectionBoxResult b;
      b.obj_id = s.id;
      b.obj_label = s.label;
      b.x1 = std::min(s.x1, s.x2);
      b.y1 = std::min(s.y1, s.y2);
      b.x2 = std::max(s.x1, s.x2);
      b.y2 = std::max(s.y1, s.y2);
      b.prob = s.prob;
      out.set_type(orvane::ai::RESULT_DETECTION_BOX);
      out.detection_box.push_back({std::move(b)});
      return true;
    }
    default:
      return false;
  }
}

static std::random_device::result_type random_seed() {
  try {
    std::random_device device("default");
    return device();
  } catch (const std::exception &) {
    // No entropy source: any seed will do for a test label.
    return static_cast<std::random_device::result_type>(
        std::chrono::steady_clock::now().time_since_epoch().count());
  }
}

std::string make_random_class_label() {
  std::minstd_rand0 generator(random_seed());
  std::uniform_int_distribution<int> draw(0, 1000);
  return "test" + std::to_string(draw(generator));
}

}  // namespace ovmetadata
