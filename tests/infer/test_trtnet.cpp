/* Tn::trtNet, the logger, the profiler and binding sizes. */
#include <gtest/gtest.h>

#include <numeric>

#include "TrtNet.h"
#include "Utils.h"
#include "engine_fixtures.h"
#include "ov_cpu_platform.h"

namespace {

using Severity = nvinfer1::ILogger::Severity;

TEST(TnLogger, WritesUpToItsThresholdWithPrefixes) {
  struct Case {
    Severity severity;
    const char *expected;
  } cases[] = {
      {Severity::kINTERNAL_ERROR, "INTERNAL_ERROR: m\n"},
      {Severity::kERROR, "ERROR: m\n"},
      {Severity::kWARNING, "WARNING: m\n"},
      {Severity::kINFO, ""},
      {Severity::kVERBOSE, ""},
  };
  for (const auto &c : cases) {
    testing::internal::CaptureStderr();
    gLogger.log(c.severity, "m");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected);
  }
  Tn::Logger verbose(Severity::kVERBOSE);
  testing::internal::CaptureStderr();
  verbose.log(Severity::kINFO, "i");
  verbose.log(Severity::kVERBOSE, "v");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "INFO: i\nUNKNOWN: v\n");
  EXPECT_EQ(gLogger.reportableSeverity, 2);
}

TEST(TnProfiler, AccumulatesPerLayerInOrderOfFirstReport) {
  Tn::Profiler p;
  p.reportLayerTime("conv1", 1.5f);
  p.reportLayerTime("relu", 0.25f);
  p.reportLayerTime("conv1", 2.0f);
  ASSERT_EQ(p.mProfile.size(), 2u);
  EXPECT_EQ(p.mProfile[0].first, "conv1");
  EXPECT_FLOAT_EQ(p.mProfile[0].second, 3.5f);
  EXPECT_EQ(p.mProfile[1].first, "relu");
  EXPECT_FLOAT_EQ(p.mProfile[1].second, 0.25f);
}

TEST(BindingByteSize, FollowsTheDataType) {
  nvinfer1::DimsCHW dims(3, 4, 5);
  struct Case {
    nvinfer1::DataType type;
    int64_t bytes;
  } cases[] = {
      {nvinfer1::DataType::kFLOAT, 2 * 60 * 4}, {nvinfer1::DataType::kINT32, 2 * 60 * 4},
      {nvinfer1::DataType::kHALF, 2 * 60 * 2},  {nvinfer1::DataType::kINT8, 2 * 60},
      {nvinfer1::DataType::kBOOL, 2 * 60},      {static_cast<nvinfer1::DataType>(9), -1},
  };
  for (const auto &c : cases)
    EXPECT_EQ(Tn::bindingByteSize(dims, c.type, 2), c.bytes) << static_cast<int>(c.type);
}

TEST(CudaCheckDeathTest, AFailingCudaCallPrintsItsPlaceAndAborts) {
  EXPECT_DEATH(CUDA_CHECK(cudaSetDevice(5)), "CUDA error 101 at .*test_trtnet.cpp:[0-9]+");
}

TEST(SafeCudaMalloc, ZeroBytesGiveNullWithoutExitingOrAllocating) {
  const size_t live = ovcpu::liveDeviceAllocations();
  EXPECT_EQ(Tn::safeCudaMalloc(0), nullptr);
  EXPECT_EQ(ovcpu::liveDeviceAllocations(), live);
  void *p = Tn::safeCudaMalloc(8);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(ovcpu::liveDeviceAllocations(), live + 1);
  EXPECT_EQ(cudaFree(p), cudaSuccess);
}

TEST(TrtNet, MissingFileSaysSoOnStandardOutput) {
  testing::internal::CaptureStdout();
  Tn::trtNet net("/nonexistent/x.engine", -1, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "read engine file/nonexistent/x.engine failed\n");
  EXPECT_FALSE(net.hasEngine());
  EXPECT_FALSE(net.doInference(nullptr, nullptr, 1));
}

TEST(TrtNet, LoadsShapesBindingsAndRunsAndReleasesEverything) {
  const size_t blocks = ovcpu::liveDeviceAllocations(), streams = ovcpu::liveStreams();
  auto file = ovtest::onnx_engine("two_outputs.onnx", {3, 4, 4},
                                  {{"full", {3, 4, 4}}, {"pooled", {3, 1, 1}}}, 2);
  std::string path = ovtest::temp_engine_file(file, "trtnet");
  {
    testing::internal::CaptureStdout();
    Tn::trtNet net(path, -1, 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "deserializing\n");
    ASSERT_TRUE(net.hasEngine());
    EXPECT_EQ(net.inputCount(), 1);
    EXPECT_EQ(net.inputShape(), (std::vector<int>{2, 3, 4, 4}));
    EXPECT_EQ(net.outputShape(), (std::vector<int>{2, 3, 4, 4, 2, 3, 1, 1}));
    EXPECT_EQ(net.bindingBytes(), (std::vector<int64_t>{384, 384, 24}));
    EXPECT_EQ(net.outputBytes(), 408);
    EXPECT_EQ(ovcpu::liveDeviceAllocations(), blocks + 3);

    std::vector<float> in(96);
    std::iota(in.begin(), in.end(), 0.f);
    std::vector<float> out(102, -1.f);
    ASSERT_TRUE(net.doInference(in.data(), out.data(), 2));
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 96), in);
    EXPECT_FLOAT_EQ(out[96], 7.5f); /* mean of 0..15 */
    EXPECT_EQ(net.runs(), 1u);
    EXPECT_FALSE(net.doInference(in.data(), out.data(), 3)); /* above the engine's maximum */
    EXPECT_FALSE(net.doInference(in.data(), out.data(), 0));
    EXPECT_EQ(net.runs(), 1u);
    EXPECT_FALSE(net.layerTimes().mProfile.empty());
  }
  EXPECT_EQ(ovcpu::liveDeviceAllocations(), blocks);
  EXPECT_EQ(ovcpu::liveStreams(), streams);
  EXPECT_EQ(ovcpu::liveEngines(), 0u);
  EXPECT_EQ(ovcpu::liveContexts(), 0u);
  std::remove(path.c_str());
}

TEST(TrtNet, DeviceMinusOneKeepsTheDeviceAndZeroSelectsIt) {
  std::string path = ovtest::temp_engine_file(
      ovtest::onnx_engine("identity_8x8.onnx", {3, 8, 8}, {{"out", {3, 8, 8}}}, 1), "device");
  testing::internal::CaptureStdout();
  size_t before = ovcpu::setDeviceCalls();
  { Tn::trtNet net(path, -1, 1); EXPECT_TRUE(net.hasEngine()); }
  EXPECT_EQ(ovcpu::setDeviceCalls(), before);
  { Tn::trtNet net(path, 0, 1); EXPECT_TRUE(net.hasEngine()); }
  EXPECT_EQ(ovcpu::setDeviceCalls(), before + 1);
  testing::internal::CaptureStderr();
  { Tn::trtNet net(path, 7, 1); EXPECT_FALSE(net.hasEngine()); }
  EXPECT_NE(testing::internal::GetCapturedStderr().find("cudaSetDevice(7) failed"), std::string::npos);
  testing::internal::GetCapturedStdout();
  std::remove(path.c_str());
}

}  // namespace
