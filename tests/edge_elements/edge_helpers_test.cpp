/* Record building for publishing, picture packing, and what the source makes
 * of received records (grids, pictures, encoded bytes). */
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include <gst/video/video.h>
#include <opencv2/imgproc.hpp>

#include "ov_test.h"
#include "sink_frames.h"
#include "sink_records.h"
#include "src_extract.h"

namespace {

using orvane::ai::SegmentGrid;
using orvane::ai::SegmentResult;

SegmentGrid grid_of(const std::vector<std::vector<int>> &ids) {
  SegmentGrid g;
  for (const auto &row : ids) {
    std::vector<SegmentResult> cells;
    for (int id : row) cells.push_back(SegmentResult{id, "label" + std::to_string(id)});
    g.push_back(cells);
  }
  return g;
}

std::vector<std::vector<int>> ids_of(const SegmentGrid &g) {
  std::vector<std::vector<int>> out;
  for (const auto &row : g) {
    out.emplace_back();
    for (const auto &c : row) out.back().push_back(c.label_id);
  }
  return out;
}

VXCORE::SegmentationData run(uint32_t id, uint32_t repeat, uint32_t width, uint32_t height) {
  VXCORE::SegmentationData s;
  s.id = id;
  s.repeat = repeat;
  s.width = width;
  s.height = height;
  s.label = "l" + std::to_string(id);
  return s;
}

TEST(SegmentRuns, EncodeMakesOneRunPerMaximalSequenceWithinARow) {
  const auto runs = ovedge::encode_segment_runs(grid_of({{1, 1, 2, 2, 2}, {2, 2, 2, 2, 2}}));
  ASSERT_EQ(runs.size(), 3u); /* rows never share a run */
  EXPECT_EQ(runs[0].id, 1u);
  EXPECT_EQ(runs[0].repeat, 2u);
  EXPECT_EQ(runs[0].label, "label1");
  EXPECT_EQ(runs[1].id, 2u);
  EXPECT_EQ(runs[1].repeat, 3u);
  EXPECT_EQ(runs[2].repeat, 5u);
  for (const auto &r : runs) {
    EXPECT_EQ(r.width, 5u);
    EXPECT_EQ(r.height, 2u);
    EXPECT_EQ(r.size, 1u);
    EXPECT_EQ(r.channels, 1u);
    EXPECT_FLOAT_EQ(r.probability, 0.99f);
  }
}

TEST(SegmentRuns, ExpandRebuildsTheGrid) {
  const SegmentGrid g = ovedge::expand_segment_runs({run(1, 2, 4, 2), run(2, 2, 4, 2), run(3, 4, 4, 2)});
  EXPECT_EQ(ids_of(g), (std::vector<std::vector<int>>{{1, 1, 2, 2}, {3, 3, 3, 3}}));
  EXPECT_EQ(g[1][0].label, "l3");

  const SegmentGrid src = grid_of({{0, 0, 7, 7, 7, 1}, {5, 5, 5, 5, 5, 5}, {1, 2, 3, 4, 5, 6}});
  EXPECT_EQ(ids_of(ovedge::expand_segment_runs(ovedge::encode_segment_runs(src))), ids_of(src));
  /* A run longer than the rest of its row goes on in the next row. */
  EXPECT_EQ(ids_of(ovedge::expand_segment_runs({run(4, 6, 4, 2), run(5, 2, 4, 2)})),
            (std::vector<std::vector<int>>{{4, 4, 4, 4}, {4, 4, 5, 5}}));
}

TEST(SegmentRuns, HostileRunsStayWithinTheirGridAndTheLimit) {
  EXPECT_TRUE(ovedge::expand_segment_runs({run(1, 5, 0, 3)}).empty());
  EXPECT_TRUE(ovedge::expand_segment_runs({run(1, 5, 3, 0)}).empty());
  EXPECT_TRUE(ovedge::expand_segment_runs({}).empty());
  /* An absurd repeat fills the record's own 3 x 2 grid and stops. */
  SegmentGrid g = ovedge::expand_segment_runs({run(9, 4000000000u, 3, 2), run(1, 1, 3, 2)});
  EXPECT_EQ(ids_of(g), (std::vector<std::vector<int>>{{9, 9, 9}, {9, 9, 9}}));
  /* A huge declared grid is cut at the cell limit. */
  g = ovedge::expand_segment_runs({run(2, 4000000000u, 100000, 100000)}, 1000000);
  EXPECT_EQ(g.size(), 10u);
  EXPECT_EQ(g[9].size(), 100000u);
  EXPECT_TRUE(ovedge::expand_segment_runs({run(2, 10, 2000000, 1)}, 1000000).empty());
}

TEST(SinkRecords, MissingBatchRecordGivesTheFabricatedRecords) {
  VXCORE::Information<VXCORE::DetectionBoxData> det;
  ovedge::load_detection(det, nullptr, "engine", 42);
  ASSERT_EQ(det.data.size(), 3u);
  EXPECT_EQ(det.frame_id, 42u);
  EXPECT_EQ(det.stream_id, ovedge::kFakeStreamId);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(det.data[i].obj_id, i);
    EXPECT_EQ(det.data[i].obj_label, "[fake] test detection label string");
    EXPECT_FLOAT_EQ(det.data[i].x2, 789.0f);
  }
  VXCORE::DeviceInfo dev;
  ovedge::load_device_info(dev, nullptr);
  EXPECT_EQ(dev.port, -1);
  EXPECT_EQ(dev.mac_address, std::string(20, 'X'));
  EXPECT_EQ(dev.protocol, "com.vision.models.INTERFACE_DDS");
  VXCORE::SegmentInfo seg;
  ovedge::load_segmentation(seg, nullptr, "engine", 1);
  ASSERT_EQ(seg.data.size(), 10000u);
  EXPECT_EQ(seg.data[6].label, "car");
  EXPECT_EQ(seg.data[9999].id, 9999u);
  VXCORE::FrameInfo frame;
  ovedge::load_frame_info(frame, nullptr, 7, 3);
  EXPECT_EQ(frame.frame_id, 7u);
  EXPECT_EQ(frame.channels, 3u);
  EXPECT_EQ(frame.compression, ovedge::kCompressionNone);
  EXPECT_GT(frame.timestamp, 20200000000000000);
}

