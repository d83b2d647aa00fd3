/* The model checks of ov-build-engine: weights size from a Darknet cfg, the
 * weights header, the ONNX input and the Caffe input dims. */
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "model_info.h"

namespace {

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

/* Parameter counts of the published trained weights files of these cfgs
 * ((file size - 20) / 4). */
TEST(DarknetCfg, CountsTheWeightsOfTheShippedYoloCfgs) {
  struct Case {
    const char *cfg;
    uint64_t parameters;
    int yolo, width;
  } cases[] = {
      {"/usr/share/darknet/cfg/yolov3-tiny.cfg", 8858734, 2, 416},
      {"/usr/share/darknet/cfg/yolov3.cfg", 62001757, 3, 608},
  };
  for (const auto &c : cases) {
    std::string text = slurp(c.cfg);
    ASSERT_FALSE(text.empty()) << c.cfg;
    ovbuild::DarknetCfg cfg;
    std::string error;
    ASSERT_TRUE(ovbuild::parseDarknetCfg(text, cfg, error)) << c.cfg << ": " << error;
    EXPECT_EQ(cfg.parameters, c.parameters) << c.cfg;
    EXPECT_EQ(cfg.yoloLayers, c.yolo) << c.cfg;
    EXPECT_EQ(cfg.channels, 3);
    EXPECT_EQ(cfg.width, c.width);
  }
}

TEST(DarknetCfg, SmallCfgCountsBatchNormAndGroupsAndRoutes) {
  const char *cfg =
      "[net]\nchannels=4\nwidth=8\nheight=8\n"
      "[convolutional]\nbatch_normalize=1\nfilters=6\nsize=3\npad=1\nstride=1\n" /* 6*4*9+6+18 */
      "[convolutional]\nfilters=2\nsize=1\ngroups=2\n"                          /* 2*3*1+2 */
      "[route]\nlayers=-1,-2\n"                                                  /* c = 8 */
      "[convolutional]\nfilters=1\nsize=1\n";                                    /* 8+1 */
  ovbuild::DarknetCfg out;
  std::string error;
  ASSERT_TRUE(ovbuild::parseDarknetCfg(cfg, out, error)) << error;
  EXPECT_EQ(out.parameters, 6u * 4 * 9 + 6 + 18 + 2 * 3 + 2 + 8 + 1);
  EXPECT_EQ(out.channels, 4);
}

TEST(DarknetCfg, RefusesCfgsItCannotSize) {
  struct Case {
    const char *what, *cfg, *reason;
  } cases[] = {
      {"no net", "[convolutional]\nfilters=1\n", "[net]"},
      {"no size", "[net]\nchannels=3\n", "positive"},
      {"unknown layer", "[net]\nwidth=4\nheight=4\n[lstm]\n", "not supported"},
      {"bad number", "[net]\nwidth=4\nheight=4\n[convolutional]\nfilters=x\n", "not a number"},
      {"route out of range", "[net]\nwidth=4\nheight=4\n[route]\nlayers=-3\n", "does not exist"},
      {"groups do not divide", "[net]\nwidth=4\nheight=4\n[convolutional]\ngroups=2\n", "groups"},
      {"reorg stride 0", "[net]\nwidth=4\nheight=4\n[reorg]\nstride=0\n", "bad stride"},
      // Sizes near the limits of the numbers a cfg may hold: refused, not wrapped.
      {"padding past int", "[net]\nwidth=4\nheight=4\n[convolutional]\npadding=1073741823\n",
       "too large"},
      {"upsample past int", "[net]\nwidth=4\nheight=4\n[upsample]\nstride=1073741824\n",
       "too large"},
      {"reorg channels past 64 bits",
       "[net]\nwidth=4\nheight=4\nchannels=1073741824\n[reorg]\nstride=1073741824\n", "too large"},
      {"weights past 64 bits",
       "[net]\nwidth=1073741824\nheight=1073741824\nchannels=1073741824\n[connected]\n"
       "output=1073741824\n",
       "more weights"},
      {"no outputs", "[net]\nwidth=4\nheight=4\n[connected]\noutput=0\n", "output count"},
      {"collapsing size", "[net]\nwidth=2\nheight=2\n[convolutional]\nsize=5\n", "empty"},
      {"stray line", "width=4\n", "key=value"},
  };
  for (const auto &c : cases) {
    ovbuild::DarknetCfg out;
    std::string error;
    EXPECT_FALSE(ovbuild::parseDarknetCfg(c.cfg, out, error)) << c.what;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
  }
}

TEST(DarknetWeights, HeaderSizeFollowsTheVersion) {
  auto header = [](int major, int minor) {
    std::string h(20, '\0');
    h[0] = static_cast<char>(major);
    h[4] = static_cast<char>(minor);
    return h;
  };
  EXPECT_EQ(ovbuild::darknetHeaderSize(header(0, 2)), 20u);
  EXPECT_EQ(ovbuild::darknetHeaderSize(header(1, 0)), 20u);
  EXPECT_EQ(ovbuild::darknetHeaderSize(header(0, 1)), 16u);
  EXPECT_EQ(ovbuild::darknetHeaderSize(std::string(11, '\0')), 0u);
}

TEST(OnnxInput, ReadsNameAndShapeAndRefusesJunk) {
  std::string model = slurp(std::string(OV_INFER_MODEL_DIR) + "/two_outputs.onnx");
  ASSERT_FALSE(model.empty());
  ovbuild::OnnxInput in;
  std::string error;
  ASSERT_TRUE(ovbuild::readOnnxInput(model, in, error)) << error;
  EXPECT_EQ(in.name, "data");
  EXPECT_EQ(in.dims, (std::vector<int64_t>{1, 3, 4, 4}));

  EXPECT_FALSE(ovbuild::readOnnxInput("not a model", in, error));
  /* Every truncation either parses to something or is refused; none reads past the end. */
  for (size_t n = 0; n < model.size(); n += 7)
    ovbuild::readOnnxInput(model.substr(0, n), in, error);
}

TEST(CaffeInput, ReadsInputDimOrInputShape) {
  std::vector<int> dims;
  EXPECT_TRUE(ovbuild::readCaffeInputDims(
      "input: \"data\"\ninput_dim: 1\ninput_dim: 3\ninput_dim: 300\ninput_dim: 200\n", dims));
  EXPECT_EQ(dims, (std::vector<int>{1, 3, 300, 200}));
  EXPECT_TRUE(ovbuild::readCaffeInputDims(
      "input_shape { dim: 1 dim: 3 dim: 224 dim: 224 }", dims));
  EXPECT_EQ(dims, (std::vector<int>{1, 3, 224, 224}));
  EXPECT_FALSE(ovbuild::readCaffeInputDims("layer { name: \"x\" }", dims));
}

}  // namespace
