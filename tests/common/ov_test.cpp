#include "ov_test.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gtest/gtest.h>

namespace ovtest {

std::string video_caps(const std::string &format, int width, int height, int fps_n, int fps_d) {
  return "video/x-raw,format=" + format + ",width=" + std::to_string(width) +
         ",height=" + std::to_string(height) + ",framerate=" + std::to_string(fps_n) + "/" +
         std::to_string(fps_d);
}

CapsPtr make_caps(const std::string &caps_string) {
  GstCaps *caps = gst_caps_from_string(caps_string.c_str());
  EXPECT_NE(caps, nullptr) << "bad caps string: " << caps_string;
  return CapsPtr(caps);
}

BufferPtr make_video_buffer(GstVideoFormat format, int width, int height, uint8_t fill) {
  GstVideoInfo info;
  gst_video_info_init(&info);
  EXPECT_TRUE(gst_video_info_set_format(&info, format, width, height));
  return make_buffer(GST_VIDEO_INFO_SIZE(&info), fill);
}

BufferPtr make_buffer(size_t size, uint8_t fill) {
  GstBuffer *buf = gst_buffer_new_allocate(nullptr, size, nullptr);
  EXPECT_NE(buf, nullptr);
  gst_buffer_memset(buf, 0, fill, size);
  return BufferPtr(buf);
}

PadPtr make_pad_with_caps(const char *name, const std::string &caps) {
  GstPad *pad = gst_pad_new(name, GST_PAD_SRC);
  gst_object_ref_sink(pad);
  gst_pad_set_active(pad, TRUE);
  // A stream-start must precede caps for the sticky caps event to be kept.
  gst_pad_push_event(pad, gst_event_new_stream_start(name));
  CapsPtr c = make_caps(caps);
  gst_pad_push_event(pad, gst_event_new_caps(c.get()));
  EXPECT_TRUE(gst_pad_has_current_caps(pad)) << "pad " << name << " did not keep caps " << caps;
  return PadPtr(pad);
}

HarnessPtr make_harness(const char *factory, const std::string &src_caps,
                        const std::string &sink_caps) {
  GstHarness *h = gst_harness_new(factory);
  EXPECT_NE(h, nullptr) << "no element " << factory;
  if (h && !src_caps.empty())
    gst_harness_set_src_caps_str(h, src_caps.c_str());
  if (h && !sink_caps.empty())
    gst_harness_set_sink_caps_str(h, sink_caps.c_str());
  return HarnessPtr(h);
}

ElementPtr parse_pipeline(const std::string &description) {
  GError *err = nullptr;
  GstElement *p = gst_parse_launch(description.c_str(), &err);
  if (err) {
    ADD_FAILURE() << "cannot parse '" << description << "': " << err->message;
    g_error_free(err);
    if (p)
      gst_object_unref(p);
    return nullptr;
  }
  return ElementPtr(p);
}

PipelineRun run_pipeline(const std::string &description, int timeout_ms) {
  PipelineRun run;
  ElementPtr p = parse_pipeline(description);
  if (!p) {
    run.error = "parse error";
    return run;
  }
  if (gst_element_set_state(p.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    run.error = "state change to PLAYING failed";
  }
  ov::BusPtr bus(gst_element_get_bus(p.get()));
  gint64 deadline = g_get_monotonic_time() + gint64(timeout_ms) * 1000;
  while (run.error.empty()) {
    gint64 left = deadline - g_get_monotonic_time();
    if (left <= 0) {
      run.timed_out = true;
      break;
    }
    ov::MessagePtr msg(gst_bus_timed_pop_filtered(
        bus.get(), left * 1000,
        GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_WARNING)));
    if (!msg) {
      run.timed_out = true;
      break;
    }
    if (GST_MESSAGE_TYPE(msg.get()) == GST_MESSAGE_EOS) {
      run.ok = true;
      break;
    }
    GError *err = nullptr;
    gchar *dbg = nullptr;
    if (GST_MESSAGE_TYPE(msg.get()) == GST_MESSAGE_ERROR) {
      gst_message_parse_error(msg.get(), &err, &dbg);
      run.error = err ? err->message : "error";
      run.error_debug = dbg ? dbg : "";
      run.error_source = GST_MESSAGE_SRC_NAME(msg.get()) ? GST_MESSAGE_SRC_NAME(msg.get()) : "";
      run.error_domain = err ? err->domain : 0;
      run.error_code = err ? err->code : 0;
    } else {
      gst_message_parse_warning(msg.get(), &err, &dbg);
      run.warnings.push_back(err ? err->message : "warning");
      run.warning_debugs.push_back(dbg ? dbg : "");
    }
    if (err)
      g_error_free(err);
    g_free(dbg);
  }
  gst_element_set_state(p.get(), GST_STATE_NULL);
  return run;
}

ElementPtr bin_element(GstElement *bin, const char *name) {
  return ElementPtr(gst_bin_get_by_name(GST_BIN(bin), name));
}

AppPipeline::AppPipeline(const std::string &description) : pipeline_(parse_pipeline(description)) {
  if (!pipeline_)
    return;
  ElementPtr src = bin_element(pipeline_.get(), "src");
  ElementPtr sink = bin_element(pipeline_.get(), "sink");
  src_ = src && GST_IS_APP_SRC(src.get()) ? src.get() : nullptr;
  sink_ = sink && GST_IS_APP_SINK(sink.get()) ? sink.get() : nullptr;
}

AppPipeline::~AppPipeline() { stop(); }

GstElement *AppPipeline::element(const char *name) const {
  ElementPtr e = bin_element(pipeline_.get(), name);
  return e.get();  // the pipeline keeps its own reference
}

bool AppPipeline::start(GstState state) {
  if (!pipeline_)
    return false;
  GstStateChangeReturn r = gst_element_set_state(pipeline_.get(), state);
  if (r == GST_STATE_CHANGE_ASYNC && !src_)
    r = gst_element_get_state(pipeline_.get(), nullptr, nullptr, 5 * GST_SECOND);
  return r != GST_STATE_CHANGE_FAILURE;
}

GstFlowReturn AppPipeline::push(BufferPtr buffer) {
  if (!src_)
    return GST_FLOW_ERROR;
  return gst_app_src_push_buffer(GST_APP_SRC(src_), buffer.release());
}

void AppPipeline::end_of_stream() {
  if (src_)
    gst_app_src_end_of_stream(GST_APP_SRC(src_));
}

SamplePtr AppPipeline::pull(int timeout_ms) {
  if (!sink_)
    return nullptr;
  return SamplePtr(
      gst_app_sink_try_pull_sample(GST_APP_SINK(sink_), GstClockTime(timeout_ms) * GST_MSECOND));
}

std::vector<SamplePtr> AppPipeline::pull_all(int timeout_ms) {
  std::vector<SamplePtr> out;
  while (SamplePtr s = pull(timeout_ms))
    out.push_back(std::move(s));
  return out;
}

std::string AppPipeline::error() {
  if (!pipeline_ || !error_.empty())
    return error_;
  ov::BusPtr bus(gst_element_get_bus(pipeline_.get()));
  while (ov::MessagePtr msg{gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR)}) {
    GError *err = nullptr;
    gchar *debug = nullptr;
    gst_message_parse_error(msg.get(), &err, &debug);
    if (error_.empty()) {
      error_ = err ? err->message : "error";
      if (debug)
        error_ += std::string(" (") + debug + ")";
    }
    if (err)
      g_error_free(err);
    g_free(debug);
  }
  return error_;
}

