// ovvideobatch in real pipelines: appsrc inputs with exact time stamps, an
// appsink for the batch; layout, records, naming, rates, the alignment of
// records with the image, pad release and end of stream.
#include <cstring>
#include <string>
#include <vector>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gtest/gtest.h>

#include "gstovmeta.h"
#include "gstovmeta_utils.h"
#include "ov_test.h"

namespace {

using ovtest::BufferPtr;
using ovtest::ElementPtr;
using ovtest::SamplePtr;

struct Input {
  std::string format = "BGR";
  int width = 640;
  int height = 480;
  int fps_n = 30;
  int fps_d = 1;
};

/* N appsrc inputs → ovvideobatch name=batch → appsink. */
class BatchRig {
 public:
  explicit BatchRig(const std::vector<Input> &inputs, const std::string &downstream = "")
      : inputs_(inputs) {
    std::string d = "ovvideobatch name=batch ! " + downstream + " appsink name=out sync=false ";
    for (size_t i = 0; i < inputs.size(); ++i) {
      const Input &in = inputs[i];
      d += " appsrc name=src" + std::to_string(i) +
           " format=time max-bytes=0 caps=\"" +
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
  ~BatchRig() {
    if (pipeline_)
      gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
  }

  bool start() {
    return pipeline_ &&
           gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
  }
  GstElement *batch() const { return batch_.get(); }
  GstElement *pipeline() const { return pipeline_.get(); }
  GstElement *src(size_t i) const { return srcs_[i].get(); }

  /* A frame of input `i` filled with `fill`, at `pts` for `duration`. */
  GstFlowReturn push(size_t i, uint8_t fill, GstClockTime pts, GstClockTime duration,
                     GstBuffer *with = nullptr) {
    BufferPtr buf;
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
  /* One frame on every input, input i filled with fill0 + i. */
  void push_all(uint8_t fill0, GstClockTime pts, GstClockTime duration) {
    for (size_t i = 0; i < srcs_.size(); ++i)
      push(i, uint8_t(fill0 + i), pts, duration);
  }
  void end_of_stream(size_t i) { gst_app_src_end_of_stream(GST_APP_SRC(srcs_[i].get())); }

  SamplePtr pull(int timeout_ms = 5000) {
    return SamplePtr(gst_app_sink_try_pull_sample(GST_APP_SINK(sink_.get()),
                                                  GstClockTime(timeout_ms) * GST_MSECOND));
  }
  bool eos() const { return gst_app_sink_is_eos(GST_APP_SINK(sink_.get())); }

  /* Next message of `type` on the bus within `timeout_ms`, or nullptr. */
  ov::MessagePtr wait_message(GstMessageType type, int timeout_ms = 3000) {
    ov::BusPtr bus(gst_element_get_bus(pipeline_.get()));
    return ov::MessagePtr(
        gst_bus_timed_pop_filtered(bus.get(), GstClockTime(timeout_ms) * GST_MSECOND, type));
  }

 private:
  std::vector<Input> inputs_;
  ElementPtr pipeline_;
  ElementPtr batch_;
  ElementPtr sink_;
  std::vector<ElementPtr> srcs_;
};

struct CapsSize {
  int width = 0, height = 0, fps_n = 0, fps_d = 0;
};

CapsSize caps_size(GstSample *s) {
  CapsSize c;
  GstStructure *st = gst_caps_get_structure(gst_sample_get_caps(s), 0);
  gst_structure_get_int(st, "width", &c.width);
  gst_structure_get_int(st, "height", &c.height);
  gst_structure_get_fraction(st, "framerate", &c.fps_n, &c.fps_d);
  return c;
}

/* Reads pixel bytes of a BGR batch image. */
class BgrView {
 public:
  explicit BgrView(GstSample *s) : map_(gst_sample_get_buffer(s), GST_MAP_READ) {
    CapsSize c = caps_size(s);
    width_ = c.width;
    stride_ = GST_ROUND_UP_4(c.width * 3);
  }
  uint8_t at(int row, int col, int channel = 0) const {
    return map_.data()[row * stride_ + col * 3 + channel];
  }
  /* Whether every byte of rows [r0, r1) and columns [c0, c1) equals v. */
  bool all(int r0, int r1, int c0, int c1, uint8_t v) const {
    for (int r = r0; r < r1; ++r)
      for (int c = c0 * 3; c < c1 * 3; ++c)
        if (map_.data()[r * stride_ + c] != v)
          return false;
    return true;
  }

 private:
  ov::BufferMap map_;
  int width_ = 0;
  int stride_ = 0;
};

GstOvBatchMeta *batch_of(GstSample *s) {
  return gst_buffer_get_ov_batch_meta(gst_sample_get_buffer(s));
}

/* A frame buffer carrying a one-frame record from stream `id`. */
GstBuffer *tagged_buffer(const Input &in, uint8_t fill, const std::string &id,
                         uint32_t device_idx = 0) {
  BufferPtr buf = ovtest::make_video_buffer(gst_video_format_from_string(in.format.c_str()),
                                            in.width, in.height, fill);
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

constexpr GstClockTime kFrame30 = 33333333;

/* Start of frame i at `fps`, rounded as the element rounds its intervals. */
GstClockTime at(int i, int fps = 30) { return gst_util_uint64_scale_round(i, GST_SECOND, fps); }
GstClockTime span(int i, int fps = 30) { return at(i + 1, fps) - at(i, fps); }

TEST(VideoBatch, StacksFramesTopToBottomAndClearsTheRest) {
  BatchRig rig({{"BGR", 640, 480}, {"BGR", 320, 240}});
  ASSERT_TRUE(rig.start());
  rig.push(0, 0x11, 0, kFrame30);
  rig.push(1, 0x22, 0, kFrame30);
  SamplePtr s = rig.pull();
  ASSERT_TRUE(s);
  CapsSize c = caps_size(s.get());
  EXPECT_EQ(c.width, 640);
  EXPECT_EQ(c.height, 720);
  EXPECT_EQ(gst_buffer_get_size(gst_sample_get_buffer(s.get())), gsize(640 * 720 * 3));
  BgrView v(s.get());
  EXPECT_TRUE(v.all(0, 480, 0, 640, 0x11));
  EXPECT_TRUE(v.all(480, 720, 0, 320, 0x22));
  EXPECT_TRUE(v.all(480, 720, 320, 640, 0x00));
  EXPECT_EQ(GST_BUFFER_PTS(gst_sample_get_buffer(s.get())), GstClockTime(0));
  EXPECT_EQ(GST_BUFFER_DURATION(gst_sample_get_buffer(s.get())), kFrame30);

  // The records cut the image exactly as it was built.
  GstOvBatchMeta *m = batch_of(s.get());
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->batch.frames.size(), 2u);
  EXPECT_EQ(m->batch.frames[1].width, 320u);
  EXPECT_EQ(m->batch.frames[1].height, 240u);
}

TEST(VideoBatch, MergesRecordsInPadOrderWithDeviceIndicesRebased) {
  const std::vector<Input> in = {{"BGR", 64, 48}, {"BGR", 64, 48}, {"BGR", 32, 16}};
  BatchRig rig(in);
  ASSERT_TRUE(rig.start());
  ovtest::LogCapture log("ovvideobatch");
  // Pushed out of order on purpose: pad order decides, not arrival.
  rig.push(2, 3, 0, kFrame30, tagged_buffer(in[2], 3, "c", 7));
  rig.push(0, 1, 0, kFrame30, tagged_buffer(in[0], 1, "a"));
  rig.push(1, 2, 0, kFrame30, tagged_buffer(in[1], 2, "b"));
  SamplePtr s = rig.pull();
  ASSERT_TRUE(s);
  GstOvBatchMeta *m = batch_of(s.get());
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->batch.frames.size(), 3u);
  ASSERT_EQ(m->batch.devices.size(), 3u);
  const char *ids[] = {"a", "b", "c"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(m->batch.frames[i].stream_id, ids[i]);
    EXPECT_EQ(m->batch.devices[i].stream_id, std::string("dev-") + ids[i]);
    ASSERT_EQ(m->batch.frames[i].class_results.size(), 1u);
    EXPECT_EQ(m->batch.frames[i].class_results[0].label, std::string("label-") + ids[i]);
  }
  // Each frame names its own input's device in the merged list; an index
  // that named no device of its input names none afterwards either.
  EXPECT_EQ(m->batch.frames[0].device_idx, 0u);
  EXPECT_EQ(m->batch.frames[1].device_idx, 1u);
  EXPECT_EQ(m->batch.frames[2].device_idx, UINT32_MAX);
  EXPECT_EQ(log.count_containing("Frame info added"), 3u);
  EXPECT_EQ(log.count_containing("Device info added"), 3u);
  EXPECT_EQ(log.count_containing("Can not find orvane batch metadata"), 0u);
}

/* Frames cut by adding up record heights must land on the rows the image
 * has them on, whatever the inputs brought. */
void expect_records_cut_image(GstSample *s, const std::vector<int> &heights,
                              const std::vector<std::string> &device_names) {
  GstOvBatchMeta *m = batch_of(s);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->batch.frames.size(), heights.size());
  ASSERT_EQ(m->batch.devices.size(), device_names.size());
  int sum = 0;
  for (size_t i = 0; i < heights.size(); ++i) {
    EXPECT_EQ(int(m->batch.frames[i].height), heights[i]) << "frame " << i;
    sum += int(m->batch.frames[i].height);
  }
  EXPECT_EQ(sum, caps_size(s).height);
  for (size_t i = 0; i < device_names.size(); ++i)
    EXPECT_EQ(m->batch.devices[i].stream_id, device_names[i]) << "device " << i;
}

TEST(VideoBatch, InputWithoutRecordStillGetsItsRowsRecorded) {
  const std::vector<Input> in = {{"BGR", 64, 48}, {"BGR", 32, 24}, {"BGR", 64, 16}};
  BatchRig rig(in);
  ASSERT_TRUE(rig.start());
  ovtest::LogCapture log("ovvideobatch");
  rig.push(0, 1, 0, kFrame30, tagged_buffer(in[0], 1, "a"));
  rig.push(1, 2, 0, kFrame30);  // no record
  rig.push(2, 3, 0, kFrame30, tagged_buffer(in[2], 3, "c"));
  SamplePtr s = rig.pull();
  ASSERT_TRUE(s);
  EXPECT_TRUE(log.has(GST_LEVEL_DEBUG, "Can not find orvane batch metadata"));
  expect_records_cut_image(s.get(), {48, 24, 16}, {"dev-a", "sink_1", "dev-c"});
  GstOvBatchMeta *m = batch_of(s.get());
  EXPECT_EQ(m->batch.frames[1].width, 32u);
  EXPECT_EQ(m->batch.frames[1].channels, 3u);
  EXPECT_EQ(m->batch.frames[2].stream_id, "c");
  // The pixels of the record-less input are still drawn.
  BgrView v(s.get());
  EXPECT_TRUE(v.all(48, 72, 0, 32, 2));

  // batch_image_to_mats cuts the third frame at its own rows.
  ovtest::PadPtr pad = ovtest::make_pad_with_caps("batchsrc", ovtest::video_caps("BGR", 64, 88));
  std::vector<cv::Mat> mats = batch_image_to_mats(gst_sample_get_buffer(s.get()), pad.get());
  ASSERT_EQ(mats.size(), 3u);
  EXPECT_EQ(mats[2].at<cv::Vec3b>(0, 0)[0], 3);
}

TEST(VideoBatch, InputWithoutBufferForTheIntervalStillGetsItsRowsRecorded) {
  const std::vector<Input> in = {{"BGR", 64, 48}, {"BGR", 64, 32}, {"BGR", 64, 16}};
  BatchRig rig(in);
  ASSERT_TRUE(rig.start());
  // Input 1 starts two frames late.
  for (int i = 0; i < 3; ++i) {
    rig.push(0, 1, at(i), span(i), tagged_buffer(in[0], 1, "a"));
    rig.push(2, 3, at(i), span(i), tagged_buffer(in[2], 3, "c"));
  }
  rig.push(1, 2, at(2), span(2), tagged_buffer(in[1], 2, "b"));
  for (size_t i = 0; i < in.size(); ++i)
    rig.end_of_stream(i);
  SamplePtr first = rig.pull();
  ASSERT_TRUE(first);
  expect_records_cut_image(first.get(), {48, 32, 16}, {"dev-a", "sink_1", "dev-c"});
  EXPECT_EQ(batch_of(first.get())->batch.frames[2].stream_id, "c");
  BgrView v(first.get());
  EXPECT_TRUE(v.all(48, 80, 0, 64, 0));  // its rows stay cleared
  EXPECT_TRUE(v.all(80, 96, 0, 64, 3));

  SamplePtr second = rig.pull();
  ASSERT_TRUE(second);
  SamplePtr third = rig.pull();
  ASSERT_TRUE(third);
  EXPECT_EQ(GST_BUFFER_PTS(gst_sample_get_buffer(third.get())), at(2));
  expect_records_cut_image(second.get(), {48, 32, 16}, {"dev-a", "sink_1", "dev-c"});
  expect_records_cut_image(third.get(), {48, 32, 16}, {"dev-a", "dev-b", "dev-c"});
  BgrView v3(third.get());
  EXPECT_TRUE(v3.all(48, 80, 0, 64, 2));
}

TEST(VideoBatch, RequestedNumberRaisesTheNextPadNumber) {
  ElementPtr e(gst_element_factory_make("ovvideobatch", nullptr));
  ASSERT_TRUE(e);
  struct Req {
    const char *name;
    const char *want;
  } reqs[] = {{nullptr, "sink_0"}, {"sink_5", "sink_5"}, {nullptr, "sink_6"}, {"sink_2", "sink_2"},
              {nullptr, "sink_7"}};
  std::vector<GstPad *> pads;
  for (const Req &r : reqs) {
    GstPad *p = gst_element_request_pad_simple(e.get(), r.name ? r.name : "sink_%u");
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(GST_PAD_NAME(p), r.want);
    pads.push_back(p);
  }
  EXPECT_EQ(gst_child_proxy_get_children_count(GST_CHILD_PROXY(e.get())), 5u);
  GObject *first = gst_child_proxy_get_child_by_index(GST_CHILD_PROXY(e.get()), 0);
  EXPECT_EQ(first, G_OBJECT(pads[0]));
  g_object_unref(first);
  for (GstPad *p : pads) {
    gst_element_release_request_pad(e.get(), p);
    gst_object_unref(p);
  }
  EXPECT_EQ(gst_child_proxy_get_children_count(GST_CHILD_PROXY(e.get())), 0u);
  EXPECT_EQ(GST_OBJECT_REFCOUNT(e.get()), 1);
}

TEST(VideoBatch, LaterRequestTakesTheFreedPlaceInTheStack) {
  ElementPtr e(gst_element_factory_make("ovvideobatch", nullptr));
  ASSERT_TRUE(e);
  GstPad *a = gst_element_request_pad_simple(e.get(), "sink_%u");
  GstPad *b = gst_element_request_pad_simple(e.get(), "sink_%u");
  GstPad *c = gst_element_request_pad_simple(e.get(), "sink_%u");
  gst_element_release_request_pad(e.get(), a);
  gst_object_unref(a);
  // Two pads left, so the new one gets z-order 2 and goes before sink_2.
  GstPad *d = gst_element_request_pad_simple(e.get(), "sink_%u");
  std::vector<std::string> order;
  GstChildProxy *proxy = GST_CHILD_PROXY(e.get());
  for (guint i = 0; i < gst_child_proxy_get_children_count(proxy); ++i) {
    GObject *child = gst_child_proxy_get_child_by_index(proxy, i);
    order.push_back(GST_OBJECT_NAME(child));
    g_object_unref(child);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"sink_1", "sink_3", "sink_2"}));
  for (GstPad *p : {b, c, d}) {
    gst_element_release_request_pad(e.get(), p);
    gst_object_unref(p);
  }
}

