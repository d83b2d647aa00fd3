/* The runtime, engine and execution context on the CPU.  An engine is an
 * engine file (ov_engine_file.h) whose network runs through OpenCV DNN; its
 * bindings are [input C,H,W float, outputs...] with an implicit batch. */
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/core/utility.hpp>

#include "NvInfer.h"
#include "NvInferPlugin.h"
#include "ov_cpu_platform.h"
#include "ov_engine_file.h"
#include "ov_engine_net.h"

namespace {

using nvinfer1::DataType;
using nvinfer1::Dims;
using Severity = nvinfer1::ILogger::Severity;

std::atomic<size_t> g_live_engines{0};
std::atomic<size_t> g_live_contexts{0};

void report(nvinfer1::ILogger *logger, Severity s, const std::string &msg) {
  if (logger)
    logger->log(s, msg.c_str());
}

Dims to_dims(const std::vector<int32_t> &v) {
  Dims d{};
  d.nbDims = static_cast<int>(v.size());
  for (size_t i = 0; i < v.size() && i < static_cast<size_t>(Dims::MAX_DIMS); ++i) {
    d.d[i] = v[i];
    d.type[i] = i == 0 && v.size() == 3 ? nvinfer1::DimensionType::kCHANNEL
                                        : nvinfer1::DimensionType::kSPATIAL;
  }
  return d;
}

bool same_dims(const Dims &d, const std::vector<int32_t> &v) {
  if (d.nbDims != static_cast<int>(v.size()))
    return false;
  for (int i = 0; i < d.nbDims; ++i)
    if (d.d[i] != v[i])
      return false;
  return true;
}

size_t element_size(uint32_t type) {
  switch (static_cast<DataType>(type)) {
    case DataType::kFLOAT:
    case DataType::kINT32: return 4;
    case DataType::kHALF: return 2;
    case DataType::kINT8:
    case DataType::kBOOL: return 1;
  }
  return 0;
}

class CpuEngine;

class CpuContext final : public nvinfer1::IExecutionContext {
 public:
  explicit CpuContext(CpuEngine &engine) : engine_(engine) { ++g_live_contexts; }
  bool execute(int batchSize, void **bindings) override;
  bool enqueue(int batchSize, void **bindings, cudaStream_t, void *) override {
    return execute(batchSize, bindings);
  }
  void setProfiler(nvinfer1::IProfiler *profiler) override { profiler_ = profiler; }
  nvinfer1::IProfiler *getProfiler() const override { return profiler_; }
  const nvinfer1::ICudaEngine &getEngine() const override;
  void destroy() override { delete this; }

 private:
  ~CpuContext() override { --g_live_contexts; }
  CpuEngine &engine_;
  nvinfer1::IProfiler *profiler_ = nullptr;
};

class CpuEngine final : public nvinfer1::ICudaEngine {
 public:
  CpuEngine(nvinfer1::ILogger *logger, ovengine::EngineFile file, cv::dnn::Net net)
      : logger_(logger), file_(std::move(file)), net_(std::move(net)) {
    ++g_live_engines;
  }