TEST(SinkRecords, PipelineRecordsAreCopiedWithEmptyDeviceTextsMarked) {
  VideoFrameData f;
  f.stream_id = "cam";
  f.frame_id = 9;
  f.is_compress = true;
  f.box_results.push_back({1, "car", 2, "vehicle", 0.1f, 0.2f, 0.3f, 0.4f, 0.9f, "m"});
  f.class_results.push_back({3, "out", "cat", 0.5f});
  DeviceInfoData d;
  d.stream_id = "cam";
  d.port = 554;
  VXCORE::UniInfo uni;
  ovedge::load_combined(uni, &f, &d, "engine-1", 0, 3);
  ASSERT_EQ(uni.VideoList.size(), 1u);
  const auto &v = uni.VideoList[0];
  EXPECT_EQ(v.frame_id, 9u);
  EXPECT_EQ(v.compression, ovedge::kCompressionJpg);
  ASSERT_EQ(v.DetectionResult.size(), 1u);
  EXPECT_EQ(v.DetectionResult[0].engine_id, "engine-1");
  EXPECT_EQ(v.DetectionResult[0].class_label, "vehicle");
  ASSERT_EQ(v.ClassificationResult.size(), 1u);
  EXPECT_EQ(v.ClassificationResult[0].label, "cat");
  ASSERT_EQ(uni.DeviceList.size(), 1u);
  EXPECT_EQ(uni.DeviceList[0].port, 554);
  EXPECT_EQ(uni.DeviceList[0].model, ovedge::kNotSet);
  /* Without a batch record only the frame and device are made up. */
  VXCORE::UniInfo bare;
  ovedge::load_combined(bare, nullptr, nullptr, "engine-1", 5, 3);
  EXPECT_EQ(bare.VideoList[0].frame_id, 5u);
  EXPECT_TRUE(bare.VideoList[0].DetectionResult.empty());
  EXPECT_EQ(bare.DeviceList[0].manufacturer, "ORVANE");
}

/* A mapped video frame over a buffer of exactly `size` bytes with the given
 * row strides, so that any write beyond the planes is caught. */
