/* ovcamerasrc: the decoded video of one camera URI (rtsp://, file://,
 * v4l2://, whatever a URI source handles) on an always-present pad that stays
 * linked when the camera goes away.  A lost camera (the source's error, or
 * its end of stream for a live camera) is torn down and built again after a
 * backoff: "retry-interval", doubled per failed try up to
 * "max-retry-interval" (a file is not retried: it ends, or fails, once).
 * Meanwhile the pad sends nothing, so a batch element
 * downstream sees a stalled input and goes on without it.
 *
 *   gst-launch-1.0 ovcamerasrc uri=rtsp://127.0.0.1:8554/cam ! videoconvert !
 *     ovvideobatch ! fakesink
 *
 * Messages: an element message "ovcamerasrc-lost" (uri, reason, retry-in in
 * nanoseconds) and a warning when the camera is lost, an element message
 * "ovcamerasrc-back" (uri, down-for in nanoseconds, reconnects) with its
 * first frame after.  Errors no retry mends (no element for the URI, no
 * decoder) stay errors.  A file's end of stream ends the stream, and so does
 * an end of stream sent to the element (an application ending its
 * pipeline).
 */
#include "camera_source.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reconnect.h"

GST_DEBUG_CATEGORY_STATIC(camera_debug);
#define GST_CAT_DEFAULT camera_debug

namespace {

enum { PROP_0, PROP_URI, PROP_RETRY_INTERVAL, PROP_MAX_RETRY_INTERVAL, PROP_RECONNECTS, PROP_LOSSES };

constexpr guint kDefaultRetryMs = 1000;
constexpr guint kDefaultMaxRetryMs = 10000;

/* What the bin keeps besides GObject fields.  `mutex` guards every field;
 * the worker thread waits on `wake`. */
struct CameraState {
  std::mutex mutex;
  std::condition_variable wake;
  std::string uri;
  guint retry_ms = kDefaultRetryMs;
  guint max_retry_ms = kDefaultMaxRetryMs;
  GstElement *source = nullptr; /* the current uridecodebin (the bin owns it) */
  guint generation = 0;         /* which source an error or a frame comes from */
  bool lost = false;            /* waiting for frames from a new source */
  bool retry_pending = false;   /* the worker is to build a new source */
  bool stopping = false;
  bool ending = false; /* an end of stream was asked for: not a loss */
  gint64 lost_at_us = 0;
  guint reconnects = 0;
  guint losses = 0;
  ovbatch::Backoff backoff{kDefaultRetryMs * GST_MSECOND, kDefaultMaxRetryMs * GST_MSECOND};
  GstClockTime next_wait = 0;
  std::thread worker;
};

}  // namespace

struct _OvCameraSource {
  GstBin parent;
  GstPad *srcpad; /* ghost pad, target set per source */
  CameraState *state;
};

G_DEFINE_TYPE(OvCameraSource, ov_camera_source, GST_TYPE_BIN)

static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw"));

