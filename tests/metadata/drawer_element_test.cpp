// ovmetadrawer on real buffers through a harness: pixels where the record
// says, views that honour padded rows, and the buffer left alone otherwise.
#include <cstring>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "draw_core.h"
#include "gstovmeta.h"
#include "gstovmeta_utils.h"
#include "metadata_test_util.h"
#include "ov_test.h"

namespace {

using ovtest::BufferPtr;
using ovtest::HarnessPtr;
using metatest::box;
using metatest::grid_of;

const cv::Vec3b kBox(147, 20, 255);
const cv::Vec3b kWhite(255, 255, 255);

/* A mapped BGR frame of default GStreamer layout (rows padded to 4 bytes). */
class FrameView {
 public:
  FrameView(GstBuffer *buffer, int width, int height)
      : map_(buffer, GST_MAP_READ),
        mat_(height, width, CV_8UC3, map_.data(), ((width * 3 + 3) / 4) * 4) {}
  cv::Vec3b at(int x, int y) const { return mat_.at<cv::Vec3b>(y, x); }
  const cv::Mat &mat() const { return mat_; }
  const guint8 *bytes() const { return map_.data(); }
  gsize size() const { return map_.size(); }

 private:
  ov::BufferMap map_;
  cv::Mat mat_;
};

VideoFrameData frame_record(int width, int height) {
  VideoFrameData f;
  f.stream_id = " ";
  f.width = width;
  f.height = height;
  f.channels = 3;
  return f;
}

class DrawerTest : public ::testing::Test {
 protected:
  void start(int width, int height, bool overlay = true) {
    width_ = width;
    height_ = height;
    h_ = ovtest::make_harness("ovmetadrawer", ovtest::video_caps("BGR", width, height));
    ASSERT_TRUE(h_);
    g_object_set(h_->element, "overlay", gboolean(overlay), nullptr);
  }
  BufferPtr frame_buffer(const VideoFrameData &frame, uint8_t fill = 0) {
    BufferPtr b = ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, width_, height_, fill);
    GstOvBatchMeta *meta = try_get_ov_batch_meta(b.get());
    EXPECT_NE(meta, nullptr);
    meta->batch.frames.push_back(frame);
    return b;
  }
  BufferPtr push_pull(BufferPtr in) {
    EXPECT_EQ(gst_harness_push(h_.get(), in.release()), GST_FLOW_OK);
    return BufferPtr(gst_harness_pull(h_.get()));
  }
  HarnessPtr h_;
  int width_ = 0;
  int height_ = 0;
};

TEST_F(DrawerTest, BoxEdgesInBoxColourWithoutLabelBackground) {
  start(640, 480);
  VideoFrameData f = frame_record(640, 480);
  f.box_results.push_back(box(0.25f, 0.5f, 0.75f, 1.0f));
  BufferPtr out = push_pull(frame_buffer(f));
  ASSERT_TRUE(out);
  FrameView v(out.get(), 640, 480);
  EXPECT_EQ(v.at(160, 240), kBox);
  EXPECT_EQ(v.at(160, 479), kBox);
  EXPECT_EQ(v.at(479, 240), kBox);  // the right edge at 480 reaches back one column
  EXPECT_EQ(v.at(320, 479), kBox);
  EXPECT_EQ(v.at(320, 360), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(v.at(100, 100), cv::Vec3b(0, 0, 0));
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x)
      ASSERT_NE(v.at(x, y), kWhite) << "text background at " << x << "," << y;
}

