// YOLOv3 decoders, overlap measure, suppression and the outer translators.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>
#include <stdexcept>

#include "translators.h"

using namespace orvane::ai;

namespace {

const std::vector<std::string> kNoLabels;
constexpr double kThreshold = 0.8;

/* One frame block of a layer with `classes` classes on a side x side grid,
 * addressed by anchor, entry and cell. */
struct Layer {
  int classes, h, w;
  std::vector<float> v;
  Layer(int classes_, int h_, int w_, float fill = 0.0f)
      : classes(classes_), h(h_), w(w_), v(size_t(3 * (5 + classes_) * h_ * w_), fill) {}
  int ch() const { return 3 * (5 + classes); }
  float &at(int a, int e, int r, int c) { return v[size_t((a * (5 + classes) + e) * h * w + r * w + c)]; }
  std::vector<int> dims(int n = 1) const { return {n, ch(), h, w}; }
  /* The boxes the host decoder finds in this block as layer `layer` of a
   * 416 x 416 input. */
  std::vector<DetectionBoxResult> parse(int layer,
                                        const std::vector<std::string> &labels = {}) const {
    std::vector<DetectionBoxResult> out;
    ParseYOLOV3Output(v.data(), 416, 416, dims(), layer, labels, out, kThreshold);
    return out;
  }
};

DetectionBoxResult box(float x1, float y1, float x2, float y2, float prob = 1.0f) {
  DetectionBoxResult b;
  b.x1 = x1, b.y1 = y1, b.x2 = x2, b.y2 = y2, b.prob = prob;
  return b;
}

TEST(Yolov3Overlap, Measure) {
  using Fn = double (*)(const DetectionBoxResult &, const DetectionBoxResult &);
  for (Fn iou : {IntersectionOverUnion, RTIntersectionOverUnion}) {
    EXPECT_EQ(iou(box(0.125f, 0.25f, 0.625f, 0.75f), box(0.125f, 0.25f, 0.625f, 0.75f)), 1.0);
    // single-precision areas against a double intersection: 1 within rounding
    EXPECT_NEAR(iou(box(0.1f, 0.1f, 0.5f, 0.5f), box(0.1f, 0.1f, 0.5f, 0.5f)), 1.0, 1e-7);
    EXPECT_EQ(iou(box(0, 0, 0.25f, 0.25f), box(0.5f, 0.5f, 1, 1)), 0.0);
    EXPECT_EQ(iou(box(0, 0, 0.5f, 0.5f), box(0.5f, 0, 1, 0.5f)), 0.0);  // touching
    // b (0.25 x 0.5) inside a (0.625 x 0.5): exactly 2/5
    EXPECT_EQ(iou(box(0, 0, 0.625f, 0.5f), box(0.125f, 0, 0.375f, 0.5f)), 0.4);
  }
}

TEST(Yolov3Overlap, SuppressionAtExactlyPointFour) {
  auto make = [] {
    return std::vector<DetectionBoxResult>{box(0.125f, 0, 0.375f, 0.5f, 0.7f),
                                           box(0, 0, 0.625f, 0.5f, 0.9f),
                                           box(0.8f, 0.8f, 0.9f, 0.9f, 0.85f)};
  };
  std::vector<DetectionBoxResult> c1 = make();
  std::vector<DetectionBoxResult> kept = SuppressOverlaps(c1, 0.4, IntersectionOverUnion);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_FLOAT_EQ(kept[0].prob, 0.9f);
  EXPECT_FLOAT_EQ(kept[1].prob, 0.85f);  // the isolated one survives

  std::vector<DetectionBoxResult> c2 = make();
  kept = SuppressOverlaps(c2, 0.5, RTIntersectionOverUnion);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_FLOAT_EQ(kept[2].prob, 0.7f);  // highest first
}

double everything_overlaps(const DetectionBoxResult &, const DetectionBoxResult &) { return 1.0; }

TEST(Yolov3Overlap, SuppressionWithAnotherMeasure) {
  std::vector<DetectionBoxResult> c = {box(0, 0, 0.1f, 0.1f, 0.5f), box(0.8f, 0.8f, 0.9f, 0.9f, 0.9f)};
  std::vector<DetectionBoxResult> kept = SuppressOverlaps(c, 0.4, everything_overlaps);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_FLOAT_EQ(kept[0].prob, 0.9f);
  EXPECT_EQ(c[1].prob, 0.0f);  // the suppressed one, after sorting
}

TEST(Yolov3OpenVino, ThresholdsAndBox) {
  Layer l(2, 2, 2);
  // cell 0, anchor 0: objectness exactly 0.8, class 0 at 1.0, class 1 at 0.99
  l.at(0, 4, 0, 0) = 0.8f;
  l.at(0, 5, 0, 0) = 1.0f;
  l.at(0, 6, 0, 0) = 0.99f;
  l.at(0, 0, 0, 0) = 0.5f;  // x offset within the cell
  l.at(0, 1, 0, 0) = 0.5f;
  std::vector<DetectionBoxResult> out = l.parse(0, {"person", "bike"});
  ASSERT_EQ(out.size(), 1u);
  const DetectionBoxResult &b = out[0];
  EXPECT_EQ(b.obj_label, "person");
  EXPECT_FLOAT_EQ(b.prob, 0.8f);
  EXPECT_EQ(b.obj_id, 4u * 4u);  // objectness index: 4 * side^2 + cell 0
  // centre (104, 104); layer 0 anchor 0 is anchor 3 = 30 x 61
  EXPECT_FLOAT_EQ(b.x1, float((104.0 - 15.0) / 416.0));
  EXPECT_FLOAT_EQ(b.x2, float((104.0 + 15.0) / 416.0));
  EXPECT_FLOAT_EQ(b.y1, float((104.0 - 30.5) / 416.0));
  EXPECT_FLOAT_EQ(b.y2, float((104.0 + 30.5) / 416.0));
  EXPECT_EQ(b.class_id, 0u);
  EXPECT_TRUE(b.class_label.empty());
}

TEST(Yolov3OpenVino, SeveralClassesPerAnchorAndObjId) {
  Layer l(3, 2, 2);
  // cell 3 (row 1, col 1), anchor 2
  l.at(2, 4, 1, 1) = 1.0f;
  l.at(2, 5, 1, 1) = 0.9f;
  l.at(2, 7, 1, 1) = 0.95f;
  std::vector<DetectionBoxResult> out = l.parse(1);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].obj_label, "0");
  EXPECT_EQ(out[1].obj_label, "2");
  const uint32_t expected_id = 2 * 4 * 8 + 4 * 4 + 3;
  EXPECT_EQ(out[0].obj_id, expected_id);
  EXPECT_EQ(out[1].obj_id, expected_id);
}

