/* Engine files for the inference tests, built in memory from the generated
 * test networks. */
#ifndef OV_INFER_ENGINE_FIXTURES_H
#define OV_INFER_ENGINE_FIXTURES_H

#include <string>
#include <vector>

#include "NvInfer.h"
#include "ov_engine_file.h"

namespace ovtest {

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
std::string model_path(const std::string &name);

/* Engine description running <model>.onnx with the given bindings. */
ovengine::EngineFile onnx_engine(const std::string &model, std::vector<int32_t> input_dims,
                                 const std::vector<std::pair<std::string, std::vector<int32_t>>> &outputs,
                                 uint32_t max_batch);
/* Its bytes (asserts that it serialises). */
std::string engine_bytes(const ovengine::EngineFile &engine);
/* Writes the engine to a fresh temporary file and returns its path. */
std::string temp_engine_file(const ovengine::EngineFile &engine, const std::string &stem);

/* Records every message it is given. */
class RecordingLogger : public nvinfer1::ILogger {
 public:
  void log(Severity severity, const char *msg) override {
    messages.emplace_back(severity, msg ? msg : "");
  }
  bool any_error() const;
  std::string joined() const;
  std::vector<std::pair<Severity, std::string>> messages;
};

}  // namespace ovtest

#endif
