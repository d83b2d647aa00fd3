/* What the inference element sees of an engine. */
#ifndef TRTNET_BASE_ENGINE_H
#define TRTNET_BASE_ENGINE_H

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

class BaseEngine {
 public:
  virtual void Clear() = 0;
  virtual bool Load() = 0;
  virtual bool Update(const cv::Mat &image, int index) = 0;
  virtual bool Infer() = 0;
  virtual void *OutputData() = 0;
  virtual uint64_t DataSize() = 0;

  std::vector<int64_t> inputDims;  /* [batch, C, H, W] */
  std::vector<int64_t> outputDims; /* per output binding: batch, dims... */
  /* The same, one shape per output binding in binding order. */
  std::vector<std::vector<int64_t>> outputShapes;
  std::vector<std::string> inputNames;
  std::vector<std::string> outputNames;

 protected:
  /* Always owned by a shared pointer made for the concrete type. */
  ~BaseEngine() = default;
};

#endif