TEST_F(DrawerTest, OddWidthFrameDrawnWhereItIs) {
  // 642 BGR pixels are 1926 bytes; GStreamer pads each row to 1928.
  start(642, 480);
  VideoFrameData f = frame_record(642, 480);
  f.box_results.push_back(box(0.25f, 0.5f, 0.75f, 1.0f));
  BufferPtr out = push_pull(frame_buffer(f));
  ASSERT_TRUE(out);
  FrameView v(out.get(), 642, 480);
  ASSERT_EQ(v.size(), 1928u * 480);
  // A view without the padding would shear the edge two bytes per row.
  for (int y = 242; y < 478; ++y)
    ASSERT_EQ(v.at(160, y), kBox) << "left edge, row " << y;
  EXPECT_EQ(v.at(481, 300), kBox);  // 0.75 * 642 = 481.5
  for (int y = 0; y < 480; ++y)
    for (int pad = 1926; pad < 1928; ++pad)
      ASSERT_EQ(v.bytes()[y * 1928 + pad], 0) << "row padding written, row " << y;
}

TEST_F(DrawerTest, BannerShowsOnlyFirstClassification) {
  start(640, 480);
  VideoFrameData f = frame_record(640, 480);
  orvane::ai::ClassificationResult cat, dog;
  cat.label = "cat";
  dog.label = "dog";
  f.class_results = {cat, dog};
  BufferPtr out = push_pull(frame_buffer(f));
  ASSERT_TRUE(out);
  cv::Mat want = cv::Mat::zeros(480, 640, CV_8UC3);
  ovmetadata::drawText(want, 50, 50, "Classification: cat", 2, 2);
  FrameView v(out.get(), 640, 480);
  EXPECT_EQ(cv::norm(v.mat(), want, cv::NORM_INF), 0.0);
  cv::Mat both = cv::Mat::zeros(480, 640, CV_8UC3);
  ovmetadata::drawText(both, 50, 50, "Classification: cat dog", 2, 2);
  EXPECT_NE(cv::norm(v.mat(), both, cv::NORM_INF), 0.0);
}

TEST_F(DrawerTest, SegmentationBlendsFortySixtyAndStaysOnFrame) {
  start(640, 960);
  // Two frames: the grid belongs to the second, so only rows 480..959 change.
  VideoFrameData top = frame_record(640, 480);
  VideoFrameData bottom = frame_record(640, 480);
  bottom.seg_results = grid_of({{0, 12, 0}, {12, 0, 12}});
  BufferPtr in = ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 640, 960, 0);
  {
    ov::BufferMap m(in.get(), GST_MAP_WRITE);
    cv::Mat all(960, 640, CV_8UC3, m.data());
    all.setTo(cv::Scalar(10, 20, 30));
  }
  GstOvBatchMeta *meta = try_get_ov_batch_meta(in.get());
  meta->batch.frames = {top, bottom};
  BufferPtr out = push_pull(std::move(in));
  ASSERT_TRUE(out);
  FrameView v(out.get(), 640, 960);
  auto expect_blend = [&](int x, int y, const cv::Vec3b &cell) {
    cv::Vec3b p = v.at(x, y);
    const cv::Vec3b frame(10, 20, 30);
    for (int c = 0; c < 3; ++c)
      EXPECT_NEAR(p[c], 0.4 * frame[c] + 0.6 * cell[c], 1.0) << x << "," << y << " ch " << c;
  };
  expect_blend(5, 485, cv::Vec3b(128, 64, 128));
  expect_blend(320, 485, cv::Vec3b(0, 0, 255));
  expect_blend(634, 954, cv::Vec3b(0, 0, 255));
  expect_blend(320, 954, cv::Vec3b(128, 64, 128));
  EXPECT_EQ(v.at(5, 5), cv::Vec3b(10, 20, 30));
  EXPECT_EQ(v.at(634, 479), cv::Vec3b(10, 20, 30));
}

TEST_F(DrawerTest, WithoutOverlayGridReplacesFrame) {
  start(640, 480, false);
  VideoFrameData f = frame_record(640, 480);
  f.seg_results = grid_of({{0, 12, 0}, {12, 0, 12}});
  BufferPtr out = push_pull(frame_buffer(f, 77));
  ASSERT_TRUE(out);
  FrameView v(out.get(), 640, 480);
  EXPECT_EQ(v.at(5, 5), cv::Vec3b(128, 64, 128));
  EXPECT_EQ(v.at(634, 474), cv::Vec3b(0, 0, 255));
  EXPECT_NEAR(v.at(320, 5)[2], 255, 1);  // the middle cell, bilinearly enlarged
  EXPECT_NEAR(v.at(320, 5)[0], 0, 1);
}