TEST(Yolov3OpenVino, NanScoresMakeNoCandidate) {
  Layer l(2, 1, 1);
  l.at(0, 4, 0, 0) = NAN;  // objectness
  l.at(0, 5, 0, 0) = 1.0f;
  l.at(1, 4, 0, 0) = 1.0f;
  l.at(1, 5, 0, 0) = NAN;  // class 0
  l.at(1, 6, 0, 0) = 0.9f;  // class 1
  std::vector<DetectionBoxResult> out = l.parse(0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].obj_label, "1");
}

TEST(Yolov3OpenVino, LeftEdgeClamp) {
  Layer l(1, 1, 1);
  l.at(0, 4, 0, 0) = 1.0f;
  l.at(0, 5, 0, 0) = 1.0f;
  l.at(0, 1, 0, 0) = 0.5f;
  // layer 1, anchor 0 = anchor 0 = 10 x 13; centre x on the left edge
  std::vector<DetectionBoxResult> out = l.parse(1);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].x1, 0.0f);
  EXPECT_FLOAT_EQ(out[0].x2, float(5.0 / 416.0));
}

TEST(Yolov3OpenVino, NonSquareLayerThrows) {
  Layer l(1, 2, 3);
  std::vector<DetectionBoxResult> out;
  try {
    ParseYOLOV3Output(l.v.data(), 416, 416, l.dims(), 0, kNoLabels, out, kThreshold);
    FAIL() << "no error";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(),
                 "Invalid size of output  It should be in NCHW layout and H should be equal to "
                 "W. Current H = 2, current W = 3");
  }
}

