/* ov-build-engine: builds an engine file for the CPU engine layer from an
 * ONNX, Darknet or Caffe model, runs it once to verify it, and prints its
 * bindings.
 *
 *   ov-build-engine --darknet yolov3-tiny.cfg --weights yolov3-tiny.weights \
 *       --max-batch 4 --save yolov3-tiny.engine
 */
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "NvInfer.h"
#include "PluginFactory.h"
#include "YoloLayer.h"
#include "build_engine.h"

namespace {

const char *kUsage =
    "usage: ov-build-engine MODEL --save FILE [options]\n"
    "model (exactly one):\n"
    "  --onnx FILE                    ONNX model\n"
    "  --darknet CFG --weights FILE   Darknet cfg and weights\n"
    "  --caffe PROTOTXT --weights FILE  Caffe network and caffemodel\n"
    "options:\n"
    "  --save FILE        engine file to write (required)\n"
    "  --max-batch N      maximum batch size, 1..4096 (default 1)\n"
    "  --input-size WxH   network input size (default: from the model)\n"
    "  --outputs a,b,c    output layers in binding order (default: the network's\n"
    "                     outputs; for Darknet YOLO networks the raw detection heads)\n"
    "  --yolo-plugin      end the engine in the YOLO detection layer (yolo-det)\n"
    "                     fed by the three raw heads (255x19x19, 255x38x38,\n"
    "                     255x76x76: a YOLOv3 network at 608x608)\n"
    "  -h, --help         this text\n";

class StderrLogger : public nvinfer1::ILogger {
 public:
  void log(Severity s, const char *msg) override {
    if (s <= Severity::kWARNING)
      std::cerr << (s == Severity::kWARNING ? "warning: " : "error: ") << msg << "\n";
  }
};

int usage_error(const std::string &msg) {
  std::cerr << "ov-build-engine: " << msg << "\n" << kUsage;
  return 2;
}

bool parse_int(const std::string &s, long lo, long hi, long &v) {
  try {
    size_t used = 0;
    v = std::stol(s, &used);
    return used == s.size() && v >= lo && v <= hi;
  } catch (...) {
    return false;
  }
}

}  // namespace

int main(int argc, char **argv) {
  ovbuild::BuildOptions opt;
  std::vector<std::string> args(argv + 1, argv + argc);
  int kinds = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    auto value = [&](std::string &out) {
      if (i + 1 >= args.size() || args[i + 1].empty())
        return false;
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--onnx" || a == "--darknet" || a == "--caffe") {
      if (!value(opt.model))
        return usage_error(a + " needs a file");
      opt.format = a == "--onnx"      ? ovengine::ModelFormat::Onnx
                   : a == "--darknet" ? ovengine::ModelFormat::Darknet
                                      : ovengine::ModelFormat::Caffe;
      ++kinds;
    } else if (a == "--weights") {
      if (!value(opt.weights))
        return usage_error("--weights needs a file");
    } else if (a == "--save") {
      if (!value(opt.save))
        return usage_error("--save needs a file");
    } else if (a == "--max-batch") {
      long n;
      if (!value(v) || !parse_int(v, 1, ovengine::kMaxBatchLimit, n))
        return usage_error("--max-batch needs a number from 1 to " +
                           std::to_string(ovengine::kMaxBatchLimit));
      opt.maxBatch = static_cast<uint32_t>(n);
    } else if (a == "--input-size") {
      size_t x;
      long w, h;
      if (!value(v) || (x = v.find('x')) == std::string::npos ||
          !parse_int(v.substr(0, x), 1, ovengine::kMaxDimValue, w) ||
          !parse_int(v.substr(x + 1), 1, ovengine::kMaxDimValue, h))
        return usage_error("--input-size needs WxH, for example 416x416");
      opt.inputWidth = static_cast<int>(w);
      opt.inputHeight = static_cast<int>(h);
    } else if (a == "--outputs") {
      if (!value(v))
        return usage_error("--outputs needs a comma-separated list of layer names");
      std::istringstream ss(v);
      std::string name;
      while (std::getline(ss, name, ','))
        if (!name.empty())
          opt.outputs.push_back(name);
      if (opt.outputs.empty())
        return usage_error("--outputs names no layer");
    } else if (a == "--yolo-plugin") {
      opt.yoloPlugin = true;
    } else {
      return usage_error("unknown argument '" + a + "'");
    }
  }
  if (kinds != 1)
    return usage_error("give exactly one of --onnx, --darknet, --caffe");
  if (opt.save.empty())
    return usage_error("--save FILE is required");
  if (opt.format == ovengine::ModelFormat::Darknet && opt.weights.empty())
    return usage_error("--darknet needs --weights FILE");
  if (opt.format == ovengine::ModelFormat::Onnx && !opt.weights.empty())
    return usage_error("--weights goes with --darknet or --caffe, not --onnx");

  if (opt.yoloPlugin) {
    nvinfer1::YoloLayerPlugin yolo(512);
    opt.yoloPluginSerial.assign(yolo.getSerializationSize(), '\0');
    yolo.serialize(&opt.yoloPluginSerial[0]);
    for (const auto &k : yolo.heads())
      opt.yoloPluginInputDims.push_back(
          {Yolo::CHECK_COUNT * (yolo.classCount() + 5), k.height, k.width});
    opt.yoloPluginOutputDims = {yolo.outputElements(), 1, 1};
  }

  std::string error;
  ovengine::EngineFile engine;
  ovbuild::ModelHints hints;
  if (!ovbuild::buildEngine(opt, engine, std::cout, error, &hints)) {
    std::cerr << "ov-build-engine: " << error << "\n";
    return 1;
  }
  std::string bytes;
  if (!ovengine::serialize(engine, bytes, error)) {
    std::cerr << "ov-build-engine: " << error << "\n";
    return 1;
  }
  {
    std::ofstream out(opt.save, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::cerr << "ov-build-engine: cannot write " << opt.save << "\n";
      return 1;
    }
  }
  std::cout << "wrote " << opt.save << " (" << bytes.size() << " bytes)\n";

  StderrLogger logger;
  std::cout << "verifying: loading the engine file and running it once at batch "
            << engine.maxBatch << "\n";
  Tn::PluginFactory plugins;
  if (!ovbuild::verifyEngineFile(opt.save, logger, &plugins, std::cout, error)) {
    std::cerr << "ov-build-engine: verification failed: " << error << "\n";
    std::remove(opt.save.c_str());
    return 1;
  }
  ovbuild::printBindings(engine, std::cout);
  ovbuild::printPipelineHints(engine, hints, opt.save, std::cout);
  return 0;
}
