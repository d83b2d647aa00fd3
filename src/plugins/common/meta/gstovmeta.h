/* The two buffer metadata types of the system.
 *
 * GstOvBatchMeta carries a batch record (OvBatch: devices and frames with their
 * results) along the pipeline; GstOvMeta is a single-frame marker without
 * payload.  Both are registered lazily, once per process.  A full buffer copy
 * deep-copies the batch record; a region copy carries nothing.
 */
#ifndef GST_OV_META_H
#define GST_OV_META_H

#include <gst/gst.h>

#include "ovbatch_records.h"
#include "ovmeta_export.h"

struct GstOvMeta {
  GstMeta meta;
  gint meta_type; /* 0 */
};

struct GstOvBatchMeta {
  GstMeta meta;
  gint meta_type; /* 1 */
  OvBatch batch;
};

OV_META_API GType gst_ov_meta_api_get_type();
OV_META_API const GstMetaInfo *gst_ov_meta_get_info();
OV_META_API GType gst_ov_batch_meta_api_get_type();
OV_META_API const GstMetaInfo *gst_ov_batch_meta_get_info();

/* First GstOvMeta of the buffer, or NULL. */
OV_META_API GstOvMeta *gst_buffer_get_ov_meta(GstBuffer *buffer);
/* The buffer's batch record, or NULL; never creates one. */
OV_META_API GstOvBatchMeta *gst_buffer_get_ov_batch_meta(GstBuffer *buffer);

#define GST_OV_META_API_TYPE (gst_ov_meta_api_get_type())
#define GST_OV_BATCH_META_API_TYPE (gst_ov_batch_meta_api_get_type())

/* The library's debug category "ovmeta", created on first use. */
OV_META_API GstDebugCategory *ov_meta_debug_category();

#endif /* GST_OV_META_H */
