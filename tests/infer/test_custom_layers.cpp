/* The custom layers: factory name rules, serialized forms, upsampling, the
 * YOLO decoding on both paths, and an engine ending in the YOLO layer. */
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "PluginFactory.h"
#include "TensorRT.h"
#include "TrtNet.h"
#include "engine_fixtures.h"
#include "ov_cpu_platform.h"

namespace {

using nvinfer1::Dims;
using nvinfer1::DimsCHW;
using nvinfer1::UpsampleLayerPlugin;
using nvinfer1::YoloLayerPlugin;

/* The value stored at byte `offset` of a serialized form. */
template <typename T>
T read_at(const std::vector<char> &form, size_t offset) {
  T v;
  std::memcpy(&v, form.data() + offset, sizeof v);
  return v;
}

/* An engine file for `batch` images whose only output is the YOLO layer
 * over the three heads of yolo_heads.onnx. */
std::string yolo_engine_file(int batch, const char *tag) {
  YoloLayerPlugin proto(512);
  std::string serial(proto.getSerializationSize(), '\0');
  proto.serialize(&serial[0]);
  auto file = ovtest::onnx_engine("yolo_heads.onnx", {3, 608, 608}, {}, batch);
  ovengine::OutputBinding det;
  det.name = det.pluginName = "yolo-det";
  det.source = ovengine::OutputSource::Plugin;
  det.pluginSerial = serial;
  det.dims = {136459, 1, 1};
  det.pluginInputs = {{"head0_out", {255, 19, 19}}, {"head1_out", {255, 38, 38}},
                      {"head2_out", {255, 76, 76}}};
  file.outputs = {det};
  return ovtest::temp_engine_file(file, tag);
}

/* One image's part of the layer's output: a box count, then six floats a
 * box.  The count and every box found match. */
void expect_same_boxes(const float *actual, const float *expected) {
  ASSERT_EQ(actual[0], expected[0]);
  const size_t used = 1 + 6 * static_cast<size_t>(expected[0]);
  EXPECT_EQ(std::vector<float>(actual, actual + used), std::vector<float>(expected, expected + used));
}

TEST(PluginFactoryNames, RegexRulesMatchWholeNames) {
  struct Case {
    const char *name;
    bool leaky, upsample, yolo;
  } cases[] = {
      {"layer12-act", true, false, false},   {"layer-act", true, false, false},
      {"layer12-act2", false, false, false}, {"xlayer1-act", false, false, false},
      {"layer3-upsample", false, true, false}, {"layer-upsample", false, true, false},
      {"layer3-upsample ", false, false, false}, {"layerx-upsample", false, false, false},
      {"yolo-det", false, false, true},      {"yolo-det2", false, false, false},
      {"", false, false, false},
  };
  Tn::PluginFactory f;
  for (const auto &c : cases) {
    EXPECT_EQ(Tn::PluginFactory::isLeakyReluName(c.name), c.leaky) << c.name;
    EXPECT_EQ(Tn::PluginFactory::isUpsampleName(c.name), c.upsample) << c.name;
    EXPECT_EQ(Tn::PluginFactory::isYoloName(c.name), c.yolo) << c.name;
    EXPECT_EQ(f.isPlugin(c.name), c.leaky || c.upsample || c.yolo) << c.name;
    EXPECT_EQ(f.isPluginExt(c.name), c.leaky || c.upsample || c.yolo) << c.name;
  }
  EXPECT_FALSE(f.isPlugin(nullptr));
  EXPECT_EQ(f.getVersion(), 7103);
}

TEST(PluginFactoryCreate, FromParsingFollowsTheRules) {
  Tn::PluginFactory f;
  nvinfer1::Weights w{nvinfer1::DataType::kFLOAT, nullptr, 0};
  EXPECT_EQ(f.createPlugin("layer5-act", nullptr, 0), nullptr);
  EXPECT_EQ(f.createPlugin("conv1", nullptr, 0), nullptr);
  EXPECT_EQ(f.createPlugin("layer5-upsample", &w, 1), nullptr); /* weights not allowed */
  EXPECT_NE(f.createPlugin("layer5-upsample", nullptr, 0), nullptr);
  EXPECT_NE(f.createPlugin("layer9-upsample", nullptr, 0), nullptr);
  EXPECT_EQ(f.upsampleCount(), 2u);
  EXPECT_EQ(f.createPlugin("yolo-det", &w, 1), nullptr);
  nvinfer1::IPlugin *yolo = f.createPlugin("yolo-det", nullptr, 0);
  ASSERT_NE(yolo, nullptr);
  EXPECT_EQ(f.createPlugin("yolo-det", nullptr, 0), nullptr); /* a second YOLO layer */
  EXPECT_TRUE(f.hasYolo());
  f.destroyPlugin();
  EXPECT_EQ(f.upsampleCount(), 0u);
  EXPECT_FALSE(f.hasYolo());
}

TEST(UpsampleLayer, DoublesTheGridAndRoundTripsIn88Bytes) {
  UpsampleLayerPlugin up(2.0f, 512);
  DimsCHW in(256, 19, 19);
  Dims out = up.getOutputDimensions(0, &in, 1);
  ASSERT_EQ(out.nbDims, 3);
  EXPECT_EQ(out.d[0], 256);
  EXPECT_EQ(out.d[1], 38);
  EXPECT_EQ(out.d[2], 38);
  EXPECT_EQ(up.getNbOutputs(), 1);
  EXPECT_EQ(up.getWorkspaceSize(4), 0u);
  EXPECT_EQ(up.getTensorRTVersion(), 7103);
  ASSERT_EQ(up.getSerializationSize(), 88u);
  std::vector<char> form(88);
  up.serialize(form.data());
  EXPECT_EQ(read_at<int32_t>(form, 0), 3);     // input dimensions
  EXPECT_EQ(read_at<float>(form, 72), 2.0f);   // scale
  EXPECT_EQ(read_at<int32_t>(form, 76), 38);   // output width
  EXPECT_EQ(read_at<int32_t>(form, 80), 38);   // output height
  EXPECT_EQ(read_at<int32_t>(form, 84), 512);  // threads

  Tn::PluginFactory f;
  auto *rebuilt = static_cast<UpsampleLayerPlugin *>(f.createPlugin("layer85-upsample", form.data(), 88));
  ASSERT_NE(rebuilt, nullptr);
  Dims again = rebuilt->getOutputDimensions(0, &in, 1);
  EXPECT_EQ(again.d[1], 38);
  EXPECT_EQ(rebuilt->getSerializationSize(), 88u);
  std::vector<char> form2(88);
  rebuilt->serialize(form2.data());
  EXPECT_EQ(form, form2);

  EXPECT_EQ(f.createPlugin("layer85-upsample", form.data(), 87), nullptr);
  EXPECT_EQ(f.createPlugin("layer85-upsample", form.data(), 89), nullptr);
  std::vector<char> hostile = form;
  int32_t huge = 1 << 30;
  std::memcpy(hostile.data() + 4, &huge, 4);
  EXPECT_EQ(f.createPlugin("layer85-upsample", hostile.data(), 88), nullptr);
}

TEST(UpsampleLayer, FormatsAndNearestNeighbourValues) {
  UpsampleLayerPlugin up(2.0f, 512);
  using nvinfer1::DataType;
  using nvinfer1::PluginFormat;
  EXPECT_TRUE(up.supportsFormat(DataType::kFLOAT, PluginFormat::kNCHW));
  EXPECT_TRUE(up.supportsFormat(DataType::kHALF, PluginFormat::kNCHW));
  EXPECT_TRUE(up.supportsFormat(DataType::kINT8, PluginFormat::kNCHW));
  EXPECT_FALSE(up.supportsFormat(DataType::kINT32, PluginFormat::kNCHW));
  EXPECT_FALSE(up.supportsFormat(DataType::kFLOAT, PluginFormat::kNHWC8));
  DimsCHW in(2, 2, 3);
  Dims outDims = up.getOutputDimensions(0, &in, 1);
  up.configureWithFormat(&in, 1, &outDims, 1, DataType::kINT32, PluginFormat::kNCHW, 1);
  EXPECT_FALSE(up.configured());
  up.configureWithFormat(&in, 1, &outDims, 1, DataType::kFLOAT, PluginFormat::kNCHW, 2);
  ASSERT_TRUE(up.configured());
  ASSERT_EQ(up.initialize(), 0);

  /* batch 2 × 2 channels × 2 × 3, values = their index */
  std::vector<float> src(24);
  for (size_t i = 0; i < src.size(); ++i)
    src[i] = float(i);
  std::vector<float> dst(2 * 2 * 4 * 6, -1.f);
  const void *ins[] = {src.data()};
  void *outs[] = {dst.data()};
  ASSERT_EQ(up.enqueue(2, ins, outs, nullptr, nullptr), 0);
  for (int plane = 0; plane < 4; ++plane)
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 6; ++x)
        ASSERT_EQ(dst[(plane * 4 + y) * 6 + x], src[(plane * 2 + y / 2) * 3 + x / 2])
            << plane << "," << y << "," << x;
}

