/* libFuzzer target: the Darknet cfg reader of ov-build-engine, and the same
 * bytes as the header of a weights file.  A cfg is either refused with a
 * reason or sized with a positive input shape; the header is 16 or 20 bytes,
 * or 0 for a file shorter than its version fields. */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "model_info.h"

namespace {
[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "darknet_cfg_fuzzer: %s\n", what);
  std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  ovbuild::DarknetCfg cfg;
  std::string error;
  if (ovbuild::parseDarknetCfg(text, cfg, error)) {
    if (cfg.channels < 1 || cfg.height < 1 || cfg.width < 1 || cfg.yoloLayers < 0)
      fail("an accepted cfg has no input shape");
  } else if (error.empty()) {
    fail("a refused cfg gives no reason");
  }
  const size_t header = ovbuild::darknetHeaderSize(text);
  if (size < 12 ? header != 0 : header != 16 && header != 20) fail("bad weights header size");
  return 0;
}
