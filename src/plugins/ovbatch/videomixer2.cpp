/* ovvideobatch: stacks one frame from each request pad, top to bottom, into
 * one batch image per output interval and merges the inputs' frame and device
 * records into the batch record, in pad order.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=30 ! video/x-raw,format=BGR,width=320,height=240 !
 *     ovvideobatch name=b ! fakesink
 *     videotestsrc num-buffers=30 pattern=ball ! video/x-raw,format=BGR,width=320,height=240 ! b.
 *
 * This file is the element: its pads, the events and queries on both sides,
 * state changes and locking.  batch_negotiation.cpp applies the caps
 * decisions, batch_output.cpp makes and pushes each batch image.  The
 * decisions sit in plain cores: batch_timing (intervals, which buffer each
 * pad shows, segment, QoS), batch_caps (mix format, output and sink caps,
 * conversions), batch_layout (where each frame and record goes), live_inputs
 * (rates, stalls, the deadline for late live inputs).
 *
 * Live inputs: a thread watches them while playing; an input that sends
 * nothing for longer than "live-deadline" (0, the default: three frame
 * intervals of the slowest input, at least 40 ms, one second until a rate is
 * known) stops being waited for, its slot stays empty and the element warns
 * once; its next frame makes it waited for again, with one more warning.
 * The latency query answers upstream's latency plus that deadline.
 */
#include "videomixer2.h"

#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "batch_element.h"
#include "ov_element.h"
#include "ov_gst_ptr.h"

#define OV_CAPS                                                                                 \
  "video/x-raw, format = (string)  { ARGBx, xRGB, BGRx, xBGR, RGBA, ARGB, BGRA, ABGR, RGB, BGR, " \
  "AYUV, YUY2, YVYU, UYVY, I420, YV12, RGB16, RGB15, GRAY8, NV12, NV21, GRAY16_LE, GRAY16_BE } " \
  ", width = (int) [ 1, max ], height = (int) [ 1, max ], framerate = (fraction) [ 0, max ]"

static GstStaticPadTemplate src_factory =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(OV_CAPS));
static GstStaticPadTemplate sink_factory =
    GST_STATIC_PAD_TEMPLATE("sink_%u", GST_PAD_SINK, GST_PAD_REQUEST, GST_STATIC_CAPS(OV_CAPS));

/* ---------------------------------------------------------------- pad --- */

G_DEFINE_TYPE(OvVideoBatchPad, ov_videobatch_pad, GST_TYPE_PAD)

void ov_videobatch_pad_free_converter(OvVideoBatchPad *pad) {
  if (pad->converter)
    gst_video_converter_free(pad->converter);
  pad->converter = nullptr;
}

static void ov_videobatch_pad_finalize(GObject *object) {
  ov_videobatch_pad_free_converter(OV_VIDEO_BATCH_PAD(object));
  G_OBJECT_CLASS(ov_videobatch_pad_parent_class)->finalize(object);
}

static void ov_videobatch_pad_class_init(OvVideoBatchPadClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = ov_videobatch_pad_finalize;
}

static void ov_videobatch_pad_init(OvVideoBatchPad *pad) {
  pad->x_offset = 0;
  pad->y_offset = 0;
  pad->z_order = 0;
  pad->opacity = 1.0;
  gst_video_info_init(&pad->pad_info);
  gst_video_info_init(&pad->conversion_info);
  pad->converter = nullptr;
  pad->need_conversion_update = FALSE;
  pad->mixcol = nullptr;
}

/* ------------------------------------------------------------ element --- */

static void ov_videobatch_child_proxy_init(gpointer g_iface, gpointer iface_data);

G_DEFINE_TYPE_WITH_CODE(OvVideoBatch, ov_videobatch, GST_TYPE_ELEMENT,
                        G_IMPLEMENT_INTERFACE(GST_TYPE_CHILD_PROXY,
                                              ov_videobatch_child_proxy_init))

namespace {

void reset_qos(OvVideoBatch *self, bool counters) {
  GST_OBJECT_LOCK(self);
  self->qos.reset();
  if (counters)
    self->qos.reset_counters();
  GST_OBJECT_UNLOCK(self);
}

void collect_free(GstCollectData *data) {
  OvVideoBatchCollect *c = reinterpret_cast<OvVideoBatchCollect *>(data);
  c->slot.~PadSlot();
  c->live.~LiveInput();
}

enum { PROP_0, PROP_LIVE_DEADLINE };

/* A readable string property "uri" or "location" of `el`, or "". */
std::string source_address(GstElement *el) {
  for (const char *prop : {"uri", "location"}) {
    GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(el), prop);
    if (!pspec || G_PARAM_SPEC_VALUE_TYPE(pspec) != G_TYPE_STRING ||
        !(pspec->flags & G_PARAM_READABLE))
      continue;
    gchar *value = nullptr;
    g_object_get(el, prop, &value, nullptr);
    std::string address = value ? value : "";
    g_free(value);
    if (!address.empty())
      return address;
  }
  return "";
}

