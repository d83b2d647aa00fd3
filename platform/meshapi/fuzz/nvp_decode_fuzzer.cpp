/* libFuzzer target: the payload decoder must reject or accept any input
 * without reading out of bounds, and what it accepts must re-encode to the
 * same bytes. */
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "meshapi/nvp_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace com::quillmark::iot;
  IOT_NVP_SEQ seq;
  try {
    seq = decode_payload(data, size);
  } catch (const PayloadError &) {
    return 0;
  }
  std::vector<uint8_t> again = encode_payload(seq);
  // Varints have more than one spelling, so compare after a second round.
  IOT_NVP_SEQ seq2 = decode_payload(again.data(), again.size());
  if (!(seq2 == seq) || encode_payload(seq2) != again) std::abort();
  return 0;
}
