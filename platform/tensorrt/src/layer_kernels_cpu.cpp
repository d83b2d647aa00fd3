/* The custom layers' kernels on the CPU: the same element mapping as the
 * device code, sequential, so boxes come out in head, cell, anchor order. */
#include <algorithm>
#include <cmath>
#include <cstring>

#include "ov_layer_kernels.h"

namespace ovkernels {

namespace {

float sigmoid(float v) { return static_cast<float>(1.0 / (1.0 + static_cast<double>(std::exp(-v)))); }

}  // namespace

cudaError_t upscale(const void *input, void *output, int n, float scale, int channels,
                    int inHeight, int inWidth, int outHeight, int outWidth, int elementSize,
                    int threads, cudaStream_t) {
  (void)threads;
  (void)channels;
  const auto *in = static_cast<const unsigned char *>(input);
  auto *out = static_cast<unsigned char *>(output);
  for (int idx = 0; idx < n; ++idx) {
    int x = idx % outWidth;
    int y = (idx / outWidth) % outHeight;
    int plane = idx / (outWidth * outHeight); /* batch × channel */
    int sx = std::min(static_cast<int>(x / scale), inWidth - 1);
    int sy = std::min(static_cast<int>(y / scale), inHeight - 1);
    long src = (static_cast<long>(plane) * inHeight + sy) * inWidth + sx;
    std::memcpy(out + static_cast<long>(idx) * elementSize, in + src * elementSize,
                static_cast<size_t>(elementSize));
  }
  return cudaSuccess;
}

cudaError_t calDetection(const float *input, float *output, int cells, int width, int height,
                         const float *anchors, int classes, int outputElem, int threads,
                         cudaStream_t) {
  (void)threads;
  const int total = width * height;
  const int perImage = total * 3 * (classes + 5);
  for (int idx = 0; idx < cells; ++idx) {
    const int b = idx / total;
    const int cell = idx % total;
    const float *in = input + static_cast<long>(b) * perImage;
    float *block = output + static_cast<long>(b) * outputElem;
    for (int k = 0; k < 3; ++k) {
      const int base = cell + total * (classes + 5) * k;
      const float objectness = sigmoid(in[base + 4 * total]);
      if (objectness <= 0.5f)
        continue;
      int classId = -1;
      float best = 0.5f;
      for (int c = 0; c < classes; ++c) {
        float p = sigmoid(in[base + (5 + c) * total]) * objectness;
        if (p > best) {
          best = p;
          classId = c;
        }
      }
      if (classId < 0)
        continue;
      int count = static_cast<int>(block[0]);
      block[0] = static_cast<float>(count + 1);
      float *det = block + 1 + count * 6;
      det[0] = (cell % width + sigmoid(in[base])) / width;
      det[1] = (cell / width + sigmoid(in[base + total])) / height;
      det[2] = std::exp(in[base + 2 * total]) * anchors[2 * k];
      det[3] = std::exp(in[base + 3 * total]) * anchors[2 * k + 1];
      std::memcpy(det + 4, &classId, sizeof classId);
      det[5] = best;
    }
  }
  return cudaSuccess;
}

}  // namespace ovkernels
