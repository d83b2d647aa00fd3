/* The batch element: one frame per request pad per output interval, stacked
 * top to bottom into one batch image with the inputs' records merged.
 * videomixer2.cpp holds the element and its pads, batch_output.cpp what the
 * streaming thread does for each interval. */
#ifndef OV_VIDEOMIXER2_H
#define OV_VIDEOMIXER2_H

#include <gst/base/gstcollectpads.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include "batch_caps.h"
#include "batch_timing.h"
#include "blend.h"
#include "live_inputs.h"

G_BEGIN_DECLS

#define OV_TYPE_VIDEO_BATCH_PAD (ov_videobatch_pad_get_type())
G_DECLARE_FINAL_TYPE(OvVideoBatchPad, ov_videobatch_pad, OV, VIDEO_BATCH_PAD, GstPad)

#define OV_TYPE_VIDEO_BATCH (ov_videobatch_get_type())
G_DECLARE_FINAL_TYPE(OvVideoBatch, ov_videobatch, OV, VIDEO_BATCH, GstElement)

/* Per-pad collect data (allocated by the collect pads; `slot` and `live`
 * are constructed and destroyed by the element). */
struct OvVideoBatchCollect {
  GstCollectData collect;
  OvVideoBatchPad *mixpad;
  ovbatch::PadSlot slot; /* under the element's `lock` */
  ovbatch::LiveInput live; /* under the element's `lock` */
};

struct _OvVideoBatchPad {
  GstPad parent;

  /* Layout, written under the element's `lock`. */
  gint x_offset; /* always 0 */
  gint y_offset;
  guint z_order;
  gdouble opacity; /* always 1.0 */

  /* Negotiated input; written from the caps event under the collect pads'
   * stream lock, like the converter fields. */
  GstVideoInfo pad_info;
  GstVideoConverter *converter;
  GstVideoInfo conversion_info;
  gboolean need_conversion_update;

  OvVideoBatchCollect *mixcol;
};

struct _OvVideoBatch {
  GstElement parent;

  GstPad *srcpad;
  GstCollectPads *collect_pads;

  /* `lock` guards pad_list, pad_count, next_pad_number, output_info, mix,
   * the pads' layout fields, slots and live inputs, timeline,
   * reported_deadline and grid_n/grid_d.  `caps_lock` serialises the
   * source-caps computation (taken before `lock`).  `qos`, `deadline`,
   * `live` and `playing` are guarded by the object lock (taken after
   * `lock`).  `watch_lock` guards watch_stop (taken alone).  The collect
   * pads' stream lock, where needed, is taken before `lock`.  Everything
   * else belongs to the streaming thread (the collect pads' stream lock). */
  GMutex lock;
  GMutex caps_lock;

  GSList *pad_list; /* OvVideoBatchPad*, sorted by z_order */
  gint pad_count;
  guint next_pad_number;

  GstVideoInfo output_info;
  GstCaps *output_caps;
  /* Output format chosen from the inputs, before the size is known. */
  ovbatch::MixFormat mix;

  gboolean caps_pending;
  gboolean stream_start_pending;

  /* C++ members: constructed in instance init, destroyed in finalize. */
  ovbatch::OutputTimeline timeline;
  ovbatch::QosState qos;

  GstTagList *tags_pending;

  /* Output buffers of the current output size; streaming thread only. */
  GstBufferPool *pool;
  gsize pool_size;

  BlendFunction blend;
  BlendFunction overlay;
  gint background; /* transparent; there is no other */

  /* Live inputs: the "live-deadline" property (0: derived from the rates),
   * whether upstream is live (from the latency query), whether playing. */
  GstClockTime deadline;
  gboolean live;
  gboolean playing;
  /* The deadline the last latency answer included. */
  GstClockTime reported_deadline;
  /* The interval grid used for inputs without a declared rate (0/1: the
   * output framerate). */
  gint grid_n, grid_d;

  /* The stall watch: a thread that marks inputs late past the deadline. */
  GThread *watch_thread;
  GMutex watch_lock;
  GCond watch_cond;
  gboolean watch_stop;
};

G_END_DECLS

#endif /* OV_VIDEOMIXER2_H */