TEST(VideoBatch, HasNoProperties) {
  ElementPtr e(gst_element_factory_make("ovvideobatch", nullptr));
  ASSERT_TRUE(e);
  guint n = 0;
  GParamSpec **props = g_object_class_list_properties(G_OBJECT_GET_CLASS(e.get()), &n);
  for (guint i = 0; i < n; ++i)
    EXPECT_TRUE(props[i]->owner_type == GST_TYPE_OBJECT) << props[i]->name;
  g_free(props);
  GstPad *p = gst_element_request_pad_simple(e.get(), "sink_%u");
  ASSERT_NE(p, nullptr);
  props = g_object_class_list_properties(G_OBJECT_GET_CLASS(p), &n);
  for (guint i = 0; i < n; ++i)
    EXPECT_TRUE(props[i]->owner_type == GST_TYPE_OBJECT || props[i]->owner_type == GST_TYPE_PAD)
        << props[i]->name;
  g_free(props);
  gst_element_release_request_pad(e.get(), p);
  gst_object_unref(p);
}

TEST(VideoBatch, WithoutPositiveFramerateOutputsAt25) {
  BatchRig rig({{"BGR", 32, 16, 0, 1}, {"BGR", 32, 16, 0, 1}});
  ASSERT_TRUE(rig.start());
  rig.push_all(1, 0, 40 * GST_MSECOND);
  rig.push_all(1, 40 * GST_MSECOND, 40 * GST_MSECOND);
  SamplePtr s = rig.pull();
  ASSERT_TRUE(s);
  CapsSize c = caps_size(s.get());
  EXPECT_EQ(c.fps_n, 25);
  EXPECT_EQ(c.fps_d, 1);
  EXPECT_EQ(GST_BUFFER_DURATION(gst_sample_get_buffer(s.get())), 40 * GST_MSECOND);
}

