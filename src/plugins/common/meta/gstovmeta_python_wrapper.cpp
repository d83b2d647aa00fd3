/* Plain C access to classifications and boxes for scripts. */
#include "gstovmeta_python_wrapper.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <typeinfo>

#include "gstovmeta.h"
#include "gstovmeta_utils.h"

#define GST_CAT_DEFAULT ov_meta_debug_category()

namespace {

/* A setter's frame index creates every frame up to it: keep a typo or a
 * hostile index from allocating millions of frames. */
constexpr unsigned kMaxSetterFrameIndex = 4096;

char *dup_c(const std::string &s) {
  char *out = nullptr;
  copy_str_to_char(s, &out);
  return out;
}

std::string from_c(const char *s) { return s ? std::string(s) : std::string(); }

/* The record's frame `index`, adding frames from the pad up to it. */
VideoFrameData *frame_for_setter(GstBuffer *buffer, GstPad *pad, unsigned index) {
  if (index >= kMaxSetterFrameIndex) {
    GST_ERROR("Frame index %u is beyond the %u frames a batch may hold", index,
              kMaxSetterFrameIndex);
    return nullptr;
  }
  GstOvBatchMeta *meta = try_get_ov_batch_meta(buffer);
  if (!meta) {
    GST_ERROR("Can not get orvane batch metadata in GstBuffer");
    return nullptr;
  }
  GST_DEBUG("Got orvane batch meta done");
  if (ov_batch_meta_grow_frames(meta, buffer, pad, size_t(index) + 1) <= index) {
    GST_ERROR("Attach new video frame failed");
    return nullptr;
  }
  return &meta->batch.frames[index];
}

/* Frame `index` of the buffer's record when it exists and has results. */
const VideoFrameData *frame_for_getter(GstBuffer *buffer, unsigned index, unsigned *count) {
  if (!count)
    return nullptr;
  *count = 0;
  const int frames = gst_metadata_frames(buffer);
  if (frames <= 0 || index >= unsigned(frames))
    return nullptr;
  return &gst_buffer_get_ov_batch_meta(buffer)->batch.frames[index];
}

}  // namespace

int metadata_frames(GstOvBatchMeta *meta) {
  return meta ? int(meta->batch.frames.size()) : 0;
}

void copy_str_to_char(const std::string &src, char **dst) {
  if (!dst)
    return;
  char *block = static_cast<char *>(std::calloc(src.size() + 1, 1));
  if (!block)
    throw std::bad_alloc();
  std::memcpy(block, src.data(), src.size());
  *dst = block;
}

/* The C functions below run these behind an exception barrier: nothing
 * thrown (an allocation failure) crosses into a script's foreign-function
 * call, and a half-built result is released. */
namespace {

C_ClassificationResult *get_classification(GstBuffer *buffer, unsigned frame_index,
                                           unsigned *count);
C_DetectionBoxResult *get_detection_box(GstBuffer *buffer, unsigned frame_index,
                                        unsigned *count);
gboolean set_classification(GstBuffer *buffer, GstPad *pad, unsigned frame_index,
                            const C_ClassificationResult *results, unsigned size);
gboolean set_detection_box(GstBuffer *buffer, GstPad *pad, unsigned frame_index,
                           const C_DetectionBoxResult *results, unsigned size);

}  // namespace

