/* What the batch element's files share.  videomixer2.cpp is the element (its
 * pads, events, queries, state and locks), batch_negotiation.cpp applies the
 * caps decisions to the pads, batch_output.cpp is what the collect pads'
 * thread does for each output interval. */
#ifndef OV_BATCH_ELEMENT_H
#define OV_BATCH_ELEMENT_H

#include "videomixer2.h"

#define GST_CAT_DEFAULT ovbatch::debug_category()

/* videomixer2.cpp: frees a pad's converter, if any. */
void ov_videobatch_pad_free_converter(OvVideoBatchPad *pad);

/* Whether a pad's input declares no frame rate (framerate=0/1): each of its
 * frames goes into one batch only. */
inline bool ov_videobatch_pad_variable(const OvVideoBatchPad *pad) {
  return GST_VIDEO_INFO_FPS_N(&pad->pad_info) <= 0;
}

/* batch_negotiation.cpp.  Chooses the mix format from the inputs and makes
 * the converters.  Call with the collect pads' stream lock. */
gboolean ov_videobatch_update_converters(OvVideoBatch *self);
/* Recomputes the layout and the source caps.  Call with the collect pads'
 * stream lock (or from the streaming thread), without `lock`. */
gboolean ov_videobatch_update_src_caps(OvVideoBatch *self);
/* A sink pad's new caps: checked against the output, then the mix format
 * and the source caps recomputed. */
gboolean ov_videobatch_set_pad_caps(OvVideoBatch *self, OvVideoBatchPad *pad, GstCaps *caps);
/* What sink pad `pad` accepts, within `filter` (may be nullptr). */
GstCaps *ov_videobatch_sink_caps(OvVideoBatch *self, GstPad *pad, GstCaps *filter);

/* batch_output.cpp.  The collect pads' function: sends the stream's opening
 * events, then one batch image, gap or end of stream per call. */
GstFlowReturn ov_videobatch_collected(GstCollectPads *pads, gpointer user_data);
/* Lets the output buffer pool go (streaming stopped). */
void ov_videobatch_drop_pool(OvVideoBatch *self);

#endif /* OV_BATCH_ELEMENT_H */
