#include "engine_fixtures.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

namespace ovtest {

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out)
    throw std::runtime_error("cannot write " + path);
}

std::string model_path(const std::string &name) { return std::string(OV_INFER_MODEL_DIR) + "/" + name; }

ovengine::EngineFile onnx_engine(const std::string &model, std::vector<int32_t> input_dims,
                                 const std::vector<std::pair<std::string, std::vector<int32_t>>> &outputs,
                                 uint32_t max_batch) {
  ovengine::EngineFile e;
  e.maxBatch = max_batch;
  e.format = ovengine::ModelFormat::Onnx;
  e.blobs.push_back({ovengine::BlobKind::Model, read_file(model_path(model))});
  e.input.name = "data";
  e.input.modelInput = "data";
  e.input.dims = std::move(input_dims);
  for (const auto &o : outputs) {
    ovengine::OutputBinding b;
    b.name = o.first;
    b.layer = o.first;
    b.dims = o.second;
    e.outputs.push_back(b);
  }
  return e;
}

std::string engine_bytes(const ovengine::EngineFile &engine) {
  std::string out, error;
  if (!ovengine::serialize(engine, out, error))
    throw std::runtime_error("engine does not serialise: " + error);
  return out;
}

std::string temp_engine_file(const ovengine::EngineFile &engine, const std::string &stem) {
  static std::atomic<int> counter{0};
  const char *tmp = std::getenv("TMPDIR");
  std::string dir = tmp && *tmp ? tmp : "/tmp";
  std::string path = dir + "/" + stem + "-" + std::to_string(getpid()) + "-" +
                     std::to_string(counter++) + ".engine";
  write_file(path, engine_bytes(engine));
  return path;
}

bool RecordingLogger::any_error() const {
  for (const auto &m : messages)
    if (m.first <= Severity::kERROR)
      return true;
  return false;
}

std::string RecordingLogger::joined() const {
  std::string s;
  for (const auto &m : messages)
    s += m.second + "\n";
  return s;
}

}  // namespace ovtest
