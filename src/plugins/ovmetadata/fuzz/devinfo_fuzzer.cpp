// libFuzzer target for the writer's device-information file parser: any
// bytes give a record, never a crash, and no field outgrows its line bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "metawriter_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  std::istringstream in(text);
  DeviceInfoData d = ovmetadata::parse_device_info(in);
  const std::string *fields[] = {&d.stream_id, &d.mac_address, &d.ip_address, &d.uri,
                                 &d.manufacturer, &d.model, &d.serial, &d.fw_version,
                                 &d.dev_id, &d.status, &d.kind, &d.protocol};
  for (const std::string *f : fields)
    if (f->size() > 4096)
      abort();
  ovmetadata::parse_port(text);
  return 0;
}
