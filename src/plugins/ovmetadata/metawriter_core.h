/* Plain parts of the metadata writer: the device-information file and the
 * process-wide frame counter. */
#ifndef OVMETADATA_METAWRITER_CORE_H
#define OVMETADATA_METAWRITER_CORE_H

#include <atomic>
#include <cstdint>
#include <istream>
#include <string>

#include "ovbatch_records.h"

/* Frame numbers shared by all writers of the process; starts at 0, never
 * reset.  Atomic because writers run in several streaming threads (same
 * layout as a plain 32-bit integer).  Exported by the plug-in as "number". */
extern "C" __attribute__((visibility("default"))) std::atomic<int32_t> number;

namespace ovmetadata {

using ::number;

/* The counter's current value, then increments it. */
int32_t next_frame_number();

/* The port line as std::stoi reads it (leading blanks and sign, trailing
 * text ignored); 0 when it holds no number or one outside 32-bit range. */
uint32_t parse_port(const std::string &line);

/* Reads up to 13 lines, one field each in DeviceInfoData order (lines and
 * the bytes read are bounded).  Missing
 * lines leave their fields empty (port 0); later lines are ignored. */
DeviceInfoData parse_device_info(std::istream &in);

/* parse_device_info of the named file; an empty record when `path` is NULL
 * or the file cannot be opened. */
DeviceInfoData read_device_info_file(const char *path);

}  // namespace ovmetadata

#endif /* OVMETADATA_METAWRITER_CORE_H */