float logit(double p) { return float(std::log(p / (1.0 - p))); }

TEST(Yolov3TensorRT, BestClassMarginsAndObjId) {
  Layer l(2, 2, 2, -100.0f);
  // r 0, c 1, anchor 1: objectness 1, classes 0.9 and 0.9 + 5e-6 (keeps 0)
  l.at(1, 4, 0, 1) = 100.0f;
  l.at(1, 5, 0, 1) = logit(0.9);
  l.at(1, 6, 0, 1) = logit(0.9 + 5e-6);
  l.at(1, 0, 0, 1) = 0.0f;
  l.at(1, 1, 0, 1) = 0.0f;
  l.at(1, 2, 0, 1) = 0.0f;
  l.at(1, 3, 0, 1) = 0.0f;
  // r 1, c 0, anchor 0: best confidence 0.8 + 5e-6, not above the margin
  l.at(0, 4, 1, 0) = 100.0f;
  l.at(0, 6, 1, 0) = logit(0.8 + 5e-6);
  std::vector<DetectionBoxResult> out;
  RTParseYOLOV3Output(l.v.data(), 416, 416, l.dims(), 0, {"a", "b"}, out, kThreshold);
  ASSERT_EQ(out.size(), 1u);
  const DetectionBoxResult &b = out[0];
  EXPECT_EQ(b.obj_label, "a");
  EXPECT_NEAR(b.prob, 0.9f, 1e-6);
  EXPECT_EQ(b.obj_id, 47u);  // q = 3 * 1 + 4 = 7 -> 1 * 4 * 7 + 16 + 3
  // centre (0.75, 0.25) of the input; layer 0 anchor 1 is anchor 7 = 156 x 198
  EXPECT_FLOAT_EQ(b.x1, 0.75f - 156.0f / 416.0f / 2.0f);
  EXPECT_FLOAT_EQ(b.x2, std::min(1.0f, b.x1 + 156.0f / 416.0f));
  EXPECT_FLOAT_EQ(b.y1, 0.25f - 198.0f / 416.0f / 2.0f);
  EXPECT_FLOAT_EQ(b.y2, b.y1 + 198.0f / 416.0f);

  Layer l2 = l;
  l2.at(0, 6, 1, 0) = logit(0.8001);
  std::vector<DetectionBoxResult> out2;
  RTParseYOLOV3Output(l2.v.data(), 416, 416, l2.dims(), 0, {"a", "b"}, out2, kThreshold);
  ASSERT_EQ(out2.size(), 2u);
  EXPECT_EQ(out2[1].obj_label, "b");
}

TEST(Yolov3TensorRT, LeftEdgeClampAndNoSquareCheck) {
  Layer l(1, 1, 2, -100.0f);
  l.at(0, 4, 0, 0) = 100.0f;
  l.at(0, 5, 0, 0) = 100.0f;
  l.at(0, 2, 0, 0) = 0.0f;
  l.at(0, 3, 0, 0) = 0.0f;
  std::vector<DetectionBoxResult> out;
  // layer 2, anchor 0 = anchor 0 = 10 x 13; sigma(-100) puts x on the left edge
  RTParseYOLOV3Output(l.v.data(), 416, 416, l.dims(), 2, kNoLabels, out, kThreshold);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].x1, 0.0f);
  EXPECT_FLOAT_EQ(out[0].x2, 5.0f / 416.0f);
}

TranslateInfo input_size(int iw, int ih) {
  TranslateInfo info;
  info["iw"] = TranslateElem(int32_t(iw));
  info["ih"] = TranslateElem(int32_t(ih));
  return info;
}

