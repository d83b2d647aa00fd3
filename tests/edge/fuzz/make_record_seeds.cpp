/* Writes the seed corpus of the edge records fuzz target: one bus payload per
 * record a reader receives, encoded by the records themselves, with frames of
 * every compression kind. */
#include <fstream>
#include <iostream>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "edge_records.h"
#include "meshapi/nvp_codec.h"
#include "record_samples.h"

using namespace VXCORE;

namespace {

bool write(const std::string &dir, const char *name, const NVPSeq &seq) {
  const std::vector<uint8_t> bytes = com::quillmark::iot::encode_payload(seq);
  std::ofstream out(dir + "/" + name, std::ios::binary);
  out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) std::cerr << "make_record_seeds: cannot write " << dir << "/" << name << "\n";
  return static_cast<bool>(out);
}

ByteVec pixels(int w, int h) {
  ByteVec v(static_cast<size_t>(w) * h * 3);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 37);
  return v;
}

template <typename F>
void describe(F &f, const char *compression, ByteVec data, uint32_t w, uint32_t h) {
  f.stream_id = "cam-0";
  f.frame_id = 41;
  f.timestamp = 1607400000123;
  f.size = static_cast<uint32_t>(data.size());
  f.data = std::move(data);
  f.width = w;
  f.height = h;
  f.channels = 3;
  f.format = "com.vision.models.PIXEL_FORMAT_BGR8";
  f.compression = std::string("com.vision.models.COMPRESSION_KIND_") + compression;
  f.framerate = 15.f;
}

ByteVec jpeg(int w, int h) {
  cv::Mat img(h, w, CV_8UC3, cv::Scalar(10, 200, 30));
  std::vector<uint8_t> out;
  cv::imencode(".jpg", img, out);
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::cerr << "usage: make_record_seeds DIR\n";
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;

  FrameInfo f;
  describe(f, "NONE", pixels(4, 2), 4, 2);
  ok &= write(dir, "frame_none", f.Encode());
  ByteVec encoded = pixels(4, 2);
  encoded.resize(10);
  describe(f, "GST_ENCODED", encoded, 4, 2);
  ok &= write(dir, "frame_encoded", f.Encode());
  describe(f, "JPG", jpeg(16, 8), 16, 8);
  ok &= write(dir, "frame_jpg", f.Encode());
  describe(f, "H264", pixels(2, 2), 2, 2);
  ok &= write(dir, "frame_other", f.Encode());

  const DeviceInfo d = recordsamples::device();
  ok &= write(dir, "device", d.Encode());

  Information<ClassificationData> cls;
  cls.engine_id = "engine-1";
  cls.stream_id = "cam-0";
  cls.frame_id = 41;
  cls.data = {recordsamples::cls(0, "red"), recordsamples::cls(-1, "blue")};
  ok &= write(dir, "classification", cls.Encode());

  Information<DetectionBoxData> det;
  det.engine_id = "engine-1";
  det.stream_id = "cam-0";
  det.frame_id = 41;
  det.data = {recordsamples::box(-1, 2), recordsamples::box(3, 4)};
  det.data[1].meta = "pose";
  ok &= write(dir, "detection", det.Encode());

  SegmentInfo seg;
  seg.engine_id = "engine-1";
  seg.stream_id = "cam-0";
  seg.frame_id = 41;
  seg.inference_id = 3;
  seg.data = {recordsamples::run(2), recordsamples::run(1)};
  seg.data[1].repeat = 3;
  ok &= write(dir, "segmentation", seg.Encode());

  UniInfo uni;
  VXA_VideoFrameData v = recordsamples::video();
  describe(v, "NONE", pixels(4, 2), 4, 2);
  uni.VideoList.push_back(v);
  describe(v, "JPG", jpeg(8, 8), 8, 8);
  v.stream_id = "cam-1";
  uni.VideoList.push_back(v);
  VXA_DeviceInfoData vd;
  static_cast<DeviceInfo &>(vd) = d;
  uni.DeviceList = {vd, vd};
  uni.DeviceList[1].stream_id = "cam-1";
  ok &= write(dir, "combined", uni.Encode());

  return ok ? 0 : 1;
}
