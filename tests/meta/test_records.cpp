// The records are value types: deep copies, and a Result whose type picks the
// one vector that exists.
#include <gtest/gtest.h>

#include "ovbatch_records.h"

using namespace orvane::ai;

TEST(Records, DefaultsAreZeroAndEmpty) {
  VideoFrameData f;
  EXPECT_EQ(f.frame_id, 0u);
  EXPECT_EQ(f.timestamp, 0);
  EXPECT_FALSE(f.is_compress);
  EXPECT_TRUE(f.class_results.empty() && f.box_results.empty() && f.seg_results.empty());
  DeviceInfoData d;
  EXPECT_EQ(d.port, 0u);
  EXPECT_TRUE(d.stream_id.empty());
  DetectionBoxResult b;
  EXPECT_EQ(b.x2, 0.0f);
  EXPECT_TRUE(b.meta.empty());
}

TEST(Records, FrameCopyIsDeep) {
  VideoFrameData src;
  src.seg_results.assign(2, std::vector<SegmentResult>(3));
  src.seg_results[1][2].label = "road";
  src.box_results.push_back(DetectionBoxResult{});
  VideoFrameData copy = src;
  copy.seg_results[1][2].label = "sky";
  copy.seg_results[0].push_back(SegmentResult{});
  copy.box_results[0].obj_label = "car";
  ASSERT_EQ(src.seg_results.size(), 2u);
  EXPECT_EQ(src.seg_results[0].size(), 3u);
  EXPECT_EQ(src.seg_results[1][2].label, "road");
  EXPECT_TRUE(src.box_results[0].obj_label.empty());
}

TEST(Records, ResultTypeSelectsTheVector) {
  Result none;
  EXPECT_EQ(none.type, RESULT_NONE);
  EXPECT_EQ(none.entries(), 0u);

  Result boxes(RESULT_DETECTION_BOX);
  boxes.detection_box.resize(2);
  boxes.detection_box[1].resize(3);
  EXPECT_EQ(boxes.entries(), 2u);

  boxes.set_type(RESULT_CLASSIFICATION);
  EXPECT_EQ(boxes.type, RESULT_CLASSIFICATION);
  EXPECT_EQ(boxes.entries(), 0u);
  boxes.classification.push_back(ClassificationResult{});
  EXPECT_EQ(boxes.entries(), 1u);

  Result odd(4);  // no vector for unknown types
  EXPECT_EQ(odd.type, 4);
  EXPECT_EQ(odd.entries(), 0u);
}

TEST(Records, ResultCopyAndMove) {
  Result seg(RESULT_SEGMENTATION);
  seg.segmentation.resize(1);
  seg.segmentation[0].assign(2, std::vector<SegmentResult>(2));
  seg.segmentation[0][1][1].label_id = 7;

  Result copy = seg;
  copy.segmentation[0][1][1].label_id = 9;
  EXPECT_EQ(seg.segmentation[0][1][1].label_id, 7);

  Result other(RESULT_CLASSIFICATION);
  other = seg;  // switches the active member
  EXPECT_EQ(other.type, RESULT_SEGMENTATION);
  EXPECT_EQ(other.segmentation[0][1][1].label_id, 7);

  Result moved = std::move(copy);
  EXPECT_EQ(moved.type, RESULT_SEGMENTATION);
  EXPECT_EQ(moved.segmentation[0][1][1].label_id, 9);
}
