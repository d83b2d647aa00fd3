#include "UpsampleLayer.h"

#include <cmath>
#include <cstring>
#include <iostream>

#include "Utils.h"
#include "ov_layer_kernels.h"

namespace nvinfer1 {

namespace {

static_assert(sizeof(Dims) == 68, "serialized Dims layout");

int elementSize(DataType type) {
  switch (type) {
    case DataType::kFLOAT: return 4;
    case DataType::kHALF: return 2;
    case DataType::kINT8: return 1;
    default: std::cerr << "error data type" << std::endl; return 0;
  }
}

using Tn::get;
using Tn::put;

}  // namespace

UpsampleLayerPlugin::UpsampleLayerPlugin(const float scale, const int cudaThread)
    : mCHW{}, mDataType(DataType::kFLOAT), mScale(scale), mOutputWidth(0), mOutputHeight(0),
      mThreadCount(cudaThread) {}

UpsampleLayerPlugin::UpsampleLayerPlugin(const void *data, size_t length)
    : mCHW{}, mDataType(DataType::kFLOAT), mScale(0), mOutputWidth(0), mOutputHeight(0),
      mThreadCount(0) {
  if (data == nullptr || length != kSerializedSize) {
    mValid = false;
    return;
  }
  const char *p = static_cast<const char *>(data);
  get(p, mCHW);
  get(p, mDataType);
  get(p, mScale);
  get(p, mOutputWidth);
  get(p, mOutputHeight);
  get(p, mThreadCount);
  /* Values an engine could not have produced. */
  const int t = static_cast<int>(mDataType);
  bool dimsOk = mCHW.nbDims == 3;
  for (int i = 0; dimsOk && i < 3; ++i)
    dimsOk = mCHW.d[i] > 0 && mCHW.d[i] <= (1 << 16);
  mValid = dimsOk && t >= 0 && t <= 2 && std::isfinite(mScale) && mScale > 0 && mScale <= 64 &&
           mThreadCount > 0 && mThreadCount <= 1024 &&
           mOutputHeight == static_cast<int>(mCHW.d[1] * mScale) &&
           mOutputWidth == static_cast<int>(mCHW.d[2] * mScale);
}

Dims UpsampleLayerPlugin::getOutputDimensions(int index, const Dims *inputs, int nbInputDims) {
  mCHW = inputs[0];
  mOutputHeight = static_cast<int>(inputs[0].d[1] * mScale);
  mOutputWidth = static_cast<int>(inputs[0].d[2] * mScale);
  return DimsCHW(inputs[0].d[0], mOutputHeight, mOutputWidth);
}

bool UpsampleLayerPlugin::supportsFormat(DataType type, PluginFormat format) const {
  return (type == DataType::kFLOAT || type == DataType::kHALF || type == DataType::kINT8) &&
         format == PluginFormat::kNCHW;
}

void UpsampleLayerPlugin::configureWithFormat(const Dims *inputDims, int nbInputs,
                                              const Dims *outputDims, int nbOutputs,
                                              DataType type, PluginFormat format,
                                              int maxBatchSize) {
  mConfigured = supportsFormat(type, format);
  if (mConfigured)
    mDataType = type;
}

int UpsampleLayerPlugin::initialize() {
  mOutputWidth = static_cast<int>(mCHW.d[2] * mScale);
  mOutputHeight = static_cast<int>(mCHW.d[1] * mScale);
  return 0;
}

void UpsampleLayerPlugin::serialize(void *buffer) {
  char *p = static_cast<char *>(buffer);
  put(p, mCHW);
  put(p, mDataType);
  put(p, mScale);
  put(p, mOutputWidth);
  put(p, mOutputHeight);
  put(p, mThreadCount);
}

int UpsampleLayerPlugin::enqueue(int batchSize, const void *const *inputs, void **outputs,
                                 void *workspace, cudaStream_t stream) {
  /* A type without a kernel leaves the output unwritten: that is a failure. */
  if (!mConfigured) {
    std::cerr << "error data type" << std::endl;
    return -1;
  }
  const int size = elementSize(mDataType);
  if (size == 0)
    return -1;
  const int channels = mCHW.d[0], height = mCHW.d[1], width = mCHW.d[2];
  if (mOutputHeight == height && mOutputWidth == width) {
    CUDA_CHECK(cudaMemcpyAsync(outputs[0], inputs[0],
                               static_cast<size_t>(batchSize) * channels * height * width * size,
                               cudaMemcpyDeviceToDevice, stream));
    CUDA_CHECK(cudaStreamSynchronize(stream));
    return 0;
  }
  const int n = batchSize * channels * mOutputHeight * mOutputWidth;
  const cudaError_t launched = ovkernels::upscale(inputs[0], outputs[0], n, mScale, channels,
                                                  height, width, mOutputHeight, mOutputWidth,
                                                  size, mThreadCount, stream);
  if (launched != cudaSuccess) {
    std::cerr << "upsample: the kernel could not be launched: " << cudaGetErrorString(launched)
              << std::endl;
    return -1;
  }
  return 0;
}

}  // namespace nvinfer1
