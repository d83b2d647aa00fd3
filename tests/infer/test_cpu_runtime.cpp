/* The CPU runtime behind the TensorRT API: loading engine files, bindings,
 * execution, per-layer times, and the CUDA memory calls. */
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "NvInfer.h"
#include "cuda_runtime_api.h"
#include "engine_fixtures.h"
#include "ov_cpu_platform.h"

namespace {

using ovtest::RecordingLogger;

struct Runtime {
  RecordingLogger logger;
  nvinfer1::IRuntime *runtime = nvinfer1::createInferRuntime(logger);
  ~Runtime() { runtime->destroy(); }
  nvinfer1::ICudaEngine *load(const std::string &bytes,
                              nvinfer1::IPluginFactory *factory = nullptr) {
    return runtime->deserializeCudaEngine(bytes.data(), bytes.size(), factory);
  }
};

class CountingProfiler : public nvinfer1::IProfiler {
 public:
  void reportLayerTime(const char *name, float ms) override {
    ++calls;
    names.emplace_back(name);
    total += ms;
  }
  int calls = 0;
  float total = 0;
  std::vector<std::string> names;
};

ovengine::EngineFile identity8(uint32_t max_batch) {
  return ovtest::onnx_engine("identity_8x8.onnx", {3, 8, 8}, {{"out", {3, 8, 8}}}, max_batch);
}

TEST(CpuRuntime, IdentityEngineReportsBindingsAndCopiesEverySlot) {
  Runtime rt;
  nvinfer1::ICudaEngine *engine = rt.load(ovtest::engine_bytes(identity8(2)));
  ASSERT_NE(engine, nullptr) << rt.logger.joined();
  EXPECT_EQ(engine->getNbBindings(), 2);
  EXPECT_EQ(engine->getMaxBatchSize(), 2);
  EXPECT_TRUE(engine->hasImplicitBatchDimension());
  EXPECT_TRUE(engine->bindingIsInput(0));
  EXPECT_FALSE(engine->bindingIsInput(1));
  EXPECT_EQ(engine->getBindingIndex("out"), 1);
  nvinfer1::Dims d = engine->getBindingDimensions(1);
  ASSERT_EQ(d.nbDims, 3);
  EXPECT_EQ(d.d[0], 3);
  EXPECT_EQ(d.d[1], 8);
  EXPECT_EQ(d.d[2], 8);
  EXPECT_EQ(engine->getBindingDataType(1), nvinfer1::DataType::kFLOAT);

  std::vector<float> in(2 * 3 * 8 * 8), out(in.size(), -1.f);
  std::iota(in.begin(), in.end(), 0.f);
  void *bindings[] = {in.data(), out.data()};
  nvinfer1::IExecutionContext *ctx = engine->createExecutionContext();
  ASSERT_NE(ctx, nullptr);
  ASSERT_TRUE(ctx->execute(2, bindings)) << rt.logger.joined();
  EXPECT_EQ(out, in);

  /* A batch of one writes slot 0 only. */
  std::fill(out.begin(), out.end(), -1.f);
  ASSERT_TRUE(ctx->execute(1, bindings));
  EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 192),
            std::vector<float>(in.begin(), in.begin() + 192));
  EXPECT_EQ(out[192], -1.f);

  EXPECT_FALSE(ctx->execute(3, bindings));
  EXPECT_TRUE(rt.logger.any_error());
  ctx->destroy();
  engine->destroy();
  EXPECT_EQ(ovcpu::liveEngines(), 0u);
  EXPECT_EQ(ovcpu::liveContexts(), 0u);
}

