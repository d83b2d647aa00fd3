#include "sink_records.h"

#include <cstring>
#include <stdexcept>

#include <opencv2/core.hpp>

#include "box_convert.h"
#include "edge_pixel.h"

namespace ovedge {

const char *const kFakeStreamId = "b5d84236-a23d-49fc-a574-e0cd944490bb";
const char *const kNotSet = "Not Set";
const char *const kCompressionNone = "com.vision.models.COMPRESSION_KIND_NONE";
const char *const kCompressionJpg = "com.vision.models.COMPRESSION_KIND_JPG";
const char *const kCompressionEncoded = "com.vision.models.COMPRESSION_KIND_GST_ENCODED";
const char *const kPixelFormatRGB8 = "com.vision.models.PIXEL_FORMAT_RGB8";

namespace {

const std::string kFakeAddress(20, 'X');
const char *const kFakeClassLabel = "[fake] test classification label string";
const char *const kFakeBoxLabel = "[fake] test detection label string";
const char *const kFakeSegLabels[4] = {"bike", "motor", "car", "background"};
constexpr int kFakeGrid = 100;
constexpr float kSegProbability = 0.99f;

std::string or_not_set(const std::string &s) { return s.empty() ? kNotSet : s; }

template <typename Info>
void load_header(Info &out, const VideoFrameData *frame, const std::string &engine_id,
                 uint32_t frame_number) {
  out.engine_id = engine_id;
  out.stream_id = frame ? frame->stream_id : kFakeStreamId;
  out.frame_id = frame ? frame->frame_id : frame_number;
}

VXCORE::SegmentationData segment_entry(uint32_t id, const std::string &label, uint32_t repeat,
                                       uint32_t width, uint32_t height) {
  VXCORE::SegmentationData s;
  s.id = id;
  s.label = label;
  s.repeat = repeat;
  s.width = width;
  s.height = height;
  s.size = 1;
  s.channels = 1;
  s.color = 0;
  s.probability = kSegProbability;
  return s;
}

}  // namespace

void load_frame_info(VXCORE::FrameInfo &out, const VideoFrameData *frame, uint32_t frame_number,
                     uint32_t channels) {
  out.format = kPixelFormatRGB8;
  if (frame) {
    out.stream_id = frame->stream_id;
    out.frame_id = frame->frame_id;
    out.timestamp = frame->timestamp;
    out.width = frame->width;
    out.height = frame->height;
    out.channels = frame->channels;
    out.compression = frame->is_compress ? kCompressionJpg : kCompressionNone;
  } else {
    out.stream_id = kFakeStreamId;
    out.compression = kCompressionNone;
    out.frame_id = frame_number;
    out.channels = channels;
    out.timestamp = static_cast<int64_t>(VXCORE::FrameInfo::GetDigitUTCTime());
  }
}

void load_device_info(VXCORE::DeviceInfo &out, const DeviceInfoData *device) {
  if (device) {
    out = VXCORE::convert_device<VXCORE::DeviceInfo>(*device, or_not_set);
    return;
  }
  out.stream_id = kFakeStreamId;
  out.serial = kFakeStreamId;
  out.mac_address = kFakeAddress;
  out.ip_address = kFakeAddress;
  out.uri = kFakeAddress;
  out.port = -1;
  out.manufacturer = "ORVANE";
  out.model = "VIDEO Streamer";
  out.fw_version = "v1.0";
  out.dev_id = "DDS";
  out.status = "com.vision.models.DEVICE_STATUS_ONLINE";
  out.kind = "com.vision.models.DEVICE_KIND_UNKNOWN";
  out.protocol = "com.vision.models.INTERFACE_DDS";
}

void load_classification(VXCORE::Information<VXCORE::ClassificationData> &out,
                         const VideoFrameData *frame, const std::string &engine_id,
                         uint32_t frame_number) {
  load_header(out, frame, engine_id, frame_number);
  if (frame) {
    VXCORE::append_classifications(out.data, frame->class_results);
    return;
  }
  for (int i = 0; i < 3; ++i) {
    VXCORE::ClassificationData d;
    d.index = i;
    d.label = kFakeClassLabel;
    d.probability = 1.0f;
    out.data.push_back(std::move(d));
  }
}

void load_detection(VXCORE::Information<VXCORE::DetectionBoxData> &out,
                    const VideoFrameData *frame, const std::string &engine_id,
                    uint32_t frame_number) {
  load_header(out, frame, engine_id, frame_number);
  if (frame) {
    VXCORE::append_boxes(out.data, frame->box_results);
    return;
  }
  for (int i = 0; i < 3; ++i) {
    VXCORE::DetectionBoxData d;
    d.obj_id = d.class_id = i;
    d.obj_label = kFakeBoxLabel;
    d.class_label = "X";
    d.x1 = 123.0f;
    d.y1 = 456.0f;
    d.x2 = 789.0f;
    d.y2 = 111.0f;
    d.probability = 1.0f;
    out.data.push_back(std::move(d));
  }
}

std::vector<VXCORE::SegmentationData> encode_segment_runs(const orvane::ai::SegmentGrid &grid) {
  std::vector<VXCORE::SegmentationData> runs;
  const uint32_t height = static_cast<uint32_t>(grid.size());
  for (const auto &row : grid) {
    const uint32_t width = static_cast<uint32_t>(row.size());
    size_t c = 0;
    while (c < row.size()) {
      size_t end = c + 1;
      while (end < row.size() && row[end].label_id == row[c].label_id)
        ++end;
      runs.push_back(segment_entry(static_cast<uint32_t>(row[c].label_id), row[c].label,
                                   static_cast<uint32_t>(end - c), width, height));
      c = end;
    }
  }
  return runs;
}

std::vector<VXCORE::SegmentationData> fake_segment_cells() {
  std::vector<VXCORE::SegmentationData> cells;
  cells.reserve(kFakeGrid * kFakeGrid);
  for (uint32_t i = 0; i < kFakeGrid * kFakeGrid; ++i)
    cells.push_back(segment_entry(i, kFakeSegLabels[i % 4], 1, kFakeGrid, kFakeGrid));
  return cells;
}

void load_segmentation(VXCORE::SegmentInfo &out, const VideoFrameData *frame,
                       const std::string &engine_id, uint32_t frame_number) {
  load_header(out, frame, engine_id, frame_number);
  out.inference_id = 0;
  std::vector<VXCORE::SegmentationData> entries =
      frame ? encode_segment_runs(frame->seg_results) : fake_segment_cells();
  out.data.insert(out.data.end(), std::make_move_iterator(entries.begin()),
                  std::make_move_iterator(entries.end()));
}

void load_combined(VXCORE::UniInfo &out, const VideoFrameData *frame,
                   const DeviceInfoData *device, const std::string &engine_id,
                   uint32_t frame_number, uint32_t channels) {
  VXCORE::FrameInfo f;
  load_frame_info(f, frame, frame_number, channels);
  VXCORE::VXA_VideoFrameData v;
  static_cast<VXCORE::FrameFields &>(v) = std::move(f);

  /* Without a batch record only the frame and the device are made up. */
  if (frame) {
    VXCORE::append_classifications(v.ClassificationResult, frame->class_results);
    VXCORE::append_boxes(v.DetectionResult, frame->box_results);
    for (auto &c : v.ClassificationResult) c.engine_id = engine_id;
    for (auto &b : v.DetectionResult) b.engine_id = engine_id;
    v.SegmentationResult = encode_segment_runs(frame->seg_results);
  }
  out.VideoList.push_back(std::move(v));

  VXCORE::VXA_DeviceInfoData dev;
  load_device_info(dev, device);
  out.DeviceList.push_back(std::move(dev));
}

PackResult pack_frame_bgr(const GstVideoFrame *frame, std::vector<uint8_t> &dst) {
  const GstVideoInfo &info = frame->info;
  const int width = GST_VIDEO_INFO_WIDTH(&info);
  const int height = GST_VIDEO_INFO_HEIGHT(&info);
  const size_t needed = static_cast<size_t>(width) * height * 3;
  const auto plane = [frame](int i) {
    return static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(frame, i));
  };
  const auto stride = [frame](int i) { return GST_VIDEO_FRAME_PLANE_STRIDE(frame, i); };