// Three 1x1 layers with 1 class; cell (0,0) anchor 0 detected in one of them.
std::vector<float> three_tiny_layers(int hot_layer, int batch, int hot_frame) {
  std::vector<float> t;
  for (int layer = 0; layer < 3; ++layer) {
    for (int f = 0; f < batch; ++f) {
      Layer l(1, 1, 1, -100.0f);
      if (layer == hot_layer && f == hot_frame) {
        l.at(0, 4, 0, 0) = 100.0f;
        l.at(0, 5, 0, 0) = 100.0f;
        l.at(0, 0, 0, 0) = 0.0f;
        l.at(0, 1, 0, 0) = 0.0f;
        l.at(0, 2, 0, 0) = 0.0f;
        l.at(0, 3, 0, 0) = 0.0f;
      }
      t.insert(t.end(), l.v.begin(), l.v.end());
    }
  }
  return t;
}

TEST(Yolov3Translator, ThirteenDimsUseLayerMasks) {
  // TensorRT masks: layer 0 -> anchor 6 (116 wide), 1 -> 3 (30), 2 -> 0 (10)
  const float widths[] = {116.0f, 30.0f, 10.0f};
  for (int hot = 0; hot < 3; ++hot) {
    std::vector<float> t = three_tiny_layers(hot, 1, 0);
    TranslateInfo info = input_size(416, 416);
    info["count"] = TranslateElem(int32_t(t.size()));
    Result r;
    ASSERT_TRUE(TensorRT_Yolov3(t.data(), {1, 18, 1, 1, 1, 18, 1, 1, 1, 18, 1, 1, 7}, kNoLabels,
                                info, r));
    ASSERT_EQ(r.type, RESULT_DETECTION_BOX);
    ASSERT_EQ(r.detection_box.size(), 1u);
    ASSERT_EQ(r.detection_box[0].size(), 1u) << hot;
    EXPECT_NEAR(r.detection_box[0][0].x2 - r.detection_box[0][0].x1, widths[hot] / 416.0f, 1e-6);
  }
}

TEST(Yolov3Translator, BatchTwoStrides) {
  const std::vector<int> dims = {2, 18, 1, 1, 2, 18, 1, 1, 2, 18, 1, 1};
  // frame 1 of layer 0, then frame 0 of layer 1 (after both frames of layer 0)
  for (auto [layer, frame] : {std::pair<int, int>{0, 1}, {1, 0}}) {
    std::vector<float> t = three_tiny_layers(layer, 2, frame);
    Result r;
    ASSERT_TRUE(TensorRT_Yolov3(t.data(), dims, kNoLabels, input_size(416, 416), r));
    ASSERT_EQ(r.detection_box.size(), 2u);
    EXPECT_EQ(r.detection_box[size_t(frame)].size(), 1u);
    EXPECT_TRUE(r.detection_box[size_t(1 - frame)].empty());
  }
}