TEST(CpuRuntime, OutputBindingsFollowTheFileOrder) {
  Runtime rt;
  auto file = ovtest::onnx_engine("two_outputs.onnx", {3, 4, 4},
                                  {{"pooled", {3, 1, 1}}, {"full", {3, 4, 4}}}, 1);
  nvinfer1::ICudaEngine *engine = rt.load(ovtest::engine_bytes(file));
  ASSERT_NE(engine, nullptr) << rt.logger.joined();
  std::vector<float> in(48);
  for (int c = 0; c < 3; ++c)
    std::fill(in.begin() + c * 16, in.begin() + (c + 1) * 16, float(c + 1) * 2.f);
  std::vector<float> pooled(3), full(48);
  void *bindings[] = {in.data(), pooled.data(), full.data()};
  auto *ctx = engine->createExecutionContext();
  ASSERT_TRUE(ctx->execute(1, bindings)) << rt.logger.joined();
  EXPECT_EQ(pooled, (std::vector<float>{2.f, 4.f, 6.f}));
  EXPECT_EQ(full, in);
  ctx->destroy();
  engine->destroy();
}

TEST(CpuRuntime, ProfilerHearsEveryLayerAfterEveryRun) {
  Runtime rt;
  nvinfer1::ICudaEngine *engine = rt.load(ovtest::engine_bytes(identity8(1)));
  ASSERT_NE(engine, nullptr);
  auto *ctx = engine->createExecutionContext();
  CountingProfiler profiler;
  ctx->setProfiler(&profiler);
  EXPECT_EQ(ctx->getProfiler(), &profiler);
  std::vector<float> in(192), out(192);
  void *bindings[] = {in.data(), out.data()};
  ASSERT_TRUE(ctx->execute(1, bindings));
  int per_run = profiler.calls;
  EXPECT_GT(per_run, 0);
  ASSERT_TRUE(ctx->execute(1, bindings));
  EXPECT_EQ(profiler.calls, 2 * per_run);
  EXPECT_GE(profiler.total, 0.f);
  ctx->destroy();
  engine->destroy();
}

TEST(CpuRuntime, RefusesEnginesThatDoNotMatchTheirNetwork) {
  struct Case {
    const char *what;
    ovengine::EngineFile file;
  } cases[] = {
      {"wrong output dims", ovtest::onnx_engine("identity_8x8.onnx", {3, 8, 8},
                                                {{"out", {3, 8, 9}}}, 1)},
      {"unknown layer", ovtest::onnx_engine("identity_8x8.onnx", {3, 8, 8},
                                            {{"no_such_layer", {3, 8, 8}}}, 1)},
      {"wrong input size", ovtest::onnx_engine("two_outputs.onnx", {3, 5, 5},
                                               {{"full", {3, 4, 4}}}, 1)},
  };
  for (auto &c : cases) {
    Runtime rt;
    EXPECT_EQ(rt.load(ovtest::engine_bytes(c.file)), nullptr) << c.what;
    EXPECT_TRUE(rt.logger.any_error()) << c.what;
  }
  /* Model bytes that are no network at all. */
  auto bogus = identity8(1);
  bogus.blobs[0].data = "this is not a network";
  Runtime rt;
  EXPECT_EQ(rt.load(ovtest::engine_bytes(bogus)), nullptr);
  EXPECT_TRUE(rt.logger.any_error());
  EXPECT_EQ(ovcpu::liveEngines(), 0u);
}

TEST(CpuRuntime, GarbageAndPluginLayersWithoutFactoryAreRefusedThroughTheLogger) {
  Runtime rt;
  EXPECT_EQ(rt.load("OVTRTENG garbage"), nullptr);
  ASSERT_TRUE(rt.logger.any_error());
  rt.logger.messages.clear();

  auto file = identity8(1);
  ovengine::OutputBinding p;
  p.name = "det";
  p.source = ovengine::OutputSource::Plugin;
  p.pluginName = "yolo-det";
  p.pluginSerial = "x";
  p.dims = {1, 1, 1};
  p.pluginInputs = {{"out", {3, 8, 8}}};
  file.outputs = {p};
  EXPECT_EQ(rt.load(ovtest::engine_bytes(file)), nullptr);
  EXPECT_NE(rt.logger.joined().find("plug-in factory"), std::string::npos)
      << rt.logger.joined();
}

