/* libFuzzer target: a bus payload as a reader thread receives it, decoded
 * into each record of the tag groups (frame, device, classification,
 * detection, segmentation) and into the combined record, and every picture
 * it carries turned into an image.
 *
 * A payload is either refused by the codec or decodes; a record decode
 * either fails with the bus library's exception or gives a record that
 * encodes and decodes to itself; the moving frame decode agrees with the
 * copying one; ToMat either throws std::out_of_range or fills the image from
 * the frame's own bytes, never reading past them or allocating for a size the
 * bytes cannot fill. */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "edge_records.h"
#include "meshapi/nvp_codec.h"

namespace iot = com::quillmark::iot;
using namespace VXCORE;

namespace {

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "edge_records_fuzzer: %s\n", what);
  std::abort();
}

/* Compared on the wire, so NaN fields compare by their bits. */
std::vector<uint8_t> wire(const NVPSeq &s) { return iot::encode_payload(s); }

template <typename R>
bool decode(const NVPSeq &seq, R &r) {
  try {
    r.Decode(seq);
    return true;
  } catch (const iot::IotException &) {
    return false;  // a value of another kind: the reader drops the sample
  }
}

template <typename R>
void check_stable(const R &r, const char *name) {
  const NVPSeq once = r.Encode();
  R again;
  if (!decode(once, again) || wire(again.Encode()) != wire(once)) fail(name);
}

template <typename R>
void record(const NVPSeq &seq, const char *name) {
  R r;
  if (!decode(seq, r)) return;
  check_stable(r, name);
  (void)r.GetString();
}

/* The image of a frame record: only what the frame's bytes can fill. */
template <typename F>
void image(const F &f) {
  cv::Mat m;
  try {
    f.ToMat(m);
  } catch (const std::out_of_range &) {
    return;
  }
  if (f.data.empty() || f.width == 0 || f.height == 0) {
    if (!m.empty()) fail("ToMat filled an image from no data");
    return;
  }
  const bool none = f.compression.find("NONE") != std::string::npos;
  const bool encoded = !none && f.compression.find("GST_ENCODED") != std::string::npos;
  if (!none && !encoded) return;  // JPG decodes to its own size; others leave m alone
  if (m.rows != static_cast<int>(f.height) || m.cols != static_cast<int>(f.width) ||
      m.type() != CV_8UC3 || !m.isContinuous())
    fail("ToMat gave an image of another shape");
  const size_t n = none ? m.total() * m.elemSize() : f.size;
  if (n > f.data.size() || std::memcmp(m.data, f.data.data(), n) != 0)
    fail("ToMat image differs from the frame bytes");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // "Unsupport image format" lines for every odd compression would drown the
  // fuzzer's own output; sanitizer reports go to the file descriptor.
  std::cerr.rdbuf(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  NVPSeq seq;
  try {
    seq = iot::decode_payload(data, size);
  } catch (const iot::PayloadError &) {
    return 0;
  }

  FrameInfo frame;
  if (decode(seq, frame)) {
    check_stable(frame, "FrameInfo");
    FrameInfo moved;
    NVPSeq copy = seq;
    moved.Decode(std::move(copy));
    if (wire(moved.Encode()) != wire(frame.Encode())) fail("moving FrameInfo decode differs");
    (void)frame.GetString();
    image(frame);
  }
  record<DeviceInfo>(seq, "DeviceInfo");
  record<Information<ClassificationData>>(seq, "Information<ClassificationData>");
  record<Information<DetectionBoxData>>(seq, "Information<DetectionBoxData>");
  record<SegmentInfo>(seq, "SegmentInfo");

  UniInfo uni;
  try {
    uni.Decode(com::quillmark::tidemesh::DataSample("thing", "flow", "VXAPipe", seq));
  } catch (const iot::IotException &) {
    return 0;
  }
  check_stable(uni, "UniInfo");
  for (const VXA_VideoFrameData &v : uni.VideoList) image(v);
  return 0;
}