/* What a warning calls an input: its pad and, going upstream through
 * elements of one input (into and out of bins), the first camera address
 * met, or else the farthest element reached.  Call without the element's
 * locks. */
std::string input_name(GstPad *pad) {
  std::string farthest, address;
  GstPad *cur = gst_pad_get_peer(pad);
  for (int hop = 0; cur && hop < 32 && address.empty(); ++hop) {
    GstObject *parent = gst_object_get_parent(GST_OBJECT(cur));
    GstPad *next = nullptr;
    if (parent && GST_IS_ELEMENT(parent)) {
      GstElement *el = GST_ELEMENT(parent);
      farthest = GST_OBJECT_NAME(el);
      address = source_address(el);
      if (GST_IS_GHOST_PAD(cur)) {
        next = gst_ghost_pad_get_target(GST_GHOST_PAD(cur));  // into the bin
      } else {
        GstPad *sink = nullptr;
        GST_OBJECT_LOCK(el);
        if (el->numsinkpads == 1)
          sink = GST_PAD(gst_object_ref(el->sinkpads->data));
        GST_OBJECT_UNLOCK(el);
        if (sink) {
          next = gst_pad_get_peer(sink);
          gst_object_unref(sink);
        }
      }
    } else if (parent && GST_IS_GHOST_PAD(parent)) {
      next = gst_pad_get_peer(GST_PAD(parent));  // out of the bin, upstream
    }
    if (parent)
      gst_object_unref(parent);
    gst_object_unref(cur);
    cur = next;
  }
  if (cur)
    gst_object_unref(cur);
  const std::string &what = address.empty() ? farthest : address;
  return what.empty() ? std::string(GST_PAD_NAME(pad))
                      : std::string(GST_PAD_NAME(pad)) + " (" + what + ")";
}

/* How long a live input is waited for now.  Call with `lock`. */
GstClockTime current_deadline(OvVideoBatch *self) {
  std::vector<GstClockTime> intervals;
  for (GSList *l = self->pad_list; l; l = l->next) {
    OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(l->data);
    if (!pad->mixcol)
      continue;
    const int n = GST_VIDEO_INFO_FPS_N(&pad->pad_info), d = GST_VIDEO_INFO_FPS_D(&pad->pad_info);
    intervals.push_back(n > 0 && d > 0 ? ovbatch::frame_duration(n, d)
                                       : pad->mixcol->live.rate.interval());
  }
  GST_OBJECT_LOCK(self);
  const GstClockTime configured = self->deadline;
  GST_OBJECT_UNLOCK(self);
  return ovbatch::live_deadline(configured, intervals);
}

/* One look at the live inputs (the watch thread): marks those silent past
 * the deadline as not waited for, and asks for a new latency when the
 * deadline moved. */
void check_stalls(OvVideoBatch *self) {
  GST_OBJECT_LOCK(self);
  const bool active = self->live && self->playing;
  GST_OBJECT_UNLOCK(self);
  if (!active)
    return;
  const gint64 now = g_get_monotonic_time();
  GstClockTime deadline;
  bool overdue = false, latency_moved = false;
  {
    ov::MutexLock guard(&self->lock);
    deadline = current_deadline(self);
    for (GSList *l = self->pad_list; l; l = l->next) {
      OvVideoBatchCollect *c = OV_VIDEO_BATCH_PAD(l->data)->mixcol;
      if (c && !c->live.stalled() && c->live.silent_for_us(now) > gint64(deadline / GST_USECOND))
        overdue = true;
    }
    // A tenth either way: the rate estimates wobble by less.
    const GstClockTime was = self->reported_deadline;
    if (GST_CLOCK_TIME_IS_VALID(was) && (deadline > was + was / 10 || deadline + was / 10 < was)) {
      latency_moved = true;
      self->reported_deadline = deadline;
    }
  }
  if (latency_moved) {
    GST_DEBUG_OBJECT(self, "deadline now %" GST_TIME_FORMAT ": asking for a new latency",
                     GST_TIME_ARGS(deadline));
    gst_element_post_message(GST_ELEMENT(self), gst_message_new_latency(GST_OBJECT(self)));
  }
  if (!overdue)
    return;

  std::vector<std::pair<ov::PadPtr, double>> stalled;
  GST_COLLECT_PADS_STREAM_LOCK(self->collect_pads);
  {
    ov::MutexLock guard(&self->lock);
    for (GSList *l = self->pad_list; l; l = l->next) {
      OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(l->data);
      OvVideoBatchCollect *c = pad->mixcol;
      // An input with a frame waiting, or at its end, holds nothing up.
      if (!c || c->collect.buffer ||
          GST_COLLECT_PADS_STATE_IS_SET(&c->collect, GST_COLLECT_PADS_STATE_EOS))
        continue;
      if (c->live.check_stall(now, deadline)) {
        gst_collect_pads_set_waiting(self->collect_pads, &c->collect, FALSE);
        stalled.emplace_back(ov::PadPtr(GST_PAD(gst_object_ref(pad))),
                             c->live.silent_for_us(now) / 1e6);
      }
    }
  }
  GST_COLLECT_PADS_STREAM_UNLOCK(self->collect_pads);
  for (const auto &s : stalled)
    GST_ELEMENT_WARNING(self, STREAM, FAILED,
                        ("Input %s stalled: no frame for %.2f s; batches go on without it.",
                         input_name(s.first.get()).c_str(), s.second),
                        ("a live input is waited for %" GST_TIME_FORMAT
                         " (the live-deadline property)",
                         GST_TIME_ARGS(deadline)));
}

