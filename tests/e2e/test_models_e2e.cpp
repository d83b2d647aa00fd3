// The bundled models through the real elements: the ball detector follows the
// ball, the colour classifier names solid colours, the segmenter's grid over
// the SMPTE bars matches the bar colours.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "gstovmeta.h"
#include "gstopencvutils.h"
#include "ov_test.h"

namespace {

const char *kScale = "0.00392156862745098";

std::string model(const std::string &name) { return ovtest::build_path("models/" + name); }

std::string inference(const std::string &net, int batch) {
  return "ovrt model=" + model(net + ".engine") + " batch=" + std::to_string(batch) +
         " scale=" + kScale + " mean=\"0 0 0\"";
}

/* Every sample from a launch line ending in "appsink name=sink". */
std::vector<ovtest::SamplePtr> run(const std::string &description) {
  ovtest::AppPipeline p(description);
  EXPECT_TRUE(p.ok());
  EXPECT_TRUE(p.start());
  std::vector<ovtest::SamplePtr> samples = p.pull_all(20000);
  EXPECT_EQ(p.error(), "");
  return samples;
}

/* The sample's picture as a BGR view (valid while the sample lives). */
cv::Mat picture(GstSample *sample) {
  GstVideoInfo info;
  EXPECT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(sample)));
  cv::Mat m;
  EXPECT_TRUE(gst_buffer_to_cv_mat(gst_sample_get_buffer(sample), GST_VIDEO_INFO_WIDTH(&info),
                                   GST_VIDEO_INFO_HEIGHT(&info), CV_8UC3, m));
  return m;
}

const VideoFrameData *only_frame(GstSample *sample) {
  GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(gst_sample_get_buffer(sample));
  if (!meta || meta->batch.frames.size() != 1)
    return nullptr;
  return &meta->batch.frames[0];
}

struct BallCase {
  int width, height;
};

class BallDetector : public ::testing::TestWithParam<BallCase> {};

}  // namespace

TEST_P(BallDetector, BoxFollowsTheBall) {
  const BallCase c = GetParam();
  const int frames = 60;
  std::vector<ovtest::SamplePtr> samples = run(
      "videotestsrc pattern=ball motion=wavy num-buffers=" + std::to_string(frames) +
      " ! video/x-raw,format=BGR,width=" + std::to_string(c.width) + ",height=" +
      std::to_string(c.height) + " ! ovmetawriter ! " + inference("ball_detector", 1) +
      " ! ovtranslator topology=yolov3 engine_type=tensorrt label=" +
      model("ball_detector.labels") +
      " dims=1,18,13,13,1,18,26,26,1,18,52,52 input_width=416 input_height=416"
      " ! appsink name=sink sync=false");
  ASSERT_EQ(samples.size(), size_t(frames));

  const double cell_w = c.width / 13.0, cell_h = c.height / 13.0;
  int followed = 0;
  for (const ovtest::SamplePtr &s : samples) {
    const VideoFrameData *frame = only_frame(s.get());
    ASSERT_NE(frame, nullptr);
    // The ball's centroid on the undrawn frame: the bright pixels.
    cv::Mat m = picture(s.get());
    double sx = 0, sy = 0, n = 0;
    for (int y = 0; y < m.rows; ++y)
      for (int x = 0; x < m.cols; ++x)
        if (m.at<cv::Vec3b>(y, x)[1] > 128) {
          sx += x;
          sy += y;
          n += 1;
        }
    ASSERT_GT(n, 0) << "no ball in the frame";
    const orvane::ai::DetectionBoxResult *best = nullptr;
    for (const auto &b : frame->box_results)
      if (!best || b.prob > best->prob)
        best = &b;
    if (!best)
      continue;
    EXPECT_EQ(best->obj_label, "ball");
    const double bx = (best->x1 + best->x2) / 2 * c.width, by = (best->y1 + best->y2) / 2 * c.height;
    if (std::fabs(bx - sx / n) <= cell_w && std::fabs(by - sy / n) <= cell_h)
      ++followed;
  }
  EXPECT_GE(followed, frames * 95 / 100) << "box within one cell of the ball in " << followed
                                         << " of " << frames << " frames";
}

INSTANTIATE_TEST_SUITE_P(FrameSizes, BallDetector,
                         ::testing::Values(BallCase{320, 240}, BallCase{384, 288},
                                           BallCase{256, 192}));

TEST(ColourClassifier, NamesSolidColours) {
  const char *patterns[][2] = {
      {"red", "red"}, {"green", "green"}, {"blue", "blue"}, {"white", "white"}, {"black", "black"}};
  for (const auto &p : patterns) {
    SCOPED_TRACE(p[0]);
    std::vector<ovtest::SamplePtr> samples =
        run(std::string("videotestsrc pattern=") + p[0] +
            " num-buffers=2 ! video/x-raw,format=BGR,width=320,height=240 ! ovmetawriter ! " +
            inference("colour_classifier", 1) +
            " ! ovtranslator topology=classifier label=" + model("colour_classifier.labels") +
            " dims=1,8 ! appsink name=sink sync=false");
    ASSERT_EQ(samples.size(), 2u);
    for (const ovtest::SamplePtr &s : samples) {
      const VideoFrameData *frame = only_frame(s.get());
      ASSERT_NE(frame, nullptr);
      ASSERT_EQ(frame->class_results.size(), 1u);
      EXPECT_EQ(frame->class_results[0].label, p[1]);
      EXPECT_GT(frame->class_results[0].prob, 0.0f);
    }
  }
}

TEST(ColourSegmenter, GridMatchesTheBars) {
  // The segmenter's prototypes, in the label file's order (B, G, R in [0,1]).
  const cv::Vec3f prototypes[] = {{0, 0, 0}, {1, 1, 1}, {0, 0, 1}, {0, 1, 0},
                                  {1, 0, 0}, {0, 1, 1}, {1, 1, 0}, {1, 0, 1}};
  std::vector<ovtest::SamplePtr> samples = run(
      "videotestsrc pattern=smpte num-buffers=1 ! video/x-raw,format=BGR,width=640,height=480"
      " ! ovmetawriter ! " + inference("colour_segmenter", 1) +
      " ! ovtranslator topology=segment label=" + model("colour_segmenter.labels") +
      " dims=1,8,16,16 ! appsink name=sink sync=false");
  ASSERT_EQ(samples.size(), 1u);
  const VideoFrameData *frame = only_frame(samples[0].get());
  ASSERT_NE(frame, nullptr);
  ASSERT_EQ(frame->seg_results.size(), 16u);
  cv::Mat m = picture(samples[0].get());

  int matching = 0, cells = 0;
  for (int r = 0; r < 16; ++r) {
    ASSERT_EQ(frame->seg_results[r].size(), 16u);
    for (int c = 0; c < 16; ++c) {
      // The bar colour under the cell's centre, and its nearest prototype.
      cv::Vec3b px = m.at<cv::Vec3b>(int((r + 0.5) * 480 / 16), int((c + 0.5) * 640 / 16));
      cv::Vec3f x(px[0] / 255.f, px[1] / 255.f, px[2] / 255.f);
      int expected = 0;
      for (int k = 1; k < 8; ++k)
        if (cv::norm(x - prototypes[k]) < cv::norm(x - prototypes[expected]))
          expected = k;
      ++cells;
      if (frame->seg_results[r][c].label_id == expected)
        ++matching;
    }
  }
  EXPECT_GE(matching * 10, cells * 9) << matching << " of " << cells << " cells match";
}
