#include "edge_records.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

namespace VXCORE {

namespace {

const char *const kFrameLine = "************************************";

/* ---- encoding helpers: one per value kind */
void put_str(NVPSeq &s, const char *n, const std::string &v) {
  IOT_VALUE x;
  x.iotv_string(v);
  s.emplace_back(n, std::move(x));
}
void put_u32(NVPSeq &s, const char *n, uint32_t v) {
  IOT_VALUE x;
  x.iotv_uint32(v);
  s.emplace_back(n, std::move(x));
}
void put_i32(NVPSeq &s, const char *n, int32_t v) {
  IOT_VALUE x;
  x.iotv_int32(v);
  s.emplace_back(n, std::move(x));
}
void put_i64(NVPSeq &s, const char *n, int64_t v) {
  IOT_VALUE x;
  x.iotv_int64(v);
  s.emplace_back(n, std::move(x));
}
void put_f32(NVPSeq &s, const char *n, float v) {
  IOT_VALUE x;
  x.iotv_float32(v);
  s.emplace_back(n, std::move(x));
}
void put_bytes(NVPSeq &s, const char *n, const ByteVec &v) {
  IOT_VALUE x;
  x.iotv_byte_seq(v);
  s.emplace_back(n, std::move(x));
}
/* A list: one unnamed pair per element, whose value is the element's sequence. */
void put_list(NVPSeq &s, const char *n, std::vector<NVPSeq> elements) {
  NVPSeq list;
  list.reserve(elements.size());
  for (NVPSeq &e : elements) {
    IOT_NVP p;
    IOT_VALUE v;
    v.iotv_nvp_seq(std::move(e));
    p.value(std::move(v));
    list.push_back(std::move(p));
  }
  IOT_VALUE x;
  x.iotv_nvp_seq(std::move(list));
  s.emplace_back(n, std::move(x));
}

/* ---- decoding helpers: the getter of the field's type (throws on another kind) */
void get(const IOT_VALUE &v, std::string &f) { f = v.iotv_string(); }
void get(const IOT_VALUE &v, uint32_t &f) { f = v.iotv_uint32(); }
void get(const IOT_VALUE &v, int32_t &f) { f = v.iotv_int32(); }
void get(const IOT_VALUE &v, int64_t &f) { f = v.iotv_int64(); }
void get(const IOT_VALUE &v, float &f) { f = v.iotv_float32(); }
void get(const IOT_VALUE &v, ByteVec &f) { f = v.iotv_byte_seq(); }
template <typename T>
void get(const IOT_VALUE &v, std::vector<T> &f) {
  // A repeated list tag replaces the earlier list, like every other tag.
  std::vector<T> out;
  for (const IOT_NVP &e : v.iotv_nvp_seq()) {
    T t;
    t.Decode(e.value().iotv_nvp_seq());
    out.push_back(std::move(t));
  }
  f = std::move(out);
}

/* Compares the pair's name with a tag and, on a match, reads the field. */
template <typename F>
void tag(const IOT_NVP &p, const char *name, F &field) {
  if (p.name() == name) get(p.value(), field);
}

template <typename T>
std::vector<NVPSeq> element_seqs(const std::vector<T> &v) {
  std::vector<NVPSeq> out;
  out.reserve(v.size());
  for (const T &t : v) out.push_back(t.Encode());
  return out;
}

void encode_frame_fields(NVPSeq &s, const std::string &stream_id, uint32_t frame_id,
                         int64_t timestamp, const ByteVec &data, uint32_t width, uint32_t height,
                         uint32_t channels, uint32_t size, const std::string &format,
                         const std::string &compression, float framerate) {
  put_str(s, "stream_id", stream_id);
  put_u32(s, "frame_id", frame_id);
  put_i64(s, "timestamp", timestamp);
  put_bytes(s, "data", data);
  put_u32(s, "width", width);
  put_u32(s, "height", height);
  put_u32(s, "channels", channels);
  put_u32(s, "size", size);
  put_str(s, "format", format);
  put_str(s, "compression", compression);
  put_f32(s, "framerate", framerate);
}

template <typename R>
void decode_frame_fields(const IOT_NVP &p, R &r) {
  tag(p, "stream_id", r.stream_id);
  tag(p, "frame_id", r.frame_id);
  tag(p, "timestamp", r.timestamp);
  tag(p, "data", r.data);
  tag(p, "width", r.width);
  tag(p, "height", r.height);
  tag(p, "channels", r.channels);
  tag(p, "size", r.size);
  tag(p, "format", r.format);
  tag(p, "compression", r.compression);
  tag(p, "framerate", r.framerate);
}

}  // namespace

/* ------------------------------------------------------------- FrameInfo */

NVPSeq FrameInfo::Encode() const {
  NVPSeq s;
  s.reserve(11);
  encode_frame_fields(s, stream_id, frame_id, timestamp, data, width, height, channels, size,
                      format, compression, framerate);
  return s;
}

void FrameInfo::Decode(const NVPSeq &seq) {
  for (const IOT_NVP &p : seq) decode_frame_fields(p, *this);
}

void FrameInfo::Decode(NVPSeq &&seq) {
  for (IOT_NVP &p : seq) {
    if (p.name() == "data" && p.value().kind() == com::quillmark::iot::IOT_KIND::BYTE_SEQ)
      data = p.value().take_byte_seq();
    else
      decode_frame_fields(p, *this);
  }
}

std::string FrameInfo::GetString() const {
  if (data.empty()) return "";
  std::stringstream ss;
  ss << kFrameLine << "\n";
  ss << "stream_id = " << stream_id << "\n";
  ss << "frame_id = " << frame_id << "\n";
  ss << "timestamp = " << timestamp << "\n";
  ss << "data = ";
  for (size_t i = 0; i < data.size() && i < 10; ++i) ss << static_cast<int>(data[i]) << ",";
  ss << " ... " << "\n";
  ss << "width = " << width << "\n";
  ss << "height = " << height << "\n";
  ss << "channels = " << channels << "\n";
  ss << "size = " << size << "\n";
  ss << "format = " << format << "\n";
  ss << "compression = " << compression << "\n";
  ss << "framerate = " << framerate << "\n";
  ss << kFrameLine << "\n";
  return ss.str();
}

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

void frame_to_mat(const ByteVec &data, uint32_t width, uint32_t height, uint32_t size,
                  const std::string &compression, cv::Mat &mat) {
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

void FrameInfo::ToMat(cv::Mat &mat) const {
  frame_to_mat(data, width, height, size, compression, mat);
}

void FrameInfo::Copy(FrameInfo &dst) const {
  dst.stream_id = stream_id;
  dst.frame_id = frame_id;
  dst.timestamp = timestamp;
  dst.width = width;
  dst.height = height;
  dst.channels = channels;
  dst.size = size;
  dst.format = format;
  dst.compression = compression;
  dst.framerate = framerate;
  dst.data.insert(dst.data.end(), data.begin(), data.end());
}

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

/* ------------------------------------------------------------- DeviceInfo */

NVPSeq DeviceInfo::Encode() const {
  NVPSeq s;
  s.reserve(13);
  put_str(s, "stream_id", stream_id);
  put_str(s, "mac_address", mac_address);
  put_str(s, "ip_address", ip_address);
  put_i32(s, "port", port);
  put_str(s, "uri", uri);
  put_str(s, "manufacturer", manufacturer);
  put_str(s, "model", model);
  put_str(s, "serial", serial);
  put_str(s, "fw_version", fw_version);
  put_str(s, "dev_id", dev_id);
  put_str(s, "status", status);
  put_str(s, "kind", kind);
  put_str(s, "protocol", protocol);
  return s;
}

void DeviceInfo::Decode(const NVPSeq &seq) {
  for (const IOT_NVP &p : seq) {
    tag(p, "stream_id", stream_id);
    tag(p, "mac_address", mac_address);
    tag(p, "ip_address", ip_address);
    tag(p, "port", port);
    tag(p, "uri", uri);
    tag(p, "manufacturer", manufacturer);
    tag(p, "model", model);
    tag(p, "serial", serial);
    tag(p, "fw_version", fw_version);
    tag(p, "dev_id", dev_id);
    tag(p, "status", status);
    tag(p, "kind", kind);
    tag(p, "protocol", protocol);
  }
}

std::string DeviceInfo::GetString() const {
  std::stringstream ss;
  ss << kFrameLine << "\n";
  ss << "stream_id = " << stream_id << "\n";
  ss << "mac_address = " << mac_address << "\n";
  ss << "ip_address = " << ip_address << "\n";
  ss << "port = " << port << "\n";
  ss << "URI = " << uri << "\n";
  ss << "manufacturer = " << manufacturer << "\n";
  ss << "model = " << model << "\n";
  ss << "serial = " << serial << "\n";
  ss << "fw_version = " << fw_version << "\n";
  ss << "dev_id = " << dev_id << "\n";
  ss << "status = " << status << "\n";
  ss << "kind = " << kind << "\n";
  ss << "protocol = " << protocol << "\n";
  ss << kFrameLine << "\n";
  return ss.str();
}

/* ------------------------------------------------------------- elements */

void ClassificationData::Encode(NVPSeq &s) const {
  put_i32(s, "index", index);
  put_str(s, "output", output);
  put_str(s, "label", label);
  put_f32(s, "probability", probability);
}

void ClassificationData::Decode(const NVPSeq &seq) {
  for (const IOT_NVP &p : seq) {
    tag(p, "index", index);
    tag(p, "output", output);
    tag(p, "label", label);
    tag(p, "probability", probability);
  }
}

void DetectionBoxData::Encode(NVPSeq &s) const {
  put_i32(s, "obj_id", obj_id);
  put_str(s, "obj_label", obj_label);
  put_i32(s, "class_id", class_id);
  put_str(s, "class_label", class_label);
  put_f32(s, "x1", x1);
  put_f32(s, "y1", y1);
  put_f32(s, "x2", x2);
  put_f32(s, "y2", y2);
  put_f32(s, "probability", probability);
  put_str(s, "meta", meta);
}

void DetectionBoxData::Decode(const NVPSeq &seq) {
  for (const IOT_NVP &p : seq) {
    tag(p, "obj_id", obj_id);
    tag(p, "obj_label", obj_label);
    tag(p, "class_id", class_id);
    tag(p, "class_label", class_label);
    tag(p, "x1", x1);
    tag(p, "y1", y1);
    tag(p, "x2", x2);
    tag(p, "y2", y2);
    tag(p, "probability", probability);
    tag(p, "meta", meta);
  }
}

NVPSeq SegmentationData::Encode() const {
  NVPSeq s;
  s.reserve(10);
  put_u32(s, "id", id);
  put_u32(s, "repeat", repeat);
  put_u32(s, "width", width);
  put_u32(s, "height", height);
  put_u32(s, "size", size);
  put_u32(s, "channels", channels);
  put_u32(s, "color", color);
  put_str(s, "label", label);
  put_f32(s, "probability", probability);
  put_bytes(s, "data", data);
  return s;
}

void SegmentationData::Decode(const NVPSeq &seq) {
  for (const IOT_NVP &p : seq) {
    tag(p, "id", id);
    tag(p, "repeat", repeat);
    tag(p, "width", width);
    tag(p, "height", height);
    tag(p, "size", size);
    tag(p, "channels", channels);
    tag(p, "color", color);
    tag(p, "label", label);
    tag(p, "probability", probability);
    tag(p, "data", data);
  }
}

NVPSeq VXA_ClassificationData::Encode() const {
  NVPSeq s;
  put_str(s, "engine_id", engine_id);
  put_u32(s, "index", index);
  put_str(s, "output", output);
  put_str(s, "label", label);
  put_f32(s, "probability", probability);
  return s;
}

void VXA_ClassificationData::Decode(const NVPSeq &seq) {
  for (const IOT_NVP &p : seq) {
    tag(p, "engine_id", engine_id);
    tag(p, "index", index);
    tag(p, "output", output);
    tag(p, "label", label);
    tag(p, "probability", probability);
  }
}

NVPSeq VXA_DetectionBoxData::Encode() const {
  NVPSeq s;
  put_str(s, "engine_id", engine_id);
  put_u32(s, "obj_id", obj_id);
  put_str(s, "obj_label", obj_label);
  put_u32(s, "class_id", class_id);
  put_str(s, "class_label", class_label);
  put_f32(s, "x1", x1);
  put_f32(s, "y1", y1);
  put_f32(s, "x2", x2);
  put_f32(s, "y2", y2);
  put_f32(s, "probability", probability);
  put_str(s, "meta", meta);
  return s;
}

void VXA_DetectionBoxData::Decode(const NVPSeq &seq) {
  for (const IOT_NVP &p : seq) {
    tag(p, "engine_id", engine_id);
    tag(p, "obj_id", obj_id);
    tag(p, "obj_label", obj_label);
    tag(p, "class_id", class_id);
    tag(p, "class_label", class_label);
    tag(p, "x1", x1);
    tag(p, "y1", y1);
    tag(p, "x2", x2);
    tag(p, "y2", y2);
    tag(p, "probability", probability);
    tag(p, "meta", meta);
  }
}

/* ------------------------------------------------------------- containers */

namespace {
/* Classification and detection elements append their pairs to a sequence. */
template <typename T>
std::vector<NVPSeq> appended_seqs(const std::vector<T> &v) {
  std::vector<NVPSeq> out;
  out.reserve(v.size());
  for (const T &t : v) {
    NVPSeq e;
    t.Encode(e);
    out.push_back(std::move(e));
  }
  return out;
}
}  // namespace

template <typename T>
NVPSeq Information<T>::Encode() const {
  NVPSeq s;
  put_str(s, "engine_id", engine_id);
  put_str(s, "stream_id", stream_id);
  put_u32(s, "frame_id", frame_id);
  put_list(s, "data", appended_seqs(data));
  return s;
}

template <typename T>
void Information<T>::Decode(const NVPSeq &seq) {
  for (const IOT_NVP &p : seq) {
    tag(p, "engine_id", engine_id);
    tag(p, "stream_id", stream_id);
    tag(p, "frame_id", frame_id);
    tag(p, "data", data);
  }
}

namespace {
void element_text(std::stringstream &ss, const ClassificationData &c) {
  ss << " Index = " << c.index << "\n";
  ss << " Output = " << c.output << "\n";
  ss << " Label = " << c.label << "\n";
  ss << " Probability = " << c.probability << "\n";
  ss << " --------- " << "\n";
}
void element_text(std::stringstream &ss, const DetectionBoxData &d) {
  ss << " (ObjID, ObjLabel) = (" << d.obj_id << ", " << d.obj_label << ")" << "\n";
  ss << " (ClassID, ClassLabel) = (" << d.class_id << ", " << d.class_label << ")" << "\n";
  ss << " (X1, Y1, X2, Y2) = (" << d.x1 << ", " << d.y1 << ", " << d.x2 << ", " << d.y2 << ")"
     << "\n";
  ss << " Probability = " << d.probability << "\n";
  ss << " Meta = " << d.meta << "\n";
  ss << " --------- " << "\n";
}
}  // namespace

template <typename T>
std::string Information<T>::GetString() const {
  std::stringstream ss;
  ss << kFrameLine << "\n";
  ss << "EngineID = " << engine_id << "\n";
  ss << "StreamID = " << stream_id << "\n";
  ss << "FrameID = " << frame_id << "\n";
  ss << "Data content = " << "\n";
  for (size_t i = 0; i < data.size(); ++i) {
    ss << "[" << i << "]" << "\n";
    element_text(ss, data[i]);
  }
  ss << kFrameLine << "\n";
  return ss.str();
}

template struct Information<ClassificationData>;
template struct Information<DetectionBoxData>;

NVPSeq SegmentInfo::Encode() const {
  NVPSeq s;
  put_str(s, "engine_id", engine_id);
  put_str(s, "stream_id", stream_id);
  put_u32(s, "frame_id", frame_id);
  put_u32(s, "inference_id", inference_id);
  put_list(s, "data", element_seqs(data));
  return s;
}

void SegmentInfo::Decode(const NVPSeq &seq) {
  for (const IOT_NVP &p : seq) {
    tag(p, "engine_id", engine_id);
    tag(p, "stream_id", stream_id);
    tag(p, "frame_id", frame_id);
    tag(p, "inference_id", inference_id);
    tag(p, "data", data);
  }
}

std::string SegmentInfo::GetString() const {
  if (data.empty()) return "";
  std::stringstream ss;
  ss << kFrameLine << "\n";
  ss << "engine_id = " << engine_id << "\n";
  ss << "stream_id = " << stream_id << "\n";
  ss << "frame_id = " << frame_id << "\n";
  ss << "inference_id = " << inference_id << "\n";
  ss << "data = \n";
  for (size_t i = 0; i < data.size() && i < 10; ++i) {
    char buf[64];
    ss << data[i].id << ", " << data[i].label << ", ";
    std::snprintf(buf, sizeof buf, "%u, %u", data[i].width, data[i].height);
    ss << buf << "\n";
  }
  ss << " ... " << "\n";
  ss << kFrameLine << "\n";
  return ss.str();
}

NVPSeq VXA_VideoFrameData::Encode() const {
  NVPSeq s;
  s.reserve(14);
  encode_frame_fields(s, stream_id, frame_id, timestamp, data, width, height, channels, size,
                      format, compression, framerate);
  put_list(s, "ClassificationResult", element_seqs(ClassificationResult));
  put_list(s, "DetectionResult", element_seqs(DetectionResult));
  put_list(s, "SegmentationResult", element_seqs(SegmentationResult));
  return s;
}

void VXA_VideoFrameData::Decode(const NVPSeq &seq) {
  for (const IOT_NVP &p : seq) {
    decode_frame_fields(p, *this);
    tag(p, "ClassificationResult", ClassificationResult);
    tag(p, "DetectionResult", DetectionResult);
    tag(p, "SegmentationResult", SegmentationResult);
  }
}

void VXA_VideoFrameData::Decode(NVPSeq &&seq) {
  for (IOT_NVP &p : seq) {
    if (p.name() == "data" && p.value().kind() == com::quillmark::iot::IOT_KIND::BYTE_SEQ) {
      data = p.value().take_byte_seq();
      continue;
    }
    decode_frame_fields(p, *this);
    tag(p, "ClassificationResult", ClassificationResult);
    tag(p, "DetectionResult", DetectionResult);
    tag(p, "SegmentationResult", SegmentationResult);
  }
}

void VXA_VideoFrameData::ToMat(cv::Mat &mat) const {
  frame_to_mat(data, width, height, size, compression, mat);
}

NVPSeq UniInfo::Encode() const {
  NVPSeq s;
  put_list(s, "VideoList", element_seqs(VideoList));
  put_list(s, "DeviceList", element_seqs(DeviceList));
  return s;
}

void UniInfo::Decode(const NVPSeq &seq) {
  for (const IOT_NVP &p : seq) {
    tag(p, "VideoList", VideoList);
    tag(p, "DeviceList", DeviceList);
  }
}

void UniInfo::Decode(NVPSeq &&seq) {
  for (IOT_NVP &p : seq) {
    if (p.name() == "VideoList") {
      // As the copying decode: a repeated list replaces the earlier one.
      std::vector<VXA_VideoFrameData> list;
      for (IOT_NVP &e : p.value().take_nvp_seq()) {
        VXA_VideoFrameData v;
        v.Decode(e.value().take_nvp_seq());
        list.push_back(std::move(v));
      }
      VideoList = std::move(list);
    }
    tag(p, "DeviceList", DeviceList);
  }
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