gpointer watch_loop(gpointer data) {
  OvVideoBatch *self = OV_VIDEO_BATCH(data);
  g_mutex_lock(&self->watch_lock);
  while (!self->watch_stop) {
    g_cond_wait_until(&self->watch_cond, &self->watch_lock,
                      g_get_monotonic_time() + 10 * G_TIME_SPAN_MILLISECOND);
    if (self->watch_stop)
      break;
    g_mutex_unlock(&self->watch_lock);
    check_stalls(self);
    g_mutex_lock(&self->watch_lock);
  }
  g_mutex_unlock(&self->watch_lock);
  return nullptr;
}

void start_watch(OvVideoBatch *self) {
  self->watch_stop = FALSE;
  gchar *name = g_strdup_printf("%s-watch", GST_OBJECT_NAME(self));
  self->watch_thread = g_thread_new(name, watch_loop, self);
  g_free(name);
}

void stop_watch(OvVideoBatch *self) {
  if (!self->watch_thread)
    return;
  g_mutex_lock(&self->watch_lock);
  self->watch_stop = TRUE;
  g_cond_signal(&self->watch_cond);
  g_mutex_unlock(&self->watch_lock);
  g_thread_join(self->watch_thread);
  self->watch_thread = nullptr;
}

/* A frame came on a live input: it is waited for again if it had stalled.
 * Called from the clip step (the collect pads' stream lock is held). */
void note_arrival(OvVideoBatch *self, GstCollectPads *pads, OvVideoBatchCollect *c,
                  GstClockTime pts) {
  bool back;
  double stalled_s;
  {
    ov::MutexLock guard(&self->lock);
    back = c->live.arrive(g_get_monotonic_time());
    stalled_s = c->live.stalled_for_us() / 1e6;
    c->live.rate.add(pts);
  }
  if (!back)
    return;
  gst_collect_pads_set_waiting(pads, &c->collect, TRUE);
  const std::string name = input_name(GST_PAD(c->mixpad));
  GST_ELEMENT_WARNING(self, STREAM, FAILED,
                      ("Input %s is back after %.2f s without frames.", name.c_str(), stalled_s),
                      ("its frames are waited for again"));
}

/* Resets everything a stop or a new element starts from.  Call with no
 * streaming going on. */
void reset(OvVideoBatch *self) {
  gst_video_info_init(&self->output_info);
  self->timeline.reset();
  reset_qos(self, true);
  for (GSList *l = self->pad_list; l; l = l->next) {
    OvVideoBatchPad *p = OV_VIDEO_BATCH_PAD(l->data);
    if (p->mixcol)
      p->mixcol->slot.clear();
    gst_video_info_init(&p->pad_info);
  }
}

/* --------------------------------------------------------- sink side --- */


gboolean ov_videobatch_sink_event(GstCollectPads *pads, GstCollectData *data, GstEvent *event,
                                  gpointer user_data) {
  OvVideoBatch *self = OV_VIDEO_BATCH(user_data);
  OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(data->pad);
  OvVideoBatchCollect *c = reinterpret_cast<OvVideoBatchCollect *>(data);

  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
      GstCaps *caps;
      gst_event_parse_caps(event, &caps);
      gboolean ok = ov_videobatch_set_pad_caps(self, pad, caps);
      gst_event_unref(event);
      return ok;
    }
    case GST_EVENT_SEGMENT: {
      const GstSegment *seg;
      gst_event_parse_segment(event, &seg);
      if (seg->format != GST_FORMAT_TIME) {
        GST_DEBUG_OBJECT(pad, "segment in %s format refused", gst_format_get_name(seg->format));
        gst_event_unref(event);
        return FALSE;
      }
      reset_qos(self, true);
      return gst_collect_pads_event_default(pads, data, event, FALSE);
    }
    case GST_EVENT_FLUSH_STOP: {
      reset_qos(self, true);
      {
        ov::MutexLock guard(&self->lock);
        self->timeline.restart();
        c->slot.clear();
      }
      return gst_collect_pads_event_default(pads, data, event, FALSE);
    }
    case GST_EVENT_TAG: {
      GstTagList *tags;
      gst_event_parse_tag(event, &tags);
      {
        ov::MutexLock guard(&self->lock);
        GstTagList *merged = gst_tag_list_merge(self->tags_pending, tags, GST_TAG_MERGE_APPEND);
        if (self->tags_pending)
          gst_tag_list_unref(self->tags_pending);
        self->tags_pending = merged;
      }
      gst_event_unref(event);
      return TRUE;
    }
    default:
      return gst_collect_pads_event_default(pads, data, event, FALSE);
  }
}

