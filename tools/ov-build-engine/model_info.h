/* What ov-build-engine needs to know about a model before OpenCV reads it:
 * the input shape and, for Darknet, the weights size its cfg implies. */
#ifndef OV_BUILD_ENGINE_MODEL_INFO_H
#define OV_BUILD_ENGINE_MODEL_INFO_H

#include <cstdint>
#include <string>
#include <vector>

namespace ovbuild {

/* One [yolo] section: the anchors its head uses and the grid it sees. */
struct DarknetYolo {
  std::vector<int> mask;      /* indices into anchors (pairs) */
  std::vector<float> anchors; /* w0, h0, w1, h1, ... in input pixels */
  int classes = 0;
  int channels = 0, gridHeight = 0, gridWidth = 0; /* the head feeding it */
};

struct DarknetCfg {
  int channels = 3, height = 0, width = 0; /* from [net] */
  uint64_t parameters = 0;                 /* floats the weights file holds */
  int yoloLayers = 0;                      /* [yolo] and [region] sections */
  std::vector<DarknetYolo> yolo;           /* [yolo] sections in cfg order */
  /* The largest factor by which a layer's grid is smaller than the input:
   * input sizes must be multiples of it for the layers to line up. */
  int stride = 1;
};

/* Walks the cfg's layers and counts their weights.  False (with a reason)
 * for a cfg it cannot size, e.g. a layer type it does not know. */
bool parseDarknetCfg(const std::string &text, DarknetCfg &cfg, std::string &error);

/* Bytes of the weights file header: 3 × int32 version, then the images-seen
 * counter (8 bytes from version 0.2 on, else 4).  0 if the file is shorter
 * than the version fields. */
size_t darknetHeaderSize(const std::string &weights);

struct OnnxInput {
  std::string name;
  std::vector<int64_t> dims; /* -1 for a symbolic dimension */
};

/* The first graph input that is not an initializer. */
bool readOnnxInput(const std::string &model, OnnxInput &input, std::string &error);

/* N,C,H,W from a prototxt's input_dim / input_shape, if it has them. */
bool readCaffeInputDims(const std::string &prototxt, std::vector<int> &dims);

}  // namespace ovbuild

#endif
