/* Turns the model blobs of an engine file into an OpenCV DNN network; shared
 * by the runtime and ov-build-engine. */
#ifndef OV_ENGINE_NET_H
#define OV_ENGINE_NET_H

#include <string>
#include <vector>

#include <opencv2/dnn.hpp>

#include "ov_engine_file.h"

namespace ovengine {

/* Reads the network; returns an empty net and sets `error` on failure. */
OV_ENGINE_FILE_API cv::dnn::Net readNetwork(const EngineFile &engine, std::string &error);

/* Runs one forward pass over a batch × C × H × W blob and returns the named
 * layers' outputs (copies, safe across runs). */
OV_ENGINE_FILE_API bool forwardLayers(cv::dnn::Net &net, const std::string &inputName,
                                      const cv::Mat &blob, const std::vector<std::string> &layers,
                                      std::vector<cv::Mat> &outputs, std::string &error);

}  // namespace ovengine

#endif /* OV_ENGINE_NET_H */
