/* Nearest-neighbour upsampling by a fixed factor. */
#ifndef TRTNET_UPSAMPLE_LAYER_H
#define TRTNET_UPSAMPLE_LAYER_H

#include <NvInfer.h>

namespace nvinfer1 {

class UpsampleLayerPlugin : public IPluginExt {
 public:
  UpsampleLayerPlugin(const float scale, const int cudaThread = 512);
  /* Rebuilds from the 88-byte form; valid() is false for any other length
   * or for values that cannot be right. */
  UpsampleLayerPlugin(const void *data, size_t length);
  ~UpsampleLayerPlugin() override = default;

  int getNbOutputs() const override { return 1; }
  Dims getOutputDimensions(int index, const Dims *inputs, int nbInputDims) override;
  bool supportsFormat(DataType type, PluginFormat format) const override;
  void configureWithFormat(const Dims *inputDims, int nbInputs, const Dims *outputDims,
                           int nbOutputs, DataType type, PluginFormat format,
                           int maxBatchSize) override;
  int initialize() override;
  void terminate() override {}
  size_t getWorkspaceSize(int maxBatchSize) const override { return 0; }
  int enqueue(int batchSize, const void *const *inputs, void **outputs, void *workspace,
              cudaStream_t stream) override;
  size_t getSerializationSize() override { return kSerializedSize; }
  void serialize(void *buffer) override;
  int getTensorRTVersion() const override { return NV_TENSORRT_VERSION; }

  static constexpr size_t kSerializedSize = 88;
  bool valid() const { return mValid; }
  bool configured() const { return mConfigured; }
  DataType dataType() const { return mDataType; }

 private:
  Dims mCHW;
  DataType mDataType;
  float mScale;
  int mOutputWidth;
  int mOutputHeight;
  int mThreadCount;
  void *mInputBuffer = nullptr;
  void *mOutputBuffer = nullptr;

  bool mValid = true;
  bool mConfigured = true;
};

}  // namespace nvinfer1

#endif
