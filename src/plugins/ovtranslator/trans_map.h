/* The translator registry: which function turns the raw tensor of a
 * (topology, engine) pair into results, the two enumerations exposed as
 * element properties, and the parameters a translator can be handed. */
#ifndef OV_TRANS_MAP_H
#define OV_TRANS_MAP_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <glib-object.h>

#include "ovbatch_records.h"

namespace orvane {
namespace ai {

enum class Topology : int32_t {
  None = 0,
  Classifier = 1,
  YoloV3 = 2,
  SSD = 3,
  Segment = 4,
  FCN = 6,
};

enum class Engine : int32_t {
  None = 0,
  OpenVINO = 1,
  TensorRT = 2,
};

/* One named parameter.  Readers know which kind they expect for a key;
 * as_int()/as_float() convert between the two numeric kinds. */
struct TranslateElem {
  enum Kind : int32_t { Int = 0, Float = 1, String = 2 };

  int32_t kind = Int;
  std::variant<int32_t, float, std::string> value{int32_t(0)};

  TranslateElem() = default;
  TranslateElem(int32_t v) : kind(Int), value(v) {}
  TranslateElem(float v) : kind(Float), value(v) {}
  TranslateElem(std::string v) : kind(String), value(std::move(v)) {}

  int32_t as_int() const;
  float as_float() const;
  const std::string &as_string() const; /* throws std::bad_variant_access */
};

using TranslateInfo = std::map<std::string, TranslateElem>;

using TranslatorFunction =
    std::function<bool(const void *data, const std::vector<int> &dims,
                       const std::vector<std::string> &labels, const TranslateInfo &info,
                       Result &result)>;

/* Stores (or replaces) the function for the pair.  Always true. */
bool registry_translator(TranslatorFunction func, const Topology &topology, const Engine &engine);

/* A copy of the registered function; empty when the pair is unknown or the
 * lookup fails.  Never throws. */
TranslatorFunction get_translator(const Topology &topology, const Engine &engine) noexcept;

/* Registers the built-in translators (again, if already there). */
void init_supports();

/* Key the element adds: number of whole floats in the mapped tensor.  Every
 * built-in translator refuses dims that imply more. */
extern const char *const kTensorCountKey;

}  // namespace ai
}  // namespace orvane

extern "C" {
GType ov_ai_topology_pattern_get_type(void);
GType ov_engine_pattern_get_type(void);
}

#define OV_TYPE_AI_TOPOLOGY_PATTERN (ov_ai_topology_pattern_get_type())
#define OV_TYPE_ENGINE_PATTERN (ov_engine_pattern_get_type())

#endif /* OV_TRANS_MAP_H */