struct MappedFrame {
  GstVideoInfo info;
  ov::BufferPtr buffer;
  GstVideoFrame frame;
  bool ok = false;
  MappedFrame(GstVideoFormat format, int width, int height, int pad = 0, uint8_t fill = 0xEE) {
    gst_video_info_set_format(&info, format, width, height);
    if (pad) { /* wider rows than GStreamer would choose */
      size_t offset = 0;
      for (guint p = 0; p < GST_VIDEO_INFO_N_PLANES(&info); ++p) {
        info.stride[p] += pad;
        info.offset[p] = offset;
        offset += static_cast<size_t>(info.stride[p]) *
                  GST_VIDEO_FORMAT_INFO_SCALE_HEIGHT(info.finfo, p, height);
      }
      info.size = offset;
    }
    buffer.reset(gst_buffer_new_allocate(nullptr, info.size, nullptr));
    gst_buffer_memset(buffer.get(), 0, fill, info.size);
    ok = gst_video_frame_map(&frame, &info, buffer.get(), GST_MAP_READWRITE);
  }
  ~MappedFrame() {
    if (ok) gst_video_frame_unmap(&frame);
  }
  uint8_t *plane(int i) { return static_cast<uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, i)); }
  int stride(int i) { return GST_VIDEO_FRAME_PLANE_STRIDE(&frame, i); }
};

cv::Mat test_picture(int width, int height) {
  cv::Mat img(height, width, CV_8UC3);
  for (int r = 0; r < height; ++r)
    for (int c = 0; c < width; ++c)
      img.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<uint8_t>(c), static_cast<uint8_t>(r * 3),
                                          static_cast<uint8_t>(c + r));
  return img;
}

TEST(PackFrame, BGRRowsWithAWideStrideArePackedTightly) {
  /* 642 x 3 bytes = 1926, GStreamer pads rows to 1928. */
  MappedFrame f(GST_VIDEO_FORMAT_BGR, 642, 5);
  ASSERT_TRUE(f.ok);
  ASSERT_EQ(f.stride(0), 1928);
  const cv::Mat pic = test_picture(642, 5);
  for (int r = 0; r < 5; ++r) std::memcpy(f.plane(0) + r * 1928, pic.ptr(r), 1926);
  std::vector<uint8_t> dst(642 * 5 * 3, 0);
  ASSERT_EQ(ovedge::pack_frame_bgr(&f.frame, dst), ovedge::PackResult::Packed);
  EXPECT_EQ(0, std::memcmp(dst.data(), pic.data, dst.size()));
}

TEST(PackFrame, PlanarFramesBecomeBGRAndOtherFormatsAreLeftAlone) {
  MappedFrame f(GST_VIDEO_FORMAT_I420, 4, 2);
  ASSERT_TRUE(f.ok);
  std::vector<uint8_t> dst(4 * 2 * 3, 1);
  ASSERT_EQ(ovedge::pack_frame_bgr(&f.frame, dst), ovedge::PackResult::Packed);
  cv::Mat expected;
  cv::Mat yuv(3, 4, CV_8UC1, cv::Scalar(0xEE));
  cv::cvtColor(yuv, expected, cv::COLOR_YUV2BGR_I420);
  EXPECT_EQ(0, std::memcmp(dst.data(), expected.data, dst.size()));

  MappedFrame rgba(GST_VIDEO_FORMAT_RGBA, 4, 2);
  std::vector<uint8_t> untouched(4 * 2 * 3, 7);
  EXPECT_EQ(ovedge::pack_frame_bgr(&rgba.frame, untouched), ovedge::PackResult::UnsupportedFormat);
  EXPECT_EQ(untouched, std::vector<uint8_t>(24, 7));

  std::vector<uint8_t> small(10);
  EXPECT_THROW(ovedge::pack_frame_bgr(&f.frame, small), std::out_of_range);
  MappedFrame bgr(GST_VIDEO_FORMAT_BGR, 4, 2);
  EXPECT_THROW(ovedge::pack_frame_bgr(&bgr.frame, small), std::out_of_range);
}

