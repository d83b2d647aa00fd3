#include "build_engine.h"

#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>

#include "model_info.h"
#include "ov_engine_net.h"

namespace ovbuild {

namespace {

bool read_file(const std::string &path, std::string &out, std::string &error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  out = ss.str();
  return true;
}

std::string dims_text(const std::vector<int32_t> &d) {
  std::string s;
  for (size_t i = 0; i < d.size(); ++i)
    s += (i ? "x" : "") + std::to_string(d[i]);
  return s;
}

const char *format_name(ovengine::ModelFormat f) {
  switch (f) {
    case ovengine::ModelFormat::Onnx: return "onnx";
    case ovengine::ModelFormat::Darknet: return "darknet";
    case ovengine::ModelFormat::Caffe: return "caffe";
  }
  return "?";
}

/* Multiples of `stride` around `v`, for a message. */
std::string nearby_multiples(int w, int h, int stride) {
  auto down = [stride](int v) { return std::max(stride, v / stride * stride); };
  auto up = [stride](int v) { return (v + stride - 1) / stride * stride; };
  const std::string a = std::to_string(down(w)) + "x" + std::to_string(down(h));
  const std::string b = std::to_string(up(w)) + "x" + std::to_string(up(h));
  return a == b ? a : a + " or " + b;
}

/* The topology an engine's outputs suggest: one score per class, score
 * planes, a detection output of 7-value records, or YOLO heads. */
std::string output_kind(const std::vector<ovengine::OutputBinding> &outputs) {
  auto one_d = [](const std::vector<int32_t> &d) {
    int bigger = 0;
    for (int32_t v : d)
      bigger += v > 1;
    return bigger <= 1;
  };
  if (outputs.size() == 1) {
    const auto &d = outputs[0].dims;
    if (one_d(d))
      return "topology=classifier (one score per class; softmax=true if the model ends in "
             "logits)";
    if (d.size() == 3 && d[2] == 7)
      return "topology=ssd (records of image, label, confidence and corners)";
    if (d.size() == 3)
      return "topology=segment (one score plane per class)";
  }
  bool heads = !outputs.empty();
  for (const auto &o : outputs)
    heads = heads && o.dims.size() == 3 && o.dims[0] % 3 == 0 && o.dims[0] / 3 >= 6;
  if (heads)
    return "topology=yolov3 engine_type=tensorrt (raw heads; set anchors and masks unless "
           "they are YOLOv3's nine in its head order)";
  return "";
}

bool load_blobs(const BuildOptions &o, ovengine::EngineFile &e, std::ostream &log,
                std::string &error, ModelHints &hints) {
  std::string model, weights;
  if (!read_file(o.model, model, error))
    return false;
  if (!o.weights.empty() && !read_file(o.weights, weights, error))
    return false;
  int c = 3, h = 0, w = 0;
  switch (o.format) {
    case ovengine::ModelFormat::Onnx: {
      OnnxInput in;
      if (!readOnnxInput(model, in, error)) {
        error = o.model + ": " + error;
        return false;
      }
      e.input.modelInput = in.name;
      if (in.dims.size() == 4) {
        c = static_cast<int>(in.dims[1]);
        h = static_cast<int>(in.dims[2]);
        w = static_cast<int>(in.dims[3]);
      } else if (in.dims.size() == 3) {
        c = static_cast<int>(in.dims[0]);
        h = static_cast<int>(in.dims[1]);
        w = static_cast<int>(in.dims[2]);
      } else {
        error = o.model + ": input '" + in.name + "' is not N,C,H,W";
        return false;
      }
      e.blobs.push_back({ovengine::BlobKind::Model, std::move(model)});
      log << "read ONNX model " << o.model << ", input '" << e.input.modelInput << "'\n";
      break;
    }
    case ovengine::ModelFormat::Darknet: {
      DarknetCfg cfg;
      if (!parseDarknetCfg(model, cfg, error)) {
        error = o.model + ": " + error;
        return false;
      }
      size_t header = darknetHeaderSize(weights);
      if (header == 0) {
        error = o.weights + ": too short to be a Darknet weights file (" +
                std::to_string(weights.size()) + " bytes)";
        return false;
      }
      e.expectedWeightsSize = header + cfg.parameters * sizeof(float);
      if (weights.size() != e.expectedWeightsSize) {
        error = o.weights + " is " + std::to_string(weights.size()) + " bytes, but " + o.model +
                " needs " + std::to_string(e.expectedWeightsSize) + " (" +
                std::to_string(header) + " header + " + std::to_string(cfg.parameters) +
                " weights × 4); refusing a network that would load broken";
        return false;
      }
      c = cfg.channels;
      h = cfg.height;
      w = cfg.width;
      hints.stride = cfg.stride;
      hints.yolo = cfg.yolo;
      if (o.inputWidth > 0 &&
          (o.inputWidth % cfg.stride != 0 || o.inputHeight % cfg.stride != 0)) {
        error = "--input-size " + std::to_string(o.inputWidth) + "x" +
                std::to_string(o.inputHeight) + ": " + o.model + " downsamples by " +
                std::to_string(cfg.stride) + ", so its input width and height must be " +
                "multiples of " + std::to_string(cfg.stride) + " (for example " +
                nearby_multiples(o.inputWidth, o.inputHeight, cfg.stride) + "; the cfg says " +
                std::to_string(cfg.width) + "x" + std::to_string(cfg.height) + ")";
        return false;
      }
      e.blobs.push_back({ovengine::BlobKind::Config, std::move(model)});
      e.blobs.push_back({ovengine::BlobKind::Weights, std::move(weights)});
      log << "read Darknet cfg " << o.model << " (" << cfg.parameters
          << " weights, size matches " << o.weights << ")\n";
      break;
    }
    case ovengine::ModelFormat::Caffe: {
      std::vector<int> d;
      if (readCaffeInputDims(model, d)) {
        c = d[1];
        h = d[2];
        w = d[3];
      }
      e.blobs.push_back({ovengine::BlobKind::Config, std::move(model)});
      if (!weights.empty())
        e.blobs.push_back({ovengine::BlobKind::Weights, std::move(weights)});
      log << "read Caffe network " << o.model << "\n";
      break;
    }
  }
  if (o.inputWidth > 0) {
    w = o.inputWidth;
    h = o.inputHeight;
  }
  if (c < 1 || h < 1 || w < 1) {
    error = "the model does not say its input size; give --input-size WxH";
    return false;
  }
  e.input.name = e.input.modelInput.empty() ? "data" : e.input.modelInput;
  e.input.dims = {c, h, w};
  return true;
}

std::vector<std::string> default_outputs(cv::dnn::Net &net, ovengine::ModelFormat format,
                                         std::ostream &log) {
  std::vector<std::string> heads;
  if (format == ovengine::ModelFormat::Darknet) {
    std::vector<std::string> names = net.getLayerNames();
    for (const auto &name : names) {
      int id = net.getLayerId(name);
      cv::Ptr<cv::dnn::Layer> layer = net.getLayer(id);
      if (!layer || layer->type != "Region")
        continue;
      /* Its first input leads to the head (through the importer's NHWC
       * permute); the importer also wires in the image. */
      std::vector<cv::Ptr<cv::dnn::Layer>> inputs = net.getLayerInputs(id);
      while (!inputs.empty() && inputs[0]->type == "Permute")
        inputs = net.getLayerInputs(net.getLayerId(inputs[0]->name));
      if (!inputs.empty())
        heads.push_back(inputs[0]->name);
    }
    if (!heads.empty()) {
      log << "YOLO network: outputs are the raw detection heads\n";
      return heads;
    }
  }
  return net.getUnconnectedOutLayersNames();
}

}  // namespace

bool buildEngine(const BuildOptions &o, ovengine::EngineFile &e, std::ostream &log,
                 std::string &error, ModelHints *hints_out) {
  e = ovengine::EngineFile{};
  e.format = o.format;
  e.maxBatch = o.maxBatch;
  ModelHints own;
  ModelHints &hints = hints_out ? *hints_out : own;
  hints = ModelHints{};
  hints.format = o.format;
  if (!load_blobs(o, e, log, error, hints))
    return false;
  cv::dnn::Net net = ovengine::readNetwork(e, error);
  if (net.empty())
    return false;
  std::vector<std::string> outputs = o.outputs.empty() ? default_outputs(net, o.format, log)
                                                       : o.outputs;
  for (const auto &name : outputs)
    if (net.getLayerId(name) < 0) {
      error = "the network has no layer '" + name + "'";
      return false;
    }
  log << "input " << e.input.name << " " << dims_text(e.input.dims) << ", finding "
      << outputs.size() << " output shape(s) with one run\n";
  const auto &d = e.input.dims;
  int shape[4] = {1, d[0], d[1], d[2]};
  cv::Mat blob(4, shape, CV_32F, cv::Scalar(0.5));
  std::vector<cv::Mat> outs;
  if (!ovengine::forwardLayers(net, e.input.modelInput, blob, outputs, outs, error))
    return false;
  std::vector<ovengine::Tensor> raw;
  for (size_t i = 0; i < outputs.size(); ++i) {
    std::vector<int32_t> dims;
    const cv::Mat &m = outs[i];
    if (m.dims > 1 && m.size[0] == 1) {
      for (int k = 1; k < m.dims; ++k)
        dims.push_back(m.size[k]);
    } else {
      dims.push_back(static_cast<int32_t>(m.total()));
    }
    raw.push_back({outputs[i], dims});
  }
  // The heads in cfg order, each the grid and channels its [yolo] section
  // saw: the sections' anchors and masks then describe the engine's outputs.
  hints.rawHeads = o.format == ovengine::ModelFormat::Darknet && o.outputs.empty() &&
                   !o.yoloPlugin && !hints.yolo.empty() && raw.size() == hints.yolo.size();
  for (size_t i = 0; hints.rawHeads && i < raw.size(); ++i) {
    const DarknetYolo &y = hints.yolo[i];
    hints.rawHeads = raw[i].dims ==
                     std::vector<int32_t>{y.channels, y.gridHeight, y.gridWidth};
  }
  if (o.yoloPlugin) {
    if (o.yoloPluginSerial.empty()) {
      error = "--yolo-plugin: no YOLO layer available in this build";
      return false;
    }
    if (raw.size() != o.yoloPluginInputDims.size()) {
      error = "--yolo-plugin needs " + std::to_string(o.yoloPluginInputDims.size()) +
              " raw heads, the network has " + std::to_string(raw.size());
      return false;
    }
    for (size_t i = 0; i < raw.size(); ++i)
      if (raw[i].dims != o.yoloPluginInputDims[i]) {
        error = "--yolo-plugin: head " + raw[i].name + " is " + dims_text(raw[i].dims) +
                ", the YOLO layer expects " + dims_text(o.yoloPluginInputDims[i]);
        return false;
      }
    ovengine::OutputBinding b;
    b.name = b.pluginName = "yolo-det";
    b.source = ovengine::OutputSource::Plugin;
    b.pluginSerial = o.yoloPluginSerial;
    b.pluginInputs = raw;
    b.dims = o.yoloPluginOutputDims;
    e.outputs.push_back(b);
  } else {
    for (const auto &t : raw) {
      ovengine::OutputBinding b;
      b.name = b.layer = t.name;
      b.dims = t.dims;
      e.outputs.push_back(b);
    }
  }
  return true;
}

bool verifyEngineFile(const std::string &path, nvinfer1::ILogger &logger,
                      nvinfer1::IPluginFactory *factory, std::ostream &log, std::string &error) {
  std::string bytes;
  if (!read_file(path, bytes, error))
    return false;
  nvinfer1::IRuntime *runtime = nvinfer1::createInferRuntime(logger);
  if (!runtime) {
    error = "no runtime";
    return false;
  }
  nvinfer1::ICudaEngine *engine = runtime->deserializeCudaEngine(bytes.data(), bytes.size(), factory);
  bool ok = false;
  if (!engine) {
    error = "the engine file does not load";
  } else if (nvinfer1::IExecutionContext *ctx = engine->createExecutionContext()) {
    const int batch = engine->getMaxBatchSize();
    std::vector<std::vector<float>> buffers(static_cast<size_t>(engine->getNbBindings()));
    std::vector<void *> bindings;
    for (int i = 0; i < engine->getNbBindings(); ++i) {
      nvinfer1::Dims d = engine->getBindingDimensions(i);
      size_t n = static_cast<size_t>(batch);
      for (int k = 0; k < d.nbDims; ++k)
        n *= static_cast<size_t>(d.d[k]);
      buffers[static_cast<size_t>(i)].assign(n, 0.5f);
      bindings.push_back(buffers[static_cast<size_t>(i)].data());
    }
    auto t0 = std::chrono::steady_clock::now();
    ok = ctx->execute(batch, bindings.data());
    auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (!ok)
      error = "the engine does not run";
    for (size_t i = 1; ok && i < buffers.size(); ++i)
      for (float v : buffers[i])
        if (!std::isfinite(v)) {
          error = std::string("output '") + engine->getBindingName(static_cast<int>(i)) +
                  "' holds values that are not finite";
          ok = false;
          break;
        }
    if (ok)
      log << "verified: one run at batch " << batch << " took " << static_cast<long>(ms)
          << " ms, all outputs finite\n";
    ctx->destroy();
  } else {
    error = "no execution context";
  }
  if (engine)
    engine->destroy();
  runtime->destroy();
  return ok;
}

void printBindings(const ovengine::EngineFile &e, std::ostream &out) {
  out << "engine: format " << format_name(e.format) << ", max batch " << e.maxBatch << "\n";
  out << "  binding 0  input   " << e.input.name << "  " << dims_text(e.input.dims)
      << "  float\n";
  static const char *types[] = {"float", "half", "int8", "int32", "bool"};
  for (size_t i = 0; i < e.outputs.size(); ++i) {
    const auto &o = e.outputs[i];
    out << "  binding " << i + 1 << "  output  " << o.name << "  " << dims_text(o.dims) << "  "
        << (o.dataType < 5 ? types[o.dataType] : "?");
    if (o.source == ovengine::OutputSource::Plugin)
      out << "  (plug-in layer " << o.pluginName << ")";
    out << "  " << ovengine::volume(o.dims) * e.maxBatch * 4 << " bytes\n";
  }
}

void printPipelineHints(const ovengine::EngineFile &e, const ModelHints &hints,
                        const std::string &path, std::ostream &out) {
  const auto &in = e.input.dims;
  out << "input: " << in[2] << "x" << in[1] << " (" << in[0] << " channels)";
  if (hints.format == ovengine::ModelFormat::Darknet && hints.stride > 1)
    out << "; this network takes input sizes that are multiples of " << hints.stride
        << " (--input-size)";
  out << "\n";
  out << "ovrt: model=" << path << " batch=" << e.maxBatch;
  if (hints.format == ovengine::ModelFormat::Darknet)
    out << " scale=0.00392156862745098 mean=\"0 0 0\" channel-order=rgb"
        << "   (Darknet networks take RGB in [0,1])";
  else
    out << "   (set scale, mean and channel-order to the model's preprocessing)";
  out << "\n";
  if (hints.rawHeads) {
    std::vector<float> anchors = hints.yolo[0].anchors;
    bool shared = true;
    for (const DarknetYolo &y : hints.yolo)
      shared = shared && y.anchors == anchors;
    if (shared) {
      out << "ovtranslator: topology=yolov3 engine_type=tensorrt anchors=\"";
      for (size_t i = 0; i < anchors.size(); ++i) {
        std::ostringstream v;
        v << anchors[i];
        out << (i == 0 ? "" : i % 2 == 0 ? ", " : ",") << v.str();
      }
      out << "\" masks=\"";
      for (size_t h = 0; h < hints.yolo.size(); ++h) {
        out << (h == 0 ? "" : ";");
        for (size_t i = 0; i < hints.yolo[h].mask.size(); ++i)
          out << (i == 0 ? "" : ",") << hints.yolo[h].mask[i];
      }
      out << "\"\n";
      out << "  (dims, input_width and input_height come from the engine; threshold and "
             "overlap default to 0.8 and 0.5)\n";
      return;
    }
  }
  // What the outputs look like, as a starting point (the model's author knows).
  const std::string guess = output_kind(e.outputs);
  if (!guess.empty())
    out << "ovtranslator: " << guess << "\n";
  out << "  (dims, input_width and input_height come from the engine; see docs/models.md "
         "for each topology)\n";
}

}  // namespace ovbuild
