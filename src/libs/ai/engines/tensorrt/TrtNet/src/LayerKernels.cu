// Device kernels of the custom layers and their launchers, which queue the
// kernel on the stream given and return the launch's error; built with a
// real CUDA (the CPU engine layer carries the same launchers for the host).
#include <cuda_fp16.h>
#include <cuda_runtime_api.h>
#include <stdint.h>

#include "ov_layer_kernels.h"

namespace {

__device__ float sigmoidDevice(float v) { return (float)(1.0 / (1.0 + (double)expf(-v))); }

template <typename T>
__global__ void upscale(const T *input, T *output, int n, float scale, int channels,
                        int inHeight, int inWidth, int outHeight, int outWidth) {
  int idx = blockIdx.x * blockDim.x + threadIdx.x;
  if (idx >= n)
    return;
  int x = idx % outWidth;
  int y = (idx / outWidth) % outHeight;
  int plane = idx / (outWidth * outHeight);
  int sx = min((int)(x / scale), inWidth - 1);
  int sy = min((int)(y / scale), inHeight - 1);
  output[idx] = input[((long)plane * inHeight + sy) * inWidth + sx];
}

__global__ void CalDetection(const float *input, float *output, int cells, int width, int height,
                             const float *anchors, int classes, int outputElem) {
  int idx = blockIdx.x * blockDim.x + threadIdx.x;
  if (idx >= cells)
    return;
  int total = width * height;
  int b = idx / total;
  int cell = idx % total;
  const float *in = input + (long)b * total * 3 * (classes + 5);
  float *block = output + (long)b * outputElem;
  for (int k = 0; k < 3; ++k) {
    int base = cell + total * (classes + 5) * k;
    float objectness = sigmoidDevice(in[base + 4 * total]);
    if (objectness <= 0.5f)
      continue;
    int classId = -1;
    float best = 0.5f;
    for (int c = 0; c < classes; ++c) {
      float p = sigmoidDevice(in[base + (5 + c) * total]) * objectness;
      if (p > best) {
        best = p;
        classId = c;
      }
    }
    if (classId < 0)
      continue;
    int count = (int)atomicAdd(block, 1.0f);
    float *det = block + 1 + count * 6;
    det[0] = (cell % width + sigmoidDevice(in[base])) / width;
    det[1] = (cell / width + sigmoidDevice(in[base + total])) / height;
    det[2] = expf(in[base + 2 * total]) * anchors[2 * k];
    det[3] = expf(in[base + 3 * total]) * anchors[2 * k + 1];
    ((int *)det)[4] = classId;
    det[5] = best;
  }
}

}  // namespace

namespace ovkernels {

cudaError_t upscale(const void *input, void *output, int n, float scale, int channels,
                    int inHeight, int inWidth, int outHeight, int outWidth, int elementSize,
                    int threads, cudaStream_t stream) {
  if (n <= 0)
    return cudaSuccess;
  int blocks = (n + threads - 1) / threads;
  switch (elementSize) {
    case 4:
      ::upscale<float><<<blocks, threads, 0, stream>>>((const float *)input, (float *)output, n,
                                                       scale, channels, inHeight, inWidth,
                                                       outHeight, outWidth);
      break;
    case 2:
      ::upscale<__half><<<blocks, threads, 0, stream>>>((const __half *)input, (__half *)output,
                                                        n, scale, channels, inHeight, inWidth,
                                                        outHeight, outWidth);
      break;
    case 1:
      ::upscale<uint8_t><<<blocks, threads, 0, stream>>>((const uint8_t *)input,
                                                         (uint8_t *)output, n, scale, channels,
                                                         inHeight, inWidth, outHeight, outWidth);
      break;
    default:
      return cudaErrorInvalidValue;
  }
  return cudaGetLastError();
}

cudaError_t calDetection(const float *input, float *output, int cells, int width, int height,
                         const float *anchors, int classes, int outputElem, int threads,
                         cudaStream_t stream) {
  if (cells <= 0)
    return cudaSuccess;
  int blocks = (cells + threads - 1) / threads;
  CalDetection<<<blocks, threads, 0, stream>>>(input, output, cells, width, height, anchors,
                                               classes, outputElem);
  return cudaGetLastError();
}

}  // namespace ovkernels