namespace {

struct Frame {
  OvCameraSource *self;
  guint generation;
};

/* The camera is lost, if `current` (called under the state's mutex) says
 * the news comes from the source in place: the worker is to try again after
 * the backoff; a warning and an element message say so. */
void lose(OvCameraSource *self, const std::string &reason,
          const std::function<bool(CameraState *)> &current) {
  CameraState *st = self->state;
  std::string uri;
  GstClockTime wait;
  {
    std::lock_guard<std::mutex> g(st->mutex);
    // One loss per source: its later errors say the same.
    if (st->retry_pending || !st->source || !current(st))
      return;
    if (!st->lost) {
      st->lost = true;
      st->losses++;
      st->lost_at_us = g_get_monotonic_time();
    }
    st->next_wait = wait = st->backoff.next();
    st->retry_pending = true;
    uri = st->uri;
  }
  st->wake.notify_all();
  GST_ELEMENT_WARNING(self, RESOURCE, READ,
                      ("Camera %s lost (%s); trying again in %.1f s.", uri.c_str(), reason.c_str(),
                       double(wait) / GST_SECOND),
                      ("retry-interval and max-retry-interval set the waits"));
  gst_element_post_message(
      GST_ELEMENT(self),
      gst_message_new_element(GST_OBJECT(self),
                              gst_structure_new("ovcamerasrc-lost", "uri", G_TYPE_STRING,
                                                uri.c_str(), "reason", G_TYPE_STRING,
                                                reason.c_str(), "retry-in", G_TYPE_UINT64,
                                                guint64(wait), nullptr)));
}

/* Frames of a source: the first after a loss posts the return; the end of a
 * live camera's stream is a loss, not the end. */
GstPadProbeReturn source_probe(GstPad *, GstPadProbeInfo *info, gpointer data) {
  Frame *f = static_cast<Frame *>(data);
  OvCameraSource *self = f->self;
  CameraState *st = self->state;
  if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    GstEvent *ev = GST_PAD_PROBE_INFO_EVENT(info);
    std::string uri;
    bool ending;
    {
      std::lock_guard<std::mutex> g(st->mutex);
      uri = st->uri;
      ending = st->ending;
    }
    if (GST_EVENT_TYPE(ev) == GST_EVENT_EOS && !ending && !ovbatch::ends_by_itself(uri.c_str())) {
      GST_INFO_OBJECT(self, "end of stream from a live camera: treated as a loss");
      const guint generation = f->generation;
      lose(self, "the camera ended its stream",
           [generation](CameraState *s) { return s->generation == generation; });
      return GST_PAD_PROBE_DROP;
    }
    return GST_PAD_PROBE_OK;
  }
  gint64 down_us = 0;
  guint reconnects = 0;
  std::string uri;
  {
    std::lock_guard<std::mutex> g(st->mutex);
    // Frames the lost source still had queued are not a return.
    if (f->generation != st->generation || !st->lost || st->retry_pending)
      return GST_PAD_PROBE_OK;
    st->lost = false;
    st->backoff.reset();
    if (st->losses > 0)
      reconnects = ++st->reconnects;
    down_us = g_get_monotonic_time() - st->lost_at_us;
    uri = st->uri;
  }
  if (reconnects > 0) {
    GST_INFO_OBJECT(self, "camera %s is back after %.2f s", uri.c_str(), down_us / 1e6);
    gst_element_post_message(
        GST_ELEMENT(self),
        gst_message_new_element(
            GST_OBJECT(self),
            gst_structure_new("ovcamerasrc-back", "uri", G_TYPE_STRING, uri.c_str(), "down-for",
                              G_TYPE_UINT64, guint64(down_us) * GST_USECOND, "reconnects",
                              G_TYPE_UINT, reconnects, nullptr)));
  }
  return GST_PAD_PROBE_OK;
}

bool is_raw_video(GstPad *pad) {
  GstCaps *caps = gst_pad_get_current_caps(pad);
  if (!caps)
    caps = gst_pad_query_caps(pad, nullptr);
  bool video = false;
  if (caps && gst_caps_get_size(caps) > 0)
    video = g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps, 0)), "video/");
  if (caps)
    gst_caps_unref(caps);
  return video;
}

void on_pad_added(GstElement *source, GstPad *pad, gpointer data) {
  OvCameraSource *self = OV_CAMERA_SOURCE(data);
  guint generation;
  {
    std::lock_guard<std::mutex> g(self->state->mutex);
    if (source != self->state->source)
      return;
    generation = self->state->generation;
  }
  GstPad *target = gst_ghost_pad_get_target(GST_GHOST_PAD(self->srcpad));
  if (target || !is_raw_video(pad)) {
    // A second video stream or audio: taken by a sink of its own, so that
    // it does not stop the source as not linked.
    if (target)
      gst_object_unref(target);
    GstElement *sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    gst_bin_add(GST_BIN(self), sink);
    gst_element_sync_state_with_parent(sink);
    GstPad *sinkpad = gst_element_get_static_pad(sink, "sink");
    gst_pad_link(pad, sinkpad);
    gst_object_unref(sinkpad);
    return;
  }
  Frame *f = g_new0(Frame, 1);
  f->self = self;
  f->generation = generation;
  gst_pad_add_probe(pad,
                    GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER |
                                    GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                    source_probe, f, g_free);
  if (!gst_ghost_pad_set_target(GST_GHOST_PAD(self->srcpad), pad))
    GST_WARNING_OBJECT(self, "cannot show %s:%s on the source pad", GST_DEBUG_PAD_NAME(pad));
}

