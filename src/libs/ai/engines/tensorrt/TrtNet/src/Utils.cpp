#include "Utils.h"

#include <cstring>

Tn::Logger gLogger(nvinfer1::ILogger::Severity::kWARNING);

namespace Tn {

void Logger::log(Severity severity, const char *msg) {
  if (static_cast<int>(severity) > reportableSeverity)
    return;
  switch (severity) {
    case Severity::kINTERNAL_ERROR: std::cerr << "INTERNAL_ERROR: "; break;
    case Severity::kERROR: std::cerr << "ERROR: "; break;
    case Severity::kWARNING: std::cerr << "WARNING: "; break;
    case Severity::kINFO: std::cerr << "INFO: "; break;
    default: std::cerr << "UNKNOWN: "; break;
  }
  std::cerr << (msg ? msg : "") << std::endl;
}

void Profiler::reportLayerTime(const char *layerName, float ms) {
  const char *name = layerName ? layerName : "";
  for (auto &entry : mProfile)
    if (entry.first == name) {
      entry.second += ms;
      return;
    }
  mProfile.emplace_back(name, ms);
}

void *safeCudaMalloc(size_t memSize) {
  /* cudaMalloc of 0 bytes succeeds with null: nothing to allocate. */
  if (memSize == 0)
    return nullptr;
  void *deviceMem = nullptr;
  CUDA_CHECK(cudaMalloc(&deviceMem, memSize));
  if (deviceMem == nullptr) {
    std::cerr << "Out of memory" << std::endl;
    std::exit(1);
  }
  return deviceMem;
}

int64_t bindingByteSize(const nvinfer1::Dims &dims, nvinfer1::DataType type, int maxBatch) {
  int64_t element;
  switch (type) {
    case nvinfer1::DataType::kFLOAT:
    case nvinfer1::DataType::kINT32: element = 4; break;
    case nvinfer1::DataType::kHALF: element = 2; break;
    case nvinfer1::DataType::kINT8:
    case nvinfer1::DataType::kBOOL: element = 1; break;
    default: return -1;
  }
  int64_t count = maxBatch;
  for (int i = 0; i < dims.nbDims; ++i)
    count *= dims.d[i];
  return count * element;
}

}  // namespace Tn