TEST(VideoBatch, FollowsTheFastestInputAndRepeatsTheSlowerOne) {
  BatchRig rig({{"BGR", 32, 16, 30, 1}, {"BGR", 32, 16, 15, 1}});
  ASSERT_TRUE(rig.start());
  for (int i = 0; i < 6; ++i)
    rig.push(0, uint8_t(10 + i), at(i), span(i));
  for (int i = 0; i < 3; ++i)
    rig.push(1, uint8_t(100 + i), at(i, 15), span(i, 15));
  rig.end_of_stream(0);
  rig.end_of_stream(1);
  std::vector<int> fast, slow;
  std::vector<GstClockTime> pts;
  while (SamplePtr s = rig.pull(2000)) {
    CapsSize c = caps_size(s.get());
    EXPECT_EQ(c.fps_n, 30);
    EXPECT_EQ(c.fps_d, 1);
    BgrView v(s.get());
    fast.push_back(v.at(0, 0));
    slow.push_back(v.at(16, 0));
    // Reused output buffers start without the records of an earlier batch.
    ASSERT_NE(batch_of(s.get()), nullptr);
    EXPECT_EQ(batch_of(s.get())->batch.frames.size(), 2u);
    pts.push_back(GST_BUFFER_PTS(gst_sample_get_buffer(s.get())));
  }
  EXPECT_EQ(fast, (std::vector<int>{10, 11, 12, 13, 14, 15}));
  EXPECT_EQ(slow, (std::vector<int>{100, 100, 101, 101, 102, 102}));
  ASSERT_EQ(pts.size(), 6u);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(pts[i], at(i));
  EXPECT_TRUE(rig.eos());
}