/* A new uridecodebin for the URI, added to the bin (not yet started). */
GstElement *make_source(OvCameraSource *self, const std::string &uri) {
  GstElement *src = gst_element_factory_make("uridecodebin", nullptr);
  if (!src)
    return nullptr;
  g_object_set(src, "uri", uri.c_str(), nullptr);
  g_signal_connect(src, "pad-added", G_CALLBACK(on_pad_added), self);
  gst_bin_add(GST_BIN(self), src);
  return src;
}

/* The worker: after a loss, waits the backoff, then puts a new source in
 * place of the lost one. */
void worker_loop(OvCameraSource *self) {
  CameraState *st = self->state;
  std::unique_lock<std::mutex> lock(st->mutex);
  for (;;) {
    st->wake.wait(lock, [st] { return st->stopping || st->retry_pending; });
    if (st->stopping)
      return;
    const auto wait = std::chrono::nanoseconds(st->next_wait);
    if (st->wake.wait_for(lock, wait, [st] { return st->stopping; }))
      return;
    st->retry_pending = false;
    GstElement *old = st->source;
    st->source = nullptr;
    st->generation++;
    const std::string uri = st->uri;
    lock.unlock();

    if (old) {
      gst_element_set_locked_state(old, TRUE);
      gst_element_set_state(old, GST_STATE_NULL);
      gst_bin_remove(GST_BIN(self), old);
    }
    GST_INFO_OBJECT(self, "connecting to %s again", uri.c_str());
    GstElement *fresh = make_source(self, uri);
    lock.lock();
    if (st->stopping) {
      // Stopped meanwhile: the state change takes the new source down.
      st->source = fresh;
      return;
    }
    st->source = fresh;
    lock.unlock();
    if (fresh)
      gst_element_sync_state_with_parent(fresh);
    lock.lock();
  }
}

void stop_worker(OvCameraSource *self) {
  CameraState *st = self->state;
  {
    std::lock_guard<std::mutex> g(st->mutex);
    st->stopping = true;
  }
  st->wake.notify_all();
  if (st->worker.joinable())
    st->worker.join();
  std::lock_guard<std::mutex> g(st->mutex);
  st->stopping = false;
  st->retry_pending = false;
  st->lost = false;
}

/* An error from inside: a lost camera is tried again, the rest goes on up. */
bool take_error(OvCameraSource *self, GstMessage *msg) {
  GError *err = nullptr;
  gchar *dbg = nullptr;
  gst_message_parse_error(msg, &err, &dbg);
  std::string uri;
  {
    std::lock_guard<std::mutex> g(self->state->mutex);
    uri = self->state->uri;
  }
  // A file does not come back by itself: its errors are the user's to mend.
  const bool retry =
      ovbatch::worth_a_retry(err->domain, err->code) && !ovbatch::ends_by_itself(uri.c_str());
  const std::string reason = err->message;
  g_error_free(err);
  g_free(dbg);
  if (!retry)
    return false;
  // Errors of a source already replaced are dropped.
  GstObject *from = GST_MESSAGE_SRC(msg);
  lose(self, reason, [from](CameraState *s) {
    return from == GST_OBJECT(s->source) ||
           gst_object_has_as_ancestor(from, GST_OBJECT(s->source));
  });
  return true;
}

}  // namespace

