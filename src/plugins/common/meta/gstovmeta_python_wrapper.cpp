/* Plain C access to classifications and boxes for scripts. */
#include "gstovmeta_python_wrapper.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <set>
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

/* Results go onto a buffer only its holder sees: on a shared buffer they
 * would change a record other holders read (or fail half way where there is
 * no record yet to add to). */
bool writable_for_setter(GstBuffer *buffer, const char *what, unsigned frame_index) {
  if (!buffer) {
    GST_ERROR("Set %s at frame %u: no buffer", what, frame_index);
    return false;
  }
  if (!gst_buffer_is_writable(buffer)) {
    GST_ERROR("Set %s at frame %u refused: the buffer is shared (not writable), so its batch "
              "record is seen by every holder; make it writable first (gst_buffer_make_writable, "
              "in a probe by replacing the probe's data)",
              what, frame_index);
    return false;
  }
  return true;
}

/* A new caller-owned array with one plain structure per record, each set by
 * `fill(out, record)`; NULL when there are no records.  The array starts
 * zero-filled, so a copy that throws half way frees (with `release`) what was
 * made.  The count is stored only on success. */
template <typename C, typename R, typename Fill>
C *plain_copies(const std::vector<R> &records, unsigned *count, void (*release)(C *, unsigned),
                Fill fill) {
  if (records.empty())
    return nullptr;
  auto *array = static_cast<C *>(std::calloc(records.size(), sizeof(C)));
  if (!array)
    throw std::bad_alloc();
  const unsigned n = unsigned(records.size());
  auto free_all = [n, release](C *a) { release(a, n); };
  std::unique_ptr<C, decltype(free_all)> owned(array, free_all);
  for (size_t i = 0; i < records.size(); ++i)
    fill(array[i], records[i]);
  *count = n;
  return owned.release();
}

/* The buffer's record when it has one. */
const OvBatch *batch_of(GstBuffer *buffer) {
  GstOvBatchMeta *meta = buffer ? gst_buffer_get_ov_batch_meta(buffer) : nullptr;
  return meta ? &meta->batch : nullptr;
}

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
C_DeviceInfo *get_devices(GstBuffer *buffer, unsigned *count);
C_VideoFrameInfo *get_frame_info(GstBuffer *buffer, unsigned *count);
gint32 *get_segmentation(GstBuffer *buffer, unsigned frame_index, unsigned *rows, unsigned *cols);
C_SegmentLabel *get_segmentation_labels(GstBuffer *buffer, unsigned frame_index, unsigned *count);

/* Runs `body` behind the barrier; on an exception logs "<what> failed" and
 * returns `fallback`. */
template <typename T, typename Body>
T guarded(const char *what, T fallback, Body body) {
  try {
    return body();
  } catch (const std::exception &e) {
    GST_ERROR("%s failed: %s", what, e.what());
  } catch (...) {
    GST_ERROR("%s failed", what);
  }
  return fallback;
}

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

C_DeviceInfo *gst_metadata_get_devices(GstBuffer *buffer, unsigned *count) {
  C_DeviceInfo *out = guarded<C_DeviceInfo *>("Get devices", nullptr,
                                              [&] { return get_devices(buffer, count); });
  if (!out && count)
    *count = 0;
  return out;
}

C_VideoFrameInfo *gst_metadata_get_frame_info(GstBuffer *buffer, unsigned *count) {
  C_VideoFrameInfo *out = guarded<C_VideoFrameInfo *>(
      "Get frame information", nullptr, [&] { return get_frame_info(buffer, count); });
  if (!out && count)
    *count = 0;
  return out;
}

gint32 *gst_metadata_get_segmentation(GstBuffer *buffer, unsigned frame_index, unsigned *rows,
                                      unsigned *cols) {
  gint32 *out = guarded<gint32 *>("Get segmentation", nullptr, [&] {
    return get_segmentation(buffer, frame_index, rows, cols);
  });
  if (!out) {
    if (rows)
      *rows = 0;
    if (cols)
      *cols = 0;
  }
  return out;
}

C_SegmentLabel *gst_metadata_get_segmentation_labels(GstBuffer *buffer, unsigned frame_index,
                                                     unsigned *count) {
  C_SegmentLabel *out = guarded<C_SegmentLabel *>("Get segmentation labels", nullptr, [&] {
    return get_segmentation_labels(buffer, frame_index, count);
  });
  if (!out && count)
    *count = 0;
  return out;
}

void gst_metadata_free_devices(C_DeviceInfo *devices, unsigned count) {
  if (!devices)
    return;
  for (unsigned i = 0; i < count; ++i) {
    C_DeviceInfo &d = devices[i];
    for (char *s : {d.stream_id, d.mac_address, d.ip_address, d.uri, d.manufacturer, d.model,
                    d.serial, d.fw_version, d.dev_id, d.status, d.kind, d.protocol})
      std::free(s);
  }
  std::free(devices);
}

void gst_metadata_free_frame_info(C_VideoFrameInfo *frames, unsigned count) {
  if (!frames)
    return;
  for (unsigned i = 0; i < count; ++i)
    std::free(frames[i].stream_id);
  std::free(frames);
}

void gst_metadata_free_segmentation(gint32 *label_ids) { std::free(label_ids); }