TEST(VideoBatch, InputsOffTheOutputGridMakeOneBatchPerFrame) {
  // Live inputs stamp frames from when they started: here 5 ms and 20 ms
  // after the output's grid, so every last frame straddles the end of the
  // last interval.  That must not make a batch of repeated frames.
  const Input in{"BGR", 32, 16};
  BatchRig rig({in, in});
  ASSERT_TRUE(rig.start());
  for (int i = 0; i < 5; ++i) {
    const uint8_t a = uint8_t(10 + i), b = uint8_t(50 + i);
    rig.push(0, a, 5 * GST_MSECOND + at(i), span(i), tagged_buffer(in, a, "a"));
    rig.push(1, b, 20 * GST_MSECOND + at(i), span(i), tagged_buffer(in, b, "b"));
  }
  rig.end_of_stream(0);
  rig.end_of_stream(1);
  std::vector<int> first, second;
  while (SamplePtr s = rig.pull(2000)) {
    BgrView v(s.get());
    first.push_back(v.at(0, 0));
    second.push_back(v.at(16, 0));
    ASSERT_NE(batch_of(s.get()), nullptr);
    EXPECT_EQ(batch_of(s.get())->batch.frames.size(), 2u);
  }
  EXPECT_EQ(first, (std::vector<int>{10, 11, 12, 13, 14}));
  EXPECT_EQ(second, (std::vector<int>{50, 51, 52, 53, 54}));
  EXPECT_TRUE(rig.eos());
}

