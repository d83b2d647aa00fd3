/* libFuzzer target: one text through the three JSON readers of the bus
 * definitions (tag groups, thing classes, thing properties).  Each either
 * refuses it with RegistryError or gives definitions that hold what the
 * readers promise: named tag groups with an id and known, unique tag kinds,
 * whose own complete sample passes validation; thing classes with their
 * ports; properties with a thing id. */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "meshapi/registry.h"

namespace iot = com::quillmark::iot;
using namespace com::quillmark::tidemesh;

namespace {

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "registry_fuzzer: %s\n", what);
  std::abort();
}

/* A sample holding every tag of the group once, with a value of its kind. */
iot::IOT_NVP_SEQ complete_sample(const TagGroup &g) {
  iot::IOT_NVP_SEQ s;
  for (const TagDefinition &t : g.tags) {
    iot::IOT_VALUE v;
    switch (t.kind) {
      case iot::IOT_KIND::STRING: v.iotv_string("x"); break;
      case iot::IOT_KIND::UINT32: v.iotv_uint32(1); break;
      case iot::IOT_KIND::INT32: v.iotv_int32(-1); break;
      case iot::IOT_KIND::INT64: v.iotv_int64(1); break;
      case iot::IOT_KIND::FLOAT32: v.iotv_float32(0.5f); break;
      case iot::IOT_KIND::BYTE_SEQ: v.iotv_byte_seq({1, 2}); break;
      case iot::IOT_KIND::NVP_SEQ: v.iotv_nvp_seq({}); break;
      case iot::IOT_KIND::NONE: fail("a tag of kind none was accepted");
    }
    s.emplace_back(t.name, std::move(v));
  }
  return s;
}

void tag_groups(const std::string &text) {
  JSonTagGroupRegistry r;
  try {
    r.registerTagGroupsFromString(text, "fuzz");
  } catch (const RegistryError &) {
    if (!r.tagGroups().empty()) fail("a refused tag-group file registered groups");
    return;
  }
  for (const auto &kv : r.tagGroups()) {
    const TagGroup &g = kv.second;
    if (g.name != kv.first || g.name.empty() || g.id.empty()) fail("tag group without name or id");
    iot::IOT_NVP_SEQ sample = complete_sample(g);
    try {
      g.validate(sample);
    } catch (const RegistryError &) {
      fail("a complete sample of a tag group does not validate");
    }
    if (!sample.empty()) {
      sample.pop_back();
      bool refused = false;
      try {
        g.validate(sample);
      } catch (const RegistryError &) {
        refused = true;
      }
      if (!refused) fail("a sample lacking a tag validates");
    }
  }
}

void thing_classes(const std::string &text) {
  JSonThingClassRegistry r;
  try {
    r.registerThingClassesFromString(text, "fuzz");
  } catch (const RegistryError &) {
    if (!r.thingClasses().empty()) fail("a refused thing-class file registered classes");
    return;
  }
  for (const auto &kv : r.thingClasses())
    if (kv.second.id != kv.first) fail("thing class stored under another id");
}

void properties(const std::string &text) {
  JSonThingProperties p;
  try {
    p.readPropertiesFromString(text);
  } catch (const RegistryError &) {
    if (!p.thingId().empty()) fail("refused properties kept a thing id");
    return;
  }
  if (p.thingId().empty()) fail("properties without a thing id accepted");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  tag_groups(text);
  thing_classes(text);
  properties(text);
  return 0;
}