TEST(Yolov3Translator, OverlapThresholdPerVariant) {
  // Two anchors of one 1x1 cell centred on the input: 100x100 and 100x45
  // boxes, IoU 0.45: the OpenVINO variant (0.4) drops the weaker one, the
  // TensorRT variant (0.5) keeps both.
  const double iw = 416;
  Layer ov(1, 1, 1);
  ov.at(0, 0, 0, 0) = 0.5f, ov.at(0, 1, 0, 0) = 0.5f;
  ov.at(1, 0, 0, 0) = 0.5f, ov.at(1, 1, 0, 0) = 0.5f;
  ov.at(0, 2, 0, 0) = float(std::log(100.0 / 30)), ov.at(0, 3, 0, 0) = float(std::log(100.0 / 61));
  ov.at(1, 2, 0, 0) = float(std::log(100.0 / 62)), ov.at(1, 3, 0, 0) = 0.0f;
  ov.at(0, 4, 0, 0) = 1.0f, ov.at(0, 5, 0, 0) = 1.0f;
  ov.at(1, 4, 0, 0) = 1.0f, ov.at(1, 5, 0, 0) = 0.9f;
  Result r1;
  ASSERT_TRUE(OpenVINO_Yolov3(ov.v.data(), ov.dims(), kNoLabels, input_size(416, 416), r1));
  ASSERT_EQ(r1.detection_box.size(), 1u);
  ASSERT_EQ(r1.detection_box[0].size(), 1u);
  EXPECT_FLOAT_EQ(r1.detection_box[0][0].prob, 1.0f);

  Layer rt(1, 1, 1);
  rt.at(0, 2, 0, 0) = float(std::log(100.0 / 116)), rt.at(0, 3, 0, 0) = float(std::log(100.0 / 90));
  rt.at(1, 2, 0, 0) = float(std::log(100.0 / 156)), rt.at(1, 3, 0, 0) = float(std::log(45.0 / 198));
  rt.at(0, 4, 0, 0) = 100.0f, rt.at(0, 5, 0, 0) = 100.0f;
  rt.at(1, 4, 0, 0) = 100.0f, rt.at(1, 5, 0, 0) = logit(0.9);
  Result r2;
  ASSERT_TRUE(TensorRT_Yolov3(rt.v.data(), rt.dims(), kNoLabels, input_size(416, 416), r2));
  ASSERT_EQ(r2.detection_box[0].size(), 2u);
  EXPECT_NEAR(r2.detection_box[0][0].x2 - r2.detection_box[0][0].x1, 100.0 / iw, 1e-5);
  EXPECT_NEAR(r2.detection_box[0][1].y2 - r2.detection_box[0][1].y1, 45.0 / iw, 1e-5);
}

TEST(Yolov3Translator, InputSizeAndDimsChecks) {
  std::vector<float> t = three_tiny_layers(0, 1, 0);
  const std::vector<int> dims = {1, 18, 1, 1};
  TranslateInfo only_iw;
  only_iw["iw"] = TranslateElem(int32_t(416));
  TranslateInfo only_ih;
  only_ih["ih"] = TranslateElem(int32_t(416));
  for (auto fn : {OpenVINO_Yolov3, TensorRT_Yolov3}) {
    Result r;
    EXPECT_FALSE(fn(t.data(), dims, kNoLabels, only_iw, r));
    EXPECT_FALSE(fn(t.data(), dims, kNoLabels, only_ih, r));
    EXPECT_FALSE(fn(t.data(), dims, kNoLabels, input_size(0, 416), r));
    EXPECT_FALSE(fn(t.data(), {}, kNoLabels, input_size(416, 416), r));
    EXPECT_TRUE(fn(t.data(), dims, kNoLabels, input_size(416, 416), r));
    Result none;
    EXPECT_TRUE(fn(t.data(), {0, 18, 1, 1}, kNoLabels, input_size(416, 416), none));
    EXPECT_EQ(none.type, RESULT_DETECTION_BOX);
    EXPECT_TRUE(none.detection_box.empty());
  }
  Result r;
  EXPECT_THROW(OpenVINO_Yolov3(t.data(), {1, 18, 1, 2}, kNoLabels, input_size(416, 416), r),
               std::runtime_error);
}

}  // namespace

