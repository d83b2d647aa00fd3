#include "trans_map.h"

#include <mutex>

#include "ov_element.h"
#include "translators.h"

namespace orvane {
namespace ai {

const char *const kTensorCountKey = "count";

int32_t TranslateElem::as_int() const {
  if (const int32_t *i = std::get_if<int32_t>(&value))
    return *i;
  if (const float *f = std::get_if<float>(&value))
    return static_cast<int32_t>(*f);
  return 0;
}

float TranslateElem::as_float() const {
  if (const float *f = std::get_if<float>(&value))
    return *f;
  if (const int32_t *i = std::get_if<int32_t>(&value))
    return static_cast<float>(*i);
  return 0.0f;
}

const std::string &TranslateElem::as_string() const { return std::get<std::string>(value); }

namespace {

using Key = std::pair<Topology, Engine>;

/* Registration runs from element construction, lookups from streaming
 * threads: both go through this lock. */
std::mutex trans_maps_lock;
std::map<Key, TranslatorFunction> trans_maps;

}  // namespace

bool registry_translator(TranslatorFunction func, const Topology &topology, const Engine &engine) {
  std::lock_guard<std::mutex> guard(trans_maps_lock);
  trans_maps[Key(topology, engine)] = std::move(func);
  return true;
}

TranslatorFunction get_translator(const Topology &topology, const Engine &engine) noexcept {
  try {
    std::lock_guard<std::mutex> guard(trans_maps_lock);
    auto it = trans_maps.find(Key(topology, engine));
    if (it == trans_maps.end())
      return TranslatorFunction();
    return it->second;
  } catch (...) {
    return TranslatorFunction();
  }
}

void init_supports() {
  registry_translator(ClassifierTopology, Topology::Classifier, Engine::None);
  registry_translator(SSDTopology, Topology::SSD, Engine::None);
  registry_translator(OpenVINO_Yolov3, Topology::YoloV3, Engine::OpenVINO);
  registry_translator(TensorRT_Yolov3, Topology::YoloV3, Engine::TensorRT);
  registry_translator(Segment, Topology::Segment, Engine::None);
  registry_translator(SegmentFCN, Topology::FCN, Engine::None);
}

}  // namespace ai
}  // namespace orvane

GType ov_ai_topology_pattern_get_type(void) {
  static gsize type_id = 0;
  static const GEnumValue values[] = {
      {int(orvane::ai::Topology::None), "No-specific topology", "none"},
      {int(orvane::ai::Topology::Classifier), "Classifier", "classifier"},
      {int(orvane::ai::Topology::SSD), "ssd", "ssd"},
      {int(orvane::ai::Topology::YoloV3), "YoloV3", "yolov3"},
      {int(orvane::ai::Topology::Segment), "Segment", "segment"},
      {int(orvane::ai::Topology::FCN), "FCN", "fcn"},
      {0, nullptr, nullptr},
  };
  return ov::enum_type_once(type_id, "OvAITopologyPattern", values);
}

GType ov_engine_pattern_get_type(void) {
  static gsize type_id = 0;
  static const GEnumValue values[] = {
      {int(orvane::ai::Engine::None), "Non-specific engine", "none"},
      {int(orvane::ai::Engine::OpenVINO), "OpenVINO inference engine", "openvino"},
      {int(orvane::ai::Engine::TensorRT), "TensorRT inference engine", "tensorrt"},
      {0, nullptr, nullptr},
  };
  return ov::enum_type_once(type_id, "OvAIEnginePattern", values);
}