  /* Resolves layers and plug-ins and runs once (the first forward pays the
   * set-up cost), checking each output's size. */
  bool prepare(nvinfer1::IPluginFactory *factory) {
    for (const auto &o : file_.outputs) {
      if (o.source == ovengine::OutputSource::Layer) {
        if (o.dataType != static_cast<uint32_t>(DataType::kFLOAT))
          return fail("output binding '" + o.name + "' of a network layer must be float");
        layer_index_.push_back(add_layer(o.layer));
        plugins_.push_back(nullptr);
        plugin_inputs_.emplace_back();
        continue;
      }
      if (factory == nullptr)
        return fail("engine holds the plug-in layer '" + o.pluginName +
                    "' but no plug-in factory was given");
      nvinfer1::IPlugin *p =
          factory->createPlugin(o.pluginName.c_str(), o.pluginSerial.data(), o.pluginSerial.size());
      if (p == nullptr)
        return fail("the plug-in factory cannot rebuild layer '" + o.pluginName + "'");
      std::vector<Dims> in;
      std::vector<int> idx;
      for (const auto &t : o.pluginInputs) {
        in.push_back(to_dims(t.dims));
        idx.push_back(add_layer(t.name));
      }
      Dims out = p->getOutputDimensions(0, in.data(), static_cast<int>(in.size()));
      if (p->getNbOutputs() != 1 || !same_dims(out, o.dims))
        return fail("plug-in layer '" + o.pluginName + "' does not produce the recorded dims");
      auto *ext = dynamic_cast<nvinfer1::IPluginExt *>(p);
      auto type = static_cast<DataType>(o.dataType);
      if (ext) {
        if (!ext->supportsFormat(type, nvinfer1::PluginFormat::kNCHW))
          return fail("plug-in layer '" + o.pluginName + "' does not support its data type");
        ext->configureWithFormat(in.data(), static_cast<int>(in.size()), &out, 1, type,
                                 nvinfer1::PluginFormat::kNCHW, static_cast<int>(file_.maxBatch));
      } else {
        p->configure(in.data(), static_cast<int>(in.size()), &out, 1,
                     static_cast<int>(file_.maxBatch));
      }
      if (p->initialize() != 0)
        return fail("plug-in layer '" + o.pluginName + "' failed to initialise");
      plugins_.push_back(p);
      plugin_inputs_.push_back(idx);
      layer_index_.push_back(-1);
    }
    for (const auto &name : layers_)
      if (net_.getLayerId(name) < 0)
        return fail("the network has no layer '" + name + "'");

    /* Warm-up at the full batch, which also checks every layer's size. */
    const auto &d = file_.input.dims;
    int shape[4] = {static_cast<int>(file_.maxBatch), d[0], d[1], d[2]};
    cv::Mat blob(4, shape, CV_32F, cv::Scalar(0));
    std::string error;
    if (!run(blob, error))
      return fail(error);
    for (size_t i = 0; i < file_.outputs.size(); ++i) {
      if (layer_index_[i] < 0)
        continue;
      const cv::Mat &m = outs_[static_cast<size_t>(layer_index_[i])];
      if (m.total() != ovengine::volume(file_.outputs[i].dims) * file_.maxBatch)
        return fail("layer '" + file_.outputs[i].layer + "' yields " + std::to_string(m.total()) +
                    " values, the engine file records " +
                    std::to_string(ovengine::volume(file_.outputs[i].dims) * file_.maxBatch));
    }
    for (size_t i = 0; i < file_.outputs.size(); ++i)
      for (size_t k = 0; k < plugin_inputs_[i].size(); ++k) {
        const cv::Mat &m = outs_[static_cast<size_t>(plugin_inputs_[i][k])];
        if (m.total() != ovengine::volume(file_.outputs[i].pluginInputs[k].dims) * file_.maxBatch)
          return fail("plug-in input '" + file_.outputs[i].pluginInputs[k].name +
                      "' has an unexpected size");
      }
    return true;
  }