TEST(WriteImage, ALargerImageIsResizedAndKeptInsideTheNegotiatedPlanes) {
  EXPECT_EQ(ovedge::resize_target(642, 480), cv::Size(644, 480));
  EXPECT_EQ(ovedge::resize_target(640, 481), cv::Size(640, 482));
  const cv::Mat big = test_picture(1280, 720);
  for (GstVideoFormat format : {GST_VIDEO_FORMAT_BGR, GST_VIDEO_FORMAT_I420, GST_VIDEO_FORMAT_NV12}) {
    SCOPED_TRACE(gst_video_format_to_string(format));
    /* Odd sizes and padded rows: the rounded target is larger than the frame. */
    MappedFrame f(format, 642, 481, 4);
    ASSERT_TRUE(f.ok);
    ASSERT_TRUE(ovedge::write_image_to_frame(big, &f.frame));
    /* Row padding beyond each plane's own samples keeps its marker. */
    const int w0 = format == GST_VIDEO_FORMAT_BGR ? 642 * 3 : 642;
    for (int r = 0; r < 481; ++r)
      for (int c = w0; c < f.stride(0); ++c) ASSERT_EQ(f.plane(0)[r * f.stride(0) + c], 0xEE);
    if (format != GST_VIDEO_FORMAT_BGR) {
      const int cw = format == GST_VIDEO_FORMAT_NV12 ? 642 : 321;
      for (int r = 0; r < 241; ++r)
        for (int c = cw; c < f.stride(1); ++c) ASSERT_EQ(f.plane(1)[r * f.stride(1) + c], 0xEE);
    }
  }
}

TEST(WriteImage, SameSizeImagesArriveUnchangedInBGR) {
  const cv::Mat pic = test_picture(642, 3);
  MappedFrame f(GST_VIDEO_FORMAT_BGR, 642, 3);
  ASSERT_TRUE(ovedge::write_image_to_frame(pic, &f.frame));
  for (int r = 0; r < 3; ++r)
    EXPECT_EQ(0, std::memcmp(f.plane(0) + r * f.stride(0), pic.ptr(r), 642 * 3));
  MappedFrame rgba(GST_VIDEO_FORMAT_RGBA, 642, 3);
  EXPECT_FALSE(ovedge::write_image_to_frame(pic, &rgba.frame));
  EXPECT_THROW(ovedge::write_image_to_frame(cv::Mat(), &f.frame), std::invalid_argument);
}

TEST(WriteImage, OddChromaEdgesRepeatTheirNeighbour) {
  cv::Mat flat(3, 3, CV_8UC3, cv::Scalar(30, 60, 200));
  MappedFrame f(GST_VIDEO_FORMAT_I420, 3, 3);
  ASSERT_TRUE(ovedge::write_image_to_frame(flat, &f.frame));
  /* GStreamer gives 3 x 3 I420 2 x 2 chroma samples; all carry the colour. */
  for (int p : {1, 2})
    for (int r = 0; r < 2; ++r)
      for (int c = 0; c < 2; ++c) EXPECT_EQ(f.plane(p)[r * f.stride(p) + c], f.plane(p)[0]);
  EXPECT_NE(f.plane(1)[0], 0xEE);
}

TEST(EncodedBytes, NeverMoreThanTheBufferOrTheImageHolds) {
  cv::Mat image(4, 4, CV_8UC3);
  for (int i = 0; i < 48; ++i) image.data[i] = static_cast<uint8_t>(i);
  ov::BufferPtr small(gst_buffer_new_allocate(nullptr, 10, nullptr));
  EXPECT_EQ(ovedge::copy_encoded_bytes(image, 1000000, small.get()), 10u);
  EXPECT_EQ(gst_buffer_get_size(small.get()), 10u);
  ov::BufferPtr large(gst_buffer_new_allocate(nullptr, 100, nullptr));
  EXPECT_EQ(ovedge::copy_encoded_bytes(image, 1000000, large.get()), 48u);
  ov::BufferPtr exact(gst_buffer_new_allocate(nullptr, 100, nullptr));
  EXPECT_EQ(ovedge::copy_encoded_bytes(image, 20, exact.get()), 20u);
  ov::BufferMap map(exact.get(), GST_MAP_READ);
  ASSERT_EQ(map.size(), 20u);
  EXPECT_EQ(0, std::memcmp(map.data(), image.data, 20));
}