TEST(UpsampleLayer, ScaleThatIsNoWholeNumberReadsTheRealInputPlanes) {
  /* 3 × 3 planes × 1.5 = 4 × 4; (int)(4 / 1.5) = 2 is not the input size. */
  UpsampleLayerPlugin up(1.5f, 512);
  DimsCHW in(2, 3, 3);
  Dims outDims = up.getOutputDimensions(0, &in, 1);
  ASSERT_EQ(outDims.d[1], 4);
  ASSERT_EQ(outDims.d[2], 4);
  ASSERT_EQ(up.initialize(), 0);
  std::vector<float> src(2 * 2 * 9);
  for (size_t i = 0; i < src.size(); ++i)
    src[i] = float(i);
  std::vector<float> dst(2 * 2 * 16, -1.f);
  const void *ins[] = {src.data()};
  void *outs[] = {dst.data()};
  ASSERT_EQ(up.enqueue(2, ins, outs, nullptr, nullptr), 0);
  /* Output row / column y takes input row (int)(y / 1.5): 0, 0, 1, 2. */
  const int from[4] = {0, 0, 1, 2};
  for (int plane = 0; plane < 4; ++plane)
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x)
        ASSERT_EQ(dst[(plane * 4 + y) * 4 + x], src[(plane * 3 + from[y]) * 3 + from[x]])
            << plane << "," << y << "," << x;
}

