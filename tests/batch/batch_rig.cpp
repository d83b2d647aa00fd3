#include "batch_rig.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

namespace batchtest {

BatchRig::BatchRig(const std::vector<Input> &inputs, const std::string &downstream)
    : inputs_(inputs) {
  std::string d = "ovvideobatch name=batch ! " + downstream + " appsink name=out sync=false ";
  for (size_t i = 0; i < inputs.size(); ++i) {
    const Input &in = inputs[i];
    d += " appsrc name=src" + std::to_string(i) + " format=time max-bytes=0 " +
         (in.live ? "is-live=true min-latency=10000000 " : "") + "caps=\"" +
         ovtest::video_caps(in.format, in.width, in.height, in.fps_n, in.fps_d) + "\" ! batch. ";
  }
  pipeline_ = ovtest::parse_pipeline(d);
  if (!pipeline_)
    return;
  batch_ = ovtest::bin_element(pipeline_.get(), "batch");
  sink_ = ovtest::bin_element(pipeline_.get(), "out");
  for (size_t i = 0; i < inputs.size(); ++i)
    srcs_.push_back(ovtest::bin_element(pipeline_.get(), ("src" + std::to_string(i)).c_str()));
}

BatchRig::~BatchRig() {
  if (pipeline_)
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
}

bool BatchRig::start() {
  return pipeline_ &&
         gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

GstFlowReturn BatchRig::push(size_t i, uint8_t fill, GstClockTime pts, GstClockTime duration,
                             GstBuffer *with) {
  ovtest::BufferPtr buf;
  if (with) {
    buf.reset(with);
  } else {
    const Input &in = inputs_[i];
    buf = ovtest::make_video_buffer(gst_video_format_from_string(in.format.c_str()), in.width,
                                    in.height, fill);
  }
  GST_BUFFER_PTS(buf.get()) = pts;
  GST_BUFFER_DURATION(buf.get()) = duration;
  return gst_app_src_push_buffer(GST_APP_SRC(srcs_[i].get()), buf.release());
}

void BatchRig::push_all(uint8_t fill0, GstClockTime pts, GstClockTime duration) {
  for (size_t i = 0; i < srcs_.size(); ++i)
    push(i, uint8_t(fill0 + i), pts, duration);
}

void BatchRig::end_of_stream(size_t i) { gst_app_src_end_of_stream(GST_APP_SRC(srcs_[i].get())); }

ovtest::SamplePtr BatchRig::pull(int timeout_ms) {
  return ovtest::SamplePtr(gst_app_sink_try_pull_sample(GST_APP_SINK(sink_.get()),
                                                        GstClockTime(timeout_ms) * GST_MSECOND));
}

bool BatchRig::eos() const { return gst_app_sink_is_eos(GST_APP_SINK(sink_.get())); }

ov::MessagePtr BatchRig::wait_message(GstMessageType type, int timeout_ms) {
  ov::BusPtr bus(gst_element_get_bus(pipeline_.get()));
  return ov::MessagePtr(
      gst_bus_timed_pop_filtered(bus.get(), GstClockTime(timeout_ms) * GST_MSECOND, type));
}

CapsSize caps_size(GstSample *s) {
  CapsSize c;
  GstStructure *st = gst_caps_get_structure(gst_sample_get_caps(s), 0);
  gst_structure_get_int(st, "width", &c.width);
  gst_structure_get_int(st, "height", &c.height);
  gst_structure_get_fraction(st, "framerate", &c.fps_n, &c.fps_d);
  return c;
}

BgrView::BgrView(GstSample *s) : map_(gst_sample_get_buffer(s), GST_MAP_READ) {
  stride_ = GST_ROUND_UP_4(caps_size(s).width * 3);
}

bool BgrView::all(int r0, int r1, int c0, int c1, uint8_t v) const {
  for (int r = r0; r < r1; ++r)
    for (int c = c0 * 3; c < c1 * 3; ++c)
      if (map_.data()[r * stride_ + c] != v)
        return false;
  return true;
}

GstOvBatchMeta *batch_of(GstSample *s) {
  return gst_buffer_get_ov_batch_meta(gst_sample_get_buffer(s));
}

GstBuffer *tagged_buffer(const Input &in, uint8_t fill, const std::string &id,
                         uint32_t device_idx) {
  ovtest::BufferPtr buf = ovtest::make_video_buffer(
      gst_video_format_from_string(in.format.c_str()), in.width, in.height, fill);
  GstOvBatchMeta *m = reinterpret_cast<GstOvBatchMeta *>(
      gst_buffer_add_meta(buf.get(), gst_ov_batch_meta_get_info(), nullptr));
  VideoFrameData f;
  f.stream_id = id;
  f.width = uint32_t(in.width);
  f.height = uint32_t(in.height);
  f.device_idx = device_idx;
  orvane::ai::ClassificationResult r;
  r.label = "label-" + id;
  r.prob = 0.5f;
  f.class_results.push_back(r);
  m->batch.frames.push_back(f);
  DeviceInfoData d;
  d.stream_id = "dev-" + id;
  m->batch.devices.push_back(d);
  return buf.release();
}

std::string error_text(GstMessage *msg, std::string *detail) {
  GError *err = nullptr;
  gchar *dbg = nullptr;
  gst_message_parse_error(msg, &err, &dbg);
  std::string text = err ? err->message : "";
  if (detail)
    *detail = dbg ? dbg : "";
  if (err)
    g_error_free(err);
  g_free(dbg);
  return text;
}

std::string two_stream_launch(int buffers, const std::string &after) {
  const std::string src = "videotestsrc num-buffers=" + std::to_string(buffers);
  const std::string caps = " ! video/x-raw,format=BGR,width=320,height=240 ! ";
  return src + caps + "ovvideobatch name=b ! " + after + " fakesink " + src + " pattern=ball" +
         caps + "b.";
}

}  // namespace batchtest
