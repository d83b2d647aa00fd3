#include "src_extract.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "box_convert.h"
#include "edge_pixel.h"

namespace ovedge {

namespace {
const char *const kCompressionNone = "com.vision.models.COMPRESSION_KIND_NONE";
}

orvane::ai::SegmentGrid expand_segment_runs(const std::vector<VXCORE::SegmentationData> &runs,
                                            size_t max_cells) {
  orvane::ai::SegmentGrid grid;
  if (runs.empty())
    return grid;
  const size_t width = runs.front().width;
  const size_t height = runs.front().height;
  if (width == 0 || height == 0 || width > max_cells)
    return grid;
  const size_t rows = std::min(height, max_cells / width);
  std::vector<orvane::ai::SegmentResult> row;
  row.reserve(width);
  for (const auto &run : runs) {
    orvane::ai::SegmentResult cell;
    cell.label_id = static_cast<int32_t>(run.id);
    cell.label = run.label;
    size_t left = run.repeat;
    while (left > 0 && grid.size() < rows) {
      const size_t n = std::min(left, width - row.size());
      row.insert(row.end(), n, cell);
      left -= n;
      if (row.size() == width) {
        grid.push_back(std::move(row));
        row.clear();
        row.reserve(width);
      }
    }
    if (grid.size() == rows)
      break;
  }
  /* A last, incomplete row is kept as far as the runs reached. */
  if (!row.empty() && grid.size() < rows)
    grid.push_back(std::move(row));
  return grid;
}

VideoFrameData frame_data_from(const VXCORE::FrameInfo &frame,
                               const VXCORE::Information<VXCORE::ClassificationData> &cls,
                               const VXCORE::Information<VXCORE::DetectionBoxData> &det,
                               const VXCORE::SegmentInfo &seg) {
  VideoFrameData out;
  out.stream_id = frame.stream_id;
  out.frame_id = frame.frame_id;
  out.timestamp = frame.timestamp;
  out.width = frame.width;
  out.height = frame.height;
  out.depth = 8;
  out.channels = frame.channels;
  out.device_idx = 0;
  out.is_compress = frame.compression != kCompressionNone;
  VXCORE::append_classifications(out.class_results, cls.data);
  VXCORE::append_boxes(out.box_results, det.data);
  out.seg_results = expand_segment_runs(seg.data);
  return out;
}

DeviceInfoData device_data_from(const VXCORE::DeviceInfo &d) {
  return VXCORE::convert_device<DeviceInfoData>(d);
}

std::string batch_meta_string(const OvBatch &batch) {
  std::ostringstream s;
  for (const auto &d : batch.devices) {
    s << "### DeviceInfoData ###\n"
      << "stream_id = " << d.stream_id << "\n"
      << "mac_address = " << d.mac_address << "\n"
      << "ip_address = " << d.ip_address << "\n"
      << "port = " << d.port << "\n"
      << "uri = " << d.uri << "\n"
      << "manufacturer = " << d.manufacturer << "\n"
      << "model = " << d.model << "\n"
      << "serial = " << d.serial << "\n"
      << "fw_version = " << d.fw_version << "\n"
      << "dev_id = " << d.dev_id << "\n"
      << "status = " << d.status << "\n"
      << "kind = " << d.kind << "\n"
      << "protocol = " << d.protocol << "\n"
      << "###########################\n";
  }
  for (const auto &f : batch.frames) {
    s << "### VideoFrameData ###\n"
      << "stream_id = " << f.stream_id << "\n"
      << "frame_id = " << f.frame_id << "\n"
      << "timestamp = " << f.timestamp << "\n"
      << "width = " << f.width << "\n"
      << "height = " << f.height << "\n"
      << "depth = " << f.depth << "\n"
      << "channels = " << f.channels << "\n"
      << "device_idx = " << f.device_idx << "\n"
      << "is_compress = " << f.is_compress << "\n";
    for (size_t i = 0; i < f.class_results.size(); ++i) {
      const auto &c = f.class_results[i];
      s << "   classification result [" << i << "]\n"
        << "   index = " << c.index << "\n"
        << "   output = " << c.output << "\n"
        << "   label = " << c.label << "\n"
        << "   prob = " << c.prob << "\n"
        << "   -----------\n";
    }
    for (size_t i = 0; i < f.box_results.size(); ++i) {
      const auto &b = f.box_results[i];
      s << "   detection box result [" << i << "]\n"
        << "   (obj_id, obj_label) = (" << b.obj_id << ", " << b.obj_label << ")\n"
        << "   (class_id, class_label) = (" << b.class_id << ", " << b.class_label << ")\n"
        << "   (x1, y1, x2, y2) = (" << b.x1 << ", " << b.y1 << ", " << b.x2 << ", " << b.y2
        << ")\n"
        << "   meta = " << b.meta << "\n";
    }
  }
  return s.str();
}

cv::Size resize_target(int width, int height) {
  return cv::Size((width + 3) / 4 * 4, (height + 1) / 2 * 2);
}

namespace {

/* GStreamer's 4:2:0 planes round odd sizes up: give the extra chroma column
 * and row their neighbour's sample, as the converters leave them out. */
void fill_edge_chroma(uint8_t *plane, int stride, int have_w, int have_h, int want_w,
                      int want_h, int step) {
  for (int r = 0; r < have_h; ++r)
    for (int c = have_w; c < want_w; ++c)
      for (int k = 0; k < step; ++k)
        plane[static_cast<size_t>(r) * stride + c * step + k] =
            have_w > 0 ? plane[static_cast<size_t>(r) * stride + (have_w - 1) * step + k] : 128;
  for (int r = have_h; r < want_h; ++r) {
    uint8_t *row = plane + static_cast<size_t>(r) * stride;
    if (have_h > 0)
      std::memcpy(row, plane + static_cast<size_t>(have_h - 1) * stride,
                  static_cast<size_t>(want_w) * step);
    else
      std::memset(row, 128, static_cast<size_t>(want_w) * step);
  }
}

}  // namespace

cv::Mat received_picture(const VXCORE::FrameInfo &frame, cv::Mat &scratch) {
  static const std::string kBGR8 = "com.vision.models.PIXEL_FORMAT_BGR8";
  if (frame.data.empty() || frame.width == 0 || frame.height == 0) return cv::Mat();
  const std::string &kind = frame.compression;
  cv::Mat picture;
  if (kind.find("NONE") != std::string::npos) {
    if (frame.width > static_cast<uint32_t>(INT32_MAX / 3) ||
        frame.height > static_cast<uint32_t>(INT32_MAX))
      throw std::out_of_range("image of " + std::to_string(frame.width) + "x" +
                              std::to_string(frame.height) + " is too large");
    const size_t need = static_cast<size_t>(frame.width) * 3 * frame.height;
    if (frame.data.size() < need)
      throw std::out_of_range("frame data of " + std::to_string(frame.data.size()) +
                              " bytes is shorter than " + std::to_string(frame.width) + "x" +
                              std::to_string(frame.height) + " pixels");
    picture = cv::Mat(static_cast<int>(frame.height), static_cast<int>(frame.width), CV_8UC3,
                      const_cast<uint8_t *>(frame.data.data()));
  } else if (kind.find("GST_ENCODED") != std::string::npos || kind.find("JPG") != std::string::npos) {
    scratch.release();  // never the previous picture
    frame.ToMat(scratch);
    picture = scratch;
  } else {
    return cv::Mat();
  }
  if (picture.empty() || picture.type() != CV_8UC3) return cv::Mat();
  if (frame.format == kBGR8) {
    cv::Mat swapped;
    cv::cvtColor(picture, swapped, cv::COLOR_BGR2RGB);
    scratch = swapped;
    picture = scratch;
  }
  return picture;
}

bool write_image_to_frame(const cv::Mat &image, GstVideoFrame *frame) {
  const GstVideoFormat format = GST_VIDEO_FRAME_FORMAT(frame);
  if (format != GST_VIDEO_FORMAT_I420 && format != GST_VIDEO_FORMAT_NV12 &&
      format != GST_VIDEO_FORMAT_BGR)
    return false;
  if (image.empty() || image.type() != CV_8UC3)
    throw std::invalid_argument("expected an 8-bit, 3-channel image");
  const int width = GST_VIDEO_FRAME_WIDTH(frame);
  const int height = GST_VIDEO_FRAME_HEIGHT(frame);
  cv::Mat fitted = image;
  if (image.cols != width || image.rows != height) {
    cv::resize(image, fitted, resize_target(width, height), 0, 0, cv::INTER_LINEAR);
    fitted = fitted(cv::Rect(0, 0, width, height));
  }
  auto plane = [frame](int i) { return static_cast<uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(frame, i)); };
  int strideY = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0);
  int strideUV = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 1);
  const int cw = GST_VIDEO_FRAME_COMP_WIDTH(frame, 1);
  const int ch = GST_VIDEO_FRAME_COMP_HEIGHT(frame, 1);

  switch (format) {
    case GST_VIDEO_FORMAT_I420:
      RGB8882YUVI420p(fitted, plane(0), plane(1), plane(2), strideY, strideUV);
      fill_edge_chroma(plane(1), strideUV, width / 2, height / 2, cw, ch, 1);
      fill_edge_chroma(plane(2), strideUV, width / 2, height / 2, cw, ch, 1);
      break;
    case GST_VIDEO_FORMAT_NV12: {
      /* The converter writes chroma pairs without a row stride. */
      const size_t pairs_row = static_cast<size_t>(width / 2) * 2;
      if (static_cast<size_t>(strideUV) == pairs_row) {
        RGB8882YUVNV12(fitted, plane(0), plane(1), strideY);
      } else {
        std::vector<uint8_t> uv(pairs_row * (height / 2) + 1);
        RGB8882YUVNV12(fitted, plane(0), uv.data(), strideY);
        for (int r = 0; r < height / 2; ++r)
          std::memcpy(plane(1) + static_cast<size_t>(r) * strideUV, uv.data() + r * pairs_row,
                      pairs_row);
      }
      fill_edge_chroma(plane(1), strideUV, width / 2, height / 2, cw, ch, 2);
      break;
    }
    default: {
      const PackedColours colours{
          GST_VIDEO_FRAME_COMP_PSTRIDE(frame, 0), GST_VIDEO_FRAME_COMP_POFFSET(frame, 0),
          GST_VIDEO_FRAME_COMP_POFFSET(frame, 1), GST_VIDEO_FRAME_COMP_POFFSET(frame, 2)};
      bgr_to_packed(fitted.ptr<uint8_t>(0), fitted.step[0], width, height, colours, plane(0),
                    static_cast<size_t>(strideY));
      break;
    }
  }
  return true;
}

size_t copy_encoded_bytes(const cv::Mat &image, size_t encoded_size, GstBuffer *buffer) {
  const size_t held = image.isContinuous() ? image.total() * image.elemSize() : 0;
  size_t n = std::min(encoded_size, held);
  n = std::min(n, gst_buffer_get_size(buffer));
  if (n > 0)
    gst_buffer_fill(buffer, 0, image.data, n);
  gst_buffer_set_size(buffer, static_cast<gssize>(n));
  return n;
}

}  // namespace ovedge