void gst_metadata_free_segmentation_labels(C_SegmentLabel *labels, unsigned count) {
  if (!labels)
    return;
  for (unsigned i = 0; i < count; ++i)
    std::free(labels[i].label);
  std::free(labels);
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
  return plain_copies(results, count, gst_metadata_free_classification,
                      [](C_ClassificationResult &out, const orvane::ai::ClassificationResult &c) {
                        GST_DEBUG("Assign %s into classification",
                                  typeid(orvane::ai::ClassificationResult).name());
                        out.index = int(c.index);
                        out.output = dup_c(c.output);
                        out.label = dup_c(c.label);
                        out.prob = c.prob;
                      });
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
  return plain_copies(boxes, count, gst_metadata_free_detection_box,
                      [](C_DetectionBoxResult &out, const orvane::ai::DetectionBoxResult &b) {
                        GST_DEBUG("Assign %s into detection box",
                                  typeid(orvane::ai::DetectionBoxResult).name());
                        out.obj_id = int(b.obj_id);
                        out.obj_label = dup_c(b.obj_label);
                        out.class_id = int(b.class_id);
                        out.class_label = dup_c(b.class_label);
                        out.x1 = b.x1;
                        out.y1 = b.y1;
                        out.x2 = b.x2;
                        out.y2 = b.y2;
                        out.prob = b.prob;
                        out.meta = dup_c(b.meta);
                      });
}

gboolean set_classification(GstBuffer *buffer, GstPad *pad, unsigned frame_index,
                            const C_ClassificationResult *results, unsigned size) {
  if (size == 0 || !results) {
    GST_ERROR("Set result size should bigger than zero");
    return FALSE;
  }
  if (!writable_for_setter(buffer, "classification", frame_index))
    return FALSE;
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
  if (!writable_for_setter(buffer, "detection_box", frame_index))
    return FALSE;
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

C_DeviceInfo *get_devices(GstBuffer *buffer, unsigned *count) {
  if (!count)
    return nullptr;
  *count = 0;
  const OvBatch *batch = batch_of(buffer);
  if (!batch)
    return nullptr;
  return plain_copies(batch->devices, count, gst_metadata_free_devices,
                      [](C_DeviceInfo &out, const DeviceInfoData &d) {
                        out.stream_id = dup_c(d.stream_id);
                        out.mac_address = dup_c(d.mac_address);
                        out.ip_address = dup_c(d.ip_address);
                        out.port = d.port;
                        out.uri = dup_c(d.uri);
                        out.manufacturer = dup_c(d.manufacturer);
                        out.model = dup_c(d.model);
                        out.serial = dup_c(d.serial);
                        out.fw_version = dup_c(d.fw_version);
                        out.dev_id = dup_c(d.dev_id);
                        out.status = dup_c(d.status);
                        out.kind = dup_c(d.kind);
                        out.protocol = dup_c(d.protocol);
                      });
}

C_VideoFrameInfo *get_frame_info(GstBuffer *buffer, unsigned *count) {
  if (!count)
    return nullptr;
  *count = 0;
  const OvBatch *batch = batch_of(buffer);
  if (!batch)
    return nullptr;
  return plain_copies(batch->frames, count, gst_metadata_free_frame_info,
                      [](C_VideoFrameInfo &out, const VideoFrameData &f) {
                        out.stream_id = dup_c(f.stream_id);
                        out.frame_id = f.frame_id;
                        out.timestamp = f.timestamp;
                        out.width = f.width;
                        out.height = f.height;
                        out.depth = f.depth;
                        out.channels = f.channels;
                        out.device_idx = f.device_idx;
                        out.is_compress = f.is_compress ? 1 : 0;
                      });
}

/* The segmentation map of frame `index` when it has cells. */
const orvane::ai::SegmentGrid *segmentation_of(GstBuffer *buffer, unsigned index) {
  const OvBatch *batch = batch_of(buffer);
  if (!batch || index >= batch->frames.size())
    return nullptr;
  const orvane::ai::SegmentGrid &grid = batch->frames[index].seg_results;
  for (const auto &row : grid)
    if (!row.empty())
      return &grid;
  return nullptr;
}

gint32 *get_segmentation(GstBuffer *buffer, unsigned frame_index, unsigned *rows, unsigned *cols) {
  if (!rows || !cols)
    return nullptr;
  *rows = *cols = 0;
  const orvane::ai::SegmentGrid *grid = segmentation_of(buffer, frame_index);
  if (!grid)
    return nullptr;
  size_t width = 0;
  for (const auto &row : *grid)
    width = std::max(width, row.size());
  const size_t cells = grid->size() * width;
  auto *out = static_cast<gint32 *>(std::malloc(cells * sizeof(gint32)));
  if (!out)
    throw std::bad_alloc();
  for (size_t r = 0; r < grid->size(); ++r) {
    const auto &row = (*grid)[r];
    for (size_t c = 0; c < width; ++c)
      out[r * width + c] = c < row.size() ? row[c].label_id : -1;
  }
  *rows = unsigned(grid->size());
  *cols = unsigned(width);
  return out;
}

C_SegmentLabel *get_segmentation_labels(GstBuffer *buffer, unsigned frame_index,
                                        unsigned *count) {
  if (!count)
    return nullptr;
  *count = 0;
  const orvane::ai::SegmentGrid *grid = segmentation_of(buffer, frame_index);
  if (!grid)
    return nullptr;
  std::vector<const orvane::ai::SegmentResult *> distinct;
  std::set<int32_t> seen;
  for (const auto &row : *grid)
    for (const orvane::ai::SegmentResult &cell : row)
      if (seen.insert(cell.label_id).second)
        distinct.push_back(&cell);
  return plain_copies(distinct, count, gst_metadata_free_segmentation_labels,
                      [](C_SegmentLabel &out, const orvane::ai::SegmentResult *cell) {
                        out.label_id = cell->label_id;
                        out.label = dup_c(cell->label);
                      });
}

}  // namespace