/* A copy layer that records what the engine does with it. */
class CopyPlugin : public nvinfer1::IPlugin {
 public:
  int getNbOutputs() const override { return 1; }
  nvinfer1::Dims getOutputDimensions(int, const nvinfer1::Dims *inputs, int) override {
    return inputs[0];
  }
  void configure(const nvinfer1::Dims *, int, const nvinfer1::Dims *, int, int) override {}
  int initialize() override {
    ++initialized;
    return 0;
  }
  void terminate() override { ++terminated; }
  size_t getWorkspaceSize(int) const override { return 0; }
  int enqueue(int batch, const void *const *inputs, void **outputs, void *, cudaStream_t) override {
    std::memcpy(outputs[0], inputs[0], size_t(batch) * 3 * 8 * 8 * sizeof(float));
    return 0;
  }
  size_t getSerializationSize() override { return 0; }
  void serialize(void *) override {}
  int initialized = 0, terminated = 0;
};

class CopyFactory : public nvinfer1::IPluginFactory {
 public:
  nvinfer1::IPlugin *createPlugin(const char *, const void *, size_t) override { return &plugin; }
  CopyPlugin plugin;
};

TEST(CpuRuntime, DestroyingAnEngineTerminatesItsPluginsOnce) {
  auto file = identity8(1);
  ovengine::OutputBinding p;
  p.name = p.pluginName = "copy";
  p.source = ovengine::OutputSource::Plugin;
  p.pluginSerial = "c";
  p.dims = {3, 8, 8};
  p.pluginInputs = {{"out", {3, 8, 8}}};
  file.outputs = {p};
  CopyFactory factory;
  Runtime rt;
  nvinfer1::ICudaEngine *engine = rt.load(ovtest::engine_bytes(file), &factory);
  ASSERT_NE(engine, nullptr) << rt.logger.joined();
  EXPECT_EQ(factory.plugin.initialized, 1);
  EXPECT_EQ(factory.plugin.terminated, 0);
  engine->destroy();
  EXPECT_EQ(factory.plugin.terminated, 1);
}

TEST(CpuCuda, ZeroBytesSucceedWithNullAndAllocateNothing) {
  const size_t live = ovcpu::liveDeviceAllocations();
  void *p = &p;
  EXPECT_EQ(cudaMalloc(&p, 0), cudaSuccess);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(ovcpu::liveDeviceAllocations(), live);
  EXPECT_EQ(cudaFree(p), cudaSuccess);
}

TEST(CpuCuda, MemoryStreamsAndDevices) {
  size_t live = ovcpu::liveDeviceAllocations();
  void *p = nullptr;
  ASSERT_EQ(cudaMalloc(&p, 64), cudaSuccess);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(ovcpu::liveDeviceAllocations(), live + 1);
  std::vector<char> host(64, 7), back(64, 0);
  cudaStream_t s;
  ASSERT_EQ(cudaStreamCreate(&s), cudaSuccess);
  EXPECT_EQ(cudaMemcpyAsync(p, host.data(), 64, cudaMemcpyHostToDevice, s), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(back.data(), p, 64, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(back, host);
  EXPECT_EQ(cudaStreamSynchronize(s), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(s), cudaSuccess);
  EXPECT_NE(cudaStreamSynchronize(s), cudaSuccess);
  EXPECT_EQ(cudaFree(p), cudaSuccess);
  EXPECT_NE(cudaFree(p), cudaSuccess); /* double free is reported, not done */
  EXPECT_EQ(ovcpu::liveDeviceAllocations(), live);

  void *pinned = nullptr;
  ASSERT_EQ(cudaHostAlloc(&pinned, 16, cudaHostAllocDefault), cudaSuccess);
  EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);

  int dev = -1;
  EXPECT_EQ(cudaSetDevice(0), cudaSuccess);
  EXPECT_EQ(cudaGetDevice(&dev), cudaSuccess);
  EXPECT_EQ(dev, 0);
  EXPECT_EQ(cudaSetDevice(3), cudaErrorInvalidDevice);
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

}  // namespace
