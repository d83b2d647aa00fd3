/* The YOLO detection layer: three raw heads in, per image a count and the
 * boxes found (see YoloConfigs.h), decoded on the device or on the host. */
#ifndef TRTNET_YOLO_LAYER_H
#define TRTNET_YOLO_LAYER_H

#include <vector>

#include <NvInfer.h>

#include "YoloConfigs.h"

namespace nvinfer1 {

class YoloLayerPlugin : public IPluginExt {
 public:
  explicit YoloLayerPlugin(const int cudaThread = 512);
  /* Rebuilds from the serialized form; valid() is false unless `length` is
   * exactly 12 + 32 × head count and the values are sane. */
  YoloLayerPlugin(const void *data, size_t length);
  ~YoloLayerPlugin() override;

  int getNbOutputs() const override { return 1; }
  Dims getOutputDimensions(int index, const Dims *inputs, int nbInputDims) override;
  bool supportsFormat(DataType type, PluginFormat format) const override {
    return type == DataType::kFLOAT && format == PluginFormat::kNCHW;
  }
  void configureWithFormat(const Dims *inputDims, int nbInputs, const Dims *outputDims,
                           int nbOutputs, DataType type, PluginFormat format,
                           int maxBatchSize) override {}
  int initialize() override;
  /* Frees the device copy of the anchors (initialize makes it again). */
  void terminate() override;
  size_t getWorkspaceSize(int maxBatchSize) const override { return 0; }
  int enqueue(int batchSize, const void *const *inputs, void **outputs, void *workspace,
              cudaStream_t stream) override;
  size_t getSerializationSize() override;
  void serialize(void *buffer) override;
  int getTensorRTVersion() const override { return NV_TENSORRT_VERSION; }

  /* Queues the decoding of every head on `stream`; 0, or -1 when a launch
   * failed (said on standard error). */
  int forwardGpu(const float *const *inputs, float *output, cudaStream_t stream,
                 int batchSize = 1);
  void forwardCpu(const float *const *inputs, float *output, cudaStream_t stream,
                  int batchSize = 1);

  bool valid() const { return mValid; }
  /* Boxes the output block of one image can hold (B). */
  int maxBoxes() const;
  /* Floats per image in the output: 1 + 6 × B. */
  int outputElements() const { return 1 + 6 * maxBoxes(); }
  int classCount() const { return mClassCount; }
  const std::vector<Yolo::YoloKernel> &heads() const { return mYoloKernel; }

 private:
  int mClassCount;
  int mKernelCount;
  std::vector<Yolo::YoloKernel> mYoloKernel;
  int mThreadCount;
  float *mInputBuffer = nullptr;
  float *mOutputBuffer = nullptr;
  /* The anchors of every head on the device, copied once by initialize and
   * kept across runs. */
  float *mDevAnchors = nullptr;

  bool mValid = true;
  bool mInputsMatch = true; /* the heads given match the configured grids */
};

}  // namespace nvinfer1

#endif
