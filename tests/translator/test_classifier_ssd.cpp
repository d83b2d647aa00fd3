// Classification arg-max and SSD record selection.
#include <array>

#include <gtest/gtest.h>

#include "translators.h"

using namespace orvane::ai;

namespace {

const std::vector<std::string> kAbc = {"a", "b", "c"};
const std::vector<std::string> kNoLabels;

struct ClassCase {
  std::vector<float> scores;
  std::vector<std::string> labels;
  std::string label;
  float prob;
};

TEST(Classifier, ArgMaxMargins) {
  const ClassCase cases[] = {
      {{0.1f, 0.7f, 0.2f}, kAbc, "b", 0.7f},
      {{-3.0f, -1.0f}, kAbc, "a", 0.0f},       // negative scores never win
      {{-3.0f, -1.0f}, kNoLabels, "0", 0.0f},
      {{0.5f, 0.5f + 5e-9f}, kAbc, "a", 0.5f}, // not 1e-8 higher
      {{0.5f, 0.50001f}, kAbc, "b", 0.50001f},
  };
  for (const ClassCase &c : cases) {
    Result r;
    std::vector<int> dims = {1, int(c.scores.size())};
    ASSERT_TRUE(ClassifierTopology(c.scores.data(), dims, c.labels, {}, r));
    ASSERT_EQ(r.type, RESULT_CLASSIFICATION);
    ASSERT_EQ(r.classification.size(), 1u);
    EXPECT_EQ(r.classification[0].label, c.label);
    EXPECT_EQ(r.classification[0].prob, c.prob);
    EXPECT_EQ(r.classification[0].index, 0u);
    EXPECT_TRUE(r.classification[0].output.empty());
  }
}

TEST(Classifier, BatchStrideAndDecimalLabel) {
  std::vector<float> t = {0.9f, 0.1f, 0.0f, 0.0f, 0.2f, 0.8f};
  Result r;
  ASSERT_TRUE(ClassifierTopology(t.data(), {2, 3}, kNoLabels, {}, r));
  ASSERT_EQ(r.classification.size(), 2u);
  EXPECT_EQ(r.classification[0].label, "0");
  EXPECT_EQ(r.classification[1].label, "2");
  EXPECT_FLOAT_EQ(r.classification[1].prob, 0.8f);

  std::vector<float> thirteen(13, 0.0f);
  thirteen[12] = 1.0f;
  Result r2;
  ASSERT_TRUE(ClassifierTopology(thirteen.data(), {1, 13}, kNoLabels, {}, r2));
  EXPECT_EQ(r2.classification[0].label, "12");
}

TEST(Classifier, ClsNumKeyAndMissingDims) {
  std::vector<float> t = {0.1f, 0.9f, 0.3f, 0.4f};
  TranslateInfo info;
  info["cls_num"] = TranslateElem(int32_t(2));
  Result r;
  ASSERT_TRUE(ClassifierTopology(t.data(), {2}, kNoLabels, info, r));
  ASSERT_EQ(r.classification.size(), 2u);
  EXPECT_EQ(r.classification[0].label, "1");
  EXPECT_EQ(r.classification[1].label, "1");

  Result r2;
  EXPECT_FALSE(ClassifierTopology(t.data(), {1}, kNoLabels, {}, r2));
  EXPECT_FALSE(ClassifierTopology(t.data(), {}, kNoLabels, {}, r2));

  Result r3;
  ASSERT_TRUE(ClassifierTopology(t.data(), {0, 4}, kNoLabels, {}, r3));
  EXPECT_EQ(r3.type, RESULT_CLASSIFICATION);
  EXPECT_TRUE(r3.classification.empty());
}

// image id, class, confidence, x1, y1, x2, y2
using Record = std::array<float, 7>;

std::vector<float> records(std::initializer_list<Record> rs) {
  std::vector<float> t;
  for (const Record &r : rs)
    t.insert(t.end(), r.begin(), r.end());
  return t;
}

const std::vector<std::string> kVoc = {"background", "person", "car"};

TEST(SSD, ThresholdImageIdsAndLabels) {
  std::vector<float> t = records({
      {0, 1, 0.5f, 0.1f, 0.1f, 0.2f, 0.2f},      // exactly the threshold: skipped
      {0, 2, 0.5001f, -0.1f, 0.2f, 1.3f, 0.4f},  // taken, corners unchanged
      {-1, 1, 0.9f, 0, 0, 1, 1},                 // empty marker: skipped
      {1, 1, 0.9f, 0.3f, 0.3f, 0.4f, 0.4f},      // after the marker: still read
      {3, 1, 0.9f, 0, 0, 1, 1},                  // image 3 of a batch of 2: dropped
  });
  t.resize(t.size() * 2, 0.0f);  // block 1: nothing above the threshold
  Result r;
  ASSERT_TRUE(SSDTopology(t.data(), {2, 1, 5, 7}, kVoc, {}, r));
  ASSERT_EQ(r.type, RESULT_DETECTION_BOX);
  ASSERT_EQ(r.detection_box.size(), 2u);
  ASSERT_EQ(r.detection_box[0].size(), 1u);
  const DetectionBoxResult &b = r.detection_box[0][0];
  EXPECT_EQ(b.obj_label, "car");
  EXPECT_EQ(b.obj_id, 0u);
  EXPECT_FLOAT_EQ(b.prob, 0.5001f);
  EXPECT_FLOAT_EQ(b.x1, -0.1f);
  EXPECT_FLOAT_EQ(b.y1, 0.2f);
  EXPECT_FLOAT_EQ(b.x2, 1.3f);
  EXPECT_FLOAT_EQ(b.y2, 0.4f);
  EXPECT_EQ(b.class_id, 0u);
  EXPECT_TRUE(b.class_label.empty());
  EXPECT_TRUE(b.meta.empty());
  ASSERT_EQ(r.detection_box[1].size(), 1u);
  EXPECT_EQ(r.detection_box[1][0].obj_label, "person");
  EXPECT_EQ(r.detection_box[1][0].obj_id, 1u);
}

TEST(SSD, BlockRoutesByImageIdAndRunningNumber) {
  // Two blocks of 3 records.  Block 0 reports both images.
  std::vector<float> t = records({
      {0, 1, 0.9f, 0, 0, 0.5f, 0.5f},
      {1, 2, 0.8f, 0.5f, 0.5f, 1, 1},
      {-1, 0, 0, 0, 0, 0, 0},
      {1, 1, 0.7f, 0.1f, 0.1f, 0.2f, 0.2f},
      {-1, 0, 0, 0, 0, 0, 0},
      {-1, 0, 0, 0, 0, 0, 0},
  });
  Result r;
  ASSERT_TRUE(SSDTopology(t.data(), {2, 1, 3, 7}, kNoLabels, {}, r));
  ASSERT_EQ(r.detection_box.size(), 2u);
  ASSERT_EQ(r.detection_box[0].size(), 1u);
  ASSERT_EQ(r.detection_box[1].size(), 2u);
  EXPECT_EQ(r.detection_box[1][0].obj_label, "2");
  EXPECT_EQ(r.detection_box[1][0].obj_id, 1u);  // second box of block 0
  EXPECT_EQ(r.detection_box[1][1].obj_id, 0u);  // first box of block 1
}

TEST(SSD, ThresholdKeyAndDimsCount) {
  std::vector<float> t = records({{0, 1, 0.3f, 0, 0, 1, 1}});
  TranslateInfo info;
  info["threshold"] = TranslateElem(0.25f);
  Result r;
  ASSERT_TRUE(SSDTopology(t.data(), {1, 1, 1, 7}, kNoLabels, info, r));
  EXPECT_EQ(r.detection_box[0].size(), 1u);

  Result r2;
  EXPECT_FALSE(SSDTopology(t.data(), {1, 1, 1}, kNoLabels, {}, r2));
  EXPECT_FALSE(SSDTopology(t.data(), {1, 1, 1, 7, 1}, kNoLabels, {}, r2));

  Result r3;
  ASSERT_TRUE(SSDTopology(t.data(), {0, 1, 1, 7}, kNoLabels, {}, r3));
  EXPECT_EQ(r3.type, RESULT_DETECTION_BOX);
  EXPECT_TRUE(r3.detection_box.empty());
}

}  // namespace