static void ov_camera_source_handle_message(GstBin *bin, GstMessage *msg) {
  OvCameraSource *self = OV_CAMERA_SOURCE(bin);
  if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR && GST_MESSAGE_SRC(msg) != GST_OBJECT(bin) &&
      take_error(self, msg)) {
    gst_message_unref(msg);
    return;
  }
  GST_BIN_CLASS(ov_camera_source_parent_class)->handle_message(bin, msg);
}

/* An end of stream sent to the bin (the application ends the pipeline)
 * ends the camera's stream instead of counting as a loss. */
static gboolean ov_camera_source_send_event(GstElement *element, GstEvent *event) {
  OvCameraSource *self = OV_CAMERA_SOURCE(element);
  if (GST_EVENT_TYPE(event) == GST_EVENT_EOS) {
    std::lock_guard<std::mutex> g(self->state->mutex);
    self->state->ending = true;
  }
  return GST_ELEMENT_CLASS(ov_camera_source_parent_class)->send_event(element, event);
}

static GstStateChangeReturn ov_camera_source_change_state(GstElement *element,
                                                          GstStateChange transition) {
  OvCameraSource *self = OV_CAMERA_SOURCE(element);
  CameraState *st = self->state;
  switch (transition) {
    case GST_STATE_CHANGE_NULL_TO_READY: {
      std::string uri;
      {
        std::lock_guard<std::mutex> g(st->mutex);
        uri = st->uri;
      }
      if (uri.empty()) {
        GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("No camera URI: set the uri property."),
                          (nullptr));
        return GST_STATE_CHANGE_FAILURE;
      }
      if (!gst_uri_is_valid(uri.c_str())) {
        GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND,
                          ("\"%s\" is not a URI: give one such as rtsp://host/path or "
                           "file:///path.",
                           uri.c_str()),
                          (nullptr));
        return GST_STATE_CHANGE_FAILURE;
      }
      GstElement *src = make_source(self, uri);
      if (!src) {
        GST_ELEMENT_ERROR(self, CORE, MISSING_PLUGIN,
                          ("No uridecodebin: install GStreamer's base plug-ins."), (nullptr));
        return GST_STATE_CHANGE_FAILURE;
      }
      std::lock_guard<std::mutex> g(st->mutex);
      st->source = src;
      st->generation++;
      st->ending = false;
      st->backoff = ovbatch::Backoff(st->retry_ms * GST_MSECOND, st->max_retry_ms * GST_MSECOND);
      break;
    }
    case GST_STATE_CHANGE_PAUSED_TO_READY:
      stop_worker(self);
      break;
    default:
      break;
  }
  GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(ov_camera_source_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED && ret != GST_STATE_CHANGE_FAILURE)
    st->worker = std::thread(worker_loop, self);
  if (transition == GST_STATE_CHANGE_READY_TO_NULL) {
    GstElement *src;
    {
      std::lock_guard<std::mutex> g(st->mutex);
      src = st->source;
      st->source = nullptr;
    }
    gst_ghost_pad_set_target(GST_GHOST_PAD(self->srcpad), nullptr);
    // Sources and the sinks of unused streams go; a new start builds anew.
    GValue item = G_VALUE_INIT;
    GstIterator *it = gst_bin_iterate_elements(GST_BIN(self));
    std::vector<GstElement *> children;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
      children.push_back(GST_ELEMENT(g_value_dup_object(&item)));
      g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    for (GstElement *child : children) {
      gst_element_set_state(child, GST_STATE_NULL);
      gst_bin_remove(GST_BIN(self), child);
      gst_object_unref(child);
    }
    (void)src;  // removed with the other children
  }
  return ret;
}

