/* ov-gpu-check: runs the custom layers' device kernels on a CUDA device and
 * compares every output with the host paths on fixed inputs.
 *
 *   ov-gpu-check        (or ./ov gpu-check)
 *
 * Upsampling (float, half and 8-bit elements, whole and fractional scales)
 * must match byte for byte; YOLO decoding must find the same boxes per
 * image (in any order: the device appends them concurrently), with scores
 * placed on and just around the 0.5 thresholds.  Prints one line per check
 * and exits 1 when one differs; without a CUDA device it says so and exits 0. */
#include <cuda_runtime_api.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ov_layer_kernels.h"

/* The host paths (the CPU engine layer's launchers), built into this program
 * under a namespace of their own: the same declarations, renamed. */
#undef OV_LAYER_KERNELS_H
#define ovkernels ovkernels_host
#include "ov_layer_kernels.h"
#undef ovkernels

namespace {

bool ok(cudaError_t e, const char *what) {
  if (e == cudaSuccess) return true;
  std::printf("gpu-check: %s failed: %s\n", what, cudaGetErrorString(e));
  return false;
}

/* A device copy of `bytes` bytes; freed with the object. */
struct DeviceBuffer {
  void *p = nullptr;
  explicit DeviceBuffer(size_t bytes) { cudaMalloc(&p, bytes); }
  ~DeviceBuffer() {
    if (p) cudaFree(p);
  }
  DeviceBuffer(const DeviceBuffer &) = delete;
  DeviceBuffer &operator=(const DeviceBuffer &) = delete;
};

bool check_upscale(cudaStream_t stream, int elementSize, float scale) {
  const int batch = 2, channels = 3, inH = 5, inW = 7;
  const int outH = static_cast<int>(inH * scale), outW = static_cast<int>(inW * scale);
  const int inN = batch * channels * inH * inW, outN = batch * channels * outH * outW;
  std::vector<uint8_t> in(static_cast<size_t>(inN) * elementSize);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 37 + 11);
  std::vector<uint8_t> host(static_cast<size_t>(outN) * elementSize, 0xee);
  std::vector<uint8_t> device(host.size(), 0xdd);
  ovkernels_host::upscale(in.data(), host.data(), outN, scale, channels, inH, inW, outH, outW,
                          elementSize, 256, nullptr);
  DeviceBuffer din(in.size()), dout(device.size());
  if (!din.p || !dout.p) return ok(cudaErrorMemoryAllocation, "cudaMalloc");
  if (!ok(cudaMemcpyAsync(din.p, in.data(), in.size(), cudaMemcpyHostToDevice, stream), "copy in") ||
      !ok(ovkernels::upscale(din.p, dout.p, outN, scale, channels, inH, inW, outH, outW,
                             elementSize, 256, stream),
          "upscale launch") ||
      !ok(cudaMemcpyAsync(device.data(), dout.p, device.size(), cudaMemcpyDeviceToHost, stream),
          "copy out") ||
      !ok(cudaStreamSynchronize(stream), "upscale run"))
    return false;
  size_t differ = 0;
  for (size_t i = 0; i < host.size(); ++i) differ += host[i] != device[i];
  std::printf("gpu-check: upsample, %d-byte elements, scale %.2f: %d elements, %zu bytes differ\n",
              elementSize, scale, outN, differ);
  return differ == 0;
}

struct Box {
  float x, y, w, h;
  int cls;
  float prob;
};

std::vector<Box> boxes_of(const float *block) {
  std::vector<Box> out;
  const int count = static_cast<int>(block[0]);
  for (int i = 0; i < count; ++i) {
    const float *d = block + 1 + 6 * i;
    Box b;
    b.x = d[0];
    b.y = d[1];
    b.w = d[2];
    b.h = d[3];
    std::memcpy(&b.cls, d + 4, sizeof b.cls);
    b.prob = d[5];
    out.push_back(b);
  }
  std::sort(out.begin(), out.end(), [](const Box &a, const Box &b) {
    return a.y != b.y ? a.y < b.y : a.x != b.x ? a.x < b.x : a.w < b.w;
  });
  return out;
}

float relative(float a, float b) { return std::fabs(a - b) / std::max(1e-6f, std::fabs(b)); }

