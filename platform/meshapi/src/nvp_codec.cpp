#include "meshapi/nvp_codec.h"

#include <cstring>
#include <string>

namespace com {
namespace quillmark {
namespace iot {

namespace {

size_t varint_size(uint64_t v) {
  size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

void put_varint(std::vector<uint8_t> &out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

template <typename T>
void put_le(std::vector<uint8_t> &out, T v) {
  uint8_t b[sizeof(T)];
  std::memcpy(b, &v, sizeof(T));
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(b[i], b[sizeof(T) - 1 - i]);
#endif
  out.insert(out.end(), b, b + sizeof(T));
}

void put_bytes(std::vector<uint8_t> &out, const void *p, size_t n) {
  put_varint(out, n);
  const uint8_t *b = static_cast<const uint8_t *>(p);
  out.insert(out.end(), b, b + n);
}

size_t seq_size(const IOT_NVP_SEQ &seq);

size_t value_size(const IOT_VALUE &v) {
  switch (v.kind()) {
    case IOT_KIND::NONE: return 1;
    case IOT_KIND::STRING: {
      size_t n = v.iotv_string().size();
      return 1 + varint_size(n) + n;
    }
    case IOT_KIND::UINT32:
    case IOT_KIND::INT32:
    case IOT_KIND::FLOAT32: return 1 + 4;
    case IOT_KIND::INT64: return 1 + 8;
    case IOT_KIND::BYTE_SEQ: {
      size_t n = v.iotv_byte_seq().size();
      return 1 + varint_size(n) + n;
    }
    case IOT_KIND::NVP_SEQ: return 1 + seq_size(v.iotv_nvp_seq());
  }
  return 1;
}

size_t seq_size(const IOT_NVP_SEQ &seq) {
  size_t n = varint_size(seq.size());
  for (const IOT_NVP &p : seq) n += varint_size(p.name().size()) + p.name().size() + value_size(p.value());
  return n;
}

void put_seq(std::vector<uint8_t> &out, const IOT_NVP_SEQ &seq);

void put_value(std::vector<uint8_t> &out, const IOT_VALUE &v) {
  out.push_back(static_cast<uint8_t>(v.kind()));
  switch (v.kind()) {
    case IOT_KIND::NONE: break;
    case IOT_KIND::STRING: put_bytes(out, v.iotv_string().data(), v.iotv_string().size()); break;
    case IOT_KIND::UINT32: put_le(out, v.iotv_uint32()); break;
    case IOT_KIND::INT32: put_le(out, v.iotv_int32()); break;
    case IOT_KIND::INT64: put_le(out, v.iotv_int64()); break;
    case IOT_KIND::FLOAT32: put_le(out, v.iotv_float32()); break;
    case IOT_KIND::BYTE_SEQ: put_bytes(out, v.iotv_byte_seq().data(), v.iotv_byte_seq().size()); break;
    case IOT_KIND::NVP_SEQ: put_seq(out, v.iotv_nvp_seq()); break;
  }
}

void put_seq(std::vector<uint8_t> &out, const IOT_NVP_SEQ &seq) {
  put_varint(out, seq.size());
  for (const IOT_NVP &p : seq) {
    put_bytes(out, p.name().data(), p.name().size());
    put_value(out, p.value());
  }
}

class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : p_(data), end_(data + size), begin_(data) {}

  [[noreturn]] void fail(const std::string &why) const {
    throw PayloadError("malformed payload at byte " + std::to_string(p_ - begin_) + ": " + why);
  }

  size_t left() const { return static_cast<size_t>(end_ - p_); }

  uint8_t byte() {
    if (p_ == end_) fail("truncated");
    return *p_++;
  }

  uint64_t varint() {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      uint8_t b = byte();
      if (shift == 63 && (b & 0x7e)) fail("varint overflows 64 bits");
      v |= static_cast<uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) return v;
    }
    fail("varint longer than 10 bytes");
  }

