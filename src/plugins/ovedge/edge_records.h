/* The records the bus bridge publishes and receives, and their name/value
 * encodings.  Tag names, value kinds and pair order are the wire format. */
#ifndef OVEDGE_EDGE_RECORDS_H
#define OVEDGE_EDGE_RECORDS_H

#include <cstdint>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include <opencv2/core.hpp>

#include "meshapi/iot_value.h"
#include "meshapi/tidemesh.h"

namespace VXCORE {

using com::quillmark::iot::IOT_NVP;
using com::quillmark::iot::IOT_VALUE;
using NVPSeq = std::vector<IOT_NVP>;
using ByteVec = std::vector<uint8_t>;

/* The tag of the publisher's sequence number: every record a sink publishes
 * for one frame (the frame, its device, its results) carries the same
 * number, counted by the sink and never repeated by it, so a subscriber
 * keeps frames apart even when their frame ids repeat.  It is written only
 * when set (non-zero): records without it are what peers that predate it
 * write, and they decode the same. */
constexpr const char *kPublishSeqTag = "publish_seq";

/* Equality through a member tie(), for tests and comparisons. */
template <typename R>
struct TiedEq {
  friend bool operator==(const R &a, const R &b) { return a.tie() == b.tie(); }
  friend bool operator!=(const R &a, const R &b) { return !(a == b); }
};

/* The fields of a frame: the frame record's and, with its results, the
 * combined record's. */
struct FrameFields {
  std::string stream_id;
  uint32_t frame_id = 0;
  int64_t timestamp = 0;
  ByteVec data;
  uint32_t width = 0, height = 0, channels = 0, size = 0;
  std::string format;
  std::string compression;
  float framerate = 0.f;
  /* The publisher's sequence number of the frame (see kPublishSeqTag). */
  int64_t publish_seq = 0;

  /* The picture as an image.  Throws std::out_of_range when data is shorter
   * than the copy needs or an encoded frame is larger than the image. */
  void ToMat(cv::Mat &mat) const;

 protected:
  auto frame_tie() const {
    return std::tie(stream_id, frame_id, timestamp, data, width, height, channels, size, format,
                    compression, framerate, publish_seq);
  }
};

struct FrameInfo : FrameFields, TiedEq<FrameInfo> {
  NVPSeq Encode() const;
  void Decode(const NVPSeq &seq);
  /* The same, moving the frame bytes out of seq instead of copying them. */
  void Decode(NVPSeq &&seq);
  std::string GetString() const;
  /* Copies every field into dst and appends data to dst's bytes. */
  void Copy(FrameInfo &dst) const;

  static std::string GetUTCTime();
  static uint64_t GetDigitUTCTime();
  static int64_t GetDigitTimeSince1970();

  auto tie() const { return frame_tie(); }
};

struct DeviceInfo : TiedEq<DeviceInfo> {
  std::string stream_id, mac_address, ip_address;
  int32_t port = 0;
  std::string uri, manufacturer, model, serial, fw_version, dev_id, status, kind, protocol;
  /* The sequence number of the frame this description was published with. */
  int64_t publish_seq = 0;

  NVPSeq Encode() const;
  void Decode(const NVPSeq &seq);
  std::string GetString() const;

  auto tie() const {
    return std::tie(stream_id, mac_address, ip_address, port, uri, manufacturer, model, serial,
                    fw_version, dev_id, status, kind, protocol, publish_seq);
  }
};

struct ClassificationData : TiedEq<ClassificationData> {
  int32_t index = 0;
  std::string output;
  std::string label;
  float probability = 0.f;

  void Encode(NVPSeq &seq) const;
  void Decode(const NVPSeq &seq);
  auto tie() const { return std::tie(index, output, label, probability); }
};

struct DetectionBoxData : TiedEq<DetectionBoxData> {
  int32_t obj_id = 0;
  int32_t class_id = 0;
  std::string obj_label;
  std::string class_label;
  float x1 = 0.f, y1 = 0.f, x2 = 0.f, y2 = 0.f;
  float probability = 0.f;
  std::string meta;