TEST(SourceRecords, ReceivedRecordsBecomeTheBatchRecord) {
  VXCORE::FrameInfo frame;
  frame.stream_id = "cam";
  frame.frame_id = 12;
  frame.width = 64;
  frame.height = 48;
  frame.channels = 3;
  frame.compression = "com.vision.models.COMPRESSION_KIND_NONE";
  VXCORE::Information<VXCORE::ClassificationData> cls;
  VXCORE::ClassificationData c;
  c.index = 4;
  c.label = "dog";
  c.probability = 0.7f;
  cls.data.push_back(c);
  VXCORE::Information<VXCORE::DetectionBoxData> det;
  VXCORE::DetectionBoxData box;
  box.obj_id = 3;
  box.class_label = "car";
  box.x2 = 0.5f;
  det.data.push_back(box);
  VXCORE::SegmentInfo seg;
  seg.data = {run(1, 2, 2, 1)};
  const VideoFrameData f = ovedge::frame_data_from(frame, cls, det, seg);
  EXPECT_EQ(f.frame_id, 12u);
  EXPECT_EQ(f.depth, 8u);
  EXPECT_EQ(f.device_idx, 0u);
  EXPECT_FALSE(f.is_compress);
  ASSERT_EQ(f.class_results.size(), 1u);
  EXPECT_EQ(f.class_results[0].label, "dog");
  ASSERT_EQ(f.box_results.size(), 1u);
  EXPECT_EQ(f.box_results[0].class_label, "car");
  EXPECT_FLOAT_EQ(f.box_results[0].x2, 0.5f);
  EXPECT_EQ(ids_of(f.seg_results), (std::vector<std::vector<int>>{{1, 1}}));
  frame.compression = "com.vision.models.COMPRESSION_KIND_JPG";
  EXPECT_TRUE(ovedge::frame_data_from(frame, cls, det, seg).is_compress);

  VXCORE::DeviceInfo d;
  d.serial = "S1";
  d.port = 8554;
  const DeviceInfoData dev = ovedge::device_data_from(d);
  EXPECT_EQ(dev.serial, "S1");
  EXPECT_EQ(dev.port, 8554u);

  OvBatch batch;
  batch.frames.push_back(f);
  batch.devices.push_back(dev);
  const std::string text = ovedge::batch_meta_string(batch);
  EXPECT_NE(text.find("### DeviceInfoData ###\nstream_id = \n"), std::string::npos);
  EXPECT_NE(text.find("frame_id = 12\n"), std::string::npos);
  EXPECT_NE(text.find("   (class_id, class_label) = (0, car)\n"), std::string::npos);
}

/* ---- which frames of a buffer go out, and where their pictures are */

OvBatch batch_of(std::vector<std::pair<int, int>> sizes, std::vector<std::string> streams,
                 std::vector<std::string> devices) {
  OvBatch b;
  for (const std::string &d : devices) {
    DeviceInfoData dev;
    dev.stream_id = d;
    b.devices.push_back(dev);
  }
  for (size_t k = 0; k < sizes.size(); ++k) {
    VideoFrameData f;
    f.width = sizes[k].first;
    f.height = sizes[k].second;
    f.stream_id = streams[k];
    f.device_idx = static_cast<uint32_t>(k);
    b.frames.push_back(f);
  }
  return b;
}

TEST(FramePlan, OneFrameOrNoneIsTheWholePicture) {
  ovedge::FramePlan none = ovedge::plan_frames(nullptr, 64, 48, true);
  ASSERT_EQ(none.slots.size(), 1u);
  EXPECT_TRUE(none.slots[0].whole);
  EXPECT_EQ(none.slots[0].frame, nullptr);
  EXPECT_EQ(none.slots[0].stream_id, "b5d84236-a23d-49fc-a574-e0cd944490bb");
  // A stream scaled after it was tagged: its record says 640x480, the
  // picture is 64x48; it is still the one picture.
  OvBatch one = batch_of({{640, 480}}, {" "}, {"camera-0"});
  ovedge::FramePlan p = ovedge::plan_frames(&one, 64, 48, false);
  ASSERT_EQ(p.slots.size(), 1u);
  EXPECT_TRUE(p.slots[0].whole);
  EXPECT_EQ(p.slots[0].stream_id, " ") << "published as tagged";
  EXPECT_EQ(p.slots[0].device, &one.devices[0]);
  EXPECT_TRUE(p.error.empty());
  EXPECT_EQ(ovedge::plan_frames(&one, 64, 48, true).slots[0].stream_id, "camera-0")
      << "every camera named: a blank stream id takes its device's";
}

