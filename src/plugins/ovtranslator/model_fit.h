/* Whether the translator's settings fit the model they decode: the YOLO
 * anchors and masks (the built-in ones or the user's), the engine's output
 * shapes against the dims text, and whether a tensor holds what its decoder
 * expects (probabilities, activated YOLO heads).  Plain functions: the
 * element turns their answers into messages. */
#ifndef OV_TRANSLATOR_MODEL_FIT_H
#define OV_TRANSLATOR_MODEL_FIT_H

#include <cstdint>
#include <string>
#include <vector>

#include "trans_map.h"

namespace orvane {
namespace ai {

/* Keys of the decoder settings in the TranslateInfo, set by the element
 * only when the user set the property (so that the defaults stay the
 * built-in constants, bit for bit). */
extern const char *const kThresholdKey; /* float: confidence threshold */
extern const char *const kOverlapKey;   /* float: overlap (IoU) threshold */
extern const char *const kAnchorsKey;   /* string: "w,h, w,h, ..." in input pixels */
extern const char *const kMasksKey;     /* string: "6,7,8;3,4,5;0,1,2", one group per head */
extern const char *const kSoftmaxKey;   /* int: 1 applies a softmax to classifier scores */

/* Anchor boxes (width, height pairs in network input pixels) and, per
 * output head in tensor order, the anchors its cells use. */
struct YoloHeads {
  std::vector<float> anchors; /* w0, h0, w1, h1, ... */
  std::vector<std::vector<int>> masks;
};

/* The built-in anchors and the masks of the engine's decoder. */
YoloHeads default_yolo_heads(Engine engine);

/* "10,13, 16,30, 33,23" (commas and/or blanks): an even count of positive
 * numbers. */
bool parse_anchors(const std::string &text, std::vector<float> &anchors, std::string &error);
/* "6,7,8;3,4,5;0,1,2": one group per head, separated by ';'. */
bool parse_masks(const std::string &text, std::vector<std::vector<int>> &masks,
                 std::string &error);
std::string anchors_text(const std::vector<float> &anchors);
std::string masks_text(const std::vector<std::vector<int>> &masks);

/* The heads the translator uses: the info's anchors and masks where given,
 * else the engine's defaults; every mask index must name an anchor. */
bool yolo_heads_from_info(const TranslateInfo &info, Engine engine, YoloHeads &heads,
                          std::string &error);

/* Whether each head's anchors suit its grid: the coarsest grid (fewest
 * cells) must get the largest anchors.  `grids` is each head's H × W in
 * tensor order.  When they do not, `suggestion` is the masks text that
 * gives each head the anchors its grid calls for. */
bool heads_in_order(const std::vector<int64_t> &grids, const YoloHeads &heads,
                    std::string &suggestion);

/* Per head in `dims` (groups of N, CH, H, W): whether CH splits into the
 * head's anchors of 5 + classes values each; `error` says which head does
 * not. */
bool yolo_channels_fit(const std::vector<int> &dims, const YoloHeads &heads, std::string &error);

/* ---- the engine's output shapes ---- */

using Shape = std::vector<int64_t>; /* batch, then the binding's dims */

/* "1x3, 1x255x13x13" */
std::string shapes_text(const std::vector<Shape> &shapes);
/* "1,255,13,13" */
std::string dims_text(const std::vector<int> &dims);

/* The dims the topology's translator reads from these outputs: a classifier
 * gets batch and class count (the first output's values after the batch,
 * multiplied); the others every output's shape, in order.  Empty when a
 * value does not fit an int. */
std::vector<int> dims_from_shapes(Topology topology, const std::vector<Shape> &shapes);

/* Whether `dims` (as parsed, automatic dim filled in) describe the same
 * tensor as the engine's outputs, for this topology. */
bool dims_fit_shapes(Topology topology, const std::vector<int> &dims,
                     const std::vector<Shape> &shapes);

/* Floats the topology's translator reads under `dims`; -1 when it depends
 * on more than dims (FCN, unknown topologies). */
int64_t floats_described(Topology topology, const std::vector<int> &dims);

/* ---- what the tensor holds ---- */

struct ValueRange {
  bool any = false;
  float min = 0, max = 0;
  double min_sum = 0, max_sum = 0; /* per frame, classifiers only */
};

/* The scores of `batch` frames of `classes` values each. */
ValueRange classifier_scores(const float *data, int64_t batch, int64_t classes);
/* Probabilities: every value in [0, 1] and each frame's values summing to
 * 1 within 5 %. */
bool looks_like_probabilities(const ValueRange &range);

/* Objectness and class scores of every head (NaN skipped).  Activated
 * outputs lie in [0, 1]; raw heads go far beyond. */
ValueRange yolo_score_range(const float *data, const std::vector<int> &dims,
                            const YoloHeads &heads);
bool looks_activated(const ValueRange &range);

}  // namespace ai
}  // namespace orvane

#endif /* OV_TRANSLATOR_MODEL_FIT_H */
