// The bundled models through the real elements: the ball detector puts one
// fitted box on the ball at every main-job frame size, the main job's path
// passes every frame once without copying it, the colour classifier names
// solid colours, the segmenter's grid over the SMPTE bars matches the bar
// colours.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "gstopencvutils.h"
#include "gstovmeta.h"
#include "gstovmeta_utils.h"
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

/* The ball's bounding box measured on the undrawn frame (its bright pixels),
 * as fractions of the frame; empty when there is no ball. */
cv::Rect2d ball_box(const cv::Mat &frame) {
  int x0 = frame.cols, y0 = frame.rows, x1 = -1, y1 = -1;
  for (int y = 0; y < frame.rows; ++y)
    for (int x = 0; x < frame.cols; ++x) {
      const cv::Vec3b &p = frame.at<cv::Vec3b>(y, x);
      if (p[0] + p[1] + p[2] > 3 * 128) {
        x0 = std::min(x0, x);
        y0 = std::min(y0, y);
        x1 = std::max(x1, x);
        y1 = std::max(y1, y);
      }
    }
  if (x1 < 0)
    return cv::Rect2d();
  return cv::Rect2d(double(x0) / frame.cols, double(y0) / frame.rows,
                    double(x1 + 1 - x0) / frame.cols, double(y1 + 1 - y0) / frame.rows);
}

cv::Rect2d as_rect(const orvane::ai::DetectionBoxResult &b) {
  return cv::Rect2d(b.x1, b.y1, b.x2 - b.x1, b.y2 - b.y1);
}

double iou(const cv::Rect2d &a, const cv::Rect2d &b) {
  const double common = (a & b).area();
  return common > 0 ? common / (a.area() + b.area() - common) : 0.0;
}

/* Per stream of a run: frames, frames whose one box fits the ball (IoU at
 * least 0.7), and frames with more than one box. */
struct Fit {
  int frames = 0, fitted = 0, doubled = 0;
  void add(const cv::Mat &frame, const std::vector<orvane::ai::DetectionBoxResult> &boxes) {
    const cv::Rect2d ball = ball_box(frame);
    ASSERT_GT(ball.area(), 0) << "no ball in frame " << frames;
    ++frames;
    if (boxes.size() > 1)
      ++doubled;
    if (boxes.size() == 1 && iou(as_rect(boxes[0]), ball) >= 0.7) {
      EXPECT_EQ(boxes[0].obj_label, "ball");
      ++fitted;
    }
  }
};

struct FrameSize {
  int width, height;
};
/* The main job's four streams: each is scaled to 416 x 416 unevenly. */
const FrameSize kMainJobSizes[] = {{320, 240}, {384, 288}, {256, 192}, {352, 264}};

/* A stream of the ball at 30 frames/s whose time stamps start `offset_ms`
 * after zero (as a live camera's do, from when it started). */
std::string ball_source(const FrameSize &size, int frames, int offset_ms = 0) {
  return "videotestsrc pattern=ball motion=wavy timestamp-offset=" +
         std::to_string(int64_t(offset_ms) * GST_MSECOND) + " num-buffers=" +
         std::to_string(frames) + " ! video/x-raw,format=BGR,width=" + std::to_string(size.width) +
         ",height=" + std::to_string(size.height) + ",framerate=30/1 ! ovmetawriter";
}

std::string ball_translator(int batch) {
  std::string dims;
  for (int side : {13, 26, 52})
    dims += (dims.empty() ? "" : ",") + std::to_string(batch) + ",18," + std::to_string(side) +
            "," + std::to_string(side);
  return "ovtranslator topology=yolov3 engine_type=tensorrt label=" +
         model("ball_detector.labels") + " dims=" + dims + " input_width=416 input_height=416";
}

class BallDetector : public ::testing::TestWithParam<FrameSize> {};

}  // namespace

