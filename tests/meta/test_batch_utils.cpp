// Batch helpers: frames from pads, cutting the batch image, spreading results.
#include <gtest/gtest.h>

#include "gstovmeta_utils.h"
#include "ov_test.h"

using namespace orvane::ai;

namespace {

GstOvBatchMeta *record_with_frames(GstBuffer *buf, std::initializer_list<std::pair<int, int>> sizes) {
  GstOvBatchMeta *meta = try_get_ov_batch_meta(buf);
  for (auto [w, h] : sizes) {
    VideoFrameData f;
    f.width = w;
    f.height = h;
    meta->batch.frames.push_back(f);
  }
  return meta;
}

struct CutCase {
  const char *name;
  int image_w, image_h;
  std::vector<std::pair<int, int>> frames;
  std::vector<cv::Rect> expected;  // empty: the call gives nothing
};

void PrintTo(const CutCase &c, std::ostream *os) { *os << c.name; }

class BatchCut : public ::testing::TestWithParam<CutCase> {};

}  // namespace

TEST_P(BatchCut, CutsByStackedHeights) {
  const CutCase &c = GetParam();
  ovtest::BufferPtr buf =
      ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, c.image_w, c.image_h);
  GstOvBatchMeta *meta = try_get_ov_batch_meta(buf.get());
  for (auto [w, h] : c.frames) {
    VideoFrameData f;
    f.width = w;
    f.height = h;
    meta->batch.frames.push_back(f);
  }
  ovtest::PadPtr pad =
      ovtest::make_pad_with_caps("src", ovtest::video_caps("BGR", c.image_w, c.image_h));
  std::vector<cv::Mat> mats = batch_image_to_mats(buf.get(), pad.get());
  ASSERT_EQ(mats.size(), c.expected.size());
  ov::BufferMap map(buf.get(), GST_MAP_READ);
  const size_t stride = size_t(c.image_w) * 3;  // these widths need no padding
  for (size_t i = 0; i < mats.size(); ++i) {
    EXPECT_EQ(mats[i].cols, c.expected[i].width) << "frame " << i;
    EXPECT_EQ(mats[i].rows, c.expected[i].height) << "frame " << i;
    EXPECT_EQ(mats[i].data, map.data() + c.expected[i].y * stride) << "frame " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, BatchCut,
    ::testing::Values(
        CutCase{"TwoStacked", 640, 960, {{640, 480}, {640, 480}},
                {{0, 0, 640, 480}, {0, 480, 640, 480}}},
        CutCase{"NarrowSecond", 640, 720, {{640, 480}, {320, 240}},
                {{0, 0, 640, 480}, {0, 480, 320, 240}}},
        CutCase{"TooWide", 640, 960, {{640, 480}, {700, 480}}, {}},
        CutCase{"BelowTheBottom", 640, 1000, {{640, 480}, {640, 480}, {640, 480}}, {}},
        CutCase{"NoFramesGivesWholeImage", 640, 480, {}, {{0, 0, 640, 480}}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(BatchUtils, HostileHeightDoesNotWrapTheCheck) {
  ovtest::BufferPtr buf = ovtest::make_video_buffer(GST_VIDEO_FORMAT_GRAY8, 8, 8);
  record_with_frames(buf.get(), {{8, 4}, {8, int(0xFFFFFFFEu)}});
  ovtest::PadPtr pad = ovtest::make_pad_with_caps("src", ovtest::video_caps("GRAY8", 8, 8));
  EXPECT_TRUE(batch_image_to_mats(buf.get(), pad.get()).empty());
}

TEST(BatchUtils, WithoutRecordTheWholeImage) {
  ovtest::LogCapture log("ovmeta", GST_LEVEL_INFO);
  ovtest::BufferPtr buf = ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 64, 32);
  ovtest::PadPtr pad = ovtest::make_pad_with_caps("src", ovtest::video_caps("BGR", 64, 32));
  std::vector<cv::Mat> mats = batch_image_to_mats(buf.get(), pad.get());
  ASSERT_EQ(mats.size(), 1u);
  EXPECT_EQ(mats[0].size(), cv::Size(64, 32));
  EXPECT_TRUE(log.has(GST_LEVEL_INFO,
                      "Gst buffer do not have orvane batch metadata so directly return Mat"));
  EXPECT_EQ(gst_buffer_get_ov_batch_meta(buf.get()), nullptr);  // never created here
}

TEST(BatchUtils, FramesFromPadCaps) {
  ovtest::BufferPtr buf = ovtest::make_buffer(16);
  GST_BUFFER_OFFSET(buf.get()) = 0x100000007ull;  // only the low 32 bits are kept
  ovtest::PadPtr bgr = ovtest::make_pad_with_caps("cam_bgr", ovtest::video_caps("BGR", 640, 480));
  ovtest::PadPtr g16 =
      ovtest::make_pad_with_caps("cam_g16", ovtest::video_caps("GRAY16_LE", 32, 16));

  GstOvBatchMeta *meta = attach_gst_pads(buf.get(), bgr.get());
  ASSERT_NE(meta, nullptr);
  DeviceInfoData dev;
  dev.stream_id = "rtsp-1";
  dev.port = 554;
  ASSERT_EQ(attach_gst_pads_with_device_info(buf.get(), dev, {g16.get(), bgr.get()}), meta);

  ASSERT_EQ(meta->batch.devices.size(), 2u);
  EXPECT_EQ(meta->batch.devices[0].stream_id, "cam_bgr");
  EXPECT_EQ(meta->batch.devices[0].port, 0u);
  EXPECT_EQ(meta->batch.devices[1].port, 554u);
  ASSERT_EQ(meta->batch.frames.size(), 3u);
  struct Want {
    unsigned w, h, depth, channels, device;
  } want[] = {{640, 480, 0, 3, 0}, {32, 16, 2, 1, 1}, {640, 480, 0, 3, 1}};
  for (size_t i = 0; i < 3; ++i) {
    const VideoFrameData &f = meta->batch.frames[i];
    EXPECT_EQ(f.stream_id, " ");
    EXPECT_EQ(f.frame_id, 7u);
    EXPECT_EQ(f.width, want[i].w);
    EXPECT_EQ(f.height, want[i].h);
    EXPECT_EQ(f.depth, want[i].depth);
    EXPECT_EQ(f.channels, want[i].channels);
    EXPECT_EQ(f.device_idx, want[i].device);
    EXPECT_EQ(f.timestamp, 0);
  }
}

TEST(BatchUtils, FramesOfBuffersWithoutOffsetAreNumberedPerPad) {
  ovtest::PadPtr left = ovtest::make_pad_with_caps("left", ovtest::video_caps("BGR", 64, 48));
  ovtest::PadPtr right = ovtest::make_pad_with_caps("right", ovtest::video_caps("BGR", 64, 48));
  std::vector<uint32_t> got;
  for (int i = 0; i < 3; ++i) {
    for (GstPad *pad : {left.get(), right.get()}) {
      ovtest::BufferPtr buf = ovtest::make_buffer(16);
      GST_BUFFER_OFFSET(buf.get()) = GST_BUFFER_OFFSET_NONE;
      GstOvBatchMeta *meta = attach_gst_pads(buf.get(), pad);
      ASSERT_NE(meta, nullptr);
      got.push_back(meta->batch.frames.at(0).frame_id);
    }
  }
  EXPECT_EQ(got, (std::vector<uint32_t>{0, 0, 1, 1, 2, 2}));
  // A buffer with an offset keeps it; the pad's count goes on after it.
  ovtest::BufferPtr numbered = ovtest::make_buffer(16);
  GST_BUFFER_OFFSET(numbered.get()) = 40;
  EXPECT_EQ(attach_gst_pads(numbered.get(), left.get())->batch.frames.at(0).frame_id, 40u);
  ovtest::BufferPtr bare = ovtest::make_buffer(16);
  GST_BUFFER_OFFSET(bare.get()) = GST_BUFFER_OFFSET_NONE;
  EXPECT_EQ(attach_gst_pads(bare.get(), left.get())->batch.frames.at(0).frame_id, 3u);
}

TEST(BatchUtils, PadFailuresAreLoggedAndSkipped) {
  ovtest::LogCapture log("ovmeta", GST_LEVEL_WARNING);
  ovtest::BufferPtr buf = ovtest::make_buffer(16);
  ovtest::PadPtr no_caps(gst_pad_new("bare", GST_PAD_SRC));
  gst_object_ref_sink(no_caps.get());
  ovtest::PadPtr i420 = ovtest::make_pad_with_caps("yuv", ovtest::video_caps("I420", 16, 16));
  ovtest::PadPtr gray = ovtest::make_pad_with_caps("gray", ovtest::video_caps("GRAY8", 8, 8));
  GstOvBatchMeta *meta =
      attach_gst_pads_with_device_info(buf.get(), DeviceInfoData{}, {no_caps.get(), i420.get(), gray.get()});
  ASSERT_NE(meta, nullptr);
  EXPECT_TRUE(log.has(GST_LEVEL_ERROR, "Get current caps failed"));
  EXPECT_TRUE(log.has(GST_LEVEL_ERROR, "Attach $d-th pads into frames failed"));
  EXPECT_TRUE(log.has(GST_LEVEL_WARNING,
                      "Parse cv type from caps failed: Unsupported video format I420"));
  ASSERT_EQ(meta->batch.frames.size(), 2u);
  EXPECT_EQ(meta->batch.frames[0].width, 16u);  // I420 frame kept, without a type
  EXPECT_EQ(meta->batch.frames[0].channels, 0u);
  EXPECT_EQ(meta->batch.frames[1].channels, 1u);
}

TEST(BatchUtils, ClassificationGrowsTheRecord) {
  ovtest::BufferPtr buf = ovtest::make_buffer(16);
  GST_BUFFER_OFFSET(buf.get()) = 42;
  record_with_frames(buf.get(), {{10, 10}, {10, 10}});
  ovtest::PadPtr pad = ovtest::make_pad_with_caps("infer_src", ovtest::video_caps("BGR", 320, 240));
  Result r(RESULT_CLASSIFICATION);
  for (int i = 0; i < 4; ++i) {
    ClassificationResult c;
    c.label = "class" + std::to_string(i);
    r.classification.push_back(c);
  }
  ASSERT_TRUE(attach_inference_result(buf.get(), pad.get(), r, {}));
  GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(buf.get());
  ASSERT_EQ(meta->batch.devices.size(), 1u);
  EXPECT_EQ(meta->batch.devices[0].stream_id, "infer_src");
  ASSERT_EQ(meta->batch.frames.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(meta->batch.frames[i].class_results.size(), 1u);
    EXPECT_EQ(meta->batch.frames[i].class_results[0].label, "class" + std::to_string(i));
  }
  EXPECT_EQ(meta->batch.frames[2].frame_id, 42u);
  EXPECT_EQ(meta->batch.frames[2].width, 320u);
  EXPECT_EQ(meta->batch.frames[2].device_idx, 0u);
  EXPECT_EQ(meta->batch.frames[0].width, 10u);

  // Results accumulate per frame.
  ASSERT_TRUE(attach_inference_result(buf.get(), pad.get(), r, {}));
  EXPECT_EQ(meta->batch.frames[3].class_results.size(), 2u);
  EXPECT_EQ(meta->batch.devices.size(), 1u);
}

TEST(BatchUtils, FewerEntriesThanFramesLeaveTheRestAlone) {
  ovtest::BufferPtr buf = ovtest::make_buffer(16);
  GstOvBatchMeta *meta = record_with_frames(buf.get(), {{1, 1}, {1, 1}, {1, 1}, {1, 1}});
  meta->batch.frames[3].box_results.resize(1);
  ovtest::PadPtr pad = ovtest::make_pad_with_caps("p", ovtest::video_caps("BGR", 8, 8));
  Result r(RESULT_DETECTION_BOX);
  r.detection_box.resize(2);
  r.detection_box[0].resize(2);
  r.detection_box[1].resize(1);
  r.detection_box[1][0].obj_label = "ball";
  ASSERT_TRUE(attach_inference_result(buf.get(), pad.get(), r, {}));
  EXPECT_EQ(meta->batch.frames[0].box_results.size(), 2u);
  ASSERT_EQ(meta->batch.frames[1].box_results.size(), 1u);
  EXPECT_EQ(meta->batch.frames[1].box_results[0].obj_label, "ball");
  EXPECT_TRUE(meta->batch.frames[2].box_results.empty());
  EXPECT_EQ(meta->batch.frames[3].box_results.size(), 1u);
  EXPECT_EQ(meta->batch.frames.size(), 4u);
}

TEST(BatchUtils, SegmentationReplaces) {
  ovtest::BufferPtr buf = ovtest::make_buffer(16);
  GstOvBatchMeta *meta = record_with_frames(buf.get(), {{4, 4}});
  ovtest::PadPtr pad = ovtest::make_pad_with_caps("p", ovtest::video_caps("BGR", 4, 4));
  Result r(RESULT_SEGMENTATION);
  r.segmentation.resize(1);
  r.segmentation[0].assign(2, std::vector<SegmentResult>(3));
  ASSERT_TRUE(attach_inference_result(buf.get(), pad.get(), r, {}));
  r.segmentation[0].assign(1, std::vector<SegmentResult>(1));
  r.segmentation[0][0][0].label_id = 5;
  ASSERT_TRUE(attach_inference_result(buf.get(), pad.get(), r, {}));
  ASSERT_EQ(meta->batch.frames[0].seg_results.size(), 1u);
  EXPECT_EQ(meta->batch.frames[0].seg_results[0][0].label_id, 5);
}

TEST(BatchUtils, EmptyResultCreatesOnlyTheRecord) {
  ovtest::BufferPtr buf = ovtest::make_buffer(16);
  ovtest::PadPtr pad = ovtest::make_pad_with_caps("p", ovtest::video_caps("BGR", 4, 4));
  EXPECT_TRUE(attach_inference_result(buf.get(), pad.get(), Result(RESULT_NONE), {}));
  GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(buf.get());
  ASSERT_NE(meta, nullptr);
  EXPECT_TRUE(meta->batch.frames.empty());
  EXPECT_TRUE(meta->batch.devices.empty());
}

TEST(BatchUtils, SharedBufferCannotTakeARecord) {
  ovtest::LogCapture log("ovmeta", GST_LEVEL_ERROR);
  ovtest::BufferPtr buf = ovtest::make_buffer(16);
  ovtest::BufferPtr other(gst_buffer_ref(buf.get()));
  ovtest::PadPtr pad = ovtest::make_pad_with_caps("p", ovtest::video_caps("BGR", 4, 4));
  EXPECT_EQ(try_get_ov_batch_meta(buf.get()), nullptr);
  EXPECT_FALSE(attach_inference_result(buf.get(), pad.get(), Result(RESULT_CLASSIFICATION), {}));
  EXPECT_TRUE(log.has(GST_LEVEL_ERROR, "Can not get orvane batch metadata in GstBuffer"));
  EXPECT_EQ(attach_gst_pads(buf.get(), pad.get()), nullptr);
}