gboolean ov_videobatch_sink_query(GstCollectPads *pads, GstCollectData *data, GstQuery *query,
                                  gpointer user_data) {
  OvVideoBatch *self = OV_VIDEO_BATCH(user_data);
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_CAPS: {
      GstCaps *filter;
      gst_query_parse_caps(query, &filter);
      ov::CapsPtr caps(ov_videobatch_sink_caps(self, data->pad, filter));
      gst_query_set_caps_result(query, caps.get());
      return TRUE;
    }
    case GST_QUERY_ACCEPT_CAPS: {
      GstCaps *caps;
      gst_query_parse_accept_caps(query, &caps);
      ov::CapsPtr allowed(ov_videobatch_sink_caps(self, data->pad, nullptr));
      gst_query_set_accept_caps_result(query, gst_caps_can_intersect(caps, allowed.get()));
      return TRUE;
    }
    default:
      return gst_collect_pads_query_default(pads, data, query, FALSE);
  }
}

GstFlowReturn ov_videobatch_clip(GstCollectPads *pads, GstCollectData *data, GstBuffer *buf,
                                 GstBuffer **outbuf, gpointer user_data) {
  OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(data->pad);
  OvVideoBatchCollect *c = reinterpret_cast<OvVideoBatchCollect *>(data);
  *outbuf = nullptr;
  if (!buf)
    return GST_FLOW_OK;
  note_arrival(OV_VIDEO_BATCH(user_data), pads, c, GST_BUFFER_PTS(buf));
  if (!GST_BUFFER_PTS_IS_VALID(buf)) {
    GST_ERROR_OBJECT(pad, "Timestamped buffers required!");
    GST_ELEMENT_ERROR(OV_VIDEO_BATCH(user_data), STREAM, FORMAT, ("Timestamped buffers required!"),
                      ("%s: a buffer of %" G_GSIZE_FORMAT " bytes has no PTS", GST_PAD_NAME(pad),
                       gst_buffer_get_size(buf)));
    gst_buffer_unref(buf);
    return GST_FLOW_ERROR;
  }
  if (!GST_BUFFER_DURATION_IS_VALID(buf)) {
    const GstClockTime duration = ovbatch::default_buffer_duration(
        GST_VIDEO_INFO_FPS_N(&pad->pad_info), GST_VIDEO_INFO_FPS_D(&pad->pad_info));
    if (GST_CLOCK_TIME_IS_VALID(duration)) {
      buf = gst_buffer_make_writable(buf);
      GST_BUFFER_DURATION(buf) = duration;
    }
  }
  if (ovbatch::clip_drops(c->slot, data->segment, GST_BUFFER_PTS(buf), GST_BUFFER_DURATION(buf))) {
    gst_buffer_unref(buf);
    return GST_FLOW_OK;
  }
  *outbuf = buf;
  return GST_FLOW_OK;
}

/* ---------------------------------------------------------- src side --- */

/* Calls `visit` on every sink pad until it returns false; on a resync
 * `restart` runs and the walk starts over. */
template <typename Visit, typename Restart>
void for_each_sink_pad(OvVideoBatch *self, Visit visit, Restart restart) {
  GstIterator *it = gst_element_iterate_sink_pads(GST_ELEMENT(self));
  GValue item = G_VALUE_INIT;
  bool done = false;
  while (!done) {
    switch (gst_iterator_next(it, &item)) {
      case GST_ITERATOR_OK:
        done = !visit(GST_PAD(g_value_get_object(&item)));
        g_value_reset(&item);
        break;
      case GST_ITERATOR_RESYNC:
        restart();
        gst_iterator_resync(it);
        break;
      default:
        done = true;
        break;
    }
  }
  g_value_unset(&item);
  gst_iterator_free(it);
}

gboolean forward_event_upstream(OvVideoBatch *self, GstEvent *event) {
  GST_LOG_OBJECT(self, "Forwarding event %p (%s)", event, GST_EVENT_TYPE_NAME(event));
  gboolean all = TRUE;
  for_each_sink_pad(
      self,
      [&](GstPad *pad) {
        GST_LOG_OBJECT(pad, "About to send event %s", GST_EVENT_TYPE_NAME(event));
        gst_event_ref(event);
        if (gst_pad_push_event(pad, event)) {
          GST_LOG_OBJECT(pad, "Sent event  %p (%s).", event, GST_EVENT_TYPE_NAME(event));
        } else {
          GST_LOG_OBJECT(pad, "Sending event  %p (%s) failed.", event, GST_EVENT_TYPE_NAME(event));
          all = FALSE;
        }
        return true;
      },
      [&] { all = TRUE; });
  gst_event_unref(event);
  return all;
}

