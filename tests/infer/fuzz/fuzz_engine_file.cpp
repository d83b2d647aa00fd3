/* libFuzzer target: the engine file parser must refuse or accept any bytes
 * without reading outside them, and what it accepts must serialise back. */
#include <cstddef>
#include <cstdint>
#include <string>

#include "ov_engine_file.h"

namespace {

void check(const uint8_t *data, size_t size) {
  ovengine::EngineFile engine;
  std::string error;
  if (ovengine::parse(data, size, engine, error)) {
    std::string again;
    if (!ovengine::serialize(engine, again, error) || again.size() != size)
      __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  check(data, size);
  /* Again with the checksum re-sealed, so mutations reach the field checks. */
  if (size >= 4) {
    std::string sealed(reinterpret_cast<const char *>(data), size);
    uint32_t crc = ovengine::crc32(sealed.data(), size - 4);
    for (int i = 0; i < 4; ++i)
      sealed[size - 4 + i] = static_cast<char>(crc >> (8 * i));
    check(reinterpret_cast<const uint8_t *>(sealed.data()), size);
  }
  return 0;
}