TEST(FramePlan, ABatchGoesOutFrameByFrameAtItsRowsUnderDistinctStreams) {
  OvBatch b = batch_of({{320, 240}, {256, 192}, {320, 240}}, {" ", "", "cam"}, {"", "", "cam"});
  ovedge::FramePlan all = ovedge::plan_frames(&b, 320, 672, true);
  ASSERT_EQ(all.slots.size(), 3u);
  EXPECT_EQ(all.left_out, 0u);
  const int ys[3] = {0, 240, 432}, ws[3] = {320, 256, 320};
  for (int k = 0; k < 3; ++k) {
    EXPECT_FALSE(all.slots[k].whole);
    EXPECT_EQ(all.slots[k].y, ys[k]);
    EXPECT_EQ(all.slots[k].width, ws[k]);
    EXPECT_EQ(all.slots[k].frame, &b.frames[k]);
  }
  EXPECT_EQ(all.slots[0].stream_id, "stream-0");
  EXPECT_EQ(all.slots[1].stream_id, "stream-1");
  EXPECT_EQ(all.slots[2].stream_id, "cam");

  ovedge::FramePlan first = ovedge::plan_frames(&b, 320, 672, false);
  ASSERT_EQ(first.slots.size(), 1u);
  EXPECT_EQ(first.slots[0].height, 240) << "frame 0's own rows, not the batch image";
  EXPECT_FALSE(first.slots[0].whole);
  EXPECT_EQ(first.left_out, 2u);
  EXPECT_EQ(first.slots[0].stream_id, " ") << "published as tagged";
}

TEST(FramePlan, RepeatedStreamIdsAreMadeDistinctAndEmptyFramesSkipped) {
  OvBatch b = batch_of({{8, 4}, {8, 0}, {8, 4}}, {"cam", "x", "cam"}, {"", "", ""});
  ovedge::FramePlan p = ovedge::plan_frames(&b, 8, 8, true);
  ASSERT_EQ(p.slots.size(), 2u);
  EXPECT_EQ(p.slots[0].stream_id, "cam");
  EXPECT_EQ(p.slots[1].stream_id, "cam#2");
  EXPECT_EQ(p.slots[1].y, 4);
  EXPECT_EQ(p.left_out, 1u) << "a frame without pixels";
}

TEST(FramePlan, RecordsOutsideThePictureAreRefusedNamingTheFrame) {
  OvBatch wide = batch_of({{320, 240}, {400, 100}}, {"a", "b"}, {"", ""});
  ovedge::FramePlan p = ovedge::plan_frames(&wide, 320, 340, true);
  EXPECT_TRUE(p.slots.empty());
  EXPECT_NE(p.error.find("frame 1"), std::string::npos) << p.error;
  OvBatch tall = batch_of({{320, 240}, {320, 240}}, {"a", "b"}, {"", ""});
  p = ovedge::plan_frames(&tall, 320, 400, false);  // scaled after batching
  EXPECT_TRUE(p.slots.empty());
  EXPECT_NE(p.error.find("320x400"), std::string::npos) << p.error;
}

TEST(FramePlan, CutRowsCopiesTheFramesRectangle) {
  // A 4x3 image, each pixel's bytes (row, column, 7).
  std::vector<uint8_t> image;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) image.insert(image.end(), {uint8_t(r), uint8_t(c), 7});
  std::vector<uint8_t> out(99, 0xff);
  ovedge::cut_bgr_rows(image, 4, 1, 2, 2, out);
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 0, 7, 1, 1, 7, 2, 0, 7, 2, 1, 7}));
}

TEST(FramePlan, FrameIdWatchTellsRepeatsPerStream) {
  ovedge::FrameIdWatch w;
  EXPECT_FALSE(w.repeats("a", 5));
  EXPECT_FALSE(w.repeats("b", 5)) << "another stream";
  EXPECT_FALSE(w.repeats("a", 6));
  EXPECT_TRUE(w.repeats("a", 6));
  EXPECT_TRUE(w.repeats("a", 0)) << "a restart";
}

}  // namespace