gboolean handle_seek(OvVideoBatch *self, GstPad *pad, GstEvent *event) {
  gdouble rate;
  GstFormat format;
  GstSeekFlags flags;
  GstSeekType start_type, stop_type;
  gint64 start, stop;
  gst_event_parse_seek(event, &rate, &format, &flags, &start_type, &start, &stop_type, &stop);
  if (rate <= 0.0) {
    GST_ERROR_OBJECT(pad, "Negative rates not supported yet");
    gst_event_unref(event);
    return FALSE;
  }
  GST_DEBUG_OBJECT(self, "Handling SEEK event");
  const bool flush = flags & GST_SEEK_FLAG_FLUSH;
  {
    ov::MutexLock guard(&self->lock);
    if (!flush) {
      for (GSList *l = self->pad_list; l; l = l->next) {
        OvVideoBatchCollect *c = OV_VIDEO_BATCH_PAD(l->data)->mixcol;
        if (c)
          c->slot.rescale(self->timeline.segment().rate, rate);
      }
    }
    self->timeline.seek(rate, format, flags, start_type, start, stop_type, stop);
  }
  reset_qos(self, false);
  gboolean ok = gst_collect_pads_src_event_default(self->collect_pads, pad, event);
  if (flush) {
    GST_COLLECT_PADS_STREAM_LOCK(self->collect_pads);
    {
      ov::MutexLock guard(&self->lock);
      for (GSList *l = self->pad_list; l; l = l->next)
        if (OV_VIDEO_BATCH_PAD(l->data)->mixcol)
          OV_VIDEO_BATCH_PAD(l->data)->mixcol->slot.clear();
    }
    GST_COLLECT_PADS_STREAM_UNLOCK(self->collect_pads);
  }
  return ok;
}

gboolean src_event(GstPad *pad, GstObject *parent, GstEvent *event) {
  OvVideoBatch *self = OV_VIDEO_BATCH(parent);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_QOS: {
      GstQOSType type;
      gdouble proportion;
      GstClockTimeDiff diff;
      GstClockTime timestamp;
      gst_event_parse_qos(event, &type, &proportion, &diff, &timestamp);
      GstClockTime frame;
      {
        ov::MutexLock guard(&self->lock);
        frame = ovbatch::frame_duration(GST_VIDEO_INFO_FPS_N(&self->output_info),
                                        GST_VIDEO_INFO_FPS_D(&self->output_info));
      }
      GST_OBJECT_LOCK(self);
      self->qos.observe(proportion, diff, timestamp, frame);
      GST_OBJECT_UNLOCK(self);
      GST_DEBUG_OBJECT(self,
                       "Updating QoS: proportion %lf, diff %c%" GST_TIME_FORMAT
                       ", timestamp %" GST_TIME_FORMAT,
                       proportion, diff < 0 ? '-' : '+', GST_TIME_ARGS(ABS(diff)),
                       GST_TIME_ARGS(timestamp));
      return forward_event_upstream(self, event);
    }
    case GST_EVENT_SEEK:
      return handle_seek(self, pad, event);
    case GST_EVENT_NAVIGATION:
      gst_event_unref(event);
      return FALSE;
    default:
      return forward_event_upstream(self, event);
  }
}

gboolean query_duration(OvVideoBatch *self, GstQuery *query) {
  GstFormat format;
  gst_query_parse_duration(query, &format, nullptr);
  ovbatch::DurationFold fold;
  for_each_sink_pad(
      self,
      [&](GstPad *pad) {
        gint64 duration;
        return !gst_pad_peer_query_duration(pad, format, &duration) || fold.add(duration);
      },
      [&] { fold.restart(); });
  GST_DEBUG_OBJECT(self, "Total duration in format %s: %" GST_TIME_FORMAT,
                   gst_format_get_name(format), GST_TIME_ARGS(fold.result()));
  gst_query_set_duration(query, format, fold.result());
  return TRUE;
}

/* Upstream's latency (the inputs folded: the largest minimum, the smallest
 * maximum), plus the deadline when live: a batch may wait that long for a
 * late input. */
gboolean query_latency(OvVideoBatch *self, GstPad *pad, GstQuery *query) {
  if (!gst_pad_query_default(pad, GST_OBJECT(self), query))
    return FALSE;
  gboolean live;
  GstClockTime min, max;
  gst_query_parse_latency(query, &live, &min, &max);
  GstClockTime deadline = 0;
  if (live) {
    ov::MutexLock guard(&self->lock);
    deadline = current_deadline(self);
    self->reported_deadline = deadline;
  }
  GST_OBJECT_LOCK(self);
  self->live = live;
  GST_OBJECT_UNLOCK(self);
  min += deadline;
  if (GST_CLOCK_TIME_IS_VALID(max))
    max += deadline;
  GST_DEBUG_OBJECT(self, "latency: live %d, min %" GST_TIME_FORMAT ", max %" GST_TIME_FORMAT, live,
                   GST_TIME_ARGS(min), GST_TIME_ARGS(max));
  gst_query_set_latency(query, live, min, max);
  return TRUE;
}

