/* The builder behind ov-build-engine, callable from tests. */
#ifndef OV_BUILD_ENGINE_H
#define OV_BUILD_ENGINE_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "NvInfer.h"
#include "model_info.h"
#include "ov_engine_file.h"

namespace ovbuild {

struct BuildOptions {
  ovengine::ModelFormat format = ovengine::ModelFormat::Onnx;
  std::string model;   /* ONNX file, Darknet cfg or Caffe prototxt */
  std::string weights; /* Darknet weights or caffemodel */
  std::string save;
  uint32_t maxBatch = 1;
  int inputWidth = 0, inputHeight = 0; /* 0: from the model */
  std::vector<std::string> outputs;    /* empty: the defaults */
  bool yoloPlugin = false;
  std::string yoloPluginSerial; /* serialized YOLO layer, when yoloPlugin */
  std::vector<std::vector<int32_t>> yoloPluginInputDims; /* heads it expects */
  std::vector<int32_t> yoloPluginOutputDims;
};

/* What the model says about using it, beyond the bindings. */
struct ModelHints {
  ovengine::ModelFormat format = ovengine::ModelFormat::Onnx;
  int stride = 0;                /* Darknet: input sizes are multiples of it */
  std::vector<DarknetYolo> yolo; /* Darknet: the [yolo] sections */
  bool rawHeads = false;         /* outputs are those sections' heads, in cfg order */
};

/* Reads and checks the model, resolves input and output bindings (running
 * the network once at batch 1) and fills `engine` (and `hints`, when
 * given).  Progress goes to `log`. */
bool buildEngine(const BuildOptions &options, ovengine::EngineFile &engine, std::ostream &log,
                 std::string &error, ModelHints *hints = nullptr);

/* The ovrt and ovtranslator settings that fit the engine, as launch-line
 * fragments, with what they mean. */
void printPipelineHints(const ovengine::EngineFile &engine, const ModelHints &hints,
                        const std::string &path, std::ostream &out);

/* Loads the file through the runtime, runs it once at its maximum batch on a
 * fixed input and checks that every output value is finite. */
bool verifyEngineFile(const std::string &path, nvinfer1::ILogger &logger,
                      nvinfer1::IPluginFactory *factory, std::ostream &log, std::string &error);

void printBindings(const ovengine::EngineFile &engine, std::ostream &out);

}  // namespace ovbuild

#endif
