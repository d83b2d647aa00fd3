#include "YoloLayer.h"

#include <cmath>
#include <cstring>
#include <iostream>

#include "Utils.h"
#include "ov_layer_kernels.h"

namespace nvinfer1 {

namespace {

/* Bounds on a rebuilt layer, so a hostile form cannot ask for absurd buffers. */
constexpr int kMaxHeads = 8;
constexpr int kMaxClasses = 1000;
constexpr int kMaxGrid = 1024;
constexpr long kMaxFloats = 1L << 28;

float sigmoid(float v) { return static_cast<float>(1.0 / (1.0 + static_cast<double>(std::exp(-v)))); }

using Tn::get;
using Tn::put;

long inputFloats(const std::vector<Yolo::YoloKernel> &heads, int classes) {
  long n = 0;
  for (const auto &k : heads)
    n += static_cast<long>(classes + 5) * k.width * k.height * Yolo::CHECK_COUNT;
  return n;
}

}  // namespace

YoloLayerPlugin::YoloLayerPlugin(const int cudaThread)
    : mClassCount(Yolo::CLASS_NUM), mKernelCount(3),
      mYoloKernel{Yolo::yolo1, Yolo::yolo2, Yolo::yolo3}, mThreadCount(cudaThread) {}

YoloLayerPlugin::YoloLayerPlugin(const void *data, size_t length)
    : mClassCount(0), mKernelCount(0), mThreadCount(0) {
  mValid = false;
  if (data == nullptr || length < 12)
    return;
  const char *p = static_cast<const char *>(data);
  get(p, mClassCount);
  get(p, mThreadCount);
  get(p, mKernelCount);
  if (mKernelCount < 1 || mKernelCount > kMaxHeads ||
      length != 12 + sizeof(Yolo::YoloKernel) * static_cast<size_t>(mKernelCount))
    return;
  mYoloKernel.resize(static_cast<size_t>(mKernelCount));
  for (auto &k : mYoloKernel)
    get(p, k);
  if (mClassCount < 1 || mClassCount > kMaxClasses || mThreadCount < 1 || mThreadCount > 1024)
    return;
  for (const auto &k : mYoloKernel) {
    if (k.width < 1 || k.width > kMaxGrid || k.height < 1 || k.height > kMaxGrid)
      return;
    for (float a : k.anchors)
      if (!std::isfinite(a))
        return;
  }
  mValid = inputFloats(mYoloKernel, mClassCount) <= kMaxFloats &&
           6L * maxBoxes() + 1 <= kMaxFloats;
}

YoloLayerPlugin::~YoloLayerPlugin() {
  terminate();
  if (mInputBuffer)
    CUDA_CHECK(cudaFreeHost(mInputBuffer));
  if (mOutputBuffer)
    CUDA_CHECK(cudaFreeHost(mOutputBuffer));
}

int YoloLayerPlugin::maxBoxes() const {
  long boxes = 0;
  for (const auto &k : mYoloKernel)
    boxes += static_cast<long>(k.width) * k.height * Yolo::CHECK_COUNT;
  return static_cast<int>(boxes);
}

Dims YoloLayerPlugin::getOutputDimensions(int index, const Dims *inputs, int nbInputDims) {
  /* The decoding reads each head at its configured grid: other inputs would
   * be read past their end. */
  mInputsMatch = nbInputDims == mKernelCount;
  for (int i = 0; mInputsMatch && i < nbInputDims; ++i) {
    const auto &k = mYoloKernel[static_cast<size_t>(i)];
    const Dims &d = inputs[i];
    mInputsMatch = d.nbDims == 3 && d.d[0] == Yolo::CHECK_COUNT * (mClassCount + 5) &&
                   d.d[1] == k.height && d.d[2] == k.width;
  }
  return DimsCHW(outputElements(), 1, 1);
}

int YoloLayerPlugin::initialize() {
  if (!mInputBuffer)
    CUDA_CHECK(cudaHostAlloc(reinterpret_cast<void **>(&mInputBuffer),
                             sizeof(float) * static_cast<size_t>(inputFloats(mYoloKernel, mClassCount)),
                             cudaHostAllocDefault));
  if (!mOutputBuffer)
    CUDA_CHECK(cudaHostAlloc(reinterpret_cast<void **>(&mOutputBuffer),
                             sizeof(float) + sizeof(Yolo::Detection) * static_cast<size_t>(maxBoxes()),
                             cudaHostAllocDefault));
  if (!mDevAnchors && !mYoloKernel.empty()) {
    const size_t perHead = Yolo::CHECK_COUNT * 2;
    std::vector<float> anchors;
    for (const auto &k : mYoloKernel) anchors.insert(anchors.end(), k.anchors, k.anchors + perHead);
    CUDA_CHECK(cudaMalloc(reinterpret_cast<void **>(&mDevAnchors), sizeof(float) * anchors.size()));
    CUDA_CHECK(cudaMemcpy(mDevAnchors, anchors.data(), sizeof(float) * anchors.size(),
                          cudaMemcpyHostToDevice));
  }
  return 0;
}

void YoloLayerPlugin::terminate() {
  if (mDevAnchors) {
    CUDA_CHECK(cudaFree(mDevAnchors));
    mDevAnchors = nullptr;
  }
}

size_t YoloLayerPlugin::getSerializationSize() {
  return 3 * sizeof(int) + sizeof(Yolo::YoloKernel) * mYoloKernel.size();
}

void YoloLayerPlugin::serialize(void *buffer) {
  char *p = static_cast<char *>(buffer);
  put(p, mClassCount);
  put(p, mThreadCount);
  put(p, mKernelCount);
  for (const auto &k : mYoloKernel)
    put(p, k);
}

int YoloLayerPlugin::enqueue(int batchSize, const void *const *inputs, void **outputs,
                             void *workspace, cudaStream_t stream) {
  if (!mInputsMatch) {
    std::cerr << "yolo-det: the input heads do not match the layer's grids" << std::endl;
    return -1;
  }
  return forwardGpu(reinterpret_cast<const float *const *>(inputs),
                    static_cast<float *>(outputs[0]), stream, batchSize);
}

int YoloLayerPlugin::forwardGpu(const float *const *inputs, float *output, cudaStream_t stream,
                                int batchSize) {
  if (!mDevAnchors)
    initialize();
  const int outputElem = outputElements();
  // Everything is queued on the stream TensorRT runs the network on: the
  // box counts cleared, then one launch per head.
  for (int b = 0; b < batchSize; ++b)
    CUDA_CHECK(cudaMemsetAsync(output + static_cast<long>(b) * outputElem, 0, sizeof(float),
                               stream));
  for (size_t i = 0; i < mYoloKernel.size(); ++i) {
    const auto &k = mYoloKernel[i];
    const cudaError_t launched = ovkernels::calDetection(
        inputs[i], output, k.width * k.height * batchSize, k.width, k.height,
        mDevAnchors + i * Yolo::CHECK_COUNT * 2, mClassCount, outputElem, mThreadCount, stream);
    if (launched != cudaSuccess) {
      std::cerr << "yolo-det: the decoding of head " << i
                << " could not be launched: " << cudaGetErrorString(launched) << std::endl;
      return -1;
    }
  }
  return 0;
}

void YoloLayerPlugin::forwardCpu(const float *const *inputs, float *output, cudaStream_t stream,
                                 int batchSize) {
  if (!mInputBuffer || !mOutputBuffer)
    initialize();
  const int outputElem = outputElements();
  for (int b = 0; b < batchSize; ++b) {
    size_t offset = 0;
    for (size_t i = 0; i < mYoloKernel.size(); ++i) {
      const auto &k = mYoloKernel[i];
      const size_t size = static_cast<size_t>(mClassCount + 5) * k.width * k.height * Yolo::CHECK_COUNT;
      CUDA_CHECK(cudaMemcpyAsync(mInputBuffer + offset, inputs[i] + b * size, size * sizeof(float),
                                 cudaMemcpyDeviceToHost, stream));
      offset += size;
    }
    CUDA_CHECK(cudaStreamSynchronize(stream));

    std::vector<Yolo::Detection> found;
    const float *head = mInputBuffer;
    for (const auto &k : mYoloKernel) {
      const int cells = k.width * k.height;
      for (int i = 0; i < cells; ++i)
        for (int j = 0; j < Yolo::CHECK_COUNT; ++j) {
          const int base = i + cells * (mClassCount + 5) * j;
          auto v = [&](int c) { return head[base + c * cells]; };
          const float objectness = sigmoid(v(4));
          if (objectness <= Yolo::IGNORE_THRESH)
            continue;
          int classId = -1;
          float best = Yolo::IGNORE_THRESH;
          for (int c = 0; c < mClassCount; ++c) {
            const float p = sigmoid(v(5 + c)) * objectness;
            if (p > best) {
              best = p;
              classId = c;
            }
          }
          if (classId == -1)
            continue;
          Yolo::Detection d;
          d.bbox[0] = (i % k.width + sigmoid(v(0))) / k.width;
          d.bbox[1] = (i / k.width + sigmoid(v(1))) / k.height;
          d.bbox[2] = k.anchors[2 * j] * std::exp(v(2));
          d.bbox[3] = k.anchors[2 * j + 1] * std::exp(v(3));
          d.classId = classId;
          d.prob = best;
          found.push_back(d);
        }
      head += static_cast<size_t>(cells) * (mClassCount + 5) * Yolo::CHECK_COUNT;
    }
    mOutputBuffer[0] = static_cast<float>(found.size());
    if (!found.empty())
      std::memcpy(mOutputBuffer + 1, found.data(), found.size() * sizeof(Yolo::Detection));
    CUDA_CHECK(cudaMemcpyAsync(output + static_cast<long>(b) * outputElem, mOutputBuffer,
                               sizeof(float) + found.size() * sizeof(Yolo::Detection),
                               cudaMemcpyHostToDevice, stream));
  }
  CUDA_CHECK(cudaStreamSynchronize(stream));
}

}  // namespace nvinfer1
