// Dims that do not fit the tensor, hostile sizes and negative dims: every
// translator refuses before reading or allocating.
#include <gtest/gtest.h>

#include "translators.h"

using namespace orvane::ai;

namespace {

using Fn = bool (*)(const void *, const std::vector<int> &, const std::vector<std::string> &,
                    const TranslateInfo &, Result &);

struct BoundCase {
  const char *name;
  Fn fn;
  std::vector<int> dims;
  int count;   // floats in the tensor as the element reports them
  bool fits;   // expected return value
};

void PrintTo(const BoundCase &c, std::ostream *os) { *os << c.name; }

class TensorBounds : public testing::TestWithParam<BoundCase> {};

TEST_P(TensorBounds, RefusesDimsBeyondTheTensor) {
  const BoundCase &c = GetParam();
  // Only `count` floats exist: ASan catches any read past them.
  std::vector<float> tensor(size_t(c.count), 0.0f);
  TranslateInfo info;
  info["count"] = TranslateElem(int32_t(c.count));
  info["iw"] = TranslateElem(int32_t(416));
  info["ih"] = TranslateElem(int32_t(416));
  Result r;
  EXPECT_EQ(c.fn(tensor.empty() ? nullptr : tensor.data(), c.dims, {}, info, r), c.fits);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TensorBounds,
    testing::Values(
        BoundCase{"ClassifierFits", ClassifierTopology, {1, 1000}, 1000, true},
        BoundCase{"ClassifierFourFrames", ClassifierTopology, {4, 1000}, 1000, false},
        BoundCase{"ClassifierOverflow", ClassifierTopology, {65536, 65536}, 16, false},
        BoundCase{"ClassifierNegative", ClassifierTopology, {-1, 4}, 16, false},
        BoundCase{"ClassifierNegativeClasses", ClassifierTopology, {1, -4}, 16, false},
        BoundCase{"SsdFits", SSDTopology, {2, 1, 100, 7}, 1400, true},
        BoundCase{"SsdBeyond", SSDTopology, {2, 1, 100, 7}, 1399, false},
        // objSize 1: blocks overlap, the last block's 7-float records still
        // have to fit
        BoundCase{"SsdSmallObjSize", SSDTopology, {2, 1, 10, 1}, 79, false},
        BoundCase{"SsdSmallObjSizeFits", SSDTopology, {2, 1, 10, 1}, 80, true},
        BoundCase{"SsdHuge", SSDTopology, {2147483647, 1, 2147483647, 2147483647}, 7, false},
        BoundCase{"SsdNegative", SSDTopology, {1, 1, -100, 7}, 700, false},
        BoundCase{"YoloFits", TensorRT_Yolov3, {1, 18, 2, 2, 1, 18, 1, 1}, 90, true},
        BoundCase{"YoloBeyond", TensorRT_Yolov3, {1, 18, 2, 2, 1, 18, 1, 1}, 89, false},
        BoundCase{"YoloBatchCountsForEveryLayer", OpenVINO_Yolov3, {2, 18, 1, 1, 1, 18, 1, 1},
                  54, false},
        BoundCase{"YoloTooFewChannels", TensorRT_Yolov3, {1, 14, 1, 1}, 14, false},
        BoundCase{"YoloFourLayers", TensorRT_Yolov3,
                  {1, 18, 1, 1, 1, 18, 1, 1, 1, 18, 1, 1, 1, 18, 1, 1}, 72, false},
        BoundCase{"YoloNegative", OpenVINO_Yolov3, {1, 18, -1, -1}, 18, false},
        // no frames, but a layer whose size overflows
        BoundCase{"YoloZeroBatchHugeLayer", TensorRT_Yolov3,
                  {0, 2000000000, 2000000000, 2000000000}, 16, false},
        BoundCase{"SegmentFits", Segment, {2, 3, 4, 4}, 96, true},
        BoundCase{"SegmentBeyond", Segment, {2, 3, 4, 4}, 95, false},
        BoundCase{"SegmentMapBeyond", Segment, {1, 416, 416}, 1000, false},
        BoundCase{"SegmentHugeGrid", Segment, {1, 0, 100000, 100000}, 16, false},
        BoundCase{"SegmentOverflow", Segment, {65536, 65536, 65536}, 16, false},
        BoundCase{"SegmentNegative", Segment, {1, -2, 2}, 16, false},
        BoundCase{"FcnFits", SegmentFCN, {1, 0, 8, 8, 2, 4, 4}, 32, true},
        BoundCase{"FcnBeyond", SegmentFCN, {1, 0, 8, 8, 2, 4, 4}, 31, false},
        BoundCase{"FcnHugeGrid", SegmentFCN, {1, 0, 100000, 100000, 1, 1, 1}, 1, false},
        BoundCase{"FcnNegative", SegmentFCN, {1, 0, -2, 2, 1, 1, 1}, 1, false},
        // frames without floats: each would still get an entry and a frame
        BoundCase{"ClassifierHugeBatchNoClasses", ClassifierTopology, {2147483647, 0}, 16, false},
        BoundCase{"ClassifierBatchUpToCount", ClassifierTopology, {16, 0}, 16, true},
        BoundCase{"SsdHugeBatch", SSDTopology, {100000000, 1, 0, 7}, 16, false},
        BoundCase{"YoloHugeBatch", TensorRT_Yolov3, {100000000, 18, 0, 0}, 16, false},
        BoundCase{"SegmentHugeBatch", Segment, {100000000, 1, 0, 0}, 16, false},
        BoundCase{"FcnHugeBatch", SegmentFCN, {100000000, 0, 0, 0, 1, 0, 0}, 16, false},
        // no score planes: the grid or class map must still be backed by floats
        BoundCase{"SegmentNoPlanesBigGrid", Segment, {1, 0, 2000, 4000}, 16, false},
        BoundCase{"SegmentNoPlanesFits", Segment, {1, 0, 4, 4}, 16, true},
        BoundCase{"FcnNoPlanesBigMap", SegmentFCN, {1, 0, 2, 2, 0, 4000, 4000}, 16, false},
        // no rows: a wide row must not be built either (ASan's allocator
        // limit would report it)
        BoundCase{"SegmentNoRowsWide", Segment, {1, 0, 2000000000}, 16, true},
        BoundCase{"FcnNoRowsWide", SegmentFCN, {1, 0, 0, 2000000000, 1, 1, 1}, 16, true},
        // and many empty rows are bounded like cells
        BoundCase{"SegmentManyEmptyRows", Segment, {1, 0, 2000000000, 0}, 16, false},
        BoundCase{"FcnManyEmptyRows", SegmentFCN, {1, 0, 2000000000, 0, 1, 1, 1}, 16, false}),
    [](const testing::TestParamInfo<BoundCase> &i) { return std::string(i.param.name); });

TEST(TensorBounds, WithoutCountDimsAreTrusted) {
  // A direct caller that does not say the count keeps the old contract.
  std::vector<float> t(8, 0.0f);
  t[5] = 1.0f;
  Result r;
  ASSERT_TRUE(ClassifierTopology(t.data(), {2, 4}, {}, {}, r));
  EXPECT_EQ(r.classification[1].label, "1");
  // Overflow and negative sizes are refused all the same.
  EXPECT_FALSE(ClassifierTopology(t.data(), {65536, 65536, 65536}, {}, {{"cls_num", TranslateElem(int32_t(-1))}}, r));
  EXPECT_FALSE(SegmentFCN(t.data(), {1, 0, 65536, 65536, 1, 1, 1}, {}, {}, r));
  EXPECT_FALSE(ClassifierTopology(t.data(), {100000, 0}, {}, {}, r));
}

}  // namespace