gboolean src_query(GstPad *pad, GstObject *parent, GstQuery *query) {
  OvVideoBatch *self = OV_VIDEO_BATCH(parent);
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_POSITION: {
      GstFormat format;
      gst_query_parse_position(query, &format, nullptr);
      if (format != GST_FORMAT_TIME)
        return FALSE;
      ov::MutexLock guard(&self->lock);
      gst_query_set_position(query, format, self->timeline.stream_position());
      return TRUE;
    }
    case GST_QUERY_DURATION:
      return query_duration(self, query);
    case GST_QUERY_LATENCY:
      return query_latency(self, pad, query);
    case GST_QUERY_CAPS:
      return gst_pad_query_default(pad, parent, query);
    default:
      return FALSE;
  }
}

}  // namespace

/* ----------------------------------------------- request and release --- */

static GstPad *ov_videobatch_request_new_pad(GstElement *element, GstPadTemplate *templ,
                                             const gchar *req_name, const GstCaps *caps) {
  OvVideoBatch *self = OV_VIDEO_BATCH(element);
  if (templ != gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(element), "sink_%u"))
    return nullptr;

  OvVideoBatchPad *pad;
  {
    ov::MutexLock guard(&self->lock);
    guint serial;
    if (req_name && strlen(req_name) > 5 && g_str_has_prefix(req_name, "sink_")) {
      serial = guint(g_ascii_strtoull(req_name + 5, nullptr, 10));
      if (serial >= self->next_pad_number)
        self->next_pad_number = serial + 1;
    } else {
      serial = self->next_pad_number++;
    }
    gchar *name = g_strdup_printf("sink_%u", serial);
    pad = OV_VIDEO_BATCH_PAD(g_object_new(OV_TYPE_VIDEO_BATCH_PAD, "name", name, "direction",
                                          templ->direction, "template", templ, nullptr));
    g_free(name);
    pad->z_order = guint(self->pad_count);
    pad->opacity = 1.0;
    pad->x_offset = 0;

    // Not locked in the waiting state: the stall watch lets a live input go.
    OvVideoBatchCollect *c = reinterpret_cast<OvVideoBatchCollect *>(
        gst_collect_pads_add_pad(self->collect_pads, GST_PAD(pad), sizeof(OvVideoBatchCollect),
                                 collect_free, FALSE));
    c->mixpad = pad;
    new (&c->slot) ovbatch::PadSlot();
    new (&c->live) ovbatch::LiveInput();
    c->live.watch_from(g_get_monotonic_time());
    pad->mixcol = c;

    // Before the pads of equal z-order, after those below it.
    GSList *pos = self->pad_list;
    gint index = 0;
    while (pos && OV_VIDEO_BATCH_PAD(pos->data)->z_order < pad->z_order) {
      pos = pos->next;
      ++index;
    }
    self->pad_list = g_slist_insert(self->pad_list, pad, index);
    self->pad_count++;
  }
  GST_DEBUG_OBJECT(element, "Adding pad %s", GST_PAD_NAME(pad));

  if (!gst_element_add_pad(element, GST_PAD(pad))) {
    // Usually a name already taken.
    ov::MutexLock guard(&self->lock);
    self->pad_list = g_slist_remove(self->pad_list, pad);
    self->pad_count--;
    gst_collect_pads_remove_pad(self->collect_pads, GST_PAD(pad));
    return nullptr;
  }
  gst_child_proxy_child_added(GST_CHILD_PROXY(self), G_OBJECT(pad), GST_OBJECT_NAME(pad));
  return GST_PAD(pad);
}

static void ov_videobatch_release_pad(GstElement *element, GstPad *gpad) {
  OvVideoBatch *self = OV_VIDEO_BATCH(element);
  OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(gpad);
  {
    ov::MutexLock guard(&self->lock);
    if (!g_slist_find(self->pad_list, pad)) {
      g_warning("Unknown pad %s", GST_PAD_NAME(pad));
      return;
    }
    ov_videobatch_pad_free_converter(pad);
    self->pad_list = g_slist_remove(self->pad_list, pad);
    self->pad_count--;
  }
  gst_child_proxy_child_removed(GST_CHILD_PROXY(self), G_OBJECT(pad), GST_OBJECT_NAME(pad));

  GST_COLLECT_PADS_STREAM_LOCK(self->collect_pads);
  ov_videobatch_update_converters(self);
  pad->mixcol = nullptr;
  gst_collect_pads_remove_pad(self->collect_pads, gpad);
  bool have_format;
  {
    ov::MutexLock guard(&self->lock);
    have_format = self->mix.format != GST_VIDEO_FORMAT_UNKNOWN;
  }
  if (have_format)
    ov_videobatch_update_src_caps(self);
  GST_COLLECT_PADS_STREAM_UNLOCK(self->collect_pads);

  gst_element_remove_pad(element, gpad);
}

/* ------------------------------------------------------ state, class --- */

/* Every input waited for again, as a new one.  Call with no streaming going
 * on. */
