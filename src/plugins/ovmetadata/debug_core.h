/* The synthetic inference result the metadata debugger injects. */
#ifndef OVMETADATA_DEBUG_CORE_H
#define OVMETADATA_DEBUG_CORE_H

#include <string>

#include "ovbatch_records.h"

namespace ovmetadata {

enum DataTypePattern {
  DATA_TYPE_CLASS = 0,
  DATA_TYPE_BOX = 1,
};

struct DebugResultSettings {
  int type = DATA_TYPE_CLASS;
  unsigned id = 0;
  std::string label;
  float x1 = 0.0f;
  float y1 = 0.0f;
  float x2 = 1.0f;
  float y2 = 1.0f;
  float prob = 1.0f;
};

/* A one-frame result: one classification (class) or one box with ordered
 * corners (box).  False, `out` untouched, for any other type. */
bool build_debug_result(const DebugResultSettings &settings, orvane::ai::Result &out);

/* "test" followed by a random decimal from 0 to 1000. */
std::string make_random_class_label();

}  // namespace ovmetadata

#endif /* OVMETADATA_DEBUG_CORE_H */
