/* Values of the data bus: a sample is a flat vector of name/value pairs whose
 * values can nest further pair sequences. */
#ifndef MESHAPI_IOT_VALUE_H
#define MESHAPI_IOT_VALUE_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace com {
namespace quillmark {
namespace iot {

/* Wire numbers of the value kinds: never renumber. */
enum class IOT_KIND : uint8_t {
  NONE = 0,
  STRING = 1,
  UINT32 = 2,
  INT32 = 3,
  INT64 = 4,
  FLOAT32 = 5,
  BYTE_SEQ = 6,
  NVP_SEQ = 7,
};

const char *kind_name(IOT_KIND kind);

class IotException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class IOT_NVP;
using IOT_NVP_SEQ = std::vector<IOT_NVP>;
using IOT_BYTE_SEQ = std::vector<uint8_t>;

/* Large byte sequences (pictures) are recycled rather than freed: a fresh
 * allocation of a megabyte faults in every page again, which costs more than
 * the copy that fills it.  A consumer done with a received sequence hands it
 * back; the decoder takes one of sufficient capacity when it can.  Bounded:
 * at most a few sequences are kept, small ones never. */
namespace byte_seq_pool {
constexpr size_t kMinBytes = 64 * 1024;
constexpr size_t kMaxKept = 8;
/* A sequence of exactly `size` bytes (contents unspecified). */
IOT_BYTE_SEQ take(size_t size);
void give(IOT_BYTE_SEQ &&seq);
size_t kept();
}  // namespace byte_seq_pool

class IOT_VALUE {
 public:
  IOT_VALUE() = default;

  void iotv_string(std::string v) { v_ = std::move(v); }
  void iotv_uint32(uint32_t v) { v_ = v; }
  void iotv_int32(int32_t v) { v_ = v; }
  void iotv_int64(int64_t v) { v_ = v; }
  void iotv_float32(float v) { v_ = v; }
  void iotv_byte_seq(IOT_BYTE_SEQ v) { v_ = std::move(v); }
  void iotv_nvp_seq(IOT_NVP_SEQ v);

  /* Getters throw IotException when the value holds another kind. */
  const std::string &iotv_string() const { return get<std::string>(IOT_KIND::STRING); }
  uint32_t iotv_uint32() const { return get<uint32_t>(IOT_KIND::UINT32); }
  int32_t iotv_int32() const { return get<int32_t>(IOT_KIND::INT32); }
  int64_t iotv_int64() const { return get<int64_t>(IOT_KIND::INT64); }
  float iotv_float32() const { return get<float>(IOT_KIND::FLOAT32); }
  const IOT_BYTE_SEQ &iotv_byte_seq() const { return get<IOT_BYTE_SEQ>(IOT_KIND::BYTE_SEQ); }
  const IOT_NVP_SEQ &iotv_nvp_seq() const;

  /* Moves a large byte sequence out without copying (the value becomes NONE). */
  IOT_BYTE_SEQ take_byte_seq();
  /* The same for a pair sequence (throws when the value holds another kind). */
  IOT_NVP_SEQ take_nvp_seq();

  IOT_KIND kind() const { return static_cast<IOT_KIND>(v_.index()); }

  bool operator==(const IOT_VALUE &o) const;
  bool operator!=(const IOT_VALUE &o) const { return !(*this == o); }

 private:
  template <typename T>
  const T &get(IOT_KIND want) const {
    if (const T *p = std::get_if<T>(&v_)) return *p;
    throw_kind(want);
  }
  [[noreturn]] void throw_kind(IOT_KIND want) const;

  /* Alternative order = IOT_KIND numbering. */
  std::variant<std::monostate, std::string, uint32_t, int32_t, int64_t, float, IOT_BYTE_SEQ,
               IOT_NVP_SEQ>
      v_;
};

class IOT_NVP {
 public:
  IOT_NVP() = default;
  IOT_NVP(std::string name, IOT_VALUE value) : name_(std::move(name)), value_(std::move(value)) {}

  const std::string &name() const { return name_; }
  void name(std::string n) { name_ = std::move(n); }
  const IOT_VALUE &value() const { return value_; }
  IOT_VALUE &value() { return value_; }
  void value(IOT_VALUE v) { value_ = std::move(v); }

  bool operator==(const IOT_NVP &o) const { return name_ == o.name_ && value_ == o.value_; }
  bool operator!=(const IOT_NVP &o) const { return !(*this == o); }

 private:
  std::string name_;
  IOT_VALUE value_;
};

inline void IOT_VALUE::iotv_nvp_seq(IOT_NVP_SEQ v) { v_ = std::move(v); }
inline const IOT_NVP_SEQ &IOT_VALUE::iotv_nvp_seq() const {
  return get<IOT_NVP_SEQ>(IOT_KIND::NVP_SEQ);
}

}  // namespace iot
}  // namespace quillmark
}  // namespace com

#endif
