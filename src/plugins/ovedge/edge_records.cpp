#include "edge_records.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <utility>

#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

namespace VXCORE {

namespace {

/* ---- the wire format: one table per record
 *
 * A field is its tag, its member and, where the record's text names it
 * otherwise, its text name.  The value kind on the wire follows from the
 * member's type: string, uint32, int32, int64, float32, byte_seq, and for a
 * list of records a pair sequence holding one unnamed pair per element, whose
 * value is the element's own sequence.  Pairs are written in table order. */
template <typename R, typename T>
struct Field {
  const char *tag;
  T R::*member;
  const char *text_name;
  bool omit_zero = false; /* written only when non-zero (a tag added later) */
};

template <typename R, typename T>
constexpr Field<R, T> field(const char *tag, T R::*member, const char *text_name = nullptr) {
  return {tag, member, text_name ? text_name : tag, false};
}

/* The publisher's sequence number: added to the records after the others,
 * so it is left out where it is not set. */
template <typename R>
constexpr Field<R, int64_t> seq_field(int64_t R::*member) {
  return {kPublishSeqTag, member, kPublishSeqTag, true};
}

template <typename T>
bool is_zero(const T &) {
  return false;
}
bool is_zero(int64_t v) { return v == 0; }

template <typename F, typename R>
bool omitted(const F &f, const R &r) {
  return f.omit_zero && is_zero(r.*f.member);
}

constexpr auto frame_fields() {
  using R = FrameFields;
  return std::make_tuple(field("stream_id", &R::stream_id), field("frame_id", &R::frame_id),
                         field("timestamp", &R::timestamp), field("data", &R::data),
                         field("width", &R::width), field("height", &R::height),
                         field("channels", &R::channels), field("size", &R::size),
                         field("format", &R::format), field("compression", &R::compression),
                         field("framerate", &R::framerate), seq_field(&R::publish_seq));
}

constexpr auto table(const FrameInfo &) { return frame_fields(); }

constexpr auto table(const DeviceInfo &) {
  using R = DeviceInfo;
  return std::make_tuple(field("stream_id", &R::stream_id), field("mac_address", &R::mac_address),
                         field("ip_address", &R::ip_address), field("port", &R::port),
                         field("uri", &R::uri, "URI"), field("manufacturer", &R::manufacturer),
                         field("model", &R::model), field("serial", &R::serial),
                         field("fw_version", &R::fw_version), field("dev_id", &R::dev_id),
                         field("status", &R::status), field("kind", &R::kind),
                         field("protocol", &R::protocol), seq_field(&R::publish_seq));
}

constexpr auto table(const ClassificationData &) {
  using R = ClassificationData;
  return std::make_tuple(field("index", &R::index, "Index"), field("output", &R::output, "Output"),
                         field("label", &R::label, "Label"),
                         field("probability", &R::probability, "Probability"));
}

constexpr auto table(const DetectionBoxData &) {
  using R = DetectionBoxData;
  return std::make_tuple(field("obj_id", &R::obj_id), field("obj_label", &R::obj_label),
                         field("class_id", &R::class_id), field("class_label", &R::class_label),
                         field("x1", &R::x1), field("y1", &R::y1), field("x2", &R::x2),
                         field("y2", &R::y2), field("probability", &R::probability),
                         field("meta", &R::meta));
}

constexpr auto table(const SegmentationData &) {
  using R = SegmentationData;
  return std::make_tuple(field("id", &R::id), field("repeat", &R::repeat),
                         field("width", &R::width), field("height", &R::height),
                         field("size", &R::size), field("channels", &R::channels),
                         field("color", &R::color), field("label", &R::label),
                         field("probability", &R::probability), field("data", &R::data));
}

template <typename T>
constexpr auto table(const Information<T> &) {
  using R = Information<T>;
  return std::make_tuple(field("engine_id", &R::engine_id, "EngineID"),
                         field("stream_id", &R::stream_id, "StreamID"),
                         field("frame_id", &R::frame_id, "FrameID"),
                         field("data", &R::data, "Data content"), seq_field(&R::publish_seq));
}

constexpr auto table(const SegmentInfo &) {
  using R = SegmentInfo;
  return std::make_tuple(field("engine_id", &R::engine_id), field("stream_id", &R::stream_id),
                         field("frame_id", &R::frame_id), field("inference_id", &R::inference_id),
                         field("data", &R::data), seq_field(&R::publish_seq));
}

constexpr auto table(const VXA_ClassificationData &) {
  using R = VXA_ClassificationData;
  return std::make_tuple(field("engine_id", &R::engine_id), field("index", &R::index),
                         field("output", &R::output), field("label", &R::label),
                         field("probability", &R::probability));
}

constexpr auto table(const VXA_DetectionBoxData &) {
  using R = VXA_DetectionBoxData;
  return std::make_tuple(field("engine_id", &R::engine_id), field("obj_id", &R::obj_id),
                         field("obj_label", &R::obj_label), field("class_id", &R::class_id),
                         field("class_label", &R::class_label), field("x1", &R::x1),
                         field("y1", &R::y1), field("x2", &R::x2), field("y2", &R::y2),
                         field("probability", &R::probability), field("meta", &R::meta));
}

constexpr auto table(const VXA_VideoFrameData &) {
  using R = VXA_VideoFrameData;
  return std::tuple_cat(frame_fields(),
                        std::make_tuple(field("ClassificationResult", &R::ClassificationResult),
                                        field("DetectionResult", &R::DetectionResult),
                                        field("SegmentationResult", &R::SegmentationResult)));
}

constexpr auto table(const UniInfo &) {
  using R = UniInfo;
  return std::make_tuple(field("VideoList", &R::VideoList), field("DeviceList", &R::DeviceList));
}

/* ---- walking a table */

template <typename Table, typename Fn>
void each_field(const Table &t, Fn &&fn) {
  std::apply([&](const auto &...f) { (fn(f), ...); }, t);
}

/* Calls fn with the field tagged `name`; false when the record has none. */
template <typename Table, typename Fn>
bool with_field(const Table &t, const std::string &name, Fn &&fn) {
  return std::apply([&](const auto &...f) { return ((name == f.tag && (fn(f), true)) || ...); }, t);
}

template <typename R>
NVPSeq encode_record(const R &r);
template <typename R>
void decode_record(const NVPSeq &seq, R &r);
template <typename R>
void decode_record(NVPSeq &&seq, R &r);

/* ---- encoding: the value of each member type */

void set(IOT_VALUE &x, const std::string &v) { x.iotv_string(v); }
void set(IOT_VALUE &x, uint32_t v) { x.iotv_uint32(v); }
void set(IOT_VALUE &x, int32_t v) { x.iotv_int32(v); }
void set(IOT_VALUE &x, int64_t v) { x.iotv_int64(v); }
void set(IOT_VALUE &x, float v) { x.iotv_float32(v); }
void set(IOT_VALUE &x, const ByteVec &v) { x.iotv_byte_seq(v); }
template <typename T>
void set(IOT_VALUE &x, const std::vector<T> &list) {
  NVPSeq elements;
  elements.reserve(list.size());
  for (const T &t : list) {
    IOT_VALUE e;
    e.iotv_nvp_seq(encode_record(t));
    elements.emplace_back(std::string(), std::move(e));
  }
  x.iotv_nvp_seq(std::move(elements));
}

template <typename T>
IOT_VALUE value_of(const T &v) {
  IOT_VALUE x;
  set(x, v);
  return x;
}

template <typename R>
void encode_into(NVPSeq &s, const R &r) {
  each_field(table(r), [&](const auto &f) {
    if (!omitted(f, r)) s.emplace_back(f.tag, value_of(r.*f.member));
  });
}

template <typename R>
NVPSeq encode_record(const R &r) {
  NVPSeq s;
  s.reserve(std::tuple_size<decltype(table(r))>::value);
  encode_into(s, r);
  return s;
}

/* ---- decoding: the getter of the member's type (throws on another kind) */

void read(const IOT_VALUE &v, std::string &f) { f = v.iotv_string(); }
void read(const IOT_VALUE &v, uint32_t &f) { f = v.iotv_uint32(); }
void read(const IOT_VALUE &v, int32_t &f) { f = v.iotv_int32(); }
void read(const IOT_VALUE &v, int64_t &f) { f = v.iotv_int64(); }
void read(const IOT_VALUE &v, float &f) { f = v.iotv_float32(); }
void read(const IOT_VALUE &v, ByteVec &f) { f = v.iotv_byte_seq(); }
template <typename T>
void read(const IOT_VALUE &v, std::vector<T> &f) {
  // A repeated list tag replaces the earlier list, like every other tag.
  std::vector<T> out;
  for (const IOT_NVP &e : v.iotv_nvp_seq()) {
    T t;
    decode_record(e.value().iotv_nvp_seq(), t);
    out.push_back(std::move(t));
  }
  f = std::move(out);
}

/* The same, moving byte and pair sequences out of the value. */
template <typename F>
void take(IOT_VALUE &v, F &f) {
  read(v, f);
}
void take(IOT_VALUE &v, ByteVec &f) { f = v.take_byte_seq(); }
template <typename T>
void take(IOT_VALUE &v, std::vector<T> &f) {
  std::vector<T> out;
  for (IOT_NVP &e : v.take_nvp_seq()) {
    T t;
    decode_record(e.value().take_nvp_seq(), t);
    out.push_back(std::move(t));
  }
  f = std::move(out);
}

/* Unknown tags are skipped; a repeated tag overwrites the earlier value. */
template <typename R>
void decode_record(const NVPSeq &seq, R &r) {
  const auto t = table(r);
  for (const IOT_NVP &p : seq)
    with_field(t, p.name(), [&](const auto &f) { read(p.value(), r.*f.member); });
}

template <typename R>
void decode_record(NVPSeq &&seq, R &r) {
  const auto t = table(r);
  for (IOT_NVP &p : seq)
    with_field(t, p.name(), [&](const auto &f) { take(p.value(), r.*f.member); });
}

/* ---- texts: one "name = value" line per field */

const char *const kFrameLine = "************************************";

void list_text(std::ostream &ss, const std::vector<SegmentationData> &v);
template <typename T>
void list_text(std::ostream &ss, const std::vector<T> &v);

template <typename T>
void text_line(std::ostream &ss, const char *name, const T &v) {
  ss << name << " = " << v << "\n";
}
/* Pictures show their first bytes. */
void text_line(std::ostream &ss, const char *name, const ByteVec &v) {
  ss << name << " = ";
  for (size_t i = 0; i < v.size() && i < 10; ++i) ss << static_cast<int>(v[i]) << ",";
  ss << " ... \n";
}
template <typename T>
void text_line(std::ostream &ss, const char *name, const std::vector<T> &v) {
  ss << name << " = \n";
  list_text(ss, v);
}

template <typename R>
std::string record_text(const R &r) {
  std::stringstream ss;
  ss << kFrameLine << "\n";
  each_field(table(r), [&](const auto &f) {
    if (!omitted(f, r)) text_line(ss, f.text_name, r.*f.member);
  });
  ss << kFrameLine << "\n";
  return ss.str();
}

void element_text(std::ostream &ss, const ClassificationData &c) {
  each_field(table(c), [&](const auto &f) {
    ss << " ";
    text_line(ss, f.text_name, c.*f.member);
  });
  ss << " --------- \n";
}
void element_text(std::ostream &ss, const DetectionBoxData &d) {
  ss << " (ObjID, ObjLabel) = (" << d.obj_id << ", " << d.obj_label << ")\n";
  ss << " (ClassID, ClassLabel) = (" << d.class_id << ", " << d.class_label << ")\n";
  ss << " (X1, Y1, X2, Y2) = (" << d.x1 << ", " << d.y1 << ", " << d.x2 << ", " << d.y2 << ")\n";
  ss << " Probability = " << d.probability << "\n";
  ss << " Meta = " << d.meta << "\n";
  ss << " --------- \n";
}

/* Result elements: each under its index. */
template <typename T>
void list_text(std::ostream &ss, const std::vector<T> &v) {
  for (size_t i = 0; i < v.size(); ++i) {
    ss << "[" << i << "]\n";
    element_text(ss, v[i]);
  }
}
/* Segmentation runs: the first ten, one line each. */
void list_text(std::ostream &ss, const std::vector<SegmentationData> &v) {
  for (size_t i = 0; i < v.size() && i < 10; ++i)
    ss << v[i].id << ", " << v[i].label << ", " << v[i].width << ", " << v[i].height << "\n";
  ss << " ... \n";
}

/* ---- copying a frame: every field, the picture appended */

template <typename T>
void copy_field(T &to, const T &from) {
  to = from;
}
void copy_field(ByteVec &to, const ByteVec &from) { to.insert(to.end(), from.begin(), from.end()); }

}  // namespace

/* ------------------------------------------------------------- records */

NVPSeq FrameInfo::Encode() const { return encode_record(*this); }
void FrameInfo::Decode(const NVPSeq &seq) { decode_record(seq, *this); }
void FrameInfo::Decode(NVPSeq &&seq) { decode_record(std::move(seq), *this); }
std::string FrameInfo::GetString() const { return data.empty() ? "" : record_text(*this); }
void FrameInfo::Copy(FrameInfo &dst) const {
  each_field(table(*this), [&](const auto &f) { copy_field(dst.*f.member, this->*f.member); });
}

NVPSeq DeviceInfo::Encode() const { return encode_record(*this); }
void DeviceInfo::Decode(const NVPSeq &seq) { decode_record(seq, *this); }
std::string DeviceInfo::GetString() const { return record_text(*this); }

void ClassificationData::Encode(NVPSeq &seq) const { encode_into(seq, *this); }
void ClassificationData::Decode(const NVPSeq &seq) { decode_record(seq, *this); }

void DetectionBoxData::Encode(NVPSeq &seq) const { encode_into(seq, *this); }
void DetectionBoxData::Decode(const NVPSeq &seq) { decode_record(seq, *this); }

NVPSeq SegmentationData::Encode() const { return encode_record(*this); }
void SegmentationData::Decode(const NVPSeq &seq) { decode_record(seq, *this); }

template <typename T>
NVPSeq Information<T>::Encode() const {
  return encode_record(*this);
}
template <typename T>
void Information<T>::Decode(const NVPSeq &seq) {
  decode_record(seq, *this);
}
template <typename T>
std::string Information<T>::GetString() const {
  return record_text(*this);
}
template struct Information<ClassificationData>;
template struct Information<DetectionBoxData>;

NVPSeq SegmentInfo::Encode() const { return encode_record(*this); }
void SegmentInfo::Decode(const NVPSeq &seq) { decode_record(seq, *this); }
std::string SegmentInfo::GetString() const { return data.empty() ? "" : record_text(*this); }

NVPSeq VXA_ClassificationData::Encode() const { return encode_record(*this); }
void VXA_ClassificationData::Decode(const NVPSeq &seq) { decode_record(seq, *this); }

NVPSeq VXA_DetectionBoxData::Encode() const { return encode_record(*this); }
void VXA_DetectionBoxData::Decode(const NVPSeq &seq) { decode_record(seq, *this); }

NVPSeq VXA_VideoFrameData::Encode() const { return encode_record(*this); }
void VXA_VideoFrameData::Decode(const NVPSeq &seq) { decode_record(seq, *this); }
void VXA_VideoFrameData::Decode(NVPSeq &&seq) { decode_record(std::move(seq), *this); }

NVPSeq UniInfo::Encode() const { return encode_record(*this); }
void UniInfo::Decode(const NVPSeq &seq) { decode_record(seq, *this); }
void UniInfo::Decode(NVPSeq &&seq) { decode_record(std::move(seq), *this); }

/* ------------------------------------------------------------- pictures */

namespace {

/* What a frame's header may make the receiver allocate: twice an 8K UHD
 * picture.  The sizes come from a peer, so they are checked before any
 * allocation, the JPEG's own size included. */
constexpr uint64_t kMaxFramePixels = uint64_t(1) << 26;

void check_pixels(uint64_t width, uint64_t height, const char *what) {
  if (width * height > kMaxFramePixels)
    throw std::out_of_range(std::string(what) + " of " + std::to_string(width) + "x" +
                            std::to_string(height) + " is too large");
}

/* The size in a JPEG's frame header, read the way the decoder walks the
 * markers (bytes between segments are skipped up to the next 0xFF).  False
 * for data that is not a JPEG or has no frame header before its image data. */
bool jpeg_size(const ByteVec &d, uint32_t &width, uint32_t &height) {
  if (d.size() < 4 || d[0] != 0xFF || d[1] != 0xD8) return false;
  size_t i = 2;
  for (;;) {
    while (i < d.size() && d[i] != 0xFF) ++i;
    while (i < d.size() && d[i] == 0xFF) ++i;
    if (i >= d.size()) return false;
    const uint8_t marker = d[i++];
    // 0xFF 0x00 is no marker; TEM, RSTn and SOI have no length.
    if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;
    if (marker == 0xD9 || marker == 0xDA) return false;  // end or image data first
    if (i + 2 > d.size()) return false;
    const size_t length = static_cast<size_t>(d[i]) << 8 | d[i + 1];
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      if (i + 7 > d.size()) return false;
      height = static_cast<uint32_t>(d[i + 3]) << 8 | d[i + 4];
      width = static_cast<uint32_t>(d[i + 5]) << 8 | d[i + 6];
      return true;
    }
    if (length < 2) return false;
    i += length;
  }
}

}  // namespace