  /* A length that must fit in what is left of the payload. */
  size_t length() {
    uint64_t n = varint();
    if (n > left()) fail("length " + std::to_string(n) + " exceeds the " + std::to_string(left()) + " bytes left");
    return static_cast<size_t>(n);
  }

  template <typename T>
  T le() {
    if (left() < sizeof(T)) fail("truncated number");
    uint8_t b[sizeof(T)];
    std::memcpy(b, p_, sizeof(T));
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(b[i], b[sizeof(T) - 1 - i]);
#endif
    p_ += sizeof(T);
    T v;
    std::memcpy(&v, b, sizeof(T));
    return v;
  }

  const uint8_t *take(size_t n) {
    const uint8_t *q = p_;
    p_ += n;
    return q;
  }

  IOT_NVP_SEQ seq(int depth) {
    if (depth > kMaxNesting) fail("nesting deeper than " + std::to_string(kMaxNesting));
    uint64_t count = varint();
    // Every pair takes at least two bytes (empty name, kind): a count the
    // rest cannot hold is a lie, and must not drive an allocation.
    if (count > left() / 2) fail("pair count " + std::to_string(count) + " exceeds what is left");
    IOT_NVP_SEQ out;
    out.reserve(static_cast<size_t>(count));
    for (uint64_t i = 0; i < count; ++i) {
      size_t n = length();
      const char *name = reinterpret_cast<const char *>(take(n));
      IOT_NVP nvp;
      nvp.name(std::string(name, n));
      nvp.value(value(depth));
      out.push_back(std::move(nvp));
    }
    return out;
  }

  IOT_VALUE value(int depth) {
    IOT_VALUE v;
    uint8_t k = byte();
    switch (static_cast<IOT_KIND>(k)) {
      case IOT_KIND::NONE: break;
      case IOT_KIND::STRING: {
        size_t n = length();
        v.iotv_string(std::string(reinterpret_cast<const char *>(take(n)), n));
        break;
      }
      case IOT_KIND::UINT32: v.iotv_uint32(le<uint32_t>()); break;
      case IOT_KIND::INT32: v.iotv_int32(le<int32_t>()); break;
      case IOT_KIND::INT64: v.iotv_int64(le<int64_t>()); break;
      case IOT_KIND::FLOAT32: v.iotv_float32(le<float>()); break;
      case IOT_KIND::BYTE_SEQ: {
        size_t n = length();
        const uint8_t *b = take(n);
        IOT_BYTE_SEQ bytes = byte_seq_pool::take(n);
        if (n) std::memcpy(bytes.data(), b, n);
        v.iotv_byte_seq(std::move(bytes));
        break;
      }
      case IOT_KIND::NVP_SEQ: v.iotv_nvp_seq(seq(depth + 1)); break;
      default: --p_; fail("unknown value kind " + std::to_string(k));
    }
    return v;
  }

 private:
  const uint8_t *p_;
  const uint8_t *end_;
  const uint8_t *begin_;
};

}  // namespace

size_t encoded_size(const IOT_NVP_SEQ &seq) { return 1 + seq_size(seq); }

void encode_payload(const IOT_NVP_SEQ &seq, std::vector<uint8_t> &out) {
  out.reserve(out.size() + encoded_size(seq));
  out.push_back(kPayloadVersion);
  put_seq(out, seq);
}

std::vector<uint8_t> encode_payload(const IOT_NVP_SEQ &seq) {
  std::vector<uint8_t> out;
  encode_payload(seq, out);
  return out;
}

IOT_NVP_SEQ decode_payload(const uint8_t *data, size_t size) {
  if (size == 0 || data == nullptr) throw PayloadError("malformed payload: empty");
  Reader r(data, size);
  uint8_t version = r.byte();
  if (version != kPayloadVersion) r.fail("unsupported version " + std::to_string(version));
  IOT_NVP_SEQ seq = r.seq(0);
  if (r.left() != 0) r.fail(std::to_string(r.left()) + " trailing bytes");
  return seq;
}

}  // namespace iot
}  // namespace quillmark
}  // namespace com
