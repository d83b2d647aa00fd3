// The translator's settings against the model: anchors and masks, the
// engine's shapes against dims, what a tensor holds, and the decoder
// settings reaching the YOLO and classifier translators.
#include <gtest/gtest.h>

#include <cmath>

#include "model_fit.h"
#include "ov_tensor_shapes.h"
#include "translators.h"

using namespace orvane::ai;

namespace {

TEST(YoloSettings, AnchorsAndMasksParseOrSayWhatIsWrong) {
  std::vector<float> anchors;
  std::string error;
  ASSERT_TRUE(parse_anchors("10,14,  23,27 37,58", anchors, error));
  EXPECT_EQ(anchors, (std::vector<float>{10, 14, 23, 27, 37, 58}));
  EXPECT_EQ(anchors_text(anchors), "10,14, 23,27, 37,58");
  EXPECT_FALSE(parse_anchors("10,14,23", anchors, error));
  EXPECT_NE(error.find("3 numbers"), std::string::npos) << error;
  EXPECT_FALSE(parse_anchors("10,-4", anchors, error));
  EXPECT_NE(error.find("\"-4\""), std::string::npos) << error;
  EXPECT_FALSE(parse_anchors("10,1e", anchors, error));
  EXPECT_FALSE(parse_anchors(" , ", anchors, error));

  std::vector<std::vector<int>> masks;
  ASSERT_TRUE(parse_masks("3,4,5; 0,1,2", masks, error));
  EXPECT_EQ(masks, (std::vector<std::vector<int>>{{3, 4, 5}, {0, 1, 2}}));
  EXPECT_EQ(masks_text(masks), "3,4,5;0,1,2");
  EXPECT_FALSE(parse_masks("3,x", masks, error));
  EXPECT_FALSE(parse_masks(";", masks, error));

  // a mask index beyond the anchors is refused, naming both
  TranslateInfo info;
  info[kAnchorsKey] = TranslateElem(std::string("10,14, 23,27"));
  info[kMasksKey] = TranslateElem(std::string("0,1;2"));
  YoloHeads heads;
  EXPECT_FALSE(yolo_heads_from_info(info, Engine::TensorRT, heads, error));
  EXPECT_NE(error.find("anchor 2 but anchors holds 2"), std::string::npos) << error;
  // without settings, the engine type's masks over the nine anchors
  ASSERT_TRUE(yolo_heads_from_info({}, Engine::OpenVINO, heads, error));
  EXPECT_EQ(masks_text(heads.masks), "3,4,5;0,1,2;6,7,8");
  EXPECT_EQ(heads.anchors.size(), 18u);
}

TEST(YoloSettings, HeadOrderIsCheckedAgainstGridSizes) {
  YoloHeads heads = default_yolo_heads(Engine::TensorRT);  // large anchors first
  std::string suggestion;
  EXPECT_TRUE(heads_in_order({13 * 13, 26 * 26, 52 * 52}, heads, suggestion));
  EXPECT_FALSE(heads_in_order({52 * 52, 26 * 26, 13 * 13}, heads, suggestion));
  EXPECT_EQ(suggestion, "0,1,2;3,4,5;6,7,8");
  // the OpenVINO masks fit heads in the order 26, 52, 13 only
  heads = default_yolo_heads(Engine::OpenVINO);
  EXPECT_TRUE(heads_in_order({26 * 26, 52 * 52, 13 * 13}, heads, suggestion));
  EXPECT_FALSE(heads_in_order({13 * 13, 26 * 26, 52 * 52}, heads, suggestion));
  EXPECT_EQ(suggestion, "6,7,8;3,4,5;0,1,2");

  std::string error;
  EXPECT_TRUE(yolo_channels_fit({1, 255, 13, 13, 1, 255, 26, 26}, heads, error));
  EXPECT_FALSE(yolo_channels_fit({1, 256, 13, 13}, heads, error));
  EXPECT_NE(error.find("256 channels"), std::string::npos) << error;
  EXPECT_FALSE(yolo_channels_fit(std::vector<int>(16, 3), heads, error));
  EXPECT_NE(error.find("4 heads"), std::string::npos) << error;
}

TEST(EngineShapes, DimsComeFromTheShapesAndMismatchesAreSeen) {
  const std::vector<Shape> classifier{{2, 8, 1, 1}};
  EXPECT_EQ(dims_from_shapes(Topology::Classifier, classifier), (std::vector<int>{2, 8}));
  EXPECT_TRUE(dims_fit_shapes(Topology::Classifier, {2, 8}, classifier));
  EXPECT_FALSE(dims_fit_shapes(Topology::Classifier, {1, 2}, classifier));
  EXPECT_FALSE(dims_fit_shapes(Topology::Classifier, {1, 16}, classifier)) << "batch matters";

  const std::vector<Shape> yolo{{1, 18, 13, 13}, {1, 18, 26, 26}, {1, 18, 52, 52}};
  const std::vector<int> in_order{1, 18, 13, 13, 1, 18, 26, 26, 1, 18, 52, 52};
  EXPECT_EQ(dims_from_shapes(Topology::YoloV3, yolo), in_order);
  EXPECT_TRUE(dims_fit_shapes(Topology::YoloV3, in_order, yolo));
  EXPECT_FALSE(dims_fit_shapes(Topology::YoloV3, {1, 18, 52, 52, 1, 18, 26, 26, 1, 18, 13, 13},
                               yolo))
      << "heads in another order";
  EXPECT_EQ(shapes_text(yolo), "1x18x13x13, 1x18x26x26, 1x18x52x52");

  const std::vector<Shape> segment{{1, 8, 16, 16}};
  EXPECT_TRUE(dims_fit_shapes(Topology::Segment, {1, 8, 16, 16}, segment));
  EXPECT_FALSE(dims_fit_shapes(Topology::Segment, {1, 8, 8, 8}, segment));

  EXPECT_EQ(floats_described(Topology::YoloV3, {2, 18, 13, 13, 2, 18, 26, 26, 2, 18, 52, 52}),
            127764);
  EXPECT_EQ(floats_described(Topology::Classifier, {1, 2}), 2);
  EXPECT_EQ(floats_described(Topology::SSD, {1, 1, 100, 7}), 700);
  EXPECT_EQ(floats_described(Topology::FCN, {1, 2, 3, 4, 5, 6, 7}), -1);
}

TEST(EngineShapes, EventTextRoundTrips) {
  std::vector<std::vector<int64_t>> shapes;
  ASSERT_TRUE(ov::parse_tensor_shapes("2x18x13x13;2x18x26x26", shapes));
  EXPECT_EQ(shapes, (std::vector<std::vector<int64_t>>{{2, 18, 13, 13}, {2, 18, 26, 26}}));
  EXPECT_EQ(ov::tensor_shapes_text(shapes), "2x18x13x13;2x18x26x26");
  EXPECT_FALSE(ov::parse_tensor_shapes("", shapes));
  EXPECT_FALSE(ov::parse_tensor_shapes("2x", shapes));
  EXPECT_FALSE(ov::parse_tensor_shapes("2y3", shapes));
  EXPECT_FALSE(ov::parse_tensor_shapes("2x-3", shapes));
}

TEST(TensorValues, ProbabilitiesAndActivatedHeadsAreTold) {
  const std::vector<float> probs{0.1f, 0.7f, 0.2f, 0.5f, 0.25f, 0.25f};
  EXPECT_TRUE(looks_like_probabilities(classifier_scores(probs.data(), 2, 3)));
  const std::vector<float> logits{-2.0f, 3.5f, 0.3f};
  const ValueRange r = classifier_scores(logits.data(), 1, 3);
  EXPECT_FALSE(looks_like_probabilities(r));
  EXPECT_FLOAT_EQ(r.min, -2.0f);
  EXPECT_FLOAT_EQ(r.max, 3.5f);
  // in [0,1] but independent scores: not a distribution
  const std::vector<float> sigmoid{0.9f, 0.8f, 0.7f};
  EXPECT_FALSE(looks_like_probabilities(classifier_scores(sigmoid.data(), 1, 3)));

  // one 1x1 head of 3 anchors x (5 + 1): objectness and class at 4 and 5
  const YoloHeads heads = default_yolo_heads(Engine::OpenVINO);
  std::vector<float> head(18, 0.5f);
  head[0] = 7.0f;  // x may leave [0,1] (it is an offset), scores may not
  EXPECT_TRUE(looks_activated(yolo_score_range(head.data(), {1, 18, 1, 1}, heads)));
  head[4] = -20.0f;  // a raw objectness logit
  EXPECT_FALSE(looks_activated(yolo_score_range(head.data(), {1, 18, 1, 1}, heads)));
}

/* One 2x2 head of two anchors with one class, raw (TensorRT) values: only
 * anchor `sure` of cell (0,0) is sure; w and h at 0 give the anchor's size. */
std::vector<float> two_anchor_head(int sure) {
  const int plane = 4, entries = 6;
  std::vector<float> v(size_t(2 * entries * plane), -20.0f);
  for (int a = 0; a < 2; ++a)
    for (int e = 0; e < 4; ++e)
      for (int p = 0; p < plane; ++p)
        v[size_t((a * entries + e) * plane + p)] = 0.0f;
  v[size_t((sure * entries + 4) * plane)] = 20.0f;
  v[size_t((sure * entries + 5) * plane)] = 20.0f;
  return v;
}

TEST(YoloSettings, TranslatorUsesTheGivenAnchorsMasksAndThresholds) {
  TranslateInfo info;
  info["iw"] = TranslateElem(int32_t(64));
  info["ih"] = TranslateElem(int32_t(64));
  info[kAnchorsKey] = TranslateElem(std::string("8,16, 32,24, 40,40"));
  info[kMasksKey] = TranslateElem(std::string("2,1"));
  const std::vector<float> v = two_anchor_head(1);  // mask slot 1: anchor 1 (32 x 24)
  Result result;
  ASSERT_TRUE(TensorRT_Yolov3(v.data(), {1, 12, 2, 2}, {}, info, result));
  ASSERT_EQ(result.detection_box.size(), 1u);
  ASSERT_EQ(result.detection_box[0].size(), 1u);
  const DetectionBoxResult &b = result.detection_box[0][0];
  // centre of cell (0,0) at (0.25, 0.25) of the input, 32 x 24 pixels of 64
  EXPECT_NEAR(b.x1, 0.25f - 0.25f, 1e-6);
  EXPECT_NEAR(b.x2 - b.x1, 0.5f - 0.0f, 1e-6) << "32 px wide";
  EXPECT_NEAR(b.y2 - b.y1, 24.0f / 64.0f, 1e-6);

  // a threshold above the box's confidence drops it
  info[kThresholdKey] = TranslateElem(0.9999999f);
  ASSERT_TRUE(TensorRT_Yolov3(v.data(), {1, 12, 2, 2}, {}, info, result));
  EXPECT_TRUE(result.detection_box[0].empty());

  // a head the masks do not cover, or a mask naming no anchor, fails
  info.erase(kThresholdKey);
  info[kMasksKey] = TranslateElem(std::string("0,5"));
  EXPECT_FALSE(TensorRT_Yolov3(v.data(), {1, 12, 2, 2}, {}, info, result));
}

TEST(YoloSettings, OverlapThresholdDecidesWhichBoxesStay) {
  // two sure anchors in one cell, 16 x 16 and 16 x 8 about one centre:
  // an overlap of exactly 0.5
  std::vector<float> v = two_anchor_head(0);
  const std::vector<float> second = two_anchor_head(1);
  for (size_t i = 0; i < v.size(); ++i)
    v[i] = std::max(v[i], second[i]);
  TranslateInfo info;
  info["iw"] = TranslateElem(int32_t(64));
  info["ih"] = TranslateElem(int32_t(64));
  info[kAnchorsKey] = TranslateElem(std::string("16,16, 16,8"));
  info[kMasksKey] = TranslateElem(std::string("0,1"));
  Result result;
  ASSERT_TRUE(TensorRT_Yolov3(v.data(), {1, 12, 2, 2}, {}, info, result));
  EXPECT_EQ(result.detection_box[0].size(), 1u) << "the default 0.5 merges them";
  info[kOverlapKey] = TranslateElem(0.6f);
  ASSERT_TRUE(TensorRT_Yolov3(v.data(), {1, 12, 2, 2}, {}, info, result));
  EXPECT_EQ(result.detection_box[0].size(), 2u) << "0.5 is below an overlap threshold of 0.6";
}

TEST(ClassifierSettings, SoftmaxTurnsLogitsIntoTheRightClassAndProbability) {
  // all logits negative: without a softmax no class ever wins
  const std::vector<float> logits{-3.0f, -1.0f, -2.0f};
  const std::vector<std::string> labels{"a", "b", "c"};
  Result plain, activated;
  ASSERT_TRUE(ClassifierTopology(logits.data(), {1, 3}, labels, {}, plain));
  EXPECT_EQ(plain.classification[0].label, "a");
  EXPECT_EQ(plain.classification[0].prob, 0.0f);

  TranslateInfo info;
  info[kSoftmaxKey] = TranslateElem(int32_t(1));
  ASSERT_TRUE(ClassifierTopology(logits.data(), {1, 3}, labels, info, activated));
  EXPECT_EQ(activated.classification[0].label, "b");
  // e^0 / (e^-2 + e^0 + e^-1)
  EXPECT_NEAR(activated.classification[0].prob, 1.0 / (std::exp(-2.0) + 1.0 + std::exp(-1.0)),
              1e-6);
}

}  // namespace
