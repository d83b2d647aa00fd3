/* Batch record helpers every element uses: find or create the record, add
 * frames described by a pad's caps, cut the batch image into per-frame views
 * and spread a translation result over the frames. */
#ifndef GST_OV_META_UTILS_H
#define GST_OV_META_UTILS_H

#include <map>
#include <vector>

#include <gst/gst.h>
#include <opencv2/core.hpp>

#include "gstovmeta.h"

/* The buffer's batch record, added (empty) when missing.  NULL only when it
 * cannot be added (buffer not writable). */
OV_META_API GstOvBatchMeta *try_get_ov_batch_meta(GstBuffer *buffer);

/* Appends one frame described by the pad's current caps. */
OV_META_API gboolean attach_videoframe_data_into_batch(OvBatch &batch, GstPad *pad,
                                                       const unsigned &device_idx,
                                                       const unsigned &frame_id);

/* Adds `device` and one frame per pad. */
OV_META_API GstOvBatchMeta *attach_gst_pads_with_device_info(GstBuffer *buffer,
                                                             const DeviceInfoData &device,
                                                             const std::vector<GstPad *> &pads);

/* Adds a device named after the pad and one frame from its caps. */
OV_META_API GstOvBatchMeta *attach_gst_pads(GstBuffer *buffer, const GstPad *pad);

/* One view per frame into the buffer's pixels (no copy); all or nothing. */
OV_META_API std::vector<cv::Mat> batch_image_to_mats(GstBuffer *buffer, GstPad *pad);

/* Appends entry j of `result` to frame j, adding frames from the pad when the
 * record has fewer frames than entries.  `map` is reserved. */
OV_META_API gboolean attach_inference_result(GstBuffer *buffer, GstPad *pad,
                                             const orvane::ai::Result &result,
                                             const std::map<int, int> &map);

/* Makes sure the record holds at least `count` frames, adding one device named
 * after the pad and frames from its caps for the missing ones.  Returns the
 * number of frames afterwards. */
OV_META_API size_t ov_batch_meta_grow_frames(GstOvBatchMeta *meta, GstBuffer *buffer,
                                             GstPad *pad, size_t count);

#endif /* GST_OV_META_UTILS_H */
