// Segment (class map or score planes) and SegmentFCN (arg-max + sampling).
#include <gtest/gtest.h>

#include "translators.h"

using namespace orvane::ai;

namespace {

const std::vector<std::string> kNoLabels;

std::vector<std::vector<int>> classes_of(const SegmentGrid &g) {
  std::vector<std::vector<int>> out;
  for (const auto &row : g) {
    out.emplace_back();
    for (const SegmentResult &c : row)
      out.back().push_back(c.label_id);
  }
  return out;
}

struct SegCase {
  const char *name;
  bool fcn;
  std::vector<int> dims;
  std::vector<float> tensor;
  std::vector<std::vector<std::vector<int>>> grids;  // per frame
};

void PrintTo(const SegCase &c, std::ostream *os) { *os << c.name; }

class SegTable : public testing::TestWithParam<SegCase> {};

TEST_P(SegTable, Classes) {
  const SegCase &c = GetParam();
  Result r;
  ASSERT_TRUE((c.fcn ? SegmentFCN : Segment)(c.tensor.data(), c.dims, kNoLabels, {}, r));
  ASSERT_EQ(r.type, RESULT_SEGMENTATION);
  ASSERT_EQ(r.segmentation.size(), c.grids.size());
  for (size_t j = 0; j < c.grids.size(); ++j)
    EXPECT_EQ(classes_of(r.segmentation[j]), c.grids[j]) << "frame " << j;
}


// FCN with 16 classes on a 4x4 map where class p wins at position p.
std::vector<float> one_hot_16() {
  std::vector<float> v(16 * 16, 0.0f);
  for (int p = 0; p < 16; ++p)
    v[size_t(p * 16 + p)] = 1.0f;
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SegTable,
    testing::Values(
        SegCase{"ClassMap", false, {1, 2, 2}, {0, 1, 2, 1}, {{{0, 1}, {2, 1}}}},
        SegCase{"ClassMapTruncates", false, {1, 1, 2}, {2.9f, 0.4f}, {{{2, 0}}}},
        SegCase{"NegativeScoresNeverWin", false, {1, 2, 1, 1}, {-0.5f, -0.2f}, {{{0}}}},
        SegCase{"ScoreTieKeepsFirst", false, {1, 3, 1, 1}, {0.1f, 0.3f, 0.3f}, {{{1}}}},
        SegCase{"ClassMapBatchTwo", false, {2, 1, 2}, {1, 2, 3, 4}, {{{1, 2}}, {{3, 4}}}},
        SegCase{"ScorePlanesBatchTwo", false, {2, 2, 1, 2},
                {0.9f, 0.1f, 0.1f, 0.9f, /* frame 1 */ 0.1f, 0.9f, 0.9f, 0.1f},
                {{{0, 1}}, {{1, 0}}}},
        SegCase{"FiveDimsNoGrids", false, {1, 1, 1, 1, 1}, {0}, {}},
        SegCase{"ZeroFrames", false, {0, 2, 2}, {}, {}},
        SegCase{"FcnArgMaxFromFirstScore", true, {1, 1, 1, 1, 2, 1, 1}, {-0.5f, -0.2f}, {{{1}}}},
        SegCase{"FcnTieKeepsLower", true, {1, 1, 1, 1, 2, 1, 1}, {0.3f, 0.3f}, {{{0}}}},
        SegCase{"FcnSamplesTopLeft", true, {1, 0, 2, 2, 16, 4, 4}, one_hot_16(),
                {{{0, 2}, {8, 10}}}},
        SegCase{"FcnSameSizeIsTheMap", true, {1, 0, 4, 4, 16, 4, 4}, one_hot_16(),
                {{{0, 1, 2, 3}, {4, 5, 6, 7}, {8, 9, 10, 11}, {12, 13, 14, 15}}}},
        SegCase{"FcnUpsamples", true, {1, 0, 2, 4, 2, 1, 2}, {1, 0, 0, 1},
                {{{0, 0, 1, 1}, {0, 0, 1, 1}}}},
        SegCase{"FcnBatchTwo", true, {2, 0, 1, 1, 2, 1, 1}, {0.1f, 0.2f, 0.2f, 0.1f},
                {{{1}}, {{0}}}},
        SegCase{"FcnZeroFrames", true, {0, 0, 2, 2, 2, 2, 2}, {}, {}}),
    [](const testing::TestParamInfo<SegCase> &i) { return std::string(i.param.name); });

TEST(Segment, LabelsFromListOrDecimal) {
  std::vector<float> map = {3, 1};
  Result r;
  ASSERT_TRUE(Segment(map.data(), {1, 1, 2}, {"bg", "road"}, {}, r));
  EXPECT_EQ(r.segmentation[0][0][0].label, "3");
  EXPECT_EQ(r.segmentation[0][0][1].label, "road");

  std::vector<float> scores(4 * 1 * 1, 0.0f);
  scores[3] = 1.0f;
  Result r2;
  ASSERT_TRUE(SegmentFCN(scores.data(), {1, 0, 1, 1, 4, 1, 1}, kNoLabels, {}, r2));
  EXPECT_EQ(r2.segmentation[0][0][0].label_id, 3);
  EXPECT_EQ(r2.segmentation[0][0][0].label, "3");
}

TEST(SegmentFCN, ClassNumbersWrapToEightBits) {
  const int nc = 301;
  std::vector<float> scores(size_t(nc), 0.0f);
  scores[300] = 1.0f;
  std::vector<std::string> labels(45);
  labels[44] = "class44";
  Result r;
  ASSERT_TRUE(SegmentFCN(scores.data(), {1, 0, 1, 1, nc, 1, 1}, labels, {}, r));
  EXPECT_EQ(r.segmentation[0][0][0].label_id, 44);
  EXPECT_EQ(r.segmentation[0][0][0].label, "class44");
}

TEST(SegmentFCN, NeedsSevenDims) {
  std::vector<float> t(4, 0.0f);
  Result r;
  EXPECT_FALSE(SegmentFCN(t.data(), {1, 0, 1, 1, 1, 1}, kNoLabels, {}, r));
  EXPECT_TRUE(SegmentFCN(t.data(), {1, 0, 1, 1, 1, 1, 1, 99}, kNoLabels, {}, r));
}

}  // namespace
