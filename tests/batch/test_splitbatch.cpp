// ovsplitbatch through GstHarness: slices, records, caps and time stamps.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "batch_rig.h"
#include "gstovmeta.h"
#include "ov_test.h"

namespace {

using ovtest::BufferPtr;

constexpr int kW = 640, kH = 480;
constexpr gsize kFrameBytes = gsize(kW) * kH * 3;

/* A batch of `frames` BGR frames of kW × kH, frame k filled with 10 + k, with
 * one record per frame and `devices` device records. */
BufferPtr batch_buffer(int frames, int devices, GstClockTime pts = 0) {
  BufferPtr buf = ovtest::make_buffer(kFrameBytes * frames);
  for (int k = 0; k < frames; ++k)
    gst_buffer_memset(buf.get(), kFrameBytes * k, uint8_t(10 + k), kFrameBytes);
  GstOvBatchMeta *m = reinterpret_cast<GstOvBatchMeta *>(
      gst_buffer_add_meta(buf.get(), gst_ov_batch_meta_get_info(), nullptr));
  for (int k = 0; k < frames; ++k) {
    VideoFrameData f;
    f.stream_id = "stream-" + std::to_string(k);
    f.width = kW;
    f.height = kH;
    f.is_compress = true;
    f.frame_id = uint32_t(100 + k);
    m->batch.frames.push_back(f);
  }
  for (int d = 0; d < devices; ++d) {
    DeviceInfoData dev;
    dev.stream_id = "dev-" + std::to_string(d);
    m->batch.devices.push_back(dev);
  }
  GST_BUFFER_PTS(buf.get()) = pts;
  GST_BUFFER_DURATION(buf.get()) = 33333333;
  return buf;
}

std::string batch_caps(int frames, int fps = 30) {
  return ovtest::video_caps("BGR", kW, kH * frames, fps, 1);
}

int current_height(GstHarness *h) {
  ovtest::CapsPtr caps(gst_pad_get_current_caps(h->sinkpad));
  if (!caps)
    return -1;
  int height = -1;
  gst_structure_get_int(gst_caps_get_structure(caps.get(), 0), "height", &height);
  return height;
}

uint8_t first_byte(GstBuffer *b) {
  uint8_t v = 0;
  gst_buffer_extract(b, 0, &v, 1);
  return v;
}

TEST(SplitBatch, ShowsEachFrameInTurnWithItsRecords) {
  ovtest::HarnessPtr h = ovtest::make_harness("ovsplitbatch", batch_caps(3));
  std::vector<int> order;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(gst_harness_push(h.get(), batch_buffer(3, 3).release()), GST_FLOW_OK);
    BufferPtr out(gst_harness_pull(h.get()));
    ASSERT_TRUE(out);
    EXPECT_EQ(current_height(h.get()), kH);
    ASSERT_EQ(gst_buffer_get_size(out.get()), kFrameBytes);
    const int k = first_byte(out.get()) - 10;
    order.push_back(k);
    // The whole slice is that frame's bytes.
    ov::BufferMap map(out.get(), GST_MAP_READ);
    EXPECT_EQ(map.data()[kFrameBytes - 1], uint8_t(10 + k));
    GstOvBatchMeta *m = gst_buffer_get_ov_batch_meta(out.get());
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->batch.frames.size(), 1u);
    ASSERT_EQ(m->batch.devices.size(), 1u);
    EXPECT_EQ(m->batch.frames[0].stream_id, "stream-" + std::to_string(k));
    EXPECT_EQ(m->batch.frames[0].frame_id, uint32_t(100 + k));
    EXPECT_FALSE(m->batch.frames[0].is_compress);
    EXPECT_EQ(m->batch.devices[0].stream_id, "dev-" + std::to_string(k));
    EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(out.get(), GST_BUFFER_FLAG_GAP));
  }
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 0, 1}));
}

TEST(SplitBatch, SliceTimesFollowFramesTimesRate) {
  ovtest::HarnessPtr h = ovtest::make_harness("ovsplitbatch", batch_caps(3, 30));
  for (guint64 i = 1; i <= 4; ++i) {
    ASSERT_EQ(gst_harness_push(h.get(), batch_buffer(3, 3, i * GST_SECOND).release()),
              GST_FLOW_OK);
    BufferPtr out(gst_harness_pull(h.get()));
    ASSERT_TRUE(out);
    EXPECT_EQ(GST_BUFFER_DURATION(out.get()), GstClockTime(11111111));
    EXPECT_EQ(GST_BUFFER_PTS(out.get()), i * 11111111);
  }
}

TEST(SplitBatch, FewerFramesRenewCapsAndRestartTheRound) {
  ovtest::HarnessPtr h = ovtest::make_harness("ovsplitbatch", batch_caps(3));
  for (int i = 0; i < 2; ++i) {  // frames 0 and 1; next would be 2
    ASSERT_EQ(gst_harness_push(h.get(), batch_buffer(3, 3).release()), GST_FLOW_OK);
    BufferPtr out(gst_harness_pull(h.get()));
    ASSERT_TRUE(out);
  }
  gst_harness_set_src_caps_str(h.get(), batch_caps(2).c_str());
  ASSERT_EQ(gst_harness_push(h.get(), batch_buffer(2, 2).release()), GST_FLOW_OK);
  BufferPtr out(gst_harness_pull(h.get()));
  ASSERT_TRUE(out);
  EXPECT_EQ(current_height(h.get()), kH);
  EXPECT_EQ(gst_buffer_get_size(out.get()), kFrameBytes);
  EXPECT_EQ(first_byte(out.get()), 10);  // frame 0 again, not nothing
  ASSERT_EQ(gst_harness_push(h.get(), batch_buffer(2, 2).release()), GST_FLOW_OK);
  BufferPtr next(gst_harness_pull(h.get()));
  ASSERT_TRUE(next);
  EXPECT_EQ(first_byte(next.get()), 11);
}