void AppPipeline::stop() {
  if (pipeline_)
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
}

static std::string env_or(const char *name, const char *fallback) {
  const char *v = g_getenv(name);
  return v ? v : fallback;
}

std::string source_path(const std::string &relative) {
  return env_or("OV_SOURCE_DIR", ".") + "/" + relative;
}

std::string build_path(const std::string &relative) {
  return env_or("OV_BUILD_DIR", ".") + "/" + relative;
}

struct LogCapture::Impl {
  std::string category;
  GstDebugLevel level;
  GstDebugLevel old_threshold;
  mutable std::mutex lock;
  std::vector<std::pair<GstDebugLevel, std::string>> seen;

  static void log_func(GstDebugCategory *cat, GstDebugLevel level, const gchar *, const gchar *,
                       gint, GObject *, GstDebugMessage *message, gpointer data) {
    auto *self = static_cast<Impl *>(data);
    if (self->category != gst_debug_category_get_name(cat) || level > self->level)
      return;
    const gchar *text = gst_debug_message_get(message);
    std::lock_guard<std::mutex> g(self->lock);
    self->seen.emplace_back(level, text ? text : "");
  }
};

LogCapture::LogCapture(const char *category, GstDebugLevel level) : impl_(new Impl) {
  impl_->category = category;
  impl_->level = level;
  impl_->old_threshold = gst_debug_get_default_threshold();
  gst_debug_set_active(TRUE);
  // Raise only this category; others keep their threshold.
  std::string threshold = std::string(category) + ":" + std::to_string(int(level));
  gst_debug_set_threshold_from_string(threshold.c_str(), FALSE);
  gst_debug_add_log_function(&Impl::log_func, impl_.get(), nullptr);
}

LogCapture::~LogCapture() {
  gst_debug_remove_log_function_by_data(impl_.get());
  gst_debug_unset_threshold_for_name(impl_->category.c_str());
}

std::vector<std::string> LogCapture::messages() const {
  std::lock_guard<std::mutex> g(impl_->lock);
  std::vector<std::string> out;
  for (auto &m : impl_->seen)
    out.push_back(m.second);
  return out;
}

bool LogCapture::has(GstDebugLevel level, const std::string &text) const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return std::any_of(impl_->seen.begin(), impl_->seen.end(),
                     [&](const auto &m) { return m.first == level && m.second == text; });
}

size_t LogCapture::count_containing(const std::string &fragment) const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return std::count_if(impl_->seen.begin(), impl_->seen.end(), [&](const auto &m) {
    return m.second.find(fragment) != std::string::npos;
  });
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> g(impl_->lock);
  impl_->seen.clear();
}

}  // namespace ovtest
