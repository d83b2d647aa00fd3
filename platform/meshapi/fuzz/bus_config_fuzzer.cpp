/* libFuzzer target: the bus configuration file.  The reader either refuses
 * the text with MeshError or hands the transport one whole <CycloneDDS>
 * element, with a domain id from 0 to 230. */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "meshapi/tidemesh.h"

using namespace com::quillmark::tidemesh;

namespace {
[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "bus_config_fuzzer: %s\n", what);
  std::abort();
}

bool starts_with(const std::string &s, const std::string &p) { return s.compare(0, p.size(), p) == 0; }
bool ends_with(const std::string &s, const std::string &p) {
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  BusConfig cfg;
  try {
    cfg = parse_bus_config(text, "fuzz");
  } catch (const MeshError &) {
    return 0;
  }
  if (!starts_with(cfg.cyclone_xml, "<CycloneDDS") || !ends_with(cfg.cyclone_xml, "</CycloneDDS>"))
    fail("the transport configuration is not one <CycloneDDS> element");
  if (cfg.domain_id > 230) fail("domain id out of range");
  return 0;
}
