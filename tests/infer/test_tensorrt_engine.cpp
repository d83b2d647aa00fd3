/* TensorRT / BaseEngine: preprocessing into the input blob, batches, output
 * bytes, and refusal of bad input and bad engine files. */
#include <gtest/gtest.h>

#include <unistd.h>

#include <opencv2/core.hpp>

#include "TensorRT.h"
#include "engine_fixtures.h"
#include "ov_cpu_platform.h"

namespace {

const char *kDefaultMean = "103.94 116.78 123.68";

/* An engine whose output is its own input blob (1x1 identity convolution). */
class IdentityEngine : public testing::Test {
 protected:
  void SetUp() override {
    path_ = ovtest::temp_engine_file(
        ovtest::onnx_engine("identity_8x8.onnx", {3, 8, 8}, {{"out", {3, 8, 8}}}, 2), "identity");
  }
  void TearDown() override { std::remove(path_.c_str()); }

  std::shared_ptr<BaseEngine> load(float scale = 1.0f, const std::string &mean = kDefaultMean,
                                   int batch = 2) {
    testing::internal::CaptureStdout();
    auto engine = MakeTensorRT(path_, scale, mean, -1, batch);
    bool ok = engine->Load();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ok);
    return engine;
  }
  static const float *floats(BaseEngine &e) { return static_cast<const float *>(e.OutputData()); }

  std::string path_;
};

TEST_F(IdentityEngine, LoadFillsDimsAndDataSizeIsZeroUntilOutputData) {
  auto engine = load();
  EXPECT_EQ(engine->inputDims, (std::vector<int64_t>{2, 3, 8, 8}));
  EXPECT_EQ(engine->outputDims, (std::vector<int64_t>{2, 3, 8, 8}));
  EXPECT_TRUE(engine->inputNames.empty());
  EXPECT_EQ(engine->DataSize(), 0u);
  engine->OutputData();
  EXPECT_EQ(engine->DataSize(), 2u * 3 * 8 * 8 * 4);
}

TEST_F(IdentityEngine, WhitePixelBecomesMeanSubtractedPlanesScaled) {
  struct Case {
    float scale;
    float b, g, r;
  } cases[] = {{1.0f, 151.06f, 138.22f, 131.32f}, {0.5f, 75.53f, 69.11f, 65.66f}};
  for (const auto &c : cases) {
    auto engine = load(c.scale);
    cv::Mat white(8, 8, CV_8UC3, cv::Scalar(255, 255, 255));
    ASSERT_TRUE(engine->Update(white, 0));
    ASSERT_TRUE(engine->Infer());
    const float *out = floats(*engine);
    for (int i = 0; i < 64; ++i) {
      ASSERT_NEAR(out[i], c.b, 1e-3) << "blue plane, scale " << c.scale;
      ASSERT_NEAR(out[64 + i], c.g, 1e-3) << "green plane";
      ASSERT_NEAR(out[128 + i], c.r, 1e-3) << "red plane";
    }
  }
}

TEST_F(IdentityEngine, SecondImageStartsThreePlanesLaterAndIndexZeroRestarts) {
  auto engine = load(1.0f, "0 0 0");
  cv::Mat a(8, 8, CV_8UC3, cv::Scalar(1, 2, 3)), b(8, 8, CV_8UC3, cv::Scalar(10, 20, 30));
  ASSERT_TRUE(engine->Update(a, 0));
  ASSERT_TRUE(engine->Update(b, 1));
  ASSERT_TRUE(engine->Infer());
  const float *out = floats(*engine);
  const int slot = 3 * 8 * 8;
  EXPECT_EQ(out[0], 1.f);
  EXPECT_EQ(out[64], 2.f);
  EXPECT_EQ(out[128], 3.f);
  EXPECT_EQ(out[slot], 10.f);
  EXPECT_EQ(out[slot + 64], 20.f);
  EXPECT_EQ(out[slot + 128], 30.f);

  /* A new batch of one image: slot 0 is the new image, slot 1 reads zeros,
   * not the previous batch's second image. */
  ASSERT_TRUE(engine->Update(b, 0));
  ASSERT_TRUE(engine->Infer());
  out = floats(*engine);
  EXPECT_EQ(out[0], 10.f);
  for (int i = 0; i < slot; ++i)
    ASSERT_EQ(out[slot + i], 0.f) << i;
}

TEST_F(IdentityEngine, ChangingNothingAfterTheFirstImageKeepsTheMeanImage) {
  auto engine = load(1.0f, "1 2 3");
  cv::Mat a(8, 8, CV_8UC3, cv::Scalar(5, 5, 5));
  ASSERT_TRUE(engine->Update(a, 0));
  ASSERT_TRUE(engine->Infer());
  EXPECT_EQ(floats(*engine)[0], 4.f);
  EXPECT_EQ(floats(*engine)[128], 2.f);
}

