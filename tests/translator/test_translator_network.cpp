// ovrt followed by ovtranslator on the bundled networks: the results the
// frames carry for synthetic pictures whose answer is known.
#include <gtest/gtest.h>

#include <gst/app/gstappsink.h>

#include "gstovmeta.h"
#include "ov_test.h"

namespace {

std::string model(const std::string &file) { return std::string(OV_MODELS_DIR) + "/" + file; }

/* Runs `description` (ending in "appsink name=out") and returns the batch
 * record of the first buffer that reaches the sink. */
OvBatch first_batch(const std::string &description) {
  ov::ElementPtr pipeline = ovtest::parse_pipeline(description);
  if (!pipeline)
    return {};
  ov::ElementPtr sink = ovtest::bin_element(pipeline.get(), "out");
  EXPECT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  ov::SamplePtr sample(gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 60 * GST_SECOND));
  OvBatch batch;
  if (sample) {
    GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(gst_sample_get_buffer(sample.get()));
    EXPECT_NE(meta, nullptr);
    if (meta)
      batch = meta->batch;
  } else {
    ADD_FAILURE() << "no buffer reached the sink";
  }
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return batch;
}

const char *kScale = "scale=0.0039215686 mean=\"0 0 0\"";

TEST(TranslatorNetwork, ColourClassifier) {
  for (const char *colour : {"red", "green", "blue", "white"}) {
    OvBatch b = first_batch(std::string("videotestsrc pattern=") + colour +
                            " num-buffers=1 ! video/x-raw,format=BGR,width=64,height=64 ! "
                            "ovrt model=" + model("colour_classifier.engine") + " batch=1 " +
                            kScale + " ! ovtranslator topology=classifier dims=1,0 label=" +
                            model("colour_classifier.labels") + " ! appsink name=out");
    ASSERT_EQ(b.frames.size(), 1u) << colour;
    ASSERT_EQ(b.frames[0].class_results.size(), 1u) << colour;
    EXPECT_EQ(b.frames[0].class_results[0].label, colour);
  }
}

TEST(TranslatorNetwork, ColourSegmenter) {
  OvBatch b = first_batch(std::string("videotestsrc pattern=blue num-buffers=1 ! "
                                      "video/x-raw,format=BGR,width=128,height=128 ! ovrt model=") +
                          model("colour_segmenter.engine") + " batch=1 " + kScale +
                          " ! ovtranslator topology=segment dims=1,8,16,16 label=" +
                          model("colour_segmenter.labels") + " ! appsink name=out");
  ASSERT_EQ(b.frames.size(), 1u);
  const orvane::ai::SegmentGrid &g = b.frames[0].seg_results;
  ASSERT_EQ(g.size(), 16u);
  for (const auto &row : g) {
    ASSERT_EQ(row.size(), 16u);
    for (const auto &cell : row)
      EXPECT_EQ(cell.label, "blue");
  }
}

TEST(TranslatorNetwork, BallDetectorTensorRtHeads) {
  // A white ball on black, 38 pixels across at the frame's centre: one box
  // around it.
  OvBatch b = first_batch(
      std::string("videotestsrc pattern=ball num-buffers=1 ! "
                  "video/x-raw,format=BGR,width=416,height=416 ! ovrt model=") +
      model("ball_detector.engine") + " batch=1 " + kScale +
      " ! ovtranslator topology=yolov3 engine_type=tensorrt input_width=416 "
      "dims=1,18,13,13,1,18,26,26,1,18,52,52 label=" + model("ball_detector.labels") +
      " ! appsink name=out");
  ASSERT_EQ(b.frames.size(), 1u);
  ASSERT_EQ(b.frames[0].box_results.size(), 1u);
  const orvane::ai::DetectionBoxResult &box = b.frames[0].box_results[0];
  EXPECT_EQ(box.obj_label, "ball");
  EXPECT_NEAR(box.x2 - box.x1, 38.0 / 416.0, 2.0 / 416.0);
  EXPECT_NEAR(box.y2 - box.y1, 38.0 / 416.0, 2.0 / 416.0);
  EXPECT_NEAR((box.x1 + box.x2) / 2, 0.5, 2.0 / 416.0);
  EXPECT_NEAR((box.y1 + box.y2) / 2, 0.5, 2.0 / 416.0);
  EXPECT_GT(box.prob, 0.8f);
}

/* A batch of two streams through ovrt and the translator: each frame of the
 * batch record gets its own stream's answer. */
TEST(TranslatorNetwork, BatchOfTwoStreamsIsTranslatedFrameByFrame) {
  OvBatch b = first_batch(
      std::string("ovvideobatch name=b ! ovrt model=") + model("colour_classifier.engine") +
      " batch=2 " + kScale + " ! ovtranslator topology=classifier dims=2,0 label=" +
      model("colour_classifier.labels") +
      " ! appsink name=out "
      "videotestsrc pattern=green num-buffers=1 ! video/x-raw,format=BGR,width=64,height=64 ! "
      "ovmetawriter ! b. "
      "videotestsrc pattern=blue num-buffers=1 ! video/x-raw,format=BGR,width=64,height=64 ! "
      "ovmetawriter ! b.");
  ASSERT_EQ(b.frames.size(), 2u);
  const char *expected[] = {"green", "blue"};
  for (size_t j = 0; j < 2; ++j) {
    ASSERT_EQ(b.frames[j].class_results.size(), 1u) << j;
    EXPECT_EQ(b.frames[j].class_results[0].label, expected[j]) << j;
    EXPECT_EQ(b.frames[j].device_idx, j) << "each frame names its own stream's device";
  }
}

}  // namespace