namespace {

// The decoding loop and the suppression exactly as described, cell by cell:
// the decoders reorder the work for speed and must give the same output.
std::vector<DetectionBoxResult> reference_rt_decode(const std::vector<float> &t, int layer,
                                                    int classes, int H, int W) {
  const int masks[3][3] = {{6, 7, 8}, {3, 4, 5}, {0, 1, 2}};
  const int anchors[18] = {10, 13, 16, 30, 33, 23, 30, 61, 62, 45, 59, 119, 116, 90, 156, 198, 373, 326};
  const int E = 5 + classes;
  auto sig = [](float v) { return float(1.0 / (1.0 + std::exp(-v))); };
  std::vector<DetectionBoxResult> out;
  for (int r = 0; r < H; ++r)
    for (int c = 0; c < W; ++c)
      for (int a = 0; a < 3; ++a) {
        auto val = [&](int e) { return t[size_t((a * E + e) * H * W + r * W + c)]; };
        float bx = (float(c) + sig(val(0))) / float(W), by = (float(r) + sig(val(1))) / float(H);
        float bw = float(anchors[2 * masks[layer][a]]) * std::exp(val(2)) / 416.0f;
        float bh = float(anchors[2 * masks[layer][a] + 1]) * std::exp(val(3)) / 416.0f;
        float obj = sig(val(4)), best = 1e-5f;
        int best_k = 0;
        for (int k = 0; k < classes; ++k) {
          float conf = sig(val(5 + k)) * obj;
          if (double(conf - best) > 1e-5)
            best = conf, best_k = k;
        }
        if (!(double(best) - 0.8 > 1e-5))
          continue;
        DetectionBoxResult b;
        float x1 = bx - bw / 2.0f, y1 = by - bh / 2.0f;
        b.x1 = std::max(x1, 0.0f), b.y1 = std::max(y1, 0.0f);
        b.x2 = std::min(x1 + bw, 1.0f), b.y2 = std::min(y1 + bh, 1.0f);
        b.prob = best;
        b.obj_label = std::to_string(best_k);
        int q = 3 * (r * W + c) + a * H * W;
        b.obj_id = uint32_t(q / (H * H) * H * H * E + 4 * H * H + q % (H * H));
        out.push_back(b);
      }
  return out;
}

std::vector<DetectionBoxResult> reference_suppress(std::vector<DetectionBoxResult> c,
                                                   double threshold) {
  std::stable_sort(c.begin(), c.end(), [](auto &a, auto &b) { return a.prob > b.prob; });
  std::vector<DetectionBoxResult> kept;
  for (size_t i = 0; i < c.size(); ++i) {
    if (c[i].prob == 0.0f)
      continue;
    kept.push_back(c[i]);
    for (size_t j = i + 1; j < c.size(); ++j)
      if (IntersectionOverUnion(c[i], c[j]) >= threshold)
        c[j].prob = 0.0f;
  }
  return kept;
}

void expect_same_boxes(const std::vector<DetectionBoxResult> &a,
                       const std::vector<DetectionBoxResult> &b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].obj_id, b[i].obj_id) << i;
    EXPECT_EQ(a[i].obj_label, b[i].obj_label) << i;
    EXPECT_EQ(a[i].prob, b[i].prob) << i;
    EXPECT_EQ(a[i].x1, b[i].x1) << i;
    EXPECT_EQ(a[i].y1, b[i].y1) << i;
    EXPECT_EQ(a[i].x2, b[i].x2) << i;
    EXPECT_EQ(a[i].y2, b[i].y2) << i;
  }
}

TEST(Yolov3Reference, TensorRtDecoderAndSuppressionMatchTheCellLoop) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> d(-4.0f, 4.0f);
  for (auto [classes, h, w] : {std::tuple<int, int, int>{4, 5, 7}, {20, 13, 13}}) {
    Layer l(classes, h, w);
    for (float &v : l.v)
      v = d(rng);
    for (int layer = 0; layer < 3; ++layer) {
      std::vector<DetectionBoxResult> got;
      RTParseYOLOV3Output(l.v.data(), 416, 416, l.dims(), layer, kNoLabels, got, kThreshold);
      std::vector<DetectionBoxResult> want = reference_rt_decode(l.v, layer, classes, h, w);
      ASSERT_FALSE(want.empty());
      expect_same_boxes(got, want);
      for (double thr : {0.4, 0.5}) {
        std::vector<DetectionBoxResult> copy = got;
        expect_same_boxes(SuppressOverlaps(copy, thr, RTIntersectionOverUnion),
                          reference_suppress(want, thr));
      }
    }
  }
}

/* Suppression on the decoders' own candidates for random full-size heads
 * (thousands of candidates, many overlapping): the same boxes in the same
 * order as comparing every pair. */
