#include "meshapi/iot_value.h"

#include <mutex>

#include <cstring>

namespace com {
namespace quillmark {
namespace iot {

const char *kind_name(IOT_KIND kind) {
  switch (kind) {
    case IOT_KIND::NONE: return "none";
    case IOT_KIND::STRING: return "string";
    case IOT_KIND::UINT32: return "uint32";
    case IOT_KIND::INT32: return "int32";
    case IOT_KIND::INT64: return "int64";
    case IOT_KIND::FLOAT32: return "float32";
    case IOT_KIND::BYTE_SEQ: return "byte_seq";
    case IOT_KIND::NVP_SEQ: return "nvp_seq";
  }
  return "unknown";
}

void IOT_VALUE::throw_kind(IOT_KIND want) const {
  throw IotException(std::string("IOT_VALUE holds ") + kind_name(kind()) + ", not " +
                     kind_name(want));
}

namespace byte_seq_pool {
namespace {
std::mutex g_mutex;
std::vector<IOT_BYTE_SEQ> g_kept;  /* guarded by g_mutex */
}  // namespace

IOT_BYTE_SEQ take(size_t size) {
  IOT_BYTE_SEQ out;
  if (size >= kMinBytes) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (size_t i = 0; i < g_kept.size(); ++i) {
      if (g_kept[i].capacity() >= size && g_kept[i].capacity() <= 2 * size) {
        out = std::move(g_kept[i]);
        g_kept.erase(g_kept.begin() + static_cast<long>(i));
        break;
      }
    }
  }
  out.resize(size);
  return out;
}

void give(IOT_BYTE_SEQ &&seq) {
  if (seq.capacity() < kMinBytes) return;
  IOT_BYTE_SEQ dropped;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_kept.size() >= kMaxKept) {
    dropped = std::move(g_kept.front());  // freed after the lock is released
    g_kept.erase(g_kept.begin());
  }
  g_kept.push_back(std::move(seq));
}

size_t kept() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_kept.size();
}
}  // namespace byte_seq_pool

IOT_NVP_SEQ IOT_VALUE::take_nvp_seq() {
  IOT_NVP_SEQ out = std::move(const_cast<IOT_NVP_SEQ &>(get<IOT_NVP_SEQ>(IOT_KIND::NVP_SEQ)));
  v_ = std::monostate{};
  return out;
}

IOT_BYTE_SEQ IOT_VALUE::take_byte_seq() {
  IOT_BYTE_SEQ out = std::move(const_cast<IOT_BYTE_SEQ &>(get<IOT_BYTE_SEQ>(IOT_KIND::BYTE_SEQ)));
  v_ = std::monostate{};
  return out;
}

bool IOT_VALUE::operator==(const IOT_VALUE &o) const {
  if (kind() != o.kind()) return false;
  // Floats compare by bit pattern so that a round trip of NaN counts as equal.
  if (kind() == IOT_KIND::FLOAT32) {
    float a = std::get<float>(v_), b = std::get<float>(o.v_);
    return std::memcmp(&a, &b, sizeof a) == 0;
  }
  return v_ == o.v_;
}

}  // namespace iot
}  // namespace quillmark
}  // namespace com
