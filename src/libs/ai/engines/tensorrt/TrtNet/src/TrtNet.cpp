#include "TrtNet.h"

#include <fstream>
#include <iostream>
#include <memory>

#include <NvInferPlugin.h>

namespace Tn {

trtNet::trtNet(const std::string &engineFile, const int &device, int maxBatch)
    : mTrtMaxBatch(maxBatch) {
  initLibNvInferPlugins(&gLogger, "");

  std::ifstream file(engineFile, std::ios::in | std::ios::binary);
  if (!file) {
    std::cout << "read engine file" << engineFile << " failed" << std::endl;
    return;
  }
  file.seekg(0, std::ios::end);
  std::streamoff length = file.tellg();
  file.seekg(0, std::ios::beg);
  if (length <= 0 || !file) {
    std::cout << "read engine file" << engineFile << " failed" << std::endl;
    return;
  }
  std::unique_ptr<char[]> data(new char[static_cast<size_t>(length)]);
  file.read(data.get(), length);
  if (file.gcount() != length) {
    std::cout << "read engine file" << engineFile << " failed" << std::endl;
    return;
  }
  file.close();

  if (device != -1) {
    cudaError_t status = cudaSetDevice(device);
    if (status != cudaSuccess) {
      /* An unusable device index is a load failure, not a crash. */
      std::cerr << "cudaSetDevice(" << device << ") failed: " << cudaGetErrorString(status)
                << std::endl;
      return;
    }
  }

  std::cout << "deserializing" << std::endl;
  mTrtRunTime = nvinfer1::createInferRuntime(gLogger);
  if (mTrtRunTime == nullptr)
    return;
  /* Engines ending in the custom layers load too: the factory rebuilds them. */
  mTrtEngine = mTrtRunTime->deserializeCudaEngine(data.get(), static_cast<size_t>(length),
                                                  &mTrtPlugins);
  if (mTrtEngine == nullptr)
    return;
  if (!InitEngine())
    release();
}

bool trtNet::InitEngine() {
  const bool implicitBatch = mTrtEngine->hasImplicitBatchDimension();
  mTrtContext = mTrtEngine->createExecutionContext();
  if (mTrtContext == nullptr)
    return false;
  mTrtContext->setProfiler(&mTrtLayerTimes);

  const int nbBindings = mTrtEngine->getNbBindings();
  mTrtBindings.assign(static_cast<size_t>(nbBindings), nullptr);
  mTrtBindingBytes.assign(static_cast<size_t>(nbBindings), 0);
  for (int i = 0; i < nbBindings; ++i) {
    nvinfer1::Dims dims = mTrtEngine->getBindingDimensions(i);
    nvinfer1::DataType type = mTrtEngine->getBindingDataType(i);
    int64_t bytes = bindingByteSize(dims, type, mTrtMaxBatch);
    if (bytes < 0) {
      std::cerr << "Invalid DataType." << std::endl;
      return false;
    }
    mTrtBindingBytes[static_cast<size_t>(i)] = bytes;
    /* A binding of volume 0 gets no memory (its pointer stays null). */
    if (bytes > 0)
      mTrtBindings[static_cast<size_t>(i)] = safeCudaMalloc(static_cast<size_t>(bytes));
    std::vector<int> &shape = mTrtEngine->bindingIsInput(i) ? mTrtInputShape : mTrtOutputShape;
    if (mTrtEngine->bindingIsInput(i))
      ++mTrtInputCount;
    std::vector<int> own{mTrtMaxBatch};
    for (int k = implicitBatch ? 0 : 1; k < dims.nbDims; ++k)
      own.push_back(dims.d[k]);
    shape.insert(shape.end(), own.begin(), own.end());
    if (!mTrtEngine->bindingIsInput(i)) {
      mTrtOutputShapes.push_back(own);
      const char *name = mTrtEngine->getBindingName(i);
      mTrtOutputNames.push_back(name ? name : "");
    }
  }
  CUDA_CHECK(cudaStreamCreate(&mTrtStream));
  return true;
}

void trtNet::release() {
  if (mTrtStream) {
    cudaStreamSynchronize(mTrtStream);
    cudaStreamDestroy(mTrtStream);
    mTrtStream = nullptr;
  }
  for (void *p : mTrtBindings)
    if (p)
      CUDA_CHECK(cudaFree(p));
  mTrtBindings.clear();
  /* The engine terminates the plug-ins it was built with when it goes, so
   * they must outlive it: context, engine and runtime first. */
  if (mTrtContext) {
    mTrtContext->destroy();
    mTrtContext = nullptr;
  }
  if (mTrtEngine) {
    mTrtEngine->destroy();
    mTrtEngine = nullptr;
  }
  if (mTrtRunTime) {
    mTrtRunTime->destroy();
    mTrtRunTime = nullptr;
  }
  mTrtPlugins.destroyPlugin();
}

trtNet::~trtNet() { release(); }

int64_t trtNet::outputBytes() const {
  int64_t sum = 0;
  for (size_t i = static_cast<size_t>(mTrtInputCount); i < mTrtBindingBytes.size(); ++i)
    sum += mTrtBindingBytes[i];
  return sum;
}

bool trtNet::doInference(const void *inputData, void *outputData, int batchSize) {
  if (mTrtEngine == nullptr || mTrtContext == nullptr || mTrtInputCount != 1 || batchSize < 1 ||
      batchSize > mTrtEngine->getMaxBatchSize())
    return false;
  CUDA_CHECK(cudaMemcpyAsync(mTrtBindings[0], inputData, static_cast<size_t>(mTrtBindingBytes[0]),
                             cudaMemcpyHostToDevice, mTrtStream));
  if (!mTrtContext->execute(batchSize, mTrtBindings.data()))
    return false;
  auto *out = static_cast<char *>(outputData);
  for (size_t i = static_cast<size_t>(mTrtInputCount); i < mTrtBindings.size(); ++i) {
    CUDA_CHECK(cudaMemcpyAsync(out, mTrtBindings[i], static_cast<size_t>(mTrtBindingBytes[i]),
                               cudaMemcpyDeviceToHost, mTrtStream));
    out += mTrtBindingBytes[i];
  }
  CUDA_CHECK(cudaStreamSynchronize(mTrtStream));
  ++mTrtRuns;
  return true;
}

}  // namespace Tn