void FrameFields::ToMat(cv::Mat &mat) const {
  if (data.empty() || width == 0 || height == 0) return;
  check_pixels(width, height, "image");
  const int rows = static_cast<int>(height), cols = static_cast<int>(width);
  const bool raw = compression.find("NONE") != std::string::npos;
  const bool encoded = !raw && compression.find("GST_ENCODED") != std::string::npos;
  const bool jpg = !raw && !encoded && compression.find("JPG") != std::string::npos;
  const size_t row_bytes = static_cast<size_t>(cols) * 3;
  if (raw && data.size() / row_bytes < static_cast<size_t>(rows))
    throw std::out_of_range("frame data of " + std::to_string(data.size()) + " bytes is shorter than " +
                            std::to_string(rows) + " rows of " + std::to_string(row_bytes) + " bytes");
  if (jpg) {
    uint32_t w = 0, h = 0;
    if (!jpeg_size(data, w, h))
      throw std::out_of_range("JPG frame data of " + std::to_string(data.size()) +
                              " bytes is not a JPEG image");
    check_pixels(w, h, "JPEG image");
  }
  if (mat.rows != rows || mat.cols != cols || mat.type() != CV_8UC3 || !mat.isContinuous())
    mat.create(rows, cols, CV_8UC3);
  if (raw) {
    for (int r = 0; r < rows; ++r)
      std::memcpy(mat.ptr(r), data.data() + static_cast<size_t>(r) * row_bytes, row_bytes);
  } else if (encoded) {
    const size_t capacity = mat.total() * mat.elemSize();
    if (size > data.size())
      throw std::out_of_range("encoded size " + std::to_string(size) + " exceeds the " +
                              std::to_string(data.size()) + " data bytes");
    if (size > capacity)
      throw std::out_of_range("encoded size " + std::to_string(size) + " exceeds the " +
                              std::to_string(capacity) + " bytes of the image");
    std::memcpy(mat.data, data.data(), size);
  } else if (jpg) {
    mat = cv::imdecode(data, 1);
  } else {
    std::cerr << "Unsupport image format: " << compression << "\n";
  }
}