static void restore_waiting(OvVideoBatch *self) {
  GST_COLLECT_PADS_STREAM_LOCK(self->collect_pads);
  {
    ov::MutexLock guard(&self->lock);
    for (GSList *l = self->pad_list; l; l = l->next) {
      OvVideoBatchCollect *c = OV_VIDEO_BATCH_PAD(l->data)->mixcol;
      if (!c)
        continue;
      if (c->live.stalled())
        gst_collect_pads_set_waiting(self->collect_pads, &c->collect, TRUE);
      c->live.reset();
    }
  }
  GST_COLLECT_PADS_STREAM_UNLOCK(self->collect_pads);
  GST_OBJECT_LOCK(self);
  self->live = FALSE;
  GST_OBJECT_UNLOCK(self);
  ov::MutexLock guard(&self->lock);
  self->reported_deadline = GST_CLOCK_TIME_NONE;
  self->grid_n = 0;
  self->grid_d = 1;
}

static GstStateChangeReturn ov_videobatch_change_state(GstElement *element,
                                                       GstStateChange transition) {
  OvVideoBatch *self = OV_VIDEO_BATCH(element);
  switch (transition) {
    case GST_STATE_CHANGE_READY_TO_PAUSED: {
      self->caps_pending = TRUE;
      self->stream_start_pending = TRUE;
      {
        ov::MutexLock guard(&self->lock);
        self->timeline.init_segment();
        gst_caps_replace(&self->output_caps, nullptr);
      }
      GST_LOG_OBJECT(self, "starting collectpads");
      gst_collect_pads_start(self->collect_pads);
      start_watch(self);
      break;
    }
    case GST_STATE_CHANGE_PAUSED_TO_PLAYING: {
      const gint64 now = g_get_monotonic_time();
      {
        ov::MutexLock guard(&self->lock);
        for (GSList *l = self->pad_list; l; l = l->next)
          if (OV_VIDEO_BATCH_PAD(l->data)->mixcol)
            OV_VIDEO_BATCH_PAD(l->data)->mixcol->live.watch_from(now);
      }
      GST_OBJECT_LOCK(self);
      self->playing = TRUE;
      GST_OBJECT_UNLOCK(self);
      break;
    }
    case GST_STATE_CHANGE_PLAYING_TO_PAUSED:
      GST_OBJECT_LOCK(self);
      self->playing = FALSE;
      GST_OBJECT_UNLOCK(self);
      break;
    case GST_STATE_CHANGE_PAUSED_TO_READY:
      stop_watch(self);
      GST_LOG_OBJECT(self, "stopping collectpads");
      gst_collect_pads_stop(self->collect_pads);
      restore_waiting(self);
      break;
    default:
      break;
  }

  GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(ov_videobatch_parent_class)->change_state(element, transition);

  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    ov::MutexLock guard(&self->lock);
    reset(self);
    ov_videobatch_drop_pool(self);
  }
  return ret;
}