extern "C" {

int gst_metadata_frames(GstBuffer *buffer) {
  GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(buffer);
  if (!meta) {
    GST_INFO("GstOvBatchMeata is NULL pointer");
    return 0;
  }
  return metadata_frames(meta);
}

C_ClassificationResult *gst_metadata_get_classification(GstBuffer *buffer, unsigned frame_index,
                                                        unsigned *count) {
  try {
    return get_classification(buffer, frame_index, count);
  } catch (const std::exception &e) {
    GST_ERROR("Get classification at frame %u failed: %s", frame_index, e.what());
  } catch (...) {
    GST_ERROR("Get classification at frame %u failed", frame_index);
  }
  if (count)
    *count = 0;
  return nullptr;
}

C_DetectionBoxResult *gst_metadata_get_detection_box(GstBuffer *buffer, unsigned frame_index,
                                                     unsigned *count) {
  try {
    return get_detection_box(buffer, frame_index, count);
  } catch (const std::exception &e) {
    GST_ERROR("Get detection_box at frame %u failed: %s", frame_index, e.what());
  } catch (...) {
    GST_ERROR("Get detection_box at frame %u failed", frame_index);
  }
  if (count)
    *count = 0;
  return nullptr;
}

gboolean gst_metadata_set_classification(GstBuffer *buffer, GstPad *pad, unsigned frame_index,
                                         const C_ClassificationResult *results, unsigned size) {
  try {
    return set_classification(buffer, pad, frame_index, results, size);
  } catch (const std::exception &e) {
    GST_ERROR("Set classification at frame %u failed: %s", frame_index, e.what());
  } catch (...) {
    GST_ERROR("Set classification at frame %u failed", frame_index);
  }
  return FALSE;
}

gboolean gst_metadata_set_detection_box(GstBuffer *buffer, GstPad *pad, unsigned frame_index,
                                        const C_DetectionBoxResult *results, unsigned size) {
  try {
    return set_detection_box(buffer, pad, frame_index, results, size);
  } catch (const std::exception &e) {
    GST_ERROR("Set detection_box at frame %u failed: %s", frame_index, e.what());
  } catch (...) {
    GST_ERROR("Set detection_box at frame %u failed", frame_index);
  }
  return FALSE;
}

void gst_metadata_free_classification(C_ClassificationResult *results, unsigned count) {
  if (!results)
    return;
  for (unsigned i = 0; i < count; ++i) {
    std::free(results[i].output);
    std::free(results[i].label);
  }
  std::free(results);
}

void gst_metadata_free_detection_box(C_DetectionBoxResult *results, unsigned count) {
  if (!results)
    return;
  for (unsigned i = 0; i < count; ++i) {
    std::free(results[i].obj_label);
    std::free(results[i].class_label);
    std::free(results[i].meta);
  }
  std::free(results);
}

}  // extern "C"