TEST(UpsampleLayer, UnsupportedDataTypeMakesEnqueueFail) {
  UpsampleLayerPlugin up(2.0f, 512);
  DimsCHW in(1, 1, 1);
  Dims outDims = up.getOutputDimensions(0, &in, 1);
  up.configureWithFormat(&in, 1, &outDims, 1, nvinfer1::DataType::kINT32,
                         nvinfer1::PluginFormat::kNCHW, 1);
  ASSERT_EQ(up.initialize(), 0);
  float src = 5.f;
  std::vector<float> dst(4, -1.f);
  const void *ins[] = {&src};
  void *outs[] = {dst.data()};
  testing::internal::CaptureStderr();
  EXPECT_NE(up.enqueue(1, ins, outs, nullptr, nullptr), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "error data type\n");
}

/* An int8 output of 50 bytes is no whole number of floats: the host output
 * array must still hold all of it (AddressSanitizer sees an overflow). */
TEST(UpsampleEngine, Int8OutputOfOddByteCountFitsTheHostArray) {
  UpsampleLayerPlugin proto(1.0f, 64);
  DimsCHW in(2, 5, 5);
  Dims outDims = proto.getOutputDimensions(0, &in, 1);
  proto.configureWithFormat(&in, 1, &outDims, 1, nvinfer1::DataType::kINT8,
                            nvinfer1::PluginFormat::kNCHW, 1);
  std::string serial(proto.getSerializationSize(), '\0');
  proto.serialize(&serial[0]);
  auto file = ovtest::onnx_engine("identity_c2_5x5.onnx", {2, 5, 5}, {}, 1);
  ovengine::OutputBinding up;
  up.name = up.pluginName = "layer1-upsample";
  up.source = ovengine::OutputSource::Plugin;
  up.dataType = static_cast<uint32_t>(nvinfer1::DataType::kINT8);
  up.pluginSerial = serial;
  up.dims = {2, 5, 5};
  up.pluginInputs = {{"out", {2, 5, 5}}};
  file.outputs = {up};
  std::string path = ovtest::temp_engine_file(file, "up-int8");

  testing::internal::CaptureStdout();
  {
    auto engine = MakeTensorRT(path, 1.0f, "0 0 0", -1, 1);
    ASSERT_TRUE(engine->Load());
    ASSERT_TRUE(engine->Infer()); /* an all-zero input */
    const auto *out = static_cast<const unsigned char *>(engine->OutputData());
    ASSERT_EQ(engine->DataSize(), 50u);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 50), std::vector<unsigned char>(50, 0));
  }
  testing::internal::GetCapturedStdout();
  std::remove(path.c_str());
}