TEST_F(DrawerTest, NewLabelColourStaysOnNextFrame) {
  start(64, 48, false);
  VideoFrameData f = frame_record(64, 48);
  f.seg_results = grid_of({{25, 24}});
  BufferPtr first = push_pull(frame_buffer(f, 1));
  BufferPtr second = push_pull(frame_buffer(f, 200));
  ASSERT_TRUE(first && second);
  FrameView a(first.get(), 64, 48), b(second.get(), 64, 48);
  EXPECT_EQ(cv::norm(a.mat(), b.mat(), cv::NORM_INF), 0.0);
  EXPECT_NE(a.at(0, 0), a.at(63, 0)) << "labels 24 and 25 got one colour";
  for (const auto &c : ovmetadata::CITYSCAPES_COLORS)
    EXPECT_NE(a.at(0, 0), cv::Vec3b(c.b, c.g, c.r)) << "label 25 must be a new colour";
}

TEST_F(DrawerTest, WithoutRecordBufferPassesUndrawn) {
  start(64, 48);
  ovtest::LogCapture log("ovmetadrawer", GST_LEVEL_INFO);
  BufferPtr in = ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 64, 48, 9);
  BufferPtr out = push_pull(std::move(in));
  ASSERT_TRUE(out);
  FrameView v(out.get(), 64, 48);
  EXPECT_EQ(cv::norm(v.mat(), cv::Mat(48, 64, CV_8UC3, cv::Scalar(9, 9, 9)), cv::NORM_INF), 0.0);
  EXPECT_TRUE(log.has(GST_LEVEL_INFO, "Can not find orvane batch metadata"));
}

TEST_F(DrawerTest, FramesNotFittingImagePassUndrawnAndSayWhyOnce) {
  start(64, 48);
  ov::BusPtr bus(gst_bus_new());
  gst_element_set_bus(h_->element, bus.get());
  ovtest::LogCapture log("ovmetadrawer", GST_LEVEL_ERROR);
  VideoFrameData f = frame_record(70, 48);
  f.box_results.push_back(box(0, 0, 1, 1, "x"));
  BufferPtr out = push_pull(frame_buffer(f, 3));
  ASSERT_TRUE(out);
  FrameView v(out.get(), 64, 48);
  EXPECT_EQ(cv::norm(v.mat(), cv::Mat(48, 64, CV_8UC3, cv::Scalar(3, 3, 3)), cv::NORM_INF), 0.0);
  EXPECT_TRUE(log.has(GST_LEVEL_ERROR, "Parse pad and buffer into cv::Mat failed"));
  EXPECT_TRUE(push_pull(frame_buffer(f, 3)));

  ov::MessagePtr msg(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_WARNING));
  ASSERT_TRUE(msg);
  GError *err = nullptr;
  gchar *dbg = nullptr;
  gst_message_parse_warning(msg.get(), &err, &dbg);
  const std::string debug = dbg ? dbg : "";
  g_clear_error(&err);
  g_free(dbg);
  EXPECT_NE(debug.find("a buffer of 9216 bytes cannot be cut into the 1 frames"),
            std::string::npos) << debug;
  EXPECT_FALSE(ov::MessagePtr(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_WARNING)))
      << "one warning, not one per buffer";
  gst_element_set_bus(h_->element, nullptr);
}

TEST_F(DrawerTest, SharedBufferIsNotDrawnIntoForOthers) {
  start(64, 48);
  VideoFrameData f = frame_record(64, 48);
  f.box_results.push_back(box(0, 0, 0.5f, 0.5f));
  BufferPtr in = frame_buffer(f);
  BufferPtr kept(gst_buffer_ref(in.get()));  // another branch still holds it
  BufferPtr out = push_pull(std::move(in));
  ASSERT_TRUE(out);
  EXPECT_EQ(FrameView(out.get(), 64, 48).at(0, 10), kBox);
  FrameView original(kept.get(), 64, 48);
  EXPECT_EQ(cv::countNonZero(original.mat().reshape(1)), 0);
}

