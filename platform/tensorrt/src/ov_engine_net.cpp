#include "ov_engine_net.h"

namespace ovengine {

cv::dnn::Net readNetwork(const EngineFile &e, std::string &error) {
  try {
    cv::dnn::Net net;
    switch (e.format) {
      case ModelFormat::Onnx: {
        const Blob *m = e.blob(BlobKind::Model);
        net = cv::dnn::readNetFromONNX(m->data.data(), m->data.size());
        break;
      }
      case ModelFormat::Darknet: {
        const Blob *cfg = e.blob(BlobKind::Config);
        const Blob *w = e.blob(BlobKind::Weights);
        net = cv::dnn::readNetFromDarknet(cfg->data.data(), cfg->data.size(), w->data.data(),
                                          w->data.size());
        break;
      }
      case ModelFormat::Caffe: {
        const Blob *proto = e.blob(BlobKind::Config);
        const Blob *w = e.blob(BlobKind::Weights);
        net = cv::dnn::readNetFromCaffe(proto->data.data(), proto->data.size(),
                                        w ? w->data.data() : nullptr, w ? w->data.size() : 0);
        break;
      }
    }
    if (net.empty())
      error = "the model holds no layers";
    else
      net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    return net;
  } catch (const cv::Exception &ex) {
    error = std::string("the model cannot be read: ") + ex.what();
  } catch (const std::exception &ex) {
    error = std::string("the model cannot be read: ") + ex.what();
  }
  return cv::dnn::Net();
}

bool forwardLayers(cv::dnn::Net &net, const std::string &inputName, const cv::Mat &blob,
                   const std::vector<std::string> &layers, std::vector<cv::Mat> &outputs,
                   std::string &error) {
  try {
    net.setInput(blob, inputName);
    std::vector<cv::Mat> outs;
    net.forward(outs, layers);
    outputs.clear();
    for (auto &m : outs)
      outputs.push_back(m.clone());
    return true;
  } catch (const cv::Exception &ex) {
    error = std::string("forward failed: ") + ex.what();
  }
  return false;
}

}  // namespace ovengine
