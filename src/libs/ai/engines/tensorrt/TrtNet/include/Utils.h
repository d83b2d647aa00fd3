/* TensorRT callbacks of the engine layer (logger, per-layer profiler) and
 * the CUDA helpers: a failing CUDA call is fatal. */
#ifndef TRTNET_UTILS_H
#define TRTNET_UTILS_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <NvInfer.h>
#include <cuda_runtime_api.h>

#ifndef CUDA_CHECK
#define CUDA_CHECK(callstr)                                                            \
  do {                                                                                 \
    cudaError_t error_code = (callstr);                                                \
    if (error_code != cudaSuccess) {                                                   \
      std::cerr << "CUDA error " << error_code << " at " << __FILE__ << ":" << __LINE__ \
                << std::endl;                                                          \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)
#endif

namespace Tn {

/* The serialized forms of the plug-ins: each value copied byte for byte at
 * the cursor, which moves past it. */
template <typename T>
void put(char *&p, const T &v) {
  std::memcpy(p, &v, sizeof v);
  p += sizeof v;
}

template <typename T>
void get(const char *&p, T &v) {
  std::memcpy(&v, p, sizeof v);
  p += sizeof v;
}

class Logger : public nvinfer1::ILogger {
 public:
  explicit Logger(Severity severity = Severity::kWARNING)
      : reportableSeverity(static_cast<int>(severity)) {}
  void log(Severity severity, const char *msg) override;
  int reportableSeverity;
};

class Profiler : public nvinfer1::IProfiler {
 public:
  void reportLayerTime(const char *layerName, float ms) override;
  std::vector<std::pair<std::string, float>> mProfile;
};

/* cudaMalloc; a CUDA error aborts, a null block without error exits(1).
 * Zero bytes allocate nothing and give null. */
void *safeCudaMalloc(size_t memSize);

/* Bytes of a binding of `dims` for `maxBatch` images; -1 for a data type
 * other than float, half, int8, int32 and bool. */
int64_t bindingByteSize(const nvinfer1::Dims &dims, nvinfer1::DataType type, int maxBatch);

}  // namespace Tn

/* The logger handed to TensorRT everywhere in the plug-in (threshold warning). */
extern Tn::Logger gLogger;

#endif
