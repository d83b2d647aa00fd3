/* Plain C access to the results of a buffer's batch record, for scripts that
 * call through a foreign-function interface (Python ctypes, ...).
 *
 * Arrays returned by the getters belong to the caller: release them with the
 * matching gst_metadata_free_* function, which also frees every string inside.
 * Arrays passed to the setters stay the caller's.  The setters only change a
 * writable buffer: a shared one (another reference is held, for instance by a
 * script's own wrapper of it) is refused, since its record is seen by others.
 * This header is valid C.
 */
#ifndef GST_OV_META_PYTHON_WRAPPER_H
#define GST_OV_META_PYTHON_WRAPPER_H

#include <gst/gst.h>

#include "ovmeta_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  int index;
  char *output;
  char *label;
  float prob;
} C_ClassificationResult;

typedef struct {
  int obj_id;
  char *obj_label;
  int class_id;
  char *class_label;
  float x1;
  float y1;
  float x2;
  float y2;
  float prob;
  char *meta;
} C_DetectionBoxResult;

/* One source device of the batch. */
typedef struct {
  char *stream_id;
  char *mac_address;
  char *ip_address;
  unsigned port;
  char *uri;
  char *manufacturer;
  char *model;
  char *serial;
  char *fw_version;
  char *dev_id;
  char *status;
  char *kind;
  char *protocol;
} C_DeviceInfo;

/* One frame of the batch: frames are stacked top to bottom in the batch
 * image, in this order, each starting at column 0. */
typedef struct {
  char *stream_id;
  unsigned frame_id;
  gint64 timestamp;
  unsigned width;
  unsigned height;
  unsigned depth;
  unsigned channels;
  unsigned device_idx; /* >= the device count: no device information */
  int is_compress;
} C_VideoFrameInfo;

/* A label a segmentation map uses. */
typedef struct {
  int label_id;
  char *label;
} C_SegmentLabel;

/* Number of frames in the buffer's batch record; 0 without one. */
OV_META_API int gst_metadata_frames(GstBuffer *buffer);

/* New arrays of the frame's results, or NULL (count 0) when there are none. */
OV_META_API C_ClassificationResult *gst_metadata_get_classification(GstBuffer *buffer,
                                                                    unsigned frame_index,
                                                                    unsigned *count);
OV_META_API C_DetectionBoxResult *gst_metadata_get_detection_box(GstBuffer *buffer,
                                                                 unsigned frame_index,
                                                                 unsigned *count);

/* Attach results to frame `frame_index` of a writable buffer.  Missing frames
 * up to that index are made from the pad (device named after the pad, frame
 * size and type from its caps).  Classification takes the first element only. */
OV_META_API gboolean gst_metadata_set_classification(GstBuffer *buffer, GstPad *pad,
                                                     unsigned frame_index,
                                                     const C_ClassificationResult *results,
                                                     unsigned size);
OV_META_API gboolean gst_metadata_set_detection_box(GstBuffer *buffer, GstPad *pad,
                                                    unsigned frame_index,
                                                    const C_DetectionBoxResult *results,
                                                    unsigned size);

/* The batch's devices and frames, in record order; NULL (count 0) when the
 * buffer has no record or the list is empty. */
OV_META_API C_DeviceInfo *gst_metadata_get_devices(GstBuffer *buffer, unsigned *count);
OV_META_API C_VideoFrameInfo *gst_metadata_get_frame_info(GstBuffer *buffer, unsigned *count);

/* The frame's segmentation map as label ids, row by row (rows * cols cells);
 * rows shorter than the longest hold -1 in their missing cells.  NULL (rows
 * and cols 0) when the frame has no map. */
OV_META_API gint32 *gst_metadata_get_segmentation(GstBuffer *buffer, unsigned frame_index,
                                                  unsigned *rows, unsigned *cols);
/* The distinct (label id, label) pairs of the frame's map, in the order they
 * first appear; a label id met with two texts keeps the first. */
OV_META_API C_SegmentLabel *gst_metadata_get_segmentation_labels(GstBuffer *buffer,
                                                                 unsigned frame_index,
                                                                 unsigned *count);

/* Release what the getters returned: every string, then the array. */
OV_META_API void gst_metadata_free_classification(C_ClassificationResult *results,
                                                  unsigned count);
OV_META_API void gst_metadata_free_detection_box(C_DetectionBoxResult *results, unsigned count);
OV_META_API void gst_metadata_free_devices(C_DeviceInfo *devices, unsigned count);
OV_META_API void gst_metadata_free_frame_info(C_VideoFrameInfo *frames, unsigned count);
OV_META_API void gst_metadata_free_segmentation(gint32 *label_ids);
OV_META_API void gst_metadata_free_segmentation_labels(C_SegmentLabel *labels, unsigned count);

#ifdef __cplusplus
}  // extern "C"

#include <string>

struct GstOvBatchMeta;
/* Frame count of a batch record; 0 for NULL. */
OV_META_API int metadata_frames(GstOvBatchMeta *meta);
/* Stores in *dst a new malloc'ed, zero-filled copy of src (length + 1 bytes);
 * nothing when dst is NULL. */
OV_META_API void copy_str_to_char(const std::string &src, char **dst);
#endif

#endif /* GST_OV_META_PYTHON_WRAPPER_H */
