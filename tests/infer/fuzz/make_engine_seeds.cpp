/* Writes valid engine files of each model format as the fuzz seed corpus. */
#include <fstream>
#include <iostream>
#include <string>

#include "ov_engine_file.h"

namespace {

bool write(const std::string &path, const ovengine::EngineFile &e) {
  std::string bytes, error;
  if (!ovengine::serialize(e, bytes, error)) {
    std::cerr << path << ": " << error << "\n";
    return false;
  }
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::cerr << "usage: make_engine_seeds DIR\n";
    return 2;
  }
  std::string dir = argv[1];
  ovengine::EngineFile onnx;
  onnx.maxBatch = 2;
  onnx.blobs.push_back({ovengine::BlobKind::Model, std::string("\x08\x07\x12\x04test", 8)});
  onnx.input = {"data", "data", {3, 8, 8}, 0};
  ovengine::OutputBinding out;
  out.name = out.layer = "out";
  out.dims = {3, 8, 8};
  onnx.outputs = {out};

  ovengine::EngineFile darknet = onnx;
  darknet.format = ovengine::ModelFormat::Darknet;
  darknet.blobs = {{ovengine::BlobKind::Config, "[net]\nwidth=8\nheight=8\n"},
                   {ovengine::BlobKind::Weights, std::string(20, '\0')}};
  darknet.expectedWeightsSize = 20;
  ovengine::OutputBinding det;
  det.name = det.pluginName = "yolo-det";
  det.source = ovengine::OutputSource::Plugin;
  det.pluginSerial = std::string(108, '\x01');
  det.dims = {7, 1, 1};
  det.pluginInputs = {{"conv_1", {255, 1, 1}}, {"conv_2", {255, 2, 2}}};
  darknet.outputs.push_back(det);

  ovengine::EngineFile caffe = onnx;
  caffe.format = ovengine::ModelFormat::Caffe;
  caffe.blobs = {{ovengine::BlobKind::Config, "name: \"x\"\n"}};
  return write(dir + "/onnx.engine", onnx) && write(dir + "/darknet.engine", darknet) &&
                 write(dir + "/caffe.engine", caffe)
             ? 0
             : 1;
}
