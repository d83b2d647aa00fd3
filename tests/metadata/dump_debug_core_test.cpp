#include "debug_core.h"
#include "dump_core.h"
#include "metadata_test_util.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;
using metatest::grid_of;
using metatest::is_test_label;

std::string numbered(int id) { return "l" + std::to_string(id); }

Lines seg_lines(const Lines &all) {
  Lines out;
  for (const auto &l : all)
    if (l.rfind("Seg[", 0) == 0)
      out.push_back(l);
  return out;
}

TEST(FormatBatchDump, NoRecordIsOneLine) {
  EXPECT_EQ(ovmetadata::format_batch_dump(nullptr, 10), Lines{"No orvane batch metadata"});
}

TEST(FormatBatchDump, EmptyRecordIsFrameOnly) {
  OvBatch batch;
  EXPECT_EQ(ovmetadata::format_batch_dump(&batch, 10),
            (Lines{"========== Orvane batch metadata ==========",
                   "==========================================="}));
}

TEST(FormatBatchDump, DevicesFramesAndResultsInOrder) {
  OvBatch batch;
  batch.devices.resize(2);
  batch.devices[0].stream_id = "sink_0";
  batch.devices[1].stream_id = "cam";
  VideoFrameData f;
  f.frame_id = 42;
  f.width = 640;
  f.height = 480;
  f.depth = 0;
  f.channels = 3;
  f.device_idx = 1;
  orvane::ai::ClassificationResult c;
  c.index = 3;
  c.label = "cat";
  c.prob = 0.5f;
  f.class_results.push_back(c);
  orvane::ai::DetectionBoxResult b = metatest::box(0.1f, 0.2f, 0.3456f, 1.0f, "ball");
  b.obj_id = 7;
  b.prob = 0.25f;
  f.box_results.push_back(b);
  f.seg_results = grid_of({{0, 5}, {5, 0}}, numbered);
  batch.frames.push_back(f);
  batch.frames.push_back(VideoFrameData());
  EXPECT_EQ(ovmetadata::format_batch_dump(&batch, 10),
            (Lines{
                "========== Orvane batch metadata ==========",
                "Device[0] ID:sink_0",
                "Device[1] ID:cam",
                "Frame[0] Num:42 (640, 480, 0, 3) for Device 1",
                "Class[3] label:cat prop:0.500000",
                "Box[7] (0.100,0.200)-(0.346,1.000) label:ball prob:0.250000",
                "Seg[0] (1,0) label id: 5 label:l5",
                "Seg[1] (1,1) label id: 0 label:l0",
                "Frame[1] Num:0 (0, 0, 0, 0) for Device 0",
                "===========================================",
            }));
}

struct SegCase {
  const char *name;
  std::vector<std::vector<int>> grid;
  unsigned segment_num;
  Lines want;
};

class SegmentDump : public ::testing::TestWithParam<SegCase> {};

TEST_P(SegmentDump, RunLengthCondensedAndLimited) {
  OvBatch batch;
  VideoFrameData f;
  f.seg_results = grid_of(GetParam().grid, numbered);
  batch.frames.push_back(f);
  // The limit and the previous label restart with every frame.
  batch.frames.push_back(f);
  Lines got = seg_lines(ovmetadata::format_batch_dump(&batch, GetParam().segment_num));
  Lines want = GetParam().want;
  want.insert(want.end(), GetParam().want.begin(), GetParam().want.end());
  EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(
    Grids, SegmentDump,
    ::testing::Values(
        SegCase{"all_zero", {{0, 0, 0}, {0, 0, 0}}, 10, {}},
        SegCase{"alternating_limit_3",
                {{1, 2, 1, 2}, {2, 1, 2, 1}},
                3,
                {"Seg[0] (0,0) label id: 1 label:l1", "Seg[1] (1,0) label id: 2 label:l2",
                 "Seg[2] (2,0) label id: 1 label:l1"}},
        SegCase{"runs_across_rows",
                {{3, 3}, {3, 4}},
                10,
                {"Seg[0] (0,0) label id: 3 label:l3", "Seg[1] (1,1) label id: 4 label:l4"}},
        SegCase{"limit_zero", {{1, 2}}, 0, {}},
        SegCase{"ragged_rows",
                {{}, {7}, {7, 8, 8}},
                10,
                {"Seg[0] (0,1) label id: 7 label:l7", "Seg[1] (1,2) label id: 8 label:l8"}}),
    [](const ::testing::TestParamInfo<SegCase> &i) { return std::string(i.param.name); });

TEST(BuildDebugResult, ClassificationFromSettings) {
  ovmetadata::DebugResultSettings s;
  s.type = ovmetadata::DATA_TYPE_CLASS;
  s.id = 65535;
  s.label = "cat";
  s.prob = 0.75f;
  orvane::ai::Result r;
  ASSERT_TRUE(ovmetadata::build_debug_result(s, r));
  ASSERT_EQ(r.type, orvane::ai::RESULT_CLASSIFICATION);
  ASSERT_EQ(r.classification.size(), 1u);
  EXPECT_EQ(r.classification[0].index, 65535u);
  EXPECT_EQ(r.classification[0].label, "cat");
  EXPECT_EQ(r.classification[0].output, "");
  EXPECT_FLOAT_EQ(r.classification[0].prob, 0.75f);
}

TEST(BuildDebugResult, BoxCornersAreOrdered) {
  ovmetadata::DebugResultSettings s;
  s.type = ovmetadata::DATA_TYPE_BOX;
  s.id = 4;
  s.label = "ball";
  s.x1 = 0.8f;
  s.x2 = 0.2f;
  s.y1 = 0.1f;
  s.y2 = 0.9f;
  s.prob = 0.5f;
  orvane::ai::Result r;
  ASSERT_TRUE(ovmetadata::build_debug_result(s, r));
  ASSERT_EQ(r.type, orvane::ai::RESULT_DETECTION_BOX);
  ASSERT_EQ(r.detection_box.size(), 1u);
  ASSERT_EQ(r.detection_box[0].size(), 1u);
  const auto &b = r.detection_box[0][0];
  EXPECT_FLOAT_EQ(b.x1, 0.2f);
  EXPECT_FLOAT_EQ(b.x2, 0.8f);
  EXPECT_FLOAT_EQ(b.y1, 0.1f);
  EXPECT_FLOAT_EQ(b.y2, 0.9f);
  EXPECT_EQ(b.obj_id, 4u);
  EXPECT_EQ(b.obj_label, "ball");
  EXPECT_EQ(b.class_id, 0u);
  EXPECT_EQ(b.class_label, "");
  EXPECT_EQ(b.meta, "");
  EXPECT_FLOAT_EQ(b.prob, 0.5f);
}

TEST(BuildDebugResult, UnknownTypeRefused) {
  ovmetadata::DebugResultSettings s;
  s.type = 2;
  orvane::ai::Result r;
  EXPECT_FALSE(ovmetadata::build_debug_result(s, r));
  EXPECT_EQ(r.type, orvane::ai::RESULT_NONE);
}

TEST(RandomClassLabel, TestAndDecimalUpToThousand) {
  for (int i = 0; i < 50; ++i) {
    std::string label = ovmetadata::make_random_class_label();
    EXPECT_TRUE(is_test_label(label)) << label;
  }
  EXPECT_TRUE(is_test_label("test0"));
  EXPECT_TRUE(is_test_label("test1000"));
  EXPECT_FALSE(is_test_label("test1001"));
  EXPECT_FALSE(is_test_label("test"));
  EXPECT_FALSE(is_test_label("test07"));
}

}  // namespace