  bool execute(int batch, void **bindings, nvinfer1::IProfiler *profiler) {
    if (batch < 1 || batch > static_cast<int>(file_.maxBatch)) {
      report(logger_, Severity::kERROR,
             "execute: batch size " + std::to_string(batch) + " outside 1.." +
                 std::to_string(file_.maxBatch));
      return false;
    }
    if (bindings == nullptr)
      return false;
    // A binding of volume 0 has no memory: its null pointer is fine.
    for (int i = 0; i < getNbBindings(); ++i)
      if (bindings[i] == nullptr && binding_volume(i) != 0) {
        report(logger_, Severity::kERROR, "execute: binding " + std::to_string(i) + " is null");
        return false;
      }
    const auto &d = file_.input.dims;
    int shape[4] = {batch, d[0], d[1], d[2]};
    cv::Mat blob(4, shape, CV_32F, bindings[0]);
    std::string error;
    if (!run(blob, error)) {
      report(logger_, Severity::kERROR, error);
      return false;
    }
    std::vector<double> timings;
    if (profiler)
      net_.getPerfProfile(timings);
    for (size_t i = 0; i < file_.outputs.size(); ++i) {
      const auto &o = file_.outputs[i];
      void *dst = bindings[i + 1];
      size_t bytes = ovengine::volume(o.dims) * static_cast<size_t>(batch) * element_size(o.dataType);
      if (layer_index_[i] >= 0) {
        const cv::Mat &m = outs_[static_cast<size_t>(layer_index_[i])];
        if (m.total() * m.elemSize() < bytes) {
          report(logger_, Severity::kERROR, "layer '" + o.layer + "' is smaller than its binding");
          return false;
        }
        std::memcpy(dst, m.data, bytes);
        continue;
      }
      std::vector<const void *> in;
      for (int k : plugin_inputs_[i])
        in.push_back(outs_[static_cast<size_t>(k)].data);
      auto t0 = std::chrono::steady_clock::now();
      int rc = plugins_[i]->enqueue(batch, in.data(), &dst, nullptr, nullptr);
      auto t1 = std::chrono::steady_clock::now();
      if (rc != 0) {
        report(logger_, Severity::kERROR, "plug-in layer '" + o.pluginName + "' failed");
        return false;
      }
      if (profiler)
        profiler->reportLayerTime(o.pluginName.c_str(),
                                  std::chrono::duration<float, std::milli>(t1 - t0).count());
    }
    if (profiler) {
      std::vector<std::string> names = net_.getLayerNames();
      const double ms_per_tick = 1000.0 / cv::getTickFrequency();
      for (size_t i = 0; i < names.size() && i < timings.size(); ++i)
        profiler->reportLayerTime(names[i].c_str(), static_cast<float>(timings[i] * ms_per_tick));
    }
    return true;
  }

  int getNbBindings() const override { return static_cast<int>(file_.outputs.size()) + 1; }
  int getBindingIndex(const char *name) const override {
    if (name == nullptr)
      return -1;
    if (file_.input.name == name)
      return 0;
    for (size_t i = 0; i < file_.outputs.size(); ++i)
      if (file_.outputs[i].name == name)
        return static_cast<int>(i) + 1;
    return -1;
  }
  const char *getBindingName(int i) const override {
    if (i == 0)
      return file_.input.name.c_str();
    return valid_output(i) ? file_.outputs[static_cast<size_t>(i - 1)].name.c_str() : nullptr;
  }
  bool bindingIsInput(int i) const override { return i == 0; }
  Dims getBindingDimensions(int i) const override {
    if (i == 0)
      return to_dims(file_.input.dims);
    if (valid_output(i))
      return to_dims(file_.outputs[static_cast<size_t>(i - 1)].dims);
    Dims d{};
    d.nbDims = -1;
    return d;
  }
  DataType getBindingDataType(int i) const override {
    if (valid_output(i))
      return static_cast<DataType>(file_.outputs[static_cast<size_t>(i - 1)].dataType);
    return DataType::kFLOAT;
  }
  int getMaxBatchSize() const override { return static_cast<int>(file_.maxBatch); }
  int getNbLayers() const override { return static_cast<int>(net_.getLayerNames().size()); }
  bool hasImplicitBatchDimension() const override { return true; }
  nvinfer1::IExecutionContext *createExecutionContext() override { return new CpuContext(*this); }
  void destroy() override { delete this; }

 private:
  /* As the real runtime does, an engine terminates the plug-ins it was built
   * with when it goes; they belong to the factory, which must outlive it. */
  ~CpuEngine() override {
    for (nvinfer1::IPlugin *p : plugins_)
      if (p)
        p->terminate();
    --g_live_engines;
  }

