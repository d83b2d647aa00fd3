/* The result and frame records carried in a buffer's batch metadata.
 *
 * Plain value types with deep-copy semantics, defined completely here (inline
 * members only) so that every plug-in copies and destroys them with the same
 * code.  Results live in orvane::ai; frames, devices and the batch itself are
 * in the global namespace.
 */
#ifndef OVBATCH_RECORDS_H
#define OVBATCH_RECORDS_H

#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace orvane {
namespace ai {

struct ClassificationResult {
  uint32_t index = 0;
  std::string output;
  std::string label;
  float prob = 0.0f;
};

struct DetectionBoxResult {
  uint32_t obj_id = 0;
  std::string obj_label;
  uint32_t class_id = 0;
  std::string class_label;
  float x1 = 0.0f;  /* left, fraction of the frame width */
  float y1 = 0.0f;  /* top, fraction of the frame height */
  float x2 = 0.0f;  /* right */
  float y2 = 0.0f;  /* bottom */
  float prob = 0.0f;
  std::string meta;
};

struct SegmentResult {
  int32_t label_id = 0;
  std::string label;
};

/* Rows of cells, indexed [row][column]. */
using SegmentGrid = std::vector<std::vector<SegmentResult>>;

enum ResultType : int32_t {
  RESULT_NONE = 0,
  RESULT_CLASSIFICATION = 1,
  RESULT_DETECTION_BOX = 2,
  RESULT_SEGMENTATION = 3,
};

/* The output of one translation for a whole batch: entry j belongs to frame j.
 *
 * A tagged union: `type` selects which one of the three vectors exists.  Pick
 * the type when constructing (Result r(RESULT_DETECTION_BOX)) or switch it with
 * set_type(), which destroys the old vector and creates the new, empty one.
 * Assigning `type` directly would leave the storage out of step: don't. */
struct Result {
  int32_t type;
  union {
    std::vector<ClassificationResult> classification;
    std::vector<std::vector<DetectionBoxResult>> detection_box;
    std::vector<SegmentGrid> segmentation;
  };

  explicit Result(int32_t t = RESULT_NONE) : type(RESULT_NONE) { set_type(t); }
  ~Result() { destroy(); }

  Result(const Result &other) : type(RESULT_NONE) { *this = other; }
  Result &operator=(const Result &other) {
    if (this == &other)
      return *this;
    set_type(other.type);
    switch (type) {
      case RESULT_CLASSIFICATION: classification = other.classification; break;
      case RESULT_DETECTION_BOX: detection_box = other.detection_box; break;
      case RESULT_SEGMENTATION: segmentation = other.segmentation; break;
      default: break;
    }
    return *this;
  }
  Result(Result &&other) noexcept : type(RESULT_NONE) { *this = std::move(other); }
  Result &operator=(Result &&other) noexcept {
    if (this == &other)
      return *this;
    destroy();
    switch (other.type) {
      case RESULT_CLASSIFICATION:
        new (&classification) std::vector<ClassificationResult>(std::move(other.classification));
        break;
      case RESULT_DETECTION_BOX:
        new (&detection_box) std::vector<std::vector<DetectionBoxResult>>(
            std::move(other.detection_box));
        break;
      case RESULT_SEGMENTATION:
        new (&segmentation) std::vector<SegmentGrid>(std::move(other.segmentation));
        break;
      default: break;
    }
    type = other.type;
    return *this;
  }

  /* Makes `t` the active member (empty); any other value holds nothing. */
  void set_type(int32_t t) {
    destroy();
    switch (t) {
      case RESULT_CLASSIFICATION: new (&classification) std::vector<ClassificationResult>(); break;
      case RESULT_DETECTION_BOX:
        new (&detection_box) std::vector<std::vector<DetectionBoxResult>>();
        break;
      case RESULT_SEGMENTATION: new (&segmentation) std::vector<SegmentGrid>(); break;
      default: break;
    }
    type = t;
  }

  /* Number of per-frame entries of the active vector; 0 when none is active. */
  size_t entries() const {
    switch (type) {
      case RESULT_CLASSIFICATION: return classification.size();
      case RESULT_DETECTION_BOX: return detection_box.size();
      case RESULT_SEGMENTATION: return segmentation.size();
      default: return 0;
    }
  }

 private:
  void destroy() noexcept {
    using ClassVec = std::vector<ClassificationResult>;
    using BoxVec = std::vector<std::vector<DetectionBoxResult>>;
    using SegVec = std::vector<SegmentGrid>;
    switch (type) {
      case RESULT_CLASSIFICATION: classification.~ClassVec(); break;
      case RESULT_DETECTION_BOX: detection_box.~BoxVec(); break;
      case RESULT_SEGMENTATION: segmentation.~SegVec(); break;
      default: break;
    }
    type = RESULT_NONE;
  }
};

}  // namespace ai
}  // namespace orvane

/* One video source contributing frames to a batch. */
struct DeviceInfoData {
  std::string stream_id;  /* the pad name when the system makes the record */
  std::string mac_address;
  std::string ip_address;
  uint32_t port = 0;
  std::string uri;
  std::string manufacturer;
  std::string model;
  std::string serial;
  std::string fw_version;
  std::string dev_id;
  std::string status;
  std::string kind;
  std::string protocol;
};

/* One frame of a batch.  Frames are stacked top to bottom in the batch image in
 * list order, each starting at column 0. */
struct VideoFrameData {
  std::string stream_id;
  uint32_t frame_id = 0;
  int64_t timestamp = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t depth = 0;       /* OpenCV depth code (or bit depth, from the bus) */
  uint32_t channels = 0;
  uint32_t device_idx = 0;  /* >= devices.size() means: no device information */
  bool is_compress = false;
  std::vector<orvane::ai::ClassificationResult> class_results;
  std::vector<orvane::ai::DetectionBoxResult> box_results;
  orvane::ai::SegmentGrid seg_results;
};

/* The payload of the batch metadata. */
struct OvBatch {
  std::vector<DeviceInfoData> devices;
  std::vector<VideoFrameData> frames;
};

#endif /* OVBATCH_RECORDS_H */