TEST(VideoBatch, IntervalsBeforeAnyInputHasAFrameMakeNoBatch) {
  // Live inputs that start two frames after the output's grid: the first
  // two intervals hold no frame of any input and make no batch.
  const Input in{"BGR", 32, 16};
  BatchRig rig({in, in});
  ASSERT_TRUE(rig.start());
  for (int i = 0; i < 3; ++i) {
    const uint8_t a = uint8_t(10 + i), b = uint8_t(50 + i);
    rig.push(0, a, at(i + 2) + 5 * GST_MSECOND, span(i), tagged_buffer(in, a, "a"));
    rig.push(1, b, at(i + 2) + 10 * GST_MSECOND, span(i), tagged_buffer(in, b, "b"));
  }
  rig.end_of_stream(0);
  rig.end_of_stream(1);
  std::vector<int> first, second;
  std::vector<GstClockTime> pts;
  while (SamplePtr s = rig.pull(2000)) {
    BgrView v(s.get());
    first.push_back(v.at(0, 0));
    second.push_back(v.at(16, 0));
    pts.push_back(GST_BUFFER_PTS(gst_sample_get_buffer(s.get())));
  }
  EXPECT_EQ(first, (std::vector<int>{10, 11, 12}));
  EXPECT_EQ(second, (std::vector<int>{50, 51, 52}));
  EXPECT_EQ(pts, (std::vector<GstClockTime>{at(2), at(3), at(4)}));
  EXPECT_TRUE(rig.eos());
}

