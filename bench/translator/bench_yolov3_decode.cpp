// YOLOv3 decoding + overlap suppression of the three raw heads of a 416x416,
// 80-class network, both engine variants, next to the forward time of the
// same network measured in this run with OpenCV DNN.
//
//   bench_yolov3_decode --cfg yolov3.cfg --weights yolov3.weights [--runs N] [--forward-runs N]
//   bench_yolov3_decode --no-forward       (decode times only)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "translators.h"

using namespace orvane::ai;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kInput = 416;
constexpr int kClasses = 80;
constexpr int kChannels = 3 * (5 + kClasses);
const int kGrids[3] = {13, 26, 52};
const std::vector<int> kDims = {1, kChannels, 13, 13, 1, kChannels, 26, 26, 1, kChannels, 52, 52};

size_t head_offset(int layer) {
  size_t off = 0;
  for (int l = 0; l < layer; ++l)
    off += size_t(kChannels) * kGrids[l] * kGrids[l];
  return off;
}

float &at(std::vector<float> &t, int layer, int a, int e, int r, int c) {
  const int g = kGrids[layer];
  return t[head_offset(layer) + size_t((a * (5 + kClasses) + e) * g * g + r * g + c)];
}

std::vector<float> random_tensor(bool activated, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<float> t(head_offset(3));
  // OpenVINO heads arrive activated (probabilities, offsets in [0, 1]);
  // TensorRT heads are raw logits.
  std::uniform_real_distribution<float> d(activated ? 0.0f : -4.0f, activated ? 1.0f : 4.0f);
  for (float &v : t)
    v = d(rng);
  return t;
}

/* Quiet background with 17 objects, each seen by a few neighbouring cells
 * and anchors: about 50 candidates above the threshold, most overlapping. */
