/* Binary payload of a bus sample: the NVP sequence in a compact form.
 *
 *   payload  = version(1 byte, 0x01) seq
 *   seq      = varint(count) pair*
 *   pair     = varint(name length) name-bytes value
 *   value    = kind(1 byte) body
 *   body     = string/byte_seq: varint(length) bytes;  uint32/int32/float32:
 *              4 bytes little endian;  int64: 8 bytes;  nvp_seq: seq;  none: -
 *
 * Varints are unsigned LEB128 of at most 10 bytes.  The decoder trusts
 * nothing: every length is checked against what is left, kinds must be known,
 * nesting is limited, and trailing bytes are an error. */
#ifndef MESHAPI_NVP_CODEC_H
#define MESHAPI_NVP_CODEC_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "meshapi/iot_value.h"

namespace com {
namespace quillmark {
namespace iot {

class PayloadError : public IotException {
 public:
  using IotException::IotException;
};

constexpr uint8_t kPayloadVersion = 0x01;
constexpr int kMaxNesting = 32;

/* Appends the encoding of `seq` to `out`. */
void encode_payload(const IOT_NVP_SEQ &seq, std::vector<uint8_t> &out);
std::vector<uint8_t> encode_payload(const IOT_NVP_SEQ &seq);
/* Exact size encode_payload() will produce. */
size_t encoded_size(const IOT_NVP_SEQ &seq);

/* Throws PayloadError naming the offset and the reason. */
IOT_NVP_SEQ decode_payload(const uint8_t *data, size_t size);

}  // namespace iot
}  // namespace quillmark
}  // namespace com

#endif