namespace {

C_ClassificationResult *get_classification(GstBuffer *buffer, unsigned frame_index,
                                           unsigned *count) {
  const VideoFrameData *frame = frame_for_getter(buffer, frame_index, count);
  if (!frame)
    return nullptr;
  GST_DEBUG("Try to get classification at frame %d", int(frame_index));
  const std::vector<orvane::ai::ClassificationResult> results = frame->class_results;
  if (results.empty())
    return nullptr;
  GST_DEBUG("Allocation size of %lu results %s", (unsigned long)results.size(),
            typeid(C_ClassificationResult).name());
  auto *out = static_cast<C_ClassificationResult *>(
      std::calloc(results.size(), sizeof(C_ClassificationResult)));
  if (!out)
    throw std::bad_alloc();
  // Zero-filled, so a copy that fails half way frees what was made.
  const unsigned n = unsigned(results.size());
  auto release = [n](C_ClassificationResult *a) { gst_metadata_free_classification(a, n); };
  std::unique_ptr<C_ClassificationResult, decltype(release)> owned(out, release);
  for (size_t i = 0; i < results.size(); ++i) {
    GST_DEBUG("Assign %s into classification", typeid(orvane::ai::ClassificationResult).name());
    out[i].index = int(results[i].index);
    out[i].output = dup_c(results[i].output);
    out[i].label = dup_c(results[i].label);
    out[i].prob = results[i].prob;
  }
  *count = n;
  return owned.release();
}

C_DetectionBoxResult *get_detection_box(GstBuffer *buffer, unsigned frame_index,
                                        unsigned *count) {
  const VideoFrameData *frame = frame_for_getter(buffer, frame_index, count);
  if (!frame)
    return nullptr;
  GST_DEBUG("Try to get detection_box at frame %d", int(frame_index));
  const std::vector<orvane::ai::DetectionBoxResult> boxes = frame->box_results;
  if (boxes.empty())
    return nullptr;
  GST_DEBUG("Allocation size of %lu results %s", (unsigned long)boxes.size(),
            typeid(C_DetectionBoxResult).name());
  auto *out =
      static_cast<C_DetectionBoxResult *>(std::calloc(boxes.size(), sizeof(C_DetectionBoxResult)));
  if (!out)
    throw std::bad_alloc();
  const unsigned n = unsigned(boxes.size());
  auto release = [n](C_DetectionBoxResult *a) { gst_metadata_free_detection_box(a, n); };
  std::unique_ptr<C_DetectionBoxResult, decltype(release)> owned(out, release);
  for (size_t i = 0; i < boxes.size(); ++i) {
    const orvane::ai::DetectionBoxResult &b = boxes[i];
    GST_DEBUG("Assign %s into detection box", typeid(orvane::ai::DetectionBoxResult).name());
    out[i].obj_id = int(b.obj_id);
    out[i].obj_label = dup_c(b.obj_label);
    out[i].class_id = int(b.class_id);
    out[i].class_label = dup_c(b.class_label);
    out[i].x1 = b.x1;
    out[i].y1 = b.y1;
    out[i].x2 = b.x2;
    out[i].y2 = b.y2;
    out[i].prob = b.prob;
    out[i].meta = dup_c(b.meta);
  }
  *count = n;
  return owned.release();
}

gboolean set_classification(GstBuffer *buffer, GstPad *pad, unsigned frame_index,
                            const C_ClassificationResult *results, unsigned size) {
  if (size == 0 || !results) {
    GST_ERROR("Set result size should bigger than zero");
    return FALSE;
  }
  GST_DEBUG("Try to set classification at frame %d", int(frame_index));
  GST_DEBUG("Assign %s into orvane::ai::classification", typeid(C_ClassificationResult).name());
  orvane::ai::ClassificationResult c;
  c.index = unsigned(results[0].index);
  c.output = from_c(results[0].output);
  c.label = from_c(results[0].label);
  c.prob = results[0].prob;

  VideoFrameData *frame = frame_for_setter(buffer, pad, frame_index);
  if (!frame)
    return FALSE;
  frame->class_results.push_back(std::move(c));
  return TRUE;
}

gboolean set_detection_box(GstBuffer *buffer, GstPad *pad, unsigned frame_index,
                           const C_DetectionBoxResult *results, unsigned size) {
  if (size == 0 || !results) {
    GST_ERROR("Set result size should bigger than zero");
    return FALSE;
  }
  GST_DEBUG("Try to set detection_box at frame %d", int(frame_index));
  GST_DEBUG("Init vector %s with size %lu", typeid(orvane::ai::DetectionBoxResult).name(),
            (unsigned long)size);
  std::vector<orvane::ai::DetectionBoxResult> boxes(size);
  for (unsigned i = 0; i < size; ++i) {
    GST_DEBUG("Assign %s into orvane::ai::detection_box", typeid(C_DetectionBoxResult).name());
    const C_DetectionBoxResult &in = results[i];
    orvane::ai::DetectionBoxResult &b = boxes[i];
    b.obj_id = unsigned(in.obj_id);
    b.obj_label = from_c(in.obj_label);
    b.class_id = unsigned(in.class_id);
    b.class_label = from_c(in.class_label);
    b.x1 = in.x1;
    b.y1 = in.y1;
    b.x2 = in.x2;
    b.y2 = in.y2;
    b.prob = in.prob;
    b.meta = from_c(in.meta);
  }

  VideoFrameData *frame = frame_for_setter(buffer, pad, frame_index);
  if (!frame)
    return FALSE;
  frame->box_results.insert(frame->box_results.end(), boxes.begin(), boxes.end());
  return TRUE;
}

}  // namespace