static void ov_camera_source_set_property(GObject *object, guint prop_id, const GValue *value,
                                          GParamSpec *pspec) {
  CameraState *st = OV_CAMERA_SOURCE(object)->state;
  std::lock_guard<std::mutex> g(st->mutex);
  switch (prop_id) {
    case PROP_URI: {
      const gchar *uri = g_value_get_string(value);
      st->uri = uri ? uri : "";
      break;
    }
    case PROP_RETRY_INTERVAL:
      st->retry_ms = g_value_get_uint(value);
      break;
    case PROP_MAX_RETRY_INTERVAL:
      st->max_retry_ms = g_value_get_uint(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void ov_camera_source_get_property(GObject *object, guint prop_id, GValue *value,
                                          GParamSpec *pspec) {
  CameraState *st = OV_CAMERA_SOURCE(object)->state;
  std::lock_guard<std::mutex> g(st->mutex);
  switch (prop_id) {
    case PROP_URI:
      g_value_set_string(value, st->uri.c_str());
      break;
    case PROP_RETRY_INTERVAL:
      g_value_set_uint(value, st->retry_ms);
      break;
    case PROP_MAX_RETRY_INTERVAL:
      g_value_set_uint(value, st->max_retry_ms);
      break;
    case PROP_RECONNECTS:
      g_value_set_uint(value, st->reconnects);
      break;
    case PROP_LOSSES:
      g_value_set_uint(value, st->losses);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void ov_camera_source_finalize(GObject *object) {
  OvCameraSource *self = OV_CAMERA_SOURCE(object);
  stop_worker(self);
  delete self->state;
  G_OBJECT_CLASS(ov_camera_source_parent_class)->finalize(object);
}

static void ov_camera_source_class_init(OvCameraSourceClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GST_DEBUG_CATEGORY_INIT(camera_debug, "ovcamerasrc", 0, "camera source that reconnects");

  gobject_class->set_property = ov_camera_source_set_property;
  gobject_class->get_property = ov_camera_source_get_property;
  gobject_class->finalize = ov_camera_source_finalize;
  const auto rw = GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  const auto ro = GParamFlags(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
  g_object_class_install_property(
      gobject_class, PROP_URI,
      g_param_spec_string("uri", "URI", "The camera: rtsp://, file://, v4l2:// ...", nullptr,
                          rw));
  g_object_class_install_property(
      gobject_class, PROP_RETRY_INTERVAL,
      g_param_spec_uint("retry-interval", "Retry interval",
                        "Milliseconds before the first try after a loss (doubled per failed try)",
                        1, G_MAXUINT, kDefaultRetryMs, rw));
  g_object_class_install_property(
      gobject_class, PROP_MAX_RETRY_INTERVAL,
      g_param_spec_uint("max-retry-interval", "Longest retry interval",
                        "Milliseconds the wait between tries grows to at most", 1, G_MAXUINT,
                        kDefaultMaxRetryMs, rw));
  g_object_class_install_property(
      gobject_class, PROP_RECONNECTS,
      g_param_spec_uint("reconnects", "Reconnects", "Times the camera came back after a loss", 0,
                        G_MAXUINT, 0, ro));
  g_object_class_install_property(
      gobject_class, PROP_LOSSES,
      g_param_spec_uint("losses", "Losses", "Times the camera was lost", 0, G_MAXUINT, 0, ro));

  element_class->change_state = GST_DEBUG_FUNCPTR(ov_camera_source_change_state);
  element_class->send_event = GST_DEBUG_FUNCPTR(ov_camera_source_send_event);
  GST_BIN_CLASS(klass)->handle_message = GST_DEBUG_FUNCPTR(ov_camera_source_handle_message);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "OvCameraSource", "Source/Video/Bin",
                                        "Decoded video of a camera URI, reconnecting after loss",
                                        "Orvane <dev@orvane.invalid>");
}

static void ov_camera_source_init(OvCameraSource *self) {
  self->state = new CameraState();
  GstPadTemplate *templ = gst_static_pad_template_get(&src_template);
  self->srcpad = gst_ghost_pad_new_no_target_from_template("src", templ);
  gst_object_unref(templ);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);
}