static void ov_videobatch_set_property(GObject *object, guint prop_id, const GValue *value,
                                       GParamSpec *pspec) {
  OvVideoBatch *self = OV_VIDEO_BATCH(object);
  switch (prop_id) {
    case PROP_LIVE_DEADLINE:
      GST_OBJECT_LOCK(self);
      self->deadline = g_value_get_uint64(value);
      GST_OBJECT_UNLOCK(self);
      // A latency that includes the old deadline is out of date.
      gst_element_post_message(GST_ELEMENT(self), gst_message_new_latency(GST_OBJECT(self)));
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void ov_videobatch_get_property(GObject *object, guint prop_id, GValue *value,
                                       GParamSpec *pspec) {
  OvVideoBatch *self = OV_VIDEO_BATCH(object);
  switch (prop_id) {
    case PROP_LIVE_DEADLINE:
      GST_OBJECT_LOCK(self);
      g_value_set_uint64(value, self->deadline);
      GST_OBJECT_UNLOCK(self);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void ov_videobatch_finalize(GObject *object) {
  OvVideoBatch *self = OV_VIDEO_BATCH(object);
  ov_videobatch_drop_pool(self);
  gst_object_unref(self->collect_pads);
  gst_caps_replace(&self->output_caps, nullptr);
  if (self->tags_pending)
    gst_tag_list_unref(self->tags_pending);
  g_slist_free(self->pad_list);
  g_mutex_clear(&self->lock);
  g_mutex_clear(&self->caps_lock);
  g_mutex_clear(&self->watch_lock);
  g_cond_clear(&self->watch_cond);
  self->timeline.~OutputTimeline();
  self->qos.~QosState();
  G_OBJECT_CLASS(ov_videobatch_parent_class)->finalize(object);
}

static void ov_videobatch_dispose(GObject *object) {
  OvVideoBatch *self = OV_VIDEO_BATCH(object);
  for (GSList *l = self->pad_list; l; l = l->next)
    ov_videobatch_pad_free_converter(OV_VIDEO_BATCH_PAD(l->data));
  G_OBJECT_CLASS(ov_videobatch_parent_class)->dispose(object);
}

static void ov_videobatch_class_init(OvVideoBatchClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  ovbatch::debug_category();
  gst_video_mixer_init_blend();

  gobject_class->set_property = ov_videobatch_set_property;
  gobject_class->get_property = ov_videobatch_get_property;
  gobject_class->dispose = ov_videobatch_dispose;
  gobject_class->finalize = ov_videobatch_finalize;

  g_object_class_install_property(
      gobject_class, PROP_LIVE_DEADLINE,
      g_param_spec_uint64(
          "live-deadline", "Live deadline",
          "How long a batch waits for a late live input, in nanoseconds, before it goes out "
          "with that input's slot empty; 0: three frame intervals of the slowest input (at least "
          "40 ms; one second until an input's rate is known)",
          0, G_MAXUINT64, 0, GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));

  element_class->request_new_pad = GST_DEBUG_FUNCPTR(ov_videobatch_request_new_pad);
  element_class->release_pad = GST_DEBUG_FUNCPTR(ov_videobatch_release_pad);
  element_class->change_state = GST_DEBUG_FUNCPTR(ov_videobatch_change_state);

  gst_element_class_add_static_pad_template(element_class, &src_factory);
  gst_element_class_add_static_pad_template(element_class, &sink_factory);
  gst_element_class_set_static_metadata(element_class, "OvVideoBatch",
                                        "Filter/Editor/Video/Compositor",
                                        "Automatic batch image from multiple streams",
                                        "Orvane <dev@orvane.invalid>");
}

static void ov_videobatch_init(OvVideoBatch *self) {
  GstElementClass *klass = GST_ELEMENT_GET_CLASS(self);
  self->srcpad =
      gst_pad_new_from_template(gst_element_class_get_pad_template(klass, "src"), "src");
  gst_pad_set_query_function(self->srcpad, GST_DEBUG_FUNCPTR(src_query));
  gst_pad_set_event_function(self->srcpad, GST_DEBUG_FUNCPTR(src_event));
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);

  self->collect_pads = gst_collect_pads_new();
  gchar *cp_name = g_strdup_printf("%s-collectpads", GST_OBJECT_NAME(self));
  gst_object_set_name(GST_OBJECT(self->collect_pads), cp_name);
  g_free(cp_name);
  gst_collect_pads_set_function(self->collect_pads, GST_DEBUG_FUNCPTR(ov_videobatch_collected),
                                self);
  gst_collect_pads_set_event_function(self->collect_pads,
                                      GST_DEBUG_FUNCPTR(ov_videobatch_sink_event), self);
  gst_collect_pads_set_query_function(self->collect_pads,
                                      GST_DEBUG_FUNCPTR(ov_videobatch_sink_query), self);
  gst_collect_pads_set_clip_function(self->collect_pads, GST_DEBUG_FUNCPTR(ov_videobatch_clip),
                                     self);

  g_mutex_init(&self->lock);
  g_mutex_init(&self->caps_lock);
  self->pad_list = nullptr;
  self->pad_count = 0;
  self->next_pad_number = 0;
  self->output_caps = nullptr;
  self->mix = ovbatch::MixFormat();
  new (&self->timeline) ovbatch::OutputTimeline();
  new (&self->qos) ovbatch::QosState();
  self->caps_pending = FALSE;
  self->stream_start_pending = FALSE;
  self->tags_pending = nullptr;
  self->blend = self->overlay = nullptr;
  self->background = 0;
  self->pool = nullptr;
  self->pool_size = 0;
  self->deadline = 0;
  self->live = FALSE;
  self->playing = FALSE;
  self->reported_deadline = GST_CLOCK_TIME_NONE;
  self->grid_n = 0;
  self->grid_d = 1;
  self->watch_thread = nullptr;
  self->watch_stop = FALSE;
  g_mutex_init(&self->watch_lock);
  g_cond_init(&self->watch_cond);
  reset(self);
}

/* ---------------------------------------------------------- child proxy --- */

static GObject *ov_videobatch_child_by_index(GstChildProxy *proxy, guint index) {
  OvVideoBatch *self = OV_VIDEO_BATCH(proxy);
  ov::MutexLock guard(&self->lock);
  gpointer p = g_slist_nth_data(self->pad_list, index);
  return p ? G_OBJECT(gst_object_ref(p)) : nullptr;
}

static guint ov_videobatch_children_count(GstChildProxy *proxy) {
  OvVideoBatch *self = OV_VIDEO_BATCH(proxy);
  guint count;
  {
    ov::MutexLock guard(&self->lock);
    count = guint(self->pad_count);
  }
  GST_INFO_OBJECT(self, "Children Count: %d", count);
  return count;
}

static void ov_videobatch_child_proxy_init(gpointer g_iface, gpointer iface_data) {
  GstChildProxyInterface *iface = static_cast<GstChildProxyInterface *>(g_iface);
  iface->get_child_by_index = ov_videobatch_child_by_index;
  iface->get_children_count = ov_videobatch_children_count;
}
