/* The batch element's streaming side (batch_output.cpp): what the collect
 * pads' thread does for each output interval, and the glue it shares with
 * videomixer2.cpp. */
#ifndef OV_BATCH_OUTPUT_H
#define OV_BATCH_OUTPUT_H

#include "videomixer2.h"

#define GST_CAT_DEFAULT ovbatch::debug_category()

/* The collect pads' function: sends the stream's opening events, then one
 * batch image, gap or end of stream per call. */
GstFlowReturn ov_videobatch_collected(GstCollectPads *pads, gpointer user_data);

/* Lets the output buffer pool go (streaming stopped). */
void ov_videobatch_drop_pool(OvVideoBatch *self);

/* Recomputes the layout and the source caps (videomixer2.cpp).  Call with the
 * collect pads' stream lock (or from the streaming thread), without `lock`. */
gboolean ov_videobatch_update_src_caps(OvVideoBatch *self);

#endif /* OV_BATCH_OUTPUT_H */