TEST_P(BallDetector, OneFittedBoxPerBall) {
  const FrameSize size = GetParam();
  // 200 frames: the ball's whole wave, edges of the frame included.
  const int frames = 200;
  std::vector<ovtest::SamplePtr> samples =
      run(ball_source(size, frames) + " ! " + inference("ball_detector", 1) + " ! " +
          ball_translator(1) + " ! appsink name=sink sync=false");
  ASSERT_EQ(samples.size(), size_t(frames));
  Fit fit;
  for (const ovtest::SamplePtr &s : samples) {
    const VideoFrameData *frame = only_frame(s.get());
    ASSERT_NE(frame, nullptr);
    fit.add(picture(s.get()), frame->box_results);
  }
  EXPECT_EQ(fit.doubled, 0) << "frames with a second box on the ball";
  EXPECT_GE(fit.fitted * 100, fit.frames * 95)
      << "one box with IoU >= 0.7 in " << fit.fitted << " of " << fit.frames << " frames";
}

INSTANTIATE_TEST_SUITE_P(MainJobSizes, BallDetector, ::testing::ValuesIn(kMainJobSizes));

/* The main job's path: four streams batched, inferred, translated and drawn.
 * Their time stamps start off the batch's grid, each at another phase, as
 * live cameras' do.  Every frame that goes in comes out, once, with its ball
 * boxed (measured before drawing), and no element copies a buffer on the
 * way. */
TEST(MainJobPath, EveryFrameOutOnceFittedAndNothingCopied) {
  const int frames = 30;
  std::string description = "ovvideobatch name=batch ! " + inference("ball_detector", 4) + " ! " +
                            ball_translator(4) + " ! identity name=before ! ovmetadrawer " +
                            "! appsink name=sink sync=false";
  for (size_t i = 0; i < 4; ++i)
    description += " " + ball_source(kMainJobSizes[i], frames, 3 + 8 * int(i)) +
                   " ! batch.sink_" + std::to_string(i);

  ovtest::LogCapture copies("GST_PERFORMANCE", GST_LEVEL_LOG);
  ovtest::AppPipeline p(description);
  ASSERT_TRUE(p.ok());
  // Before drawing: measure each frame's ball and its boxes.
  std::vector<Fit> fits(4);
  struct ProbeData {
    std::vector<Fit> *fits;
    GstPad *pad;
  };
  ov::PadPtr before(gst_element_get_static_pad(p.element("before"), "src"));
  ProbeData data{&fits, before.get()};
  gst_pad_add_probe(
      before.get(), GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad *pad, GstPadProbeInfo *info, gpointer user) -> GstPadProbeReturn {
        auto *d = static_cast<ProbeData *>(user);
        GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        std::vector<cv::Mat> mats = batch_image_to_mats(buffer, pad);
        GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(buffer);
        if (!meta || mats.size() != 4 || meta->batch.frames.size() != 4) {
          ADD_FAILURE() << "a batch without its four frames";
          return GST_PAD_PROBE_OK;
        }
        for (size_t i = 0; i < 4; ++i)
          (*d->fits)[i].add(mats[i], meta->batch.frames[i].box_results);
        return GST_PAD_PROBE_OK;
      },
      &data, nullptr);

  ASSERT_TRUE(p.start());
  std::vector<ovtest::SamplePtr> samples = p.pull_all(20000);
  EXPECT_EQ(p.error(), "");
  p.stop();

  EXPECT_EQ(samples.size(), size_t(frames)) << "batches out for " << frames << " per stream in";
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE("stream " + std::to_string(i));
    EXPECT_EQ(fits[i].frames, frames);
    EXPECT_EQ(fits[i].doubled, 0);
    EXPECT_GE(fits[i].fitted * 100, fits[i].frames * 95) << fits[i].fitted << " fitted";
  }
  std::vector<std::string> copied;
  for (const std::string &m : copies.messages())
    if (m.find("memcpy") != std::string::npos ||
        (m.find("copy") != std::string::npos && m.find("GstBuffer") != std::string::npos))
      copied.push_back(m);
  EXPECT_EQ(copied, std::vector<std::string>()) << "buffers or memory copied on the way";
}

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