  bool valid_output(int i) const { return i >= 1 && i <= static_cast<int>(file_.outputs.size()); }
  uint64_t binding_volume(int i) const {
    return i == 0 ? ovengine::volume(file_.input.dims)
                  : ovengine::volume(file_.outputs[static_cast<size_t>(i - 1)].dims);
  }

  int add_layer(const std::string &name) {
    for (size_t i = 0; i < layers_.size(); ++i)
      if (layers_[i] == name)
        return static_cast<int>(i);
    layers_.push_back(name);
    return static_cast<int>(layers_.size()) - 1;
  }

  bool run(const cv::Mat &blob, std::string &error) {
    try {
      net_.setInput(blob, file_.input.modelInput);
      net_.forward(outs_, layers_);
      for (auto &m : outs_)
        if (!m.isContinuous() || m.type() != CV_32F) {
          error = "a network layer did not yield contiguous float values";
          return false;
        }
      return true;
    } catch (const cv::Exception &ex) {
      error = std::string("network forward failed: ") + ex.what();
    } catch (const std::exception &ex) {
      error = std::string("network forward failed: ") + ex.what();
    }
    return false;
  }

  bool fail(const std::string &msg) {
    report(logger_, Severity::kERROR, msg);
    return false;
  }

  nvinfer1::ILogger *logger_;
  ovengine::EngineFile file_;
  cv::dnn::Net net_;
  std::vector<std::string> layers_;        /* network layers read per run */
  std::vector<cv::Mat> outs_;              /* their values of the last run */
  std::vector<int> layer_index_;           /* per output: into layers_, or -1 */
  std::vector<nvinfer1::IPlugin *> plugins_; /* per output: plug-in or null */
  std::vector<std::vector<int>> plugin_inputs_;
};

bool CpuContext::execute(int batchSize, void **bindings) {
  return engine_.execute(batchSize, bindings, profiler_);
}
const nvinfer1::ICudaEngine &CpuContext::getEngine() const { return engine_; }

class CpuRuntime final : public nvinfer1::IRuntime {
 public:
  explicit CpuRuntime(nvinfer1::ILogger *logger) : logger_(logger) {}

  nvinfer1::ICudaEngine *deserializeCudaEngine(const void *blob, size_t size,
                                               nvinfer1::IPluginFactory *factory) override {
    ovengine::EngineFile file;
    std::string error;
    if (!ovengine::parse(blob, size, file, error)) {
      report(logger_, Severity::kERROR, "deserializeCudaEngine: " + error);
      return nullptr;
    }
    cv::dnn::Net net = ovengine::readNetwork(file, error);
    if (net.empty()) {
      report(logger_, Severity::kERROR, "deserializeCudaEngine: " + error);
      return nullptr;
    }
    auto *engine = new CpuEngine(logger_, std::move(file), std::move(net));
    if (!engine->prepare(factory)) {
      engine->destroy();
      return nullptr;
    }
    return engine;
  }
  void destroy() override { delete this; }

 private:
  ~CpuRuntime() override = default;
  nvinfer1::ILogger *logger_;
};

}  // namespace

extern "C" void *createInferRuntime_INTERNAL(void *logger, int version) {
  auto *l = static_cast<nvinfer1::ILogger *>(logger);
  if (version != NV_TENSORRT_VERSION) {
    report(l, Severity::kERROR, "createInferRuntime: version mismatch");
    return nullptr;
  }
  return static_cast<nvinfer1::IRuntime *>(new CpuRuntime(l));
}

extern "C" bool initLibNvInferPlugins(void *, const char *) { return true; }

namespace ovcpu {
size_t liveEngines() { return g_live_engines.load(); }
size_t liveContexts() { return g_live_contexts.load(); }
}  // namespace ovcpu