/* ------------------------------------------------------------- time */

namespace {
std::tm local_now(std::chrono::system_clock::time_point now) {
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}
int millis_of(std::chrono::system_clock::time_point now) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  return static_cast<int>(((ms % 1000) + 1000) % 1000);
}
}  // namespace

std::string FrameInfo::GetUTCTime() {
  auto now = std::chrono::system_clock::now();
  std::tm tm = local_now(now);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return std::string(buf) + ":" + std::to_string(millis_of(now));
}

uint64_t digit_time(const std::tm &tm, int millis) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
  return std::strtoull(buf, nullptr, 10);
}

uint64_t FrameInfo::GetDigitUTCTime() {
  // Seconds and milliseconds come from two readings of the clock.
  std::tm tm = local_now(std::chrono::system_clock::now());
  int ms = millis_of(std::chrono::system_clock::now());
  return digit_time(tm, ms);
}

int64_t FrameInfo::GetDigitTimeSince1970() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

/* ------------------------------------------------------------- utilities */

std::string FPSCalc::showFPS(double tick) {
  char buf[128];
  if (count_ < kWindow) {
    if (count_ > 0) {
      intervals_.push_back(tick - last_);
      sum_ += tick - last_;
    }
    ++count_;
    last_ = tick;
    std::snprintf(buf, sizeof buf, "accumulated %d frame. <Base = %d>", count_, kWindow);
    return buf;
  }
  double fps = cv::getTickFrequency() / (sum_ / static_cast<double>(intervals_.size()));
  sum_ -= intervals_.front();
  intervals_.erase(intervals_.begin());
  intervals_.push_back(tick - last_);
  sum_ += tick - last_;
  ++count_;
  last_ = tick;
  std::snprintf(buf, sizeof buf, "%f", fps);
  return buf;
}

std::string generateUUID() {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::system_clock::now().time_since_epoch())
                .count();
  // The millisecond alone repeats for calls within one millisecond (two
  // things of one element) and for processes started together: mix in a
  // call counter and the process id so their ids differ.
  static std::atomic<unsigned> calls{0};
  unsigned seed = static_cast<unsigned>((ns % 1000000000) / 1000000);
  seed ^= (calls.fetch_add(1) << 10) ^ (static_cast<unsigned>(getpid()) << 20);
  std::srand(seed);
  int r[8];
  for (int &x : r) x = std::rand();
  char buf[128];
  std::snprintf(buf, sizeof buf, "%x%x-%x-%x-%x-%x%x%x", r[0], r[1], r[2], (r[3] & 0xfff) | 0x4000,
                r[4] % 16383 + 32768, r[5], r[6], r[7]);
  return buf;
}

}  // namespace VXCORE