TEST(VideoBatch, ReleasingAPadShrinksTheImage) {
  BatchRig rig({{"BGR", 32, 16}, {"BGR", 32, 24}});
  ASSERT_TRUE(rig.start());
  rig.push_all(1, 0, kFrame30);
  SamplePtr s = rig.pull();
  ASSERT_TRUE(s);
  EXPECT_EQ(caps_size(s.get()).height, 40);

  // Detach input 1 and give its pad back.
  ovtest::PadPtr srcpad(gst_element_get_static_pad(rig.src(1), "src"));
  ovtest::PadPtr peer(gst_pad_get_peer(srcpad.get()));
  ASSERT_TRUE(peer);
  gst_pad_unlink(srcpad.get(), peer.get());
  gst_element_release_request_pad(rig.batch(), peer.get());

  rig.push(0, 5, kFrame30, kFrame30);
  SamplePtr after = rig.pull();
  ASSERT_TRUE(after);
  EXPECT_EQ(caps_size(after.get()).height, 16);
  EXPECT_EQ(gst_buffer_get_size(gst_sample_get_buffer(after.get())), gsize(32 * 3 * 16));
  ASSERT_NE(batch_of(after.get()), nullptr);
  EXPECT_EQ(batch_of(after.get())->batch.frames.size(), 1u);
}

TEST(VideoBatch, EndOfStreamOnAllInputsIsForwarded) {
  BatchRig rig({{"BGR", 32, 16}, {"BGR", 32, 16}});
  ASSERT_TRUE(rig.start());
  rig.push_all(1, 0, kFrame30);
  rig.end_of_stream(0);
  ASSERT_TRUE(rig.pull());
  EXPECT_FALSE(rig.eos());
  rig.end_of_stream(1);
  EXPECT_FALSE(rig.pull(2000));
  EXPECT_TRUE(rig.eos());
}

TEST(VideoBatch, InputsEndingBeforeAnyCapsEndTheStream) {
  ElementPtr p = ovtest::parse_pipeline(
      "appsrc name=a format=time ! ovvideobatch name=batch ! fakesink "
      "appsrc name=b format=time ! batch.");
  ASSERT_TRUE(p);
  ASSERT_NE(gst_element_set_state(p.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  for (const char *name : {"a", "b"}) {
    ElementPtr src = ovtest::bin_element(p.get(), name);
    gst_app_src_end_of_stream(GST_APP_SRC(src.get()));
  }
  ov::BusPtr bus(gst_element_get_bus(p.get()));
  ov::MessagePtr msg(gst_bus_timed_pop_filtered(
      bus.get(), 3 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
  ASSERT_TRUE(msg);
  EXPECT_EQ(GST_MESSAGE_TYPE(msg.get()), GST_MESSAGE_EOS);
  gst_element_set_state(p.get(), GST_STATE_NULL);
}

TEST(VideoBatch, UntimedBufferIsAnError) {
  BatchRig rig({{"BGR", 32, 16}});
  ASSERT_TRUE(rig.start());
  ovtest::LogCapture log("ovvideobatch", GST_LEVEL_ERROR);
  EXPECT_EQ(rig.push(0, 1, GST_CLOCK_TIME_NONE, kFrame30), GST_FLOW_OK);  // appsrc queues it
  EXPECT_FALSE(rig.pull(1000));
  EXPECT_TRUE(log.has(GST_LEVEL_ERROR, "Timestamped buffers required!"));
  // The pipeline ends with an error that names the input and the buffer.
  ov::MessagePtr msg = rig.wait_message(GST_MESSAGE_ERROR);
  ASSERT_TRUE(msg);
  EXPECT_STREQ(GST_MESSAGE_SRC_NAME(msg.get()), "batch");
  std::string detail;
  GError *err = nullptr;
  gchar *dbg = nullptr;
  gst_message_parse_error(msg.get(), &err, &dbg);
  EXPECT_TRUE(g_error_matches(err, GST_STREAM_ERROR, GST_STREAM_ERROR_FORMAT));
  detail = dbg ? dbg : "";
  g_clear_error(&err);
  g_free(dbg);
  EXPECT_NE(detail.find("sink_0: a buffer of 1536 bytes has no PTS"), std::string::npos) << detail;
}

TEST(VideoBatch, I420InputsStackInEveryPlane) {
  BatchRig rig({{"I420", 16, 8}, {"I420", 8, 4}});
  ASSERT_TRUE(rig.start());
  rig.push(0, 0x40, 0, kFrame30);
  rig.push(1, 0x80, 0, kFrame30);
  SamplePtr s = rig.pull();
  ASSERT_TRUE(s);
  GstVideoInfo info;
  ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(s.get())));
  EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&info), GST_VIDEO_FORMAT_I420);
  EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&info), 12);
  GstVideoFrame f;
  ASSERT_TRUE(gst_video_frame_map(&f, &info, gst_sample_get_buffer(s.get()), GST_MAP_READ));
  // Chroma row 4 (luma rows 8..9) belongs to the second input: 4 samples, then zeros.
  const uint8_t *u = static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&f, 1)) +
                     4 * GST_VIDEO_FRAME_PLANE_STRIDE(&f, 1);
  EXPECT_EQ(std::vector<int>(u, u + 8), (std::vector<int>{0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0}));
  const uint8_t *y = static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&f, 0));
  EXPECT_EQ(y[7 * GST_VIDEO_FRAME_PLANE_STRIDE(&f, 0) + 15], 0x40);
  gst_video_frame_unmap(&f);
}