TEST(SplitBatch, RecountRenewsTheSliceHeight) {
  // The same 1440-row image read first as 3 frames, then as 2.
  ovtest::HarnessPtr h = ovtest::make_harness("ovsplitbatch", batch_caps(3));
  ASSERT_EQ(gst_harness_push(h.get(), batch_buffer(3, 3).release()), GST_FLOW_OK);
  BufferPtr a(gst_harness_pull(h.get()));
  ASSERT_TRUE(a);
  EXPECT_EQ(current_height(h.get()), 480);
  BufferPtr two = ovtest::make_buffer(kFrameBytes * 3);
  GstOvBatchMeta *m = reinterpret_cast<GstOvBatchMeta *>(
      gst_buffer_add_meta(two.get(), gst_ov_batch_meta_get_info(), nullptr));
  m->batch.frames.resize(2);
  m->batch.devices.resize(2);
  ASSERT_EQ(gst_harness_push(h.get(), two.release()), GST_FLOW_OK);
  BufferPtr b(gst_harness_pull(h.get()));
  ASSERT_TRUE(b);
  EXPECT_EQ(current_height(h.get()), 720);
  EXPECT_EQ(gst_buffer_get_size(b.get()), kFrameBytes * 3 / 2);
}

TEST(SplitBatch, SingleFrameBatchPassesUnchanged) {
  ovtest::HarnessPtr h = ovtest::make_harness("ovsplitbatch", batch_caps(1));
  BufferPtr in = batch_buffer(1, 1, 5 * GST_SECOND);
  GstBuffer *raw = in.get();
  ASSERT_EQ(gst_harness_push(h.get(), in.release()), GST_FLOW_OK);
  BufferPtr out(gst_harness_pull(h.get()));
  ASSERT_TRUE(out);
  EXPECT_EQ(out.get(), raw);
  EXPECT_EQ(GST_BUFFER_PTS(out.get()), 5 * GST_SECOND);
  EXPECT_EQ(GST_BUFFER_DURATION(out.get()), GstClockTime(33333333));
  EXPECT_FALSE(GST_BUFFER_FLAG_IS_SET(out.get(), GST_BUFFER_FLAG_GAP));
  EXPECT_EQ(current_height(h.get()), kH);
  EXPECT_TRUE(gst_buffer_get_ov_batch_meta(out.get())->batch.frames[0].is_compress);
}

TEST(SplitBatch, FramesBeyondTheDeviceListGetAnEmptyDevice) {
  ovtest::HarnessPtr h = ovtest::make_harness("ovsplitbatch", batch_caps(3));
  std::vector<std::string> devices;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(gst_harness_push(h.get(), batch_buffer(3, 1).release()), GST_FLOW_OK);
    BufferPtr out(gst_harness_pull(h.get()));
    ASSERT_TRUE(out);
    GstOvBatchMeta *m = gst_buffer_get_ov_batch_meta(out.get());
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->batch.devices.size(), 1u);
    devices.push_back(m->batch.devices[0].stream_id);
    EXPECT_EQ(m->batch.frames[0].stream_id, "stream-" + std::to_string(i));
  }
  EXPECT_EQ(devices, (std::vector<std::string>{"dev-0", "", ""}));
}

TEST(SplitBatch, InputWithoutRecordIsAnError) {
  ovtest::HarnessPtr h = ovtest::make_harness("ovsplitbatch", batch_caps(3));
  testing::internal::CaptureStdout();
  GstFlowReturn ret = gst_harness_push(h.get(), ovtest::make_buffer(kFrameBytes * 3).release());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(ret, GST_FLOW_ERROR);
  EXPECT_EQ(out, "\nNo orvane batch metadata");
}

TEST(SplitBatch, InputWithoutBatchRecordEndsThePipelineWithAnErrorNamingIt) {
  testing::internal::CaptureStdout();
  ovtest::PipelineRun run = ovtest::run_pipeline(
      "videotestsrc num-buffers=3 ! video/x-raw,format=BGR,width=8,height=8 ! "
      "ovsplitbatch name=split ! fakesink");
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.error_source, "split");
  EXPECT_EQ(run.error_domain, GST_STREAM_ERROR);
  EXPECT_EQ(run.error_code, GST_STREAM_ERROR_FORMAT);
  EXPECT_NE(run.error_debug.find("a buffer of 192 bytes"), std::string::npos) << run.error_debug;
  EXPECT_NE(run.error_debug.find("no batch metadata"), std::string::npos) << run.error_debug;
}

TEST(SplitBatch, AfterTheBatchElement) {
  // The line at the head of ovsplitbatch.cpp.
  ovtest::PipelineRun run =
      ovtest::run_pipeline(batchtest::two_stream_launch(20, "ovsplitbatch !"));
  EXPECT_TRUE(run.ok) << run.error;
}

}  // namespace
