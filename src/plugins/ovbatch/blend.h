/* Composite kernels of the batch element: place a source frame at (x, y) in a
 * destination frame of the same format with a given opacity, and clear a
 * frame to zero bytes.  They know nothing of pads, caps or metadata. */
#ifndef OV_BATCH_BLEND_H
#define OV_BATCH_BLEND_H

#include <gst/gst.h>
#include <gst/video/video.h>

/* (source, x, y, alpha in [0, 1], destination); both frames mapped, same format. */
using BlendFunction = void (*)(GstVideoFrame *src, gint xpos, gint ypos, gdouble src_alpha,
                               GstVideoFrame *dest);

struct BlendKernels {
  GstVideoFormat format;
  BlendFunction blend;
  BlendFunction overlay;
};

/* Registers the "videomixer_blend" category; call once before using kernels. */
void gst_video_mixer_init_blend();

/* The kernels for `format`, or nullptr when the format has none. */
const BlendKernels *ov_blend_kernels_for(GstVideoFormat format);

/* Clears every plane of `frame` to 0, row by row over its visible width. */
void ov_blend_fill_zero(GstVideoFrame *frame);

/* Whether ov_blend_fill_zero_beyond() can stand in for a full clear: one
 * plane, no subsampling, no alpha (the pixels copied in need no background). */
bool ov_blend_can_fill_beyond(const GstVideoInfo *info);

/* Clears row r of `frame` from pixel column covered[r] to its right end,
 * leaving the columns before it to be overwritten.  Same result as
 * ov_blend_fill_zero() once those columns are written. */
void ov_blend_fill_zero_beyond(GstVideoFrame *frame, const gint *covered);

#endif /* OV_BATCH_BLEND_H */