std::vector<float> realistic_tensor(bool activated, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<float> t(head_offset(3), activated ? 0.0f : -10.0f);
  if (!activated) {
    for (int l = 0; l < 3; ++l)
      for (int a = 0; a < 3; ++a)
        for (int r = 0; r < kGrids[l]; ++r)
          for (int c = 0; c < kGrids[l]; ++c)
            for (int e = 0; e < 4; ++e)
              at(t, l, a, e, r, c) = 0.0f;
  }
  const float on = activated ? 0.97f : 6.0f;
  std::uniform_int_distribution<int> layer_d(0, 2), cls_d(0, kClasses - 1);
  for (int obj = 0; obj < 17; ++obj) {
    const int l = layer_d(rng), g = kGrids[l];
    std::uniform_int_distribution<int> cell(1, g - 2);
    const int r = cell(rng), c = cell(rng), k = cls_d(rng);
    const int hits[3][3] = {{0, 0, 0}, {0, 1, 0}, {1, 0, 1}};  // (dr, dc, anchor)
    for (const auto &h : hits) {
      at(t, l, h[2], 4, r + h[0], c + h[1]) = on;
      at(t, l, h[2], 5 + k, r + h[0], c + h[1]) = on;
    }
  }
  return t;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct DecodeTime {
  double us;
  size_t boxes;
};

DecodeTime time_decode(TranslatorFunction fn, const std::vector<float> &t, int runs) {
  TranslateInfo info;
  info["iw"] = TranslateElem(int32_t(kInput));
  info["ih"] = TranslateElem(int32_t(kInput));
  info["count"] = TranslateElem(int32_t(t.size()));
  std::vector<std::string> labels;
  std::vector<double> us;
  size_t boxes = 0;
  for (int i = 0; i < runs; ++i) {
    Result r;
    auto t0 = Clock::now();
    if (!fn(t.data(), kDims, labels, info, r)) {
      std::fprintf(stderr, "translator refused the tensor\n");
      std::exit(1);
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    boxes = r.detection_box.empty() ? 0 : r.detection_box[0].size();
  }
  return {median(us), boxes};
}

size_t candidates(void (*decode)(const float *, uint64_t, uint64_t, std::vector<int>, const int &,
                                 const std::vector<std::string> &,
                                 std::vector<DetectionBoxResult> &, const double &),
                  const std::vector<float> &t) {
  std::vector<DetectionBoxResult> out;
  for (int l = 0; l < 3; ++l)
    decode(t.data() + head_offset(l), kInput, kInput, {1, kChannels, kGrids[l], kGrids[l]}, l, {},
           out, 0.8);
  return out.size();
}

double time_forward(const std::string &cfg, const std::string &weights, int runs) {
  cv::dnn::Net net = cv::dnn::readNetFromDarknet(cfg, weights);
  net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
  const std::vector<std::string> heads = net.getUnconnectedOutLayersNames();
  cv::Mat blob({1, 3, kInput, kInput}, CV_32F);
  cv::randu(blob, 0.0f, 1.0f);
  std::vector<cv::Mat> outs;
  net.setInput(blob);
  net.forward(outs, heads);  // first run sets up
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    net.setInput(blob);
    auto t0 = Clock::now();
    net.forward(outs, heads);
    ms.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  return median(ms);
}

}  // namespace

int main(int argc, char **argv) {
  std::string cfg, weights;
  int runs = 20, forward_runs = 3;
  bool forward = true;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--cfg" && i + 1 < argc)
      cfg = argv[++i];
    else if (a == "--weights" && i + 1 < argc)
      weights = argv[++i];
    else if (a == "--runs" && i + 1 < argc)
      runs = std::max(1, std::atoi(argv[++i]));
    else if (a == "--forward-runs" && i + 1 < argc)
      forward_runs = std::max(1, std::atoi(argv[++i]));
    else if (a == "--no-forward")
      forward = false;
    else {
      std::fprintf(stderr, "usage: %s --cfg CFG --weights WEIGHTS [--runs N] [--forward-runs N] | --no-forward\n", argv[0]);
      return 2;
    }
  }
  if (forward && (cfg.empty() || weights.empty())) {
    std::fprintf(stderr, "give --cfg and --weights, or --no-forward\n");
    return 2;
  }

  double forward_us = 0;
  if (forward) {
    forward_us = time_forward(cfg, weights, forward_runs);
    std::printf("yolov3-416 forward (OpenCV DNN, %d threads): %.0f us\n", cv::getNumThreads(),
                forward_us);
  }

  struct Variant {
    const char *name;
    TranslatorFunction fn;
    bool activated;
    void (*decode)(const float *, uint64_t, uint64_t, std::vector<int>, const int &,
                   const std::vector<std::string> &, std::vector<DetectionBoxResult> &,
                   const double &);
  };
  const Variant variants[] = {
      {"openvino", OpenVINO_Yolov3, true, ParseYOLOV3Output},
      {"tensorrt", TensorRT_Yolov3, false, RTParseYOLOV3Output},
  };
  std::printf("%-9s %-10s %10s %7s %12s %10s\n", "engine", "case", "candidates", "boxes",
              "decode_us", "of_forward");
  bool within_target = true;
  for (const Variant &v : variants) {
    for (int realistic = 1; realistic >= 0; --realistic) {
      std::vector<float> t = realistic ? realistic_tensor(v.activated, 7) : random_tensor(v.activated, 7);
      const size_t cand = candidates(v.decode, t);
      DecodeTime d = time_decode(v.fn, t, runs);
      std::printf("%-9s %-10s %10zu %7zu %12.0f", v.name, realistic ? "realistic" : "random",
                  cand, d.boxes, d.us);
      if (forward) {
        const double pct = 100.0 * d.us / forward_us;
        std::printf(" %9.3f%%", pct);
        if (pct > 2.0)
          within_target = false;
      }
      std::printf("\n");
      if (forward)
        std::printf("RESULT: %s decode, %s logits (%zu candidates) us/frame | %.0f | yolov3-416 "
                    "forward %.0f us (target share <= 0.02) | %.4f\n",
                    v.name, realistic ? "realistic" : "random", cand, d.us, forward_us,
                    d.us / forward_us);
    }
  }
  if (forward)
    std::printf("target: decoding <= 2%% of the forward, realistic and random logits: %s\n",
                within_target ? "met" : "MISSED");
  return 0;
}