std::string error_text(GstMessage *msg, std::string *detail = nullptr) {
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

TEST(VideoBatch, AlphaInputWithoutAlphaDownstreamFailsNegotiation) {
  BatchRig rig({{"BGRA", 32, 16}, {"BGR", 32, 16}}, "capsfilter caps=video/x-raw,format=BGR !");
  ASSERT_TRUE(rig.start());
  rig.push_all(1, 0, kFrame30);
  ov::MessagePtr msg = rig.wait_message(GST_MESSAGE_ERROR);
  ASSERT_TRUE(msg);
  std::string detail;
  EXPECT_EQ(error_text(msg.get(), &detail),
            "At least one of the input pads contains alpha, but downstream can't support alpha.");
  EXPECT_NE(detail.find("Either convert your inputs to not contain alpha or add a videoconvert "
                        "after the mixer"),
            std::string::npos)
      << detail;
}

TEST(VideoBatch, MinorityFormatIsConverted) {
  BatchRig rig({{"I420", 16, 8}, {"BGR", 16, 8}, {"BGR", 16, 8}});
  ASSERT_TRUE(rig.start());
  // Mid grey in I420 (Y 126 studio range, neutral chroma) converts to about 128.
  rig.push(0, 126, 0, kFrame30);
  rig.push(1, 0x20, 0, kFrame30);
  rig.push(2, 0x30, 0, kFrame30);
  SamplePtr s = rig.pull();
  ASSERT_TRUE(s);
  GstVideoInfo info;
  ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(s.get())));
  EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&info), GST_VIDEO_FORMAT_BGR);
  EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&info), 24);
  BgrView v(s.get());
  EXPECT_NEAR(v.at(3, 5, 1), 128, 6);
  EXPECT_TRUE(v.all(8, 16, 0, 16, 0x20));
  EXPECT_TRUE(v.all(16, 24, 0, 16, 0x30));
}

TEST(VideoBatch, FormatWithoutKernelsIsNotNegotiated) {
  BatchRig rig({{"GRAY8", 16, 8}});
  ASSERT_TRUE(rig.start());
  rig.push(0, 1, 0, kFrame30);
  EXPECT_FALSE(rig.pull(1000));
  EXPECT_TRUE(rig.wait_message(GST_MESSAGE_ERROR));
}

TEST(VideoBatch, LateFramesAreDroppedAndReported) {
  BatchRig rig({{"BGR", 32, 16}});
  ASSERT_TRUE(rig.start());
  rig.push(0, 1, at(0), span(0));
  ASSERT_TRUE(rig.pull());
  // Downstream says: nothing before 1 s is of use any more.
  ovtest::PadPtr src(gst_element_get_static_pad(rig.batch(), "src"));
  ASSERT_TRUE(gst_pad_send_event(
      src.get(), gst_event_new_qos(GST_QOS_TYPE_UNDERFLOW, 0.7, 0, GST_SECOND)));
  rig.push(0, 2, at(1), span(1));
  ov::MessagePtr qos = rig.wait_message(GST_MESSAGE_QOS);
  ASSERT_TRUE(qos);
  guint64 processed = 0, dropped = 0;
  GstFormat fmt;
  gst_message_parse_qos_stats(qos.get(), &fmt, &processed, &dropped);
  EXPECT_EQ(fmt, GST_FORMAT_BUFFERS);
  EXPECT_EQ(processed, 1u);
  EXPECT_EQ(dropped, 1u);
  gint64 jitter;
  gdouble proportion;
  gint quality;
  gst_message_parse_qos_values(qos.get(), &jitter, &proportion, &quality);
  EXPECT_DOUBLE_EQ(proportion, 0.7);
  EXPECT_EQ(quality, 1000000);
  EXPECT_FALSE(rig.pull(300));
  // A frame past the earliest time is made again.
  rig.push(0, 3, at(31), span(31));
  rig.end_of_stream(0);
  std::vector<SamplePtr> after;
  while (SamplePtr s = rig.pull(1000))
    after.push_back(std::move(s));
  ASSERT_FALSE(after.empty());
  EXPECT_GT(GST_BUFFER_PTS(gst_sample_get_buffer(after.back().get())), GST_SECOND);
}