  cv::Mat bgr;
  switch (GST_VIDEO_INFO_FORMAT(&info)) {
    case GST_VIDEO_FORMAT_NV12:
      bgr = YUVNV122BGR888(width, height, plane(0), plane(1), stride(0), stride(1));
      break;
    case GST_VIDEO_FORMAT_I420:
      bgr = YUV420p2BGR888(width, height, plane(0), plane(1), plane(2), stride(0), stride(1));
      break;
    case GST_VIDEO_FORMAT_BGR: {
      if (dst.size() < needed)
        throw std::out_of_range("frame needs " + std::to_string(needed) + " bytes, record holds " +
                                std::to_string(dst.size()));
      /* Rows are packed tightly whatever the frame's row stride. */
      const PackedColours colours{
          GST_VIDEO_FRAME_COMP_PSTRIDE(frame, 0), GST_VIDEO_FRAME_COMP_POFFSET(frame, 0),
          GST_VIDEO_FRAME_COMP_POFFSET(frame, 1), GST_VIDEO_FRAME_COMP_POFFSET(frame, 2)};
      packed_to_bgr(plane(0), static_cast<size_t>(stride(0)), colours, width, height, dst.data());
      return PackResult::Packed;
    }
    default:
      return PackResult::UnsupportedFormat;
  }
  const size_t row = static_cast<size_t>(bgr.cols) * bgr.elemSize();
  if (dst.size() < row * bgr.rows)
    throw std::out_of_range("frame needs " + std::to_string(row * bgr.rows) +
                            " bytes, record holds " + std::to_string(dst.size()));
  for (int r = 0; r < bgr.rows; ++r)
    std::memcpy(dst.data() + r * row, bgr.ptr(r), row);
  return PackResult::Packed;
}

}  // namespace ovedge