  void Encode(NVPSeq &seq) const;
  void Decode(const NVPSeq &seq);
  auto tie() const {
    return std::tie(obj_id, class_id, obj_label, class_label, x1, y1, x2, y2, probability, meta);
  }
};

struct SegmentationData : TiedEq<SegmentationData> {
  uint32_t id = 0, repeat = 0, width = 0, height = 0, size = 0, channels = 0, color = 0;
  std::string label;
  float probability = 0.f;
  ByteVec data;

  NVPSeq Encode() const;
  void Decode(const NVPSeq &seq);
  auto tie() const {
    return std::tie(id, repeat, width, height, size, channels, color, label, probability, data);
  }
};

template <typename T>
struct Information : TiedEq<Information<T>> {
  std::string engine_id;
  std::string stream_id;
  uint32_t frame_id = 0;
  std::vector<T> data;
  int64_t publish_seq = 0;

  NVPSeq Encode() const;
  void Decode(const NVPSeq &seq);
  std::string GetString() const;
  auto tie() const { return std::tie(engine_id, stream_id, frame_id, data, publish_seq); }
};

struct SegmentInfo : TiedEq<SegmentInfo> {
  std::string engine_id;
  std::string stream_id;
  uint32_t frame_id = 0;
  uint32_t inference_id = 0;
  std::vector<SegmentationData> data;
  int64_t publish_seq = 0;

  NVPSeq Encode() const;
  void Decode(const NVPSeq &seq);
  std::string GetString() const;
  auto tie() const {
    return std::tie(engine_id, stream_id, frame_id, inference_id, data, publish_seq);
  }
};

struct VXA_ClassificationData : TiedEq<VXA_ClassificationData> {
  std::string engine_id;
  uint32_t index = 0;
  std::string output;
  std::string label;
  float probability = 0.f;

  NVPSeq Encode() const;
  void Decode(const NVPSeq &seq);
  auto tie() const { return std::tie(engine_id, index, output, label, probability); }
};

struct VXA_DetectionBoxData : TiedEq<VXA_DetectionBoxData> {
  std::string engine_id;
  uint32_t obj_id = 0;
  uint32_t class_id = 0;
  std::string obj_label;
  std::string class_label;
  float x1 = 0.f, y1 = 0.f, x2 = 0.f, y2 = 0.f;
  float probability = 0.f;
  std::string meta;

  NVPSeq Encode() const;
  void Decode(const NVPSeq &seq);
  auto tie() const {
    return std::tie(engine_id, obj_id, class_id, obj_label, class_label, x1, y1, x2, y2,
                    probability, meta);
  }
};

using VXA_SegmentationData = SegmentationData;

struct VXA_VideoFrameData : FrameFields, TiedEq<VXA_VideoFrameData> {
  std::vector<VXA_ClassificationData> ClassificationResult;
  std::vector<VXA_DetectionBoxData> DetectionResult;
  std::vector<VXA_SegmentationData> SegmentationResult;

  NVPSeq Encode() const;
  void Decode(const NVPSeq &seq);
  /* The same, moving the picture out of the sequence instead of copying it. */
  void Decode(NVPSeq &&seq);
  auto tie() const {
    return std::tuple_cat(frame_tie(),
                          std::tie(ClassificationResult, DetectionResult, SegmentationResult));
  }
};

struct VXA_DeviceInfoData : DeviceInfo {};

struct UniInfo : TiedEq<UniInfo> {
  std::vector<VXA_VideoFrameData> VideoList;
  std::vector<VXA_DeviceInfoData> DeviceList;

  NVPSeq Encode() const;
  void Decode(const NVPSeq &seq);
  /* The same, moving the pictures out of the sequence instead of copying them. */
  void Decode(NVPSeq &&seq);
  void Decode(const com::quillmark::tidemesh::DataSample &sample) { Decode(sample.getNVPSeq()); }
  auto tie() const { return std::tie(VideoList, DeviceList); }
};

class FPSCalc {
 public:
  static constexpr int kWindow = 30;
  /* `tick` in OpenCV tick units (cv::getTickCount()). */
  std::string showFPS(double tick);

 private:
  int count_ = 0;
  std::vector<double> intervals_;
  double last_ = 0.0;
  double sum_ = 0.0;
};

std::string generateUUID();

/* The digits YYYYMMDDhhmmssmmm of a local time as a number. */
uint64_t digit_time(const std::tm &local, int millis);

}  // namespace VXCORE

#endif
