/* The built-in translators.  Each has the TranslatorFunction signature and is
 * a plain function: no GStreamer, callable from tests. */
#ifndef OV_TRANSLATORS_H
#define OV_TRANSLATORS_H

#include <cstdint>
#include <string>
#include <vector>

#include "ovbatch_records.h"
#include "trans_map.h"

namespace orvane {
namespace ai {

bool ClassifierTopology(const void *data, const std::vector<int> &dims,
                        const std::vector<std::string> &labels, const TranslateInfo &info,
                        Result &result);

bool SSDTopology(const void *data, const std::vector<int> &dims,
                 const std::vector<std::string> &labels, const TranslateInfo &info,
                 Result &result);

bool OpenVINO_Yolov3(const void *data, const std::vector<int> &dims,
                     const std::vector<std::string> &labels, const TranslateInfo &info,
                     Result &result);

bool TensorRT_Yolov3(const void *data, const std::vector<int> &dims,
                     const std::vector<std::string> &labels, const TranslateInfo &info,
                     Result &result);

bool Segment(const void *data, const std::vector<int> &dims,
             const std::vector<std::string> &labels, const TranslateInfo &info,
             Result &result);

bool SegmentFCN(const void *data, const std::vector<int> &dims,
                const std::vector<std::string> &labels, const TranslateInfo &info,
                Result &result);

/* Per-layer, per-frame YOLOv3 decoders; `dims` is the layer's N, CH, H, W.
 * ParseYOLOV3Output throws std::runtime_error for a non-square layer. */
void ParseYOLOV3Output(const float *data, uint64_t iw, uint64_t ih, std::vector<int> dims,
                       const int &layer, const std::vector<std::string> &labels,
                       std::vector<DetectionBoxResult> &candidates, const double &threshold);
void RTParseYOLOV3Output(const float *data, uint64_t iw, uint64_t ih, std::vector<int> dims,
                         const int &layer, const std::vector<std::string> &labels,
                         std::vector<DetectionBoxResult> &candidates, const double &threshold);

double IntersectionOverUnion(const DetectionBoxResult &a, const DetectionBoxResult &b);
double RTIntersectionOverUnion(const DetectionBoxResult &a, const DetectionBoxResult &b);

/* Keeps the highest-prob candidates, dropping those overlapping a kept one
 * by at least `threshold`.  Zeroes the prob of dropped candidates. */
std::vector<DetectionBoxResult> SuppressOverlaps(
    std::vector<DetectionBoxResult> &candidates, double threshold,
    double (*overlap)(const DetectionBoxResult &, const DetectionBoxResult &));

}  // namespace ai
}  // namespace orvane

#endif /* OV_TRANSLATORS_H */