bool check_yolo(cudaStream_t stream) {
  const int batch = 2, classes = 2, width = 13, height = 13;
  const int total = width * height, perImage = 3 * (classes + 5) * total;
  const int maxBoxes = 3 * total, outputElem = 1 + 6 * maxBoxes;
  std::vector<float> in(static_cast<size_t>(batch) * perImage);
  std::mt19937 rng(7);
  std::normal_distribution<float> dist(-1.f, 2.5f);
  for (float &v : in) v = dist(rng);
  // Objectness exactly at the threshold (logit 0) and just around it, with a
  // sure class; then a sure objectness (logit 4) with class logits that put
  // objectness x class on 0.5 and a hair either side of it.
  const double onThreshold = std::log(0.5 * (1.0 + std::exp(-4.0)) /
                                      (1.0 - 0.5 * (1.0 + std::exp(-4.0))));
  const float objectness[] = {0.f, 1e-7f, -1e-7f, 1e-3f, -1e-3f, 4.f, 4.f, 4.f, 4.f, 4.f};
  const float classLogit[] = {4.f, 4.f, 4.f, 4.f, 4.f,
                              static_cast<float>(onThreshold),
                              static_cast<float>(onThreshold + 1e-6),
                              static_cast<float>(onThreshold - 1e-6),
                              static_cast<float>(onThreshold + 1e-4),
                              static_cast<float>(onThreshold - 1e-4)};
  for (int i = 0; i < 10; ++i) {
    const int cell = 11 * i + 3;
    in[cell + 4 * total] = objectness[i];
    in[cell + 5 * total] = classLogit[i];
    in[cell + 6 * total] = -9.f;  // the other class out of the way
  }
  const float anchors[6] = {10, 14, 23, 27, 37, 58};
  std::vector<float> host(static_cast<size_t>(batch) * outputElem, 0.f);
  std::vector<float> device(host.size(), 0.f);
  ovkernels_host::calDetection(in.data(), host.data(), total * batch, width, height, anchors,
                               classes, outputElem, 512, nullptr);
  DeviceBuffer din(in.size() * sizeof(float)), dout(device.size() * sizeof(float)),
      danchors(sizeof anchors);
  if (!din.p || !dout.p || !danchors.p) return ok(cudaErrorMemoryAllocation, "cudaMalloc");
  if (!ok(cudaMemcpyAsync(din.p, in.data(), in.size() * sizeof(float), cudaMemcpyHostToDevice,
                          stream),
          "copy in") ||
      !ok(cudaMemcpyAsync(danchors.p, anchors, sizeof anchors, cudaMemcpyHostToDevice, stream),
          "copy anchors") ||
      !ok(cudaMemsetAsync(dout.p, 0, device.size() * sizeof(float), stream), "clear") ||
      !ok(ovkernels::calDetection(static_cast<const float *>(din.p), static_cast<float *>(dout.p),
                                  total * batch, width, height,
                                  static_cast<const float *>(danchors.p), classes, outputElem,
                                  512, stream),
          "yolo launch") ||
      !ok(cudaMemcpyAsync(device.data(), dout.p, device.size() * sizeof(float),
                          cudaMemcpyDeviceToHost, stream),
          "copy out") ||
      !ok(cudaStreamSynchronize(stream), "yolo run"))
    return false;
  bool same = true;
  for (int b = 0; b < batch; ++b) {
    const std::vector<Box> h = boxes_of(host.data() + static_cast<size_t>(b) * outputElem);
    const std::vector<Box> d = boxes_of(device.data() + static_cast<size_t>(b) * outputElem);
    float worst = 0.f;
    size_t mismatched = h.size() == d.size() ? 0 : std::max(h.size(), d.size());
    for (size_t i = 0; i < h.size() && h.size() == d.size(); ++i) {
      const float diff = std::max({relative(d[i].x, h[i].x), relative(d[i].y, h[i].y),
                                   relative(d[i].w, h[i].w), relative(d[i].h, h[i].h),
                                   relative(d[i].prob, h[i].prob)});
      worst = std::max(worst, diff);
      if (d[i].cls != h[i].cls || diff > 1e-5f) ++mismatched;
    }
    std::printf("gpu-check: yolo, image %d: %zu boxes on the device, %zu on the host, %zu differ "
                "(largest relative difference %.2g)\n",
                b, d.size(), h.size(), mismatched, worst);
    same = same && mismatched == 0;
  }
  return same;
}

}  // namespace

int main() {
  int devices = 0;
  const cudaError_t e = cudaGetDeviceCount(&devices);
  if (e != cudaSuccess || devices == 0) {
    std::printf("gpu-check: no CUDA device (%s): nothing checked\n",
                e != cudaSuccess ? cudaGetErrorString(e) : "none found");
    return 0;
  }
  cudaStream_t stream = nullptr;
  if (!ok(cudaStreamCreate(&stream), "cudaStreamCreate")) return 1;
  bool all = true;
  for (int size : {4, 2, 1})
    for (float scale : {2.f, 1.5f}) all = check_upscale(stream, size, scale) && all;
  all = check_yolo(stream) && all;
  cudaStreamDestroy(stream);
  std::printf("gpu-check: %s\n", all ? "every output matches the host paths"
                                      : "FAILED: the device and host paths differ");
  return all ? 0 : 1;
}