TEST(DrawerThreads, TwoDrawersGrowOneColourTable) {
  // Grid and frame of one size, so each cell is exactly one pixel.
  constexpr int kW = 64, kH = 16, kCells = kW * kH, kRounds = 4;
  auto run = [](bool reversed, std::vector<BufferPtr> &out) {
    HarnessPtr h = ovtest::make_harness("ovmetadrawer", ovtest::video_caps("BGR", kW, kH));
    g_object_set(h->element, "overlay", FALSE, nullptr);
    for (int round = 0; round < kRounds; ++round) {
      VideoFrameData f = frame_record(kW, kH);
      f.seg_results.assign(kH, std::vector<orvane::ai::SegmentResult>(kW));
      for (int i = 0; i < kCells; ++i) {
        const int label = 21 + round * kCells + (reversed ? kCells - 1 - i : i);
        f.seg_results[i / kW][i % kW].label_id = label;
      }
      BufferPtr b = ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, kW, kH);
      try_get_ov_batch_meta(b.get())->batch.frames.push_back(f);
      gst_harness_push(h.get(), b.release());
      out.emplace_back(gst_harness_pull(h.get()));
    }
  };
  std::vector<BufferPtr> forward, backward;
  std::thread a(run, false, std::ref(forward));
  std::thread b(run, true, std::ref(backward));
  a.join();
  b.join();
  ASSERT_EQ(forward.size(), size_t(kRounds));
  ASSERT_EQ(backward.size(), size_t(kRounds));
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(forward[round] && backward[round]);
    FrameView fv(forward[round].get(), kW, kH), bv(backward[round].get(), kW, kH);
    for (int i = 0; i < kCells; ++i) {
      const int j = kCells - 1 - i;  // where the other drawer put the same label
      ASSERT_EQ(fv.at(i % kW, i / kW), bv.at(j % kW, j / kW)) << "round " << round << " cell " << i;
    }
  }
}

TEST(DrawerProperties, DefaultsAndOpacityRange) {
  ovtest::ElementPtr e(gst_element_factory_make("ovmetadrawer", nullptr));
  ASSERT_TRUE(e);
  gst_object_ref_sink(e.get());
  gboolean overlay = FALSE;
  gfloat opacity = 0;
  g_object_get(e.get(), "overlay", &overlay, "opacity", &opacity, nullptr);
  EXPECT_TRUE(overlay);
  EXPECT_FLOAT_EQ(opacity, 0.6f);
  GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(e.get()), "opacity");
  ASSERT_TRUE(pspec && G_IS_PARAM_SPEC_FLOAT(pspec));
  EXPECT_FLOAT_EQ(G_PARAM_SPEC_FLOAT(pspec)->minimum, 0.0f);
  EXPECT_FLOAT_EQ(G_PARAM_SPEC_FLOAT(pspec)->maximum, 1.0f);
  for (float bad : {-0.1f, 1.5f}) {
    GValue v = G_VALUE_INIT;
    g_value_init(&v, G_TYPE_FLOAT);
    g_value_set_float(&v, bad);
    EXPECT_TRUE(g_param_value_validate(pspec, &v)) << bad << " accepted";
    g_value_unset(&v);
  }
  g_object_set(e.get(), "opacity", 0.25f, nullptr);
  g_object_get(e.get(), "opacity", &opacity, nullptr);
  EXPECT_FLOAT_EQ(opacity, 0.25f);
  // Setting it anyway is refused with a GLib warning; the value stays.
  g_object_set(e.get(), "opacity", 1.5f, nullptr);
  g_object_get(e.get(), "opacity", &opacity, nullptr);
  EXPECT_FLOAT_EQ(opacity, 0.25f);
}

}  // namespace
