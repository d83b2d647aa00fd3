/* The split element: shows the frames of successive batch images one after
 * another, frame 0 of the first batch, frame 1 of the next, and so on. */
#ifndef OV_SPLIT_BATCH_H
#define OV_SPLIT_BATCH_H

#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>
#include <gst/video/video.h>

G_BEGIN_DECLS

#define OV_TYPE_SPLIT_BATCH (ov_split_batch_get_type())
G_DECLARE_FINAL_TYPE(OvSplitBatch, ov_split_batch, OV, SPLIT_BATCH, GstBaseTransform)

G_END_DECLS

#endif /* OV_SPLIT_BATCH_H */
