/* Batch record helpers every element uses: find or create the record, add
 * frames described by a pad's caps, cut the batch image into per-frame views
 * and spread a translation result over the frames. */
#ifndef GST_OV_META_UTILS_H
#define GST_OV_META_UTILS_H

#include <cstdint>
#include <map>
#include <vector>

#include <gst/gst.h>
#include <opencv2/core.hpp>

#include "gstovmeta.h"

/* Frame ids of one stream.  A buffer's offset is its frame id where it has
 * one; decoded files, network cameras and application sources leave it
 * unset (GST_BUFFER_OFFSET_NONE), and then the stream numbers its frames
 * itself, from 0, so that no two frames of a stream share an id. */
struct OvFrameNumbering {
  uint32_t next_own = 0;
  bool counting = false; /* the own count has been used */

  /* The id of a buffer with `offset`; `first_own` (optional) is set when this
   * is the first id the stream numbered itself. */
  uint32_t id_for(guint64 offset, bool *first_own = nullptr) {
    if (first_own)
      *first_own = false;
    if (offset != GST_BUFFER_OFFSET_NONE)
      return uint32_t(offset & 0xffffffffu);
    if (first_own)
      *first_own = !counting;
    counting = true;
    return next_own++;
  }
};

/* The frame id of `buffer` arriving through `pad`: its offset, or the pad's
 * own count where buffers carry none (said once per pad at info level). */
OV_META_API guint32 ov_pad_frame_id(GstPad *pad, GstBuffer *buffer);

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
