#include "TensorRT.h"

#include <iostream>
#include <sstream>

TensorRT::TensorRT(const std::string &model, float scale_, const std::string &mean, int device_,
                   int batch_)
    : modelPath(model), meanText(mean), scale(scale_), batch(batch_), device(device_) {}

TensorRT::~TensorRT() { Clear(); }

void TensorRT::Clear() {
  std::cout << "TensorRT clear" << std::endl;
  net.reset();
  output.reset();
  input.clear();
  meanImage.reset();
  means.clear();
  images = 0;
}

bool TensorRT::Load() {
  net.reset(new Tn::trtNet(modelPath, device, batch));
  if (!net->hasEngine())
    return false;
  const int64_t bytes = net->outputBytes();
  /* Sized in bytes: half and int8 outputs need not add up to whole floats. */
  output.reset(new float[static_cast<size_t>((bytes + 3) / 4)]());
  for (int v : net->inputShape())
    inputDims.push_back(v);
  for (int v : net->outputShape())
    outputDims.push_back(v);
  for (const std::vector<int> &shape : net->outputShapes())
    outputShapes.emplace_back(shape.begin(), shape.end());
  outputNames = net->outputNames();
  return true;
}

bool TensorRT::ParseMeans() {
  std::istringstream in(meanText);
  std::vector<float> values;
  float v;
  while (in >> v)
    values.push_back(v);
  if (values.size() != 3) {
    std::cerr << "TensorRT: mean \"" << meanText << "\" must hold three numbers, it holds "
              << values.size() << std::endl;
    return false;
  }
  means = values;
  return true;
}

bool TensorRT::Update(const cv::Mat &image, int index) {
  if (!net || !net->hasEngine() || inputDims.size() < 4)
    return false;
  const int channels = static_cast<int>(inputDims[1]);
  const int height = static_cast<int>(inputDims[2]);
  const int width = static_cast<int>(inputDims[3]);
  /* Slots are filled in order; a gap or a slot past the batch has no home. */
  if (index < 0 || index >= batch || (index != 0 && index != images))
    return false;
  if (image.type() != CV_8UC3 || channels != 3 || image.rows != height || image.cols != width)
    return false;

  if (!meanImage) {
    if (!ParseMeans())
      return false;
    std::vector<cv::Mat> channelMats;
    for (float m : means)
      channelMats.emplace_back(image.rows, image.cols, CV_32FC1, cv::Scalar(m * scale));
    meanImage.reset(new cv::Mat);
    cv::merge(channelMats, *meanImage);
  }
  if (meanImage->rows != image.rows || meanImage->cols != image.cols)
    return false;

  if (index == 0) {
    input.clear();
    images = 0;
  }
  const size_t plane = static_cast<size_t>(image.rows) * static_cast<size_t>(image.cols);
  const size_t offset = input.size();
  input.resize(offset + 3 * plane);
  /* (pixel - m) × s per channel in one pass per plane, written planar. */
  cv::split(image, planes);
  for (int c = 0; c < 3; ++c) {
    cv::Mat dst(image.rows, image.cols, CV_32FC1, input.data() + offset + c * plane);
    planes[static_cast<size_t>(c)].convertTo(dst, CV_32F, scale, -means[static_cast<size_t>(c)] * scale);
  }
  ++images;
  return true;
}

bool TensorRT::Infer() {
  if (!net || !net->hasEngine() || !output)
    return false;
  /* The copy to the device always moves every slot: slots without an image
   * in this batch read as zeros. */
  const size_t full = static_cast<size_t>(net->bindingBytes()[0] / 4);
  if (input.size() < full)
    input.resize(full, 0.0f);
  return net->doInference(input.data(), output.get(), batch);
}

void *TensorRT::OutputData() {
  outputSize = net ? static_cast<uint64_t>(net->outputBytes()) : 0;
  return output.get();
}

uint64_t TensorRT::DataSize() { return outputSize; }

std::shared_ptr<BaseEngine> MakeTensorRT(const std::string &model, float scale,
                                         const std::string &mean, const int &device, int batch) {
  return std::make_shared<TensorRT>(model, scale, mean, device, batch);
}
