/* Plain C access to the results of a buffer's batch record, for scripts that
 * call through a foreign-function interface (Python ctypes, ...).
 *
 * Arrays returned by the getters belong to the caller: release them with the
 * matching gst_metadata_free_* function, which also frees every string inside.
 * Arrays passed to the setters stay the caller's.  This header is valid C.
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

/* Release what the getters returned: every string, then the array. */
OV_META_API void gst_metadata_free_classification(C_ClassificationResult *results,
                                                  unsigned count);
OV_META_API void gst_metadata_free_detection_box(C_DetectionBoxResult *results, unsigned count);

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
