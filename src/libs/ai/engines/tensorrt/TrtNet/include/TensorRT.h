/* The TensorRT engine behind BaseEngine: host buffers and preprocessing of
 * BGR frames into the planar input blob. */
#ifndef TRTNET_TENSORRT_H
#define TRTNET_TENSORRT_H

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "BaseEngine.h"
#include "TrtNet.h"

class TensorRT final : public BaseEngine {
 public:
  TensorRT(const std::string &model, float scale, const std::string &mean, int device, int batch);
  ~TensorRT();
  TensorRT(const TensorRT &) = delete;
  TensorRT &operator=(const TensorRT &) = delete;

  void Clear() override;
  bool Load() override;
  bool Update(const cv::Mat &image, int index) override;
  bool Infer() override;
  void *OutputData() override;
  uint64_t DataSize() override;

  /* Images in the current blob (the next index Update accepts). */
  int Images() const { return images; }
  const Tn::trtNet *Net() const { return net.get(); }

 private:
  bool ParseMeans();

  std::unique_ptr<Tn::trtNet> net;
  std::unique_ptr<float[]> output;
  std::vector<float> input;
  std::unique_ptr<cv::Mat> meanImage;
  std::string modelPath;
  std::string meanText;
  float scale;
  int batch;
  int device;
  uint64_t outputSize = 0;

  std::vector<float> means; /* the three values of meanText, scaled */
  std::vector<cv::Mat> planes; /* reused 8-bit channel planes */
  int images = 0;
};

std::shared_ptr<BaseEngine> MakeTensorRT(const std::string &model, float scale,
                                         const std::string &mean, const int &device, int batch);

#endif
