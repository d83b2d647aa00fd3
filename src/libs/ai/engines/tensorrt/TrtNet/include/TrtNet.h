/* Everything on the TensorRT / CUDA side of one engine: runtime, engine,
 * execution context, device bindings and the stream. */
#ifndef TRTNET_TRTNET_H
#define TRTNET_TRTNET_H

#include <cstdint>
#include <string>
#include <vector>

#include <NvInfer.h>
#include <cuda_runtime_api.h>

#include "PluginFactory.h"
#include "Utils.h"

namespace Tn {

class trtNet {
 public:
  trtNet(const std::string &engineFile, const int &device, int maxBatch);
  ~trtNet();
  trtNet(const trtNet &) = delete;
  trtNet &operator=(const trtNet &) = delete;

  /* One synchronous inference; false when refused. */
  bool doInference(const void *inputData, void *outputData, int batchSize);

  bool hasEngine() const { return mTrtEngine != nullptr; }
  const std::vector<int> &inputShape() const { return mTrtInputShape; }
  const std::vector<int> &outputShape() const { return mTrtOutputShape; }
  /* Each output binding's shape (batch first), in binding order. */
  const std::vector<std::vector<int>> &outputShapes() const { return mTrtOutputShapes; }
  const std::vector<std::string> &outputNames() const { return mTrtOutputNames; }
  const std::vector<int64_t> &bindingBytes() const { return mTrtBindingBytes; }
  int inputCount() const { return mTrtInputCount; }
  unsigned runs() const { return mTrtRuns; }
  int maxBatch() const { return mTrtMaxBatch; }
  const Profiler &layerTimes() const { return mTrtLayerTimes; }
  /* Sum of the output bindings' bytes. */
  int64_t outputBytes() const;

 private:
  bool InitEngine();
  void release();

  std::vector<int> mTrtInputShape;
  std::vector<int> mTrtOutputShape;
  std::vector<std::vector<int>> mTrtOutputShapes;
  std::vector<std::string> mTrtOutputNames;
  nvinfer1::IExecutionContext *mTrtContext = nullptr;
  nvinfer1::ICudaEngine *mTrtEngine = nullptr;
  nvinfer1::IRuntime *mTrtRunTime = nullptr;
  PluginFactory mTrtPlugins;
  cudaStream_t mTrtStream = nullptr;
  Profiler mTrtLayerTimes;
  std::vector<void *> mTrtBindings;
  std::vector<int64_t> mTrtBindingBytes;
  int mTrtInputCount = 0;
  unsigned int mTrtRuns = 0;
  int mTrtMaxBatch;
};

}  // namespace Tn

#endif