TEST(VideoBatch, FrameEndingAtTheSegmentStopIsStillMade) {
  BatchRig rig({{"BGR", 32, 16}});
  ASSERT_TRUE(rig.start());
  ovtest::PadPtr src(gst_element_get_static_pad(rig.batch(), "src"));
  // appsrc cannot seek; the batch element's own segment takes the stop anyway.
  gst_pad_send_event(src.get(), gst_event_new_seek(1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_NONE,
                                                   GST_SEEK_TYPE_SET, 0, GST_SEEK_TYPE_SET,
                                                   gint64(100 * GST_MSECOND)));
  for (int i = 0; i < 6; ++i)
    rig.push(0, uint8_t(i + 1), at(i), span(i));
  std::vector<GstClockTime> ends;
  while (SamplePtr s = rig.pull(1000)) {
    GstBuffer *b = gst_sample_get_buffer(s.get());
    ends.push_back(GST_BUFFER_PTS(b) + GST_BUFFER_DURATION(b));
  }
  EXPECT_EQ(ends, (std::vector<GstClockTime>{at(1), at(2), at(3)}));
  EXPECT_TRUE(rig.eos());
}

TEST(VideoBatch, SegmentSeekStopsAtItsStopWithSegmentDone) {
  BatchRig rig({{"BGR", 32, 16}});
  ASSERT_TRUE(rig.start());
  ovtest::PadPtr src(gst_element_get_static_pad(rig.batch(), "src"));
  gst_pad_send_event(src.get(), gst_event_new_seek(1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_SEGMENT,
                                                   GST_SEEK_TYPE_SET, 0, GST_SEEK_TYPE_SET,
                                                   gint64(100 * GST_MSECOND)));
  for (int i = 0; i < 6; ++i)
    rig.push(0, uint8_t(i + 1), at(i), span(i));
  std::vector<GstClockTime> durations;
  while (SamplePtr s = rig.pull(1000))
    durations.push_back(GST_BUFFER_DURATION(gst_sample_get_buffer(s.get())));
  EXPECT_EQ(durations, (std::vector<GstClockTime>{span(0), span(1), span(2)}));
  ov::MessagePtr done = rig.wait_message(GST_MESSAGE_SEGMENT_DONE);
  ASSERT_TRUE(done);
  GstFormat fmt;
  gint64 pos;
  gst_message_parse_segment_done(done.get(), &fmt, &pos);
  EXPECT_EQ(pos, gint64(100 * GST_MSECOND));
  EXPECT_FALSE(rig.eos());
  // Input past the stop is let go; the end of the inputs still ends the stream.
  rig.push(0, 9, at(6), span(6));
  rig.end_of_stream(0);
  EXPECT_FALSE(rig.pull(1000));
  EXPECT_TRUE(rig.eos());
}

TEST(VideoBatch, NegativeRateSeekIsRefused) {
  BatchRig rig({{"BGR", 32, 16}});
  ASSERT_TRUE(rig.start());
  ovtest::LogCapture log("ovvideobatch", GST_LEVEL_ERROR);
  ovtest::PadPtr src(gst_element_get_static_pad(rig.batch(), "src"));
  EXPECT_FALSE(gst_pad_send_event(
      src.get(), gst_event_new_seek(-1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, GST_SEEK_TYPE_SET,
                                    0, GST_SEEK_TYPE_NONE, -1)));
  EXPECT_TRUE(log.has(GST_LEVEL_ERROR, "Negative rates not supported yet"));
}

TEST(VideoBatch, PositionFollowsTheOutput) {
  BatchRig rig({{"BGR", 32, 16}});
  ASSERT_TRUE(rig.start());
  for (int i = 0; i < 3; ++i)
    rig.push(0, 1, at(i), span(i));
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(rig.pull());
  gint64 pos = -1;
  ovtest::PadPtr src(gst_element_get_static_pad(rig.batch(), "src"));
  ASSERT_TRUE(gst_pad_query_position(src.get(), GST_FORMAT_TIME, &pos));
  EXPECT_EQ(pos, gint64(at(3)));
  EXPECT_FALSE(gst_pad_query_position(src.get(), GST_FORMAT_BYTES, &pos));
  GstQuery *latency = gst_query_new_latency();
  EXPECT_FALSE(gst_pad_query(src.get(), latency));
  gst_query_unref(latency);
}

TEST(VideoBatch, DocumentedLaunchLineRuns) {
  ovtest::PipelineRun run = ovtest::run_pipeline(
      "videotestsrc num-buffers=30 ! video/x-raw,format=BGR,width=320,height=240 ! "
      "ovvideobatch name=b ! fakesink "
      "videotestsrc num-buffers=30 pattern=ball ! video/x-raw,format=BGR,width=320,height=240 ! b.");
  EXPECT_TRUE(run.ok) << run.error;
}

}  // namespace
