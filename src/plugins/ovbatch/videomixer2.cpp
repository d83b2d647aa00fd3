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
 * conversions), batch_layout (where each frame and record goes).
 */
#include "videomixer2.h"

#include <cstring>
#include <new>

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
  reinterpret_cast<OvVideoBatchCollect *>(data)->slot.~PadSlot();
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

GstFlowReturn ov_videobatch_clip(GstCollectPads *, GstCollectData *data, GstBuffer *buf,
                                 GstBuffer **outbuf, gpointer user_data) {
  OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(data->pad);
  OvVideoBatchCollect *c = reinterpret_cast<OvVideoBatchCollect *>(data);
  *outbuf = nullptr;
  if (!buf)
    return GST_FLOW_OK;
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

    OvVideoBatchCollect *c = reinterpret_cast<OvVideoBatchCollect *>(
        gst_collect_pads_add_pad(self->collect_pads, GST_PAD(pad), sizeof(OvVideoBatchCollect),
                                 collect_free, TRUE));
    c->mixpad = pad;
    new (&c->slot) ovbatch::PadSlot();
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
      break;
    }
    case GST_STATE_CHANGE_PAUSED_TO_READY:
      GST_LOG_OBJECT(self, "stopping collectpads");
      gst_collect_pads_stop(self->collect_pads);
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
  G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
}

static void ov_videobatch_get_property(GObject *object, guint prop_id, GValue *value,
                                       GParamSpec *pspec) {
  G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
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
