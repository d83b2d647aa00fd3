/* CPU stand-in for the subset of the TensorRT 7 C++ API that the engine
 * layer and the custom layers use.  Engines are the files written by
 * ov-build-engine (docs/engine-format.md) and run through OpenCV DNN; the
 * implicit batch dimension is the only mode. */
#ifndef OV_CPU_NV_INFER_H
#define OV_CPU_NV_INFER_H

#include <cstddef>
#include <cstdint>

#include <cuda_runtime_api.h>

#define NV_TENSORRT_MAJOR 7
#define NV_TENSORRT_MINOR 1
#define NV_TENSORRT_PATCH 3
#define NV_TENSORRT_BUILD 0
#define NV_TENSORRT_VERSION \
  ((NV_TENSORRT_MAJOR * 1000) + (NV_TENSORRT_MINOR * 100) + NV_TENSORRT_PATCH)

#define OV_NVINFER_API

namespace nvinfer1 {

enum class DataType : int32_t { kFLOAT = 0, kHALF = 1, kINT8 = 2, kINT32 = 3, kBOOL = 4 };

enum class DimensionType : int32_t { kSPATIAL = 0, kCHANNEL = 1, kINDEX = 2, kSEQUENCE = 3 };

enum class TensorFormat : int32_t { kLINEAR = 0, kNCHW = 0, kNC2HW2 = 1, kNHWC8 = 2 };
using PluginFormat = TensorFormat;

class Dims {
 public:
  static const int MAX_DIMS = 8;
  int nbDims;
  int d[MAX_DIMS];
  DimensionType type[MAX_DIMS];
};

class DimsCHW : public Dims {
 public:
  DimsCHW() : DimsCHW(0, 0, 0) {}
  DimsCHW(int channels, int height, int width) {
    nbDims = 3;
    d[0] = channels;
    d[1] = height;
    d[2] = width;
    type[0] = DimensionType::kCHANNEL;
    type[1] = type[2] = DimensionType::kSPATIAL;
    for (int i = 3; i < MAX_DIMS; ++i) {
      d[i] = 0;
      type[i] = DimensionType::kSPATIAL;
    }
  }
  int &c() { return d[0]; }
  int c() const { return d[0]; }
  int &h() { return d[1]; }
  int h() const { return d[1]; }
  int &w() { return d[2]; }
  int w() const { return d[2]; }
};

struct Weights {
  DataType type;
  const void *values;
  int64_t count;
};

class ILogger {
 public:
  enum class Severity : int32_t {
    kINTERNAL_ERROR = 0,
    kERROR = 1,
    kWARNING = 2,
    kINFO = 3,
    kVERBOSE = 4,
  };
  virtual void log(Severity severity, const char *msg) = 0;
  virtual ~ILogger() {}
};

class IProfiler {
 public:
  virtual void reportLayerTime(const char *layerName, float ms) = 0;
  virtual ~IProfiler() {}
};

class IPlugin {
 public:
  virtual int getNbOutputs() const = 0;
  virtual Dims getOutputDimensions(int index, const Dims *inputs, int nbInputDims) = 0;
  virtual void configure(const Dims *inputDims, int nbInputs, const Dims *outputDims,
                         int nbOutputs, int maxBatchSize) = 0;
  virtual int initialize() = 0;
  virtual void terminate() = 0;
  virtual size_t getWorkspaceSize(int maxBatchSize) const = 0;
  virtual int enqueue(int batchSize, const void *const *inputs, void **outputs, void *workspace,
                      cudaStream_t stream) = 0;
  virtual size_t getSerializationSize() = 0;
  virtual void serialize(void *buffer) = 0;
  virtual ~IPlugin() {}
};

class IPluginExt : public IPlugin {
 public:
  virtual int getTensorRTVersion() const { return NV_TENSORRT_VERSION; }
  virtual bool supportsFormat(DataType type, PluginFormat format) const = 0;
  virtual void configureWithFormat(const Dims *inputDims, int nbInputs, const Dims *outputDims,
                                   int nbOutputs, DataType type, PluginFormat format,
                                   int maxBatchSize) = 0;

 protected:
  void configure(const Dims *inputDims, int nbInputs, const Dims *outputDims, int nbOutputs,
                 int maxBatchSize) final {
    configureWithFormat(inputDims, nbInputs, outputDims, nbOutputs, DataType::kFLOAT,
                        PluginFormat::kNCHW, maxBatchSize);
  }
};

class IPluginFactory {
 public:
  virtual IPlugin *createPlugin(const char *layerName, const void *serialData,
                                size_t serialLength) = 0;
  virtual ~IPluginFactory() {}
};

class IExecutionContext;

class ICudaEngine {
 public:
  virtual int getNbBindings() const = 0;
  virtual int getBindingIndex(const char *name) const = 0;
  virtual const char *getBindingName(int bindingIndex) const = 0;
  virtual bool bindingIsInput(int bindingIndex) const = 0;
  virtual Dims getBindingDimensions(int bindingIndex) const = 0;
  virtual DataType getBindingDataType(int bindingIndex) const = 0;
  virtual int getMaxBatchSize() const = 0;
  virtual int getNbLayers() const = 0;
  virtual bool hasImplicitBatchDimension() const = 0;
  virtual IExecutionContext *createExecutionContext() = 0;
  virtual void destroy() = 0;

 protected:
  virtual ~ICudaEngine() {}
};

class IExecutionContext {
 public:
  virtual bool execute(int batchSize, void **bindings) = 0;
  virtual bool enqueue(int batchSize, void **bindings, cudaStream_t stream,
                       void *inputConsumed) = 0;
  virtual void setProfiler(IProfiler *profiler) = 0;
  virtual IProfiler *getProfiler() const = 0;
  virtual const ICudaEngine &getEngine() const = 0;
  virtual void destroy() = 0;

 protected:
  virtual ~IExecutionContext() {}
};

class IRuntime {
 public:
  virtual ICudaEngine *deserializeCudaEngine(const void *blob, size_t size,
                                             IPluginFactory *pluginFactory) = 0;
  virtual void destroy() = 0;

 protected:
  virtual ~IRuntime() {}
};

}  // namespace nvinfer1

extern "C" OV_NVINFER_API void *createInferRuntime_INTERNAL(void *logger, int version);

namespace nvinfer1 {
inline IRuntime *createInferRuntime(ILogger &logger) {
  return static_cast<IRuntime *>(createInferRuntime_INTERNAL(&logger, NV_TENSORRT_VERSION));
}
}  // namespace nvinfer1

#endif /* OV_CPU_NV_INFER_H */
