#include "draw_core.h"

#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "metadata_test_util.h"

namespace {

using ovmetadata::Color;
using ovmetadata::SegColorTable;
using orvane::ai::DetectionBoxResult;
using orvane::ai::SegmentGrid;

const cv::Vec3b kBox(147, 20, 255);
const cv::Vec3b kWhite(255, 255, 255);

cv::Vec3b at(const cv::Mat &m, int x, int y) { return m.at<cv::Vec3b>(y, x); }

int count_pixels(const cv::Mat &m, const cv::Vec3b &value) {
  int n = 0;
  for (int y = 0; y < m.rows; ++y)
    for (int x = 0; x < m.cols; ++x)
      n += at(m, x, y) == value;
  return n;
}

/* The text size of a box label (font scale 2, thickness 2). */
cv::Size label_size(const std::string &label) {
  int baseline = 0;
  return cv::getTextSize(label, cv::FONT_HERSHEY_PLAIN, 2, 2, &baseline);
}

TEST(DrawBox, LabelHasBackgroundAboveTopLeftCorner) {
  cv::Mat m = cv::Mat::zeros(480, 640, CV_8UC3);
  ovmetadata::draw_box_result(m, metatest::box(0.25f, 0.5f, 0.75f, 1.0f, "ball"));
  const cv::Size text = label_size("ball");
  // Background spans (160, 240) to (160 + w, 240 - h - 2); the text strokes
  // cover part of it, so look for white just inside its corners.
  EXPECT_EQ(at(m, 161 + text.width - 1, 240 - text.height - 1), kWhite);
  EXPECT_EQ(at(m, 161, 240 - text.height - 1), kWhite);
  EXPECT_EQ(at(m, 161 + text.width + 3, 240 - text.height - 1), cv::Vec3b(0, 0, 0));
  EXPECT_GT(count_pixels(m, kWhite), text.width * text.height / 4);
}

/* White background pixels of one "ball" label drawn alone: what every label
 * placed clear of others adds. */
int white_of_one_label(const std::string &label) {
  cv::Mat m = cv::Mat::zeros(100, 200, CV_8UC3);
  ovmetadata::drawText(m, 10, 60, label, 2, 2);
  return count_pixels(m, kWhite);
}

TEST(DrawBox, LabelOfBoxAtTopEdgeGoesBelowTheBox) {
  cv::Mat m = cv::Mat::zeros(240, 320, CV_8UC3);
  ovmetadata::draw_box_result(m, metatest::box(0.25f, 0.0f, 0.75f, 0.25f, "ball"));
  const cv::Size text = label_size("ball");
  // Under the bottom edge (y = 60): the background starts at y = 62 (text
  // from y = 64), x = 80 to 80 + w; nothing white above it.
  EXPECT_EQ(at(m, 81, 63), kWhite);
  EXPECT_EQ(at(m, 80 + text.width - 1, 63), kWhite);
  EXPECT_NE(at(m, 81, 61), kWhite);
  EXPECT_EQ(count_pixels(m, kWhite), white_of_one_label("ball")) << "the whole label is seen";
}

TEST(DrawBox, LabelOfBoxFillingTheFrameGoesInsideUnderTheTopEdge) {
  cv::Mat m = cv::Mat::zeros(240, 320, CV_8UC3);
  ovmetadata::draw_box_result(m, metatest::box(0.25f, 0.0f, 0.75f, 1.0f, "ball"));
  const cv::Size text = label_size("ball");
  EXPECT_EQ(at(m, 81, 3), kWhite);
  EXPECT_EQ(at(m, 80 + text.width - 1, 3), kWhite);
  EXPECT_NE(at(m, 81, 1), kWhite);
  EXPECT_EQ(count_pixels(m, kWhite), white_of_one_label("ball"));
}

TEST(DrawBox, LabelsOfOverlappingBoxesDoNotCoverEachOther) {
  cv::Mat m = cv::Mat::zeros(240, 320, CV_8UC3);
  std::vector<DetectionBoxResult> boxes = {metatest::box(0.3f, 0.4f, 0.6f, 0.8f, "ball"),
                                           metatest::box(0.31f, 0.41f, 0.62f, 0.82f, "ball"),
                                           metatest::box(0.3f, 0.4f, 0.5f, 0.6f, "ball")};
  ovmetadata::draw_box_results(m, boxes);
  EXPECT_EQ(count_pixels(m, kWhite), 3 * white_of_one_label("ball"));
  // Every box outline was drawn before the labels: none crosses a label.
  EXPECT_GT(count_pixels(m, kBox), 0);
}

TEST(DrawBox, LabelAtTheRightOrBottomEdgeStaysInTheFrame) {
  for (const DetectionBoxResult &b :
       {metatest::box(0.95f, 0.5f, 1.0f, 0.6f, "ball"), metatest::box(0.1f, 0.97f, 0.3f, 1.0f, "ball"),
        metatest::box(0.96f, 0.0f, 1.0f, 1.0f, "ball")}) {
    cv::Mat m = cv::Mat::zeros(240, 320, CV_8UC3);
    ovmetadata::draw_box_result(m, b);
    EXPECT_EQ(count_pixels(m, kWhite), white_of_one_label("ball"))
        << "box at " << b.x1 << ", " << b.y1;
  }
}

TEST(LabelLayout, CrowdedLabelsStayInsideAndApartWhileThereIsRoom) {
  ovmetadata::LabelLayout layout(320, 240);
  std::vector<cv::Rect> placed;
  const cv::Rect frame(0, 0, 320, 240);
  for (int i = 0; i < 6; ++i) {
    cv::Point o = layout.place(cv::Rect(100, 100, 40, 40), "ball");
    cv::Rect r = layout.area(o, "ball");
    EXPECT_EQ(r & frame, r) << "label " << i << " leaves the frame";
    for (const cv::Rect &p : placed)
      EXPECT_EQ((r & p).area(), 0) << "label " << i << " covers an earlier one";
    placed.push_back(r);
  }
  // The first one sits where it always did: above the top-left corner.
  EXPECT_EQ(layout.area(cv::Point(100, 100), "ball"), placed[0]);
}

TEST(DrawBox, PoseWithEqualCornersIsDotOfRadiusFive) {
  cv::Mat m = cv::Mat::zeros(480, 640, CV_8UC3);
  ovmetadata::draw_box_result(m, metatest::box(0.5f, 0.5f, 0.5f, 0.5f, "", "pose"));
  EXPECT_EQ(at(m, 325, 240), kBox);
  EXPECT_EQ(at(m, 315, 240), kBox);
  EXPECT_EQ(at(m, 320, 245), kBox);
  EXPECT_EQ(at(m, 320, 240), cv::Vec3b(0, 0, 0)) << "outline only";
  // Nothing beyond the circle's outline (radius 5, thickness 2).
  cv::Mat outside = m.clone();
  cv::circle(outside, cv::Point(320, 240), 7, cv::Scalar(0, 0, 0), cv::FILLED);
  EXPECT_EQ(cv::countNonZero(outside.reshape(1)), 0);
  EXPECT_GT(count_pixels(m, kBox), 20);
}

TEST(DrawBox, PoseWithDistinctCornersIsLine) {
  cv::Mat m = cv::Mat::zeros(480, 640, CV_8UC3);
  ovmetadata::draw_box_result(m, metatest::box(0.1f, 0.1f, 0.9f, 0.9f, "", "pose"));
  EXPECT_EQ(at(m, 64, 48), kBox);
  EXPECT_EQ(at(m, 320, 240), kBox);  // midpoint of (64,48)-(576,432)
  EXPECT_EQ(at(m, 576, 48), cv::Vec3b(0, 0, 0)) << "a line, not a rectangle";
  EXPECT_EQ(at(m, 64, 432), cv::Vec3b(0, 0, 0));
}

TEST(DrawBox, CoordinatesTruncateTowardZero) {
  EXPECT_EQ(ovmetadata::to_pixel(0.25f, 640), 160);
  EXPECT_EQ(ovmetadata::to_pixel(0.2999f, 10), 2);
  EXPECT_EQ(ovmetadata::to_pixel(-0.05f, 10), 0);
  // Values from a hostile source are clamped, not undefined.
  EXPECT_EQ(ovmetadata::to_pixel(std::nanf(""), 640), 0);
  EXPECT_EQ(ovmetadata::to_pixel(1e30f, 640), 1 << 20);
  EXPECT_EQ(ovmetadata::to_pixel(-1e30f, 640), -(1 << 20));
  cv::Mat m = cv::Mat::zeros(48, 64, CV_8UC3);
  ovmetadata::draw_box_result(m, metatest::box(-1e30f, std::nanf(""), 1e30f, 1e30f, "x"));
  EXPECT_GT(count_pixels(m, kBox), 0);
}

TEST(DrawSegs, DrawsIntoAView) {
  // A frame inside a larger image: the drawing must land in the view's rows.
  cv::Mat whole = cv::Mat::zeros(20, 10, CV_8UC3);
  cv::Mat view = whole(cv::Rect(0, 10, 6, 10));
  SegColorTable table(1);
  ovmetadata::drawSegs(view, metatest::grid_of({{12}}), false, 0.6f, table);
  EXPECT_EQ(view.data, whole.ptr(10));
  EXPECT_EQ(at(whole, 0, 10), cv::Vec3b(0, 0, 255));
  EXPECT_EQ(at(whole, 5, 19), cv::Vec3b(0, 0, 255));
  EXPECT_EQ(at(whole, 6, 19), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(at(whole, 0, 9), cv::Vec3b(0, 0, 0));
}

TEST(DrawSegs, RaggedOrEmptyGrids) {
  SegColorTable table(1);
  cv::Mat m(40, 60, CV_8UC3, cv::Scalar(1, 2, 3));
  ovmetadata::drawSegs(m, SegmentGrid{}, false, 0.6f, table);
  ovmetadata::drawSegs(m, metatest::grid_of({{}, {1, 2}}), false, 0.6f, table);
  EXPECT_EQ(cv::norm(m, cv::Mat(40, 60, CV_8UC3, cv::Scalar(1, 2, 3)), cv::NORM_INF), 0.0);
  // A short second row must not read past its end; its missing cells are black.
  ovmetadata::drawSegs(m, metatest::grid_of({{12, 12}, {12}}), false, 0.6f, table);
  EXPECT_EQ(at(m, 0, 39), cv::Vec3b(0, 0, 255));
  EXPECT_EQ(at(m, 59, 39), cv::Vec3b(0, 0, 0));
}

TEST(SegColorTable, StartsWithFixedColours) {
  SegColorTable table(7);
  EXPECT_EQ(table.size(), 21u);
  EXPECT_EQ(table.lookup(0), (Color{128, 64, 128}));
  EXPECT_EQ(table.lookup(12), (Color{0, 0, 255}));
  EXPECT_EQ(table.lookup(20), (Color{81, 0, 81}));
  EXPECT_EQ(table.size(), 21u);
}

TEST(SegColorTable, GrowsToLabelAndKeepsColours) {
  SegColorTable table(7);
  Color c25 = table.lookup(25);
  EXPECT_EQ(table.size(), 26u);
  Color c22 = table.lookup(22);
  EXPECT_EQ(table.size(), 26u);
  EXPECT_EQ(table.lookup(25), c25);
  EXPECT_EQ(table.lookup(22), c22);
  // The same seed gives the same sequence of colours.
  SegColorTable again(7);
  EXPECT_EQ(again.lookup(25), c25);
}

TEST(SegColorTable, GrowthIsBoundedAndHugeIdsStable) {
  SegColorTable table(3, 1000);
  Color big = table.lookup(2000000000);
  EXPECT_LE(table.size(), 1000u);
  EXPECT_EQ(table.lookup(2000000000), big);
  EXPECT_EQ(table.lookup(2000000000 % 1000), big) << "ids past the cap wrap onto the table";
  Color negative = table.lookup(-1);
  EXPECT_EQ(table.lookup(-1), negative);
  EXPECT_LE(table.size(), 1000u);
  EXPECT_EQ(ovmetadata::SegColorTable::kDefaultMaxSize, 4096u);
  SegColorTable bounded(3);
  bounded.lookup(2147483647);
  EXPECT_LE(bounded.size(), 4096u);
}

TEST(SegColorTable, ConcurrentGrowthKeepsOneColourPerId) {
  SegColorTable table(11);
  constexpr int kThreads = 4;
  constexpr int kIds = 3000;
  std::vector<std::vector<Color>> seen(kThreads, std::vector<Color>(kIds));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      // Each thread walks the ids in its own order so growth interleaves.
      for (int i = 0; i < kIds; ++i) {
        int id = (t % 2 == 0) ? i : kIds - 1 - i;
        seen[t][id] = table.lookup(id);
      }
    });
  for (auto &th : threads)
    th.join();
  EXPECT_EQ(table.size(), size_t(kIds));
  for (int id = 0; id < kIds; ++id)
    for (int t = 0; t < kThreads; ++t)
      ASSERT_EQ(seen[t][id], table.lookup(id)) << "id " << id << " thread " << t;
}

TEST(SegColorTable, ProcessWideTableGrowsForLabel25) {
  SegColorTable &table = SegColorTable::instance();
  EXPECT_EQ(&table, &SegColorTable::instance());
  cv::Mat first(480, 640, CV_8UC3, cv::Scalar(0, 0, 0));
  ovmetadata::drawSegs(first, metatest::grid_of({{25}}), false, 0.6f);
  EXPECT_GE(table.size(), 26u);
  Color c = table.lookup(25);
  EXPECT_EQ(at(first, 100, 100), cv::Vec3b(c.b, c.g, c.r));
  cv::Mat second(480, 640, CV_8UC3, cv::Scalar(9, 9, 9));
  ovmetadata::drawSegs(second, metatest::grid_of({{25}}), false, 0.6f);
  EXPECT_EQ(cv::norm(first, second, cv::NORM_INF), 0.0);
}

}  // namespace