TEST(Yolov3Suppression, SameBoxesInSameOrderAsEveryPairOnRandomHeads) {
  const int grids[3] = {13, 26, 52};
  const int classes = 20;
  for (unsigned seed : {1u, 2u}) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> raw(-4.0f, 4.0f), activated(0.0f, 1.0f);
    for (bool tensorrt : {true, false}) {
      std::vector<DetectionBoxResult> candidates;
      for (int layer = 0; layer < 3; ++layer) {
        Layer l(classes, grids[layer], grids[layer]);
        for (float &v : l.v)
          v = tensorrt ? raw(rng) : activated(rng);
        (tensorrt ? RTParseYOLOV3Output : ParseYOLOV3Output)(
            l.v.data(), 416, 416, l.dims(), layer, kNoLabels, candidates, kThreshold);
      }
      ASSERT_GT(candidates.size(), 1000u);
      for (double thr : {0.4, 0.5}) {
        std::vector<DetectionBoxResult> copy = candidates;
        std::vector<DetectionBoxResult> got = SuppressOverlaps(copy, thr, IntersectionOverUnion);
        std::vector<DetectionBoxResult> want = reference_suppress(candidates, thr);
        EXPECT_GT(want.size(), 10u);
        SCOPED_TRACE(std::string(tensorrt ? "tensorrt" : "openvino") + " seed " +
                     std::to_string(seed) + " threshold " + std::to_string(thr));
        expect_same_boxes(got, want);
      }
    }
  }
}

/* Boxes the grid must not lose: tiny and huge, touching, inverted, equal
 * probabilities, zero probabilities, non-finite corners, one shared point. */
TEST(Yolov3Suppression, SameResultAsEveryPairOnHostileBoxes) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-0.2f, 1.2f), size(0.0f, 0.3f);
  std::uniform_int_distribution<int> pick(0, 19);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (int round = 0; round < 40; ++round) {
    std::vector<DetectionBoxResult> c;
    for (int k = 0; k < 300; ++k) {
      const float x = u(rng), y = u(rng);
      DetectionBoxResult b = box(x, y, x + size(rng), y + size(rng), float(pick(rng)) / 19.0f);
      switch (pick(rng)) {
        case 0: std::swap(b.x1, b.x2); break;                       // inverted
        case 1: b.x2 = b.x1; break;                                 // no width
        case 2: b.y1 = nan; break;
        case 3: b.x2 = inf; break;
        case 4: b.x1 = -inf, b.y2 = nan; break;
        case 5: b = box(0, 0, 1, 1, b.prob); break;                  // the whole frame
        case 6: if (!c.empty()) b = c.back(); break;                 // a duplicate
        case 7: if (!c.empty()) b.x1 = c.back().x2; break;           // touching the last
        default: break;
      }
      b.obj_id = uint32_t(k);
      c.push_back(b);
    }
    for (double thr : {0.5, 0.4, 0.05, 0.0, -1.0}) {
      std::vector<DetectionBoxResult> copy = c;
      SCOPED_TRACE("round " + std::to_string(round) + " threshold " + std::to_string(thr));
      // Compared by id: corners may be NaN, which never equals itself.
      auto ids = [](const std::vector<DetectionBoxResult> &v) {
        std::vector<uint32_t> out;
        for (const auto &b : v)
          out.push_back(b.obj_id);
        return out;
      };
      EXPECT_EQ(ids(SuppressOverlaps(copy, thr, RTIntersectionOverUnion)),
                ids(reference_suppress(c, thr)));
    }
  }
}

}  // namespace

// An empty grid with an absurd channel count (a hostile dims text) yields no
// boxes at once instead of walking hundreds of millions of class planes.
TEST(Yolov3TensorRt, EmptyGridWithHugeChannelCountEndsAtOnce) {
  std::vector<float> t(47, 0.5f);
  TranslateInfo info = input_size(416, 416);
  info["count"] = TranslateElem(int32_t(t.size()));
  Result r;
  ASSERT_TRUE(TensorRT_Yolov3(t.data(), {2, 2000000001, 2, 0}, kNoLabels, info, r));
  ASSERT_EQ(r.detection_box.size(), 2u);
  EXPECT_TRUE(r.detection_box[0].empty());
  EXPECT_TRUE(r.detection_box[1].empty());
}
