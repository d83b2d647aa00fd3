#include "metawriter_core.h"

#include <fstream>
#include <stdexcept>

std::atomic<int32_t> number{0};

namespace ovmetadata {

int32_t next_frame_number() {
  // Atomic arithmetic wraps on overflow, so this is defined for ever.
  return number.fetch_add(1, std::memory_order_relaxed);
}

uint32_t parse_port(const std::string &line) {
  try {
    return static_cast<uint32_t>(std::stoi(line));
  } catch (const std::invalid_argument &) {
    return 0;
  } catch (const std::out_of_range &) {
    return 0;
  }
}

// A device file is a few short lines; a misnamed file (a device node, a
// video) must not make the streaming thread read or keep it whole.
constexpr size_t kMaxLineBytes = 4096;
constexpr size_t kMaxFileBytes = 64 * 1024;

static bool read_line(std::istream &in, std::string &line, size_t &budget) {
  line.clear();
  std::istream::int_type c = std::istream::traits_type::eof();
  bool any = false;
  while (budget > 0 && (c = in.get()) != std::istream::traits_type::eof()) {
    --budget;
    any = true;
    if (c == '\n')
      return true;
    if (line.size() < kMaxLineBytes)
      line.push_back(static_cast<char>(c));
  }
  return any;
}

DeviceInfoData parse_device_info(std::istream &in) {
  DeviceInfoData d;
  std::string *const text_fields[] = {
      &d.stream_id, &d.mac_address, &d.ip_address, nullptr /* port */, &d.uri,
      &d.manufacturer, &d.model, &d.serial, &d.fw_version, &d.dev_id,
      &d.status, &d.kind, &d.protocol,
  };
  std::string line;
  size_t budget = kMaxFileBytes;
  for (std::string *field : text_fields) {
    if (!read_line(in, line, budget))
      break;
    if (field)
      *field = line;
    else
      d.port = parse_port(line);
  }
  return d;
}

DeviceInfoData read_device_info_file(const char *path) {
  if (!path)
    return DeviceInfoData();
  std::ifstream in(path);
  if (!in.is_open())
    return DeviceInfoData();
  return parse_device_info(in);
}

}  // namespace ovmetadata