/* The engine terminates its plug-ins when it goes, so the net must destroy
 * them after the engine; AddressSanitizer sees the wrong order. */
TEST(YoloEngine, ReleasingTheNetDestroysPluginsAfterTheEngine) {
  std::string path = yolo_engine_file(1, "yolo-order");
  const size_t engines = ovcpu::liveEngines(), pinned = ovcpu::liveHostAllocations();
  testing::internal::CaptureStdout();
  {
    Tn::trtNet net(path, -1, 1);
    ASSERT_TRUE(net.hasEngine());
    EXPECT_EQ(ovcpu::liveEngines(), engines + 1);
    EXPECT_EQ(ovcpu::liveHostAllocations(), pinned + 2); /* the layer's two buffers */
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(ovcpu::liveEngines(), engines);
  EXPECT_EQ(ovcpu::liveHostAllocations(), pinned);
  std::remove(path.c_str());
}

TEST(UpsampleLayer, ScaleOneIsAPlainCopy) {
  UpsampleLayerPlugin up(1.0f, 512);
  DimsCHW in(1, 2, 2);
  up.getOutputDimensions(0, &in, 1);
  up.initialize();
  std::vector<float> src{1, 2, 3, 4}, dst(4, 0);
  const void *ins[] = {src.data()};
  void *outs[] = {dst.data()};
  ASSERT_EQ(up.enqueue(1, ins, outs, nullptr, nullptr), 0);
  EXPECT_EQ(dst, src);
}

TEST(YoloLayer, SerializesIn108BytesAndRefuses107) {
  YoloLayerPlugin yolo(512);
  ASSERT_EQ(yolo.getSerializationSize(), 108u);
  std::vector<char> form(108);
  yolo.serialize(form.data());
  EXPECT_EQ(read_at<int32_t>(form, 0), 80);   // classes
  EXPECT_EQ(read_at<int32_t>(form, 4), 512);  // threads
  EXPECT_EQ(read_at<int32_t>(form, 8), 3);    // heads
  EXPECT_EQ(read_at<int32_t>(form, 12), 19);  // first head's width
  EXPECT_EQ(read_at<float>(form, 20), 116.f); // its first anchor
  EXPECT_EQ(yolo.maxBoxes(), 22743);
  Dims out = yolo.getOutputDimensions(0, nullptr, 0);
  EXPECT_EQ(out.d[0], 136459);
  EXPECT_EQ(out.d[1], 1);
  EXPECT_EQ(out.d[2], 1);

  Tn::PluginFactory f;
  EXPECT_EQ(f.createPlugin("yolo-det", form.data(), 107), nullptr);
  EXPECT_EQ(f.createPlugin("yolo-det", form.data(), 109), nullptr);
  auto *rebuilt = static_cast<YoloLayerPlugin *>(f.createPlugin("yolo-det", form.data(), 108));
  ASSERT_NE(rebuilt, nullptr);
  std::vector<char> form2(108);
  rebuilt->serialize(form2.data());
  EXPECT_EQ(form, form2);
  EXPECT_EQ(f.createPlugin("yolo-det", form.data(), 108), nullptr); /* second YOLO layer */

  Tn::PluginFactory g;
  std::vector<char> hostile = form;
  int32_t many = 1000;
  std::memcpy(hostile.data() + 8, &many, 4);
  EXPECT_EQ(g.createPlugin("yolo-det", hostile.data(), 108), nullptr);
  hostile = form;
  int32_t big_grid = 1 << 20;
  std::memcpy(hostile.data() + 12, &big_grid, 4);
  EXPECT_EQ(g.createPlugin("yolo-det", hostile.data(), 108), nullptr);
}

/* Heads of a single-head, two-class layer, filled per (anchor, channel). */
struct TinyHeads {
  static constexpr int kW = 2, kH = 2, kClasses = 2;
  static constexpr int kCells = kW * kH;
  std::vector<float> data = std::vector<float>(3 * (kClasses + 5) * kCells, -30.f);
  void set(int cell, int anchor, int channel, float v) {
    data[cell + kCells * ((kClasses + 5) * anchor + channel)] = v;
  }
};

YoloLayerPlugin *tiny_yolo(Tn::PluginFactory &f) {
  std::vector<char> form(12 + 32);
  int32_t classes = TinyHeads::kClasses, threads = 64, heads = 1;
  std::memcpy(form.data(), &classes, 4);
  std::memcpy(form.data() + 4, &threads, 4);
  std::memcpy(form.data() + 8, &heads, 4);
  Yolo::YoloKernel k{TinyHeads::kW, TinyHeads::kH, {10, 20, 30, 40, 50, 60}};
  std::memcpy(form.data() + 12, &k, 32);
  auto *p = static_cast<YoloLayerPlugin *>(f.createPlugin("yolo-det", form.data(), form.size()));
  if (p)
    p->initialize();
  return p;
}

std::vector<float> run_cpu(YoloLayerPlugin &p, const TinyHeads &h) {
  std::vector<float> out(static_cast<size_t>(p.outputElements()), -7.f);
  const float *ins[] = {h.data.data()};
  p.forwardCpu(ins, out.data(), nullptr, 1);
  return out;
}

TEST(YoloDecoding, ThresholdsOfExactlyHalfGiveNoBox) {
  Tn::PluginFactory f;
  YoloLayerPlugin *p = tiny_yolo(f);
  ASSERT_NE(p, nullptr);
  TinyHeads none;
  EXPECT_EQ(run_cpu(*p, none)[0], 0.f);

  TinyHeads half_objectness; /* logit 0: objectness exactly 0.5 */
  half_objectness.set(0, 0, 4, 0.f);
  half_objectness.set(0, 0, 5, 30.f);
  EXPECT_EQ(run_cpu(*p, half_objectness)[0], 0.f);

  TinyHeads half_class; /* objectness 1.0, class probability exactly 0.5 */
  half_class.set(1, 2, 4, 100.f);
  half_class.set(1, 2, 5, 0.f);
  EXPECT_EQ(run_cpu(*p, half_class)[0], 0.f);
}

TEST(YoloDecoding, DecodesBoxesInHeadCellAnchorOrder) {
  Tn::PluginFactory f;
  YoloLayerPlugin *p = tiny_yolo(f);
  ASSERT_NE(p, nullptr);
  TinyHeads h;
  /* cell 3 (x 1, y 1), anchor 1: centre offsets 0, sizes e^0, class 1 wins */
  h.set(3, 1, 0, 0.f);
  h.set(3, 1, 1, 0.f);
  h.set(3, 1, 2, 0.f);
  h.set(3, 1, 3, std::log(2.f));
  h.set(3, 1, 4, 100.f);
  h.set(3, 1, 5, 1.f);
  h.set(3, 1, 6, 2.f);
  /* cell 0, anchor 2: class 0, ties keep the earlier class */
  for (int c = 0; c < 4; ++c)
    h.set(0, 2, c, 0.f);
  h.set(0, 2, 4, 100.f);
  h.set(0, 2, 5, 3.f);
  h.set(0, 2, 6, 3.f);
  std::vector<float> out = run_cpu(*p, h);
  ASSERT_EQ(out[0], 2.f);
  Yolo::Detection d[2];
  std::memcpy(d, out.data() + 1, sizeof d);
  EXPECT_FLOAT_EQ(d[0].bbox[0], 0.25f);
  EXPECT_FLOAT_EQ(d[0].bbox[1], 0.25f);
  EXPECT_EQ(d[0].classId, 0);
  EXPECT_FLOAT_EQ(d[0].bbox[2], 50.f);
  EXPECT_FLOAT_EQ(d[1].bbox[0], (1 + 0.5f) / 2);
  EXPECT_FLOAT_EQ(d[1].bbox[1], (1 + 0.5f) / 2);
  EXPECT_FLOAT_EQ(d[1].bbox[2], 30.f);
  EXPECT_NEAR(d[1].bbox[3], 80.f, 1e-4);
  EXPECT_EQ(d[1].classId, 1);
  EXPECT_NEAR(d[1].prob, 1 / (1 + std::exp(-2.f)), 1e-6);
  EXPECT_EQ(out[1 + 12], -7.f); /* nothing written past the boxes found */
}

TEST(YoloDecoding, AnchorsGoToTheDeviceOnceAndEveryRunIsQueuedOnItsStream) {
  const size_t before = ovcpu::liveDeviceAllocations();
  {
    YoloLayerPlugin yolo(512);
    ASSERT_EQ(yolo.initialize(), 0);
    EXPECT_EQ(ovcpu::liveDeviceAllocations(), before + 1) << "the anchors of every head";
    std::vector<std::vector<float>> heads;
    for (const auto &k : yolo.heads()) heads.emplace_back(static_cast<size_t>(255) * k.width * k.height, -9.f);
    const int total = yolo.heads()[1].width * yolo.heads()[1].height;
    heads[1][4 * total + 5] = 6.f;  // cell 5 of head 1, anchor 0: objectness
    heads[1][5 * total + 5] = 6.f;  // and its class 0
    const float *ins[] = {heads[0].data(), heads[1].data(), heads[2].data()};
    cudaStream_t stream = nullptr;
    ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
    std::vector<float> out(static_cast<size_t>(yolo.outputElements()), 5.f);
    for (int run = 0; run < 3; ++run) {
      ASSERT_EQ(yolo.forwardGpu(ins, out.data(), stream, 1), 0);
      ASSERT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
      EXPECT_EQ(out[0], 1.f) << "run " << run << ": the count is cleared before each run";
      // Head 1's own anchors (the second head's first pair), not head 0's.
      EXPECT_NEAR(out[3], std::exp(-9.f) * yolo.heads()[1].anchors[0], 1e-9);
    }
    EXPECT_EQ(ovcpu::liveDeviceAllocations(), before + 1) << "no allocation per run";
    yolo.terminate();
    EXPECT_EQ(ovcpu::liveDeviceAllocations(), before);
    ASSERT_EQ(yolo.forwardGpu(ins, out.data(), stream, 1), 0) << "after terminate it starts again";
    EXPECT_EQ(out[0], 1.f);
    cudaStreamDestroy(stream);
  }
  EXPECT_EQ(ovcpu::liveDeviceAllocations(), before) << "freed with the layer";
}

/* forwardGpu goes through the kernel launcher, which on the CPU engine layer
 * is the host port of the kernel (layer_kernels_cpu.cpp); forwardCpu is the
 * layer's own loop.  Two host implementations agree here; the device kernel
 * itself is compared with the host paths by ov-gpu-check on a CUDA device. */
TEST(YoloDecoding, TheLaunchersHostPortMatchesTheLayersOwnLoopOverABatch) {
  YoloLayerPlugin yolo(512);
  ASSERT_EQ(yolo.initialize(), 0);
  std::mt19937 rng(3);
  std::normal_distribution<float> dist(-1.5f, 2.0f);
  const int batch = 2;
  std::vector<std::vector<float>> heads;
  for (const auto &k : yolo.heads()) {
    heads.emplace_back(static_cast<size_t>(batch) * 255 * k.width * k.height);
    for (auto &v : heads.back())
      v = dist(rng);
  }
  const float *ins[] = {heads[0].data(), heads[1].data(), heads[2].data()};
  const size_t n = static_cast<size_t>(batch) * yolo.outputElements();
  std::vector<float> cpu(n, 0.f), gpu(n, 0.f);
  yolo.forwardCpu(ins, cpu.data(), nullptr, batch);
  yolo.forwardGpu(ins, gpu.data(), nullptr, batch);
  for (int b = 0; b < batch; ++b) {
    const size_t at = static_cast<size_t>(b) * yolo.outputElements();
    ASSERT_GT(cpu[at], 0.f) << "the random heads should yield boxes";
    expect_same_boxes(gpu.data() + at, cpu.data() + at);
  }
}

/* An engine ending in the YOLO layer: the output binding has the layout of
 * the layer, per image a count and that many boxes. */
TEST(YoloEngine, EngineEndingInTheYoloLayerProducesTheLayerLayout) {
  std::string path = yolo_engine_file(2, "yolo");

  /* The raw heads for the same frame, decoded on the host path. */
  auto raw = ovtest::onnx_engine("yolo_heads.onnx", {3, 608, 608},
                                 {{"head0_out", {255, 19, 19}},
                                  {"head1_out", {255, 38, 38}},
                                  {"head2_out", {255, 76, 76}}},
                                 2);
  std::string raw_path = ovtest::temp_engine_file(raw, "yolo-raw");

  cv::Mat frame(608, 608, CV_8UC3);
  cv::randu(frame, 0, 255);
  testing::internal::CaptureStdout();
  auto engine = MakeTensorRT(path, 1.0f / 255, "0 0 0", -1, 2);
  ASSERT_TRUE(engine->Load());
  ASSERT_TRUE(engine->Update(frame, 0));
  ASSERT_TRUE(engine->Infer());
  const float *out = static_cast<const float *>(engine->OutputData());
  EXPECT_EQ(engine->DataSize(), 2u * 136459 * 4);

  auto heads_engine = MakeTensorRT(raw_path, 1.0f / 255, "0 0 0", -1, 2);
  ASSERT_TRUE(heads_engine->Load());
  ASSERT_TRUE(heads_engine->Update(frame, 0));
  ASSERT_TRUE(heads_engine->Infer());
  const float *h = static_cast<const float *>(heads_engine->OutputData());
  testing::internal::GetCapturedStdout();

  YoloLayerPlugin host(512);
  host.initialize();
  const float *ins[] = {h, h + 2 * 255 * 19 * 19, h + 2 * 255 * (19 * 19 + 38 * 38)};
  std::vector<float> expected(2 * 136459, 0.f);
  host.forwardCpu(ins, expected.data(), nullptr, 2);
  for (int b = 0; b < 2; ++b) {
    const size_t at = static_cast<size_t>(b) * 136459;
    SCOPED_TRACE("image " + std::to_string(b));
    expect_same_boxes(out + at, expected.data() + at);
  }
  EXPECT_GT(out[0], 0.f);
  std::remove(path.c_str());
  std::remove(raw_path.c_str());
}

}  // namespace