TEST_F(IdentityEngine, RefusesImagesAndMeansItCannotConvertSafely) {
  cv::Mat good(8, 8, CV_8UC3, cv::Scalar(1, 1, 1));
  struct Case {
    const char *what;
    std::string mean;
    cv::Mat image;
    int index;
  } cases[] = {
      {"two mean values", "1 2", good, 0},
      {"four mean values", "1 2 3 4", good, 0},
      {"mean text not numbers", "a b c", good, 0},
      {"empty mean", "", good, 0},
      {"wrong size", kDefaultMean, cv::Mat(8, 9, CV_8UC3, cv::Scalar(0)), 0},
      {"one channel", kDefaultMean, cv::Mat(8, 8, CV_8UC1, cv::Scalar(0)), 0},
      {"float image", kDefaultMean, cv::Mat(8, 8, CV_32FC3, cv::Scalar(0)), 0},
      {"slot past the batch", kDefaultMean, good, 2},
      {"gap before the slot", kDefaultMean, good, 1},
      {"negative slot", kDefaultMean, good, -1},
  };
  for (auto &c : cases) {
    auto engine = load(1.0f, c.mean);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(engine->Update(c.image, c.index)) << c.what;
    testing::internal::GetCapturedStderr();
  }
  /* A later image of another size than the mean image was built for. */
  auto engine = load();
  ASSERT_TRUE(engine->Update(good, 0));
  EXPECT_FALSE(engine->Update(cv::Mat(4, 4, CV_8UC3, cv::Scalar(0)), 1));
}

TEST(TensorRTEngine, MakeReadsNothingAndUpdateBeforeLoadFails) {
  auto engine = MakeTensorRT("/nonexistent.engine", 1.0f, kDefaultMean, -1, 1);
  ASSERT_NE(engine, nullptr);
  EXPECT_TRUE(engine->inputDims.empty());
  EXPECT_FALSE(engine->Update(cv::Mat(8, 8, CV_8UC3), 0));
  EXPECT_FALSE(engine->Infer());
  testing::internal::CaptureStdout();
  EXPECT_FALSE(engine->Load());
  engine->Clear();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "read engine file/nonexistent.engine failed\nTensorRT clear\n");
}

TEST(TensorRTEngine, ThousandOutputBytesGiveDataSizeThousand) {
  std::string path = ovtest::temp_engine_file(
      ovtest::onnx_engine("identity_c2_5x5.onnx", {2, 5, 5}, {{"out", {2, 5, 5}}}, 5), "thousand");
  testing::internal::CaptureStdout();
  auto engine = MakeTensorRT(path, 1.0f, kDefaultMean, -1, 5);
  ASSERT_TRUE(engine->Load());
  ASSERT_NE(engine->OutputData(), nullptr);
  EXPECT_EQ(engine->DataSize(), 1000u);
  engine.reset();
  EXPECT_NE(testing::internal::GetCapturedStdout().find("TensorRT clear"), std::string::npos);
  std::remove(path.c_str());
}

TEST(TensorRTEngine, InferRefusesABatchAboveTheEngineMaximum) {
  std::string path = ovtest::temp_engine_file(
      ovtest::onnx_engine("identity_8x8.onnx", {3, 8, 8}, {{"out", {3, 8, 8}}}, 1), "max1");
  testing::internal::CaptureStdout();
  auto engine = MakeTensorRT(path, 1.0f, kDefaultMean, -1, 2);
  ASSERT_TRUE(engine->Load());
  ASSERT_TRUE(engine->Update(cv::Mat(8, 8, CV_8UC3, cv::Scalar(0)), 0));
  EXPECT_FALSE(engine->Infer());
  testing::internal::GetCapturedStdout();
  std::remove(path.c_str());
}

/* Engine files are outside input: every broken one fails Load with a
 * message through the logger and leaks nothing. */
TEST(TensorRTEngine, BrokenEngineFilesFailLoadWithAMessage) {
  std::string good = ovtest::engine_bytes(
      ovtest::onnx_engine("identity_8x8.onnx", {3, 8, 8}, {{"out", {3, 8, 8}}}, 1));
  std::string flipped = good;
  flipped[40] ^= 0x10;
  struct Case {
    const char *what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"bad magic", "XXTRTENG" + good.substr(8)},
      {"truncated", good.substr(0, good.size() / 2)},
      {"one byte short", good.substr(0, good.size() - 1)},
      {"corrupted", flipped},
      {"text", "hello engine"},
  };
  const size_t blocks = ovcpu::liveDeviceAllocations();
  for (const auto &c : cases) {
    std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                       "/broken-" + std::to_string(getpid()) + ".engine";
    ovtest::write_file(path, c.bytes);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto engine = MakeTensorRT(path, 1.0f, kDefaultMean, -1, 1);
    EXPECT_FALSE(engine->Load()) << c.what;
    std::string err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    if (!c.bytes.empty()) {
      EXPECT_NE(err.find("ERROR: "), std::string::npos) << c.what << ": " << err;
    }
    EXPECT_TRUE(engine->inputDims.empty());
    std::remove(path.c_str());
  }
  EXPECT_EQ(ovcpu::liveDeviceAllocations(), blocks);
}

}  // namespace
