// ovvideobatch in real pipelines, in time: output rate, frames off the
// output grid, end of stream, QoS, segment stop and seeks, position.
#include <string>
#include <vector>

#include <gst/app/gstappsrc.h>
#include <gtest/gtest.h>

#include "batch_rig.h"

namespace {

using namespace batchtest;
using ovtest::ElementPtr;
using ovtest::SamplePtr;

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

/* Two tagged inputs of 32×16 whose frame i starts at at(i + first) plus
 * their own offset; both end after `frames` frames.  What the batches
 * showed, in order. */
struct OffGridRun {
  std::vector<int> first, second; /* the inputs' fill values */
  std::vector<GstClockTime> pts;
  std::vector<size_t> records; /* frame records per batch */
  bool eos = false;
};

OffGridRun run_off_grid(int frames, int first, GstClockTime offset_a, GstClockTime offset_b) {
  OffGridRun run;
  const Input in{"BGR", 32, 16};
  BatchRig rig({in, in});
  if (!rig.start()) {
    ADD_FAILURE() << "pipeline did not start";
    return run;
  }
  for (int i = 0; i < frames; ++i) {
    const uint8_t a = uint8_t(10 + i), b = uint8_t(50 + i);
    rig.push(0, a, at(i + first) + offset_a, span(i), tagged_buffer(in, a, "a"));
    rig.push(1, b, at(i + first) + offset_b, span(i), tagged_buffer(in, b, "b"));
  }
  rig.end_of_stream(0);
  rig.end_of_stream(1);
  while (SamplePtr s = rig.pull(2000)) {
    BgrView v(s.get());
    run.first.push_back(v.at(0, 0));
    run.second.push_back(v.at(16, 0));
    run.pts.push_back(GST_BUFFER_PTS(gst_sample_get_buffer(s.get())));
    GstOvBatchMeta *m = batch_of(s.get());
    run.records.push_back(m ? m->batch.frames.size() : 0);
  }
  run.eos = rig.eos();
  return run;
}

TEST(VideoBatch, InputsOffTheOutputGridMakeOneBatchPerFrame) {
  // Live inputs stamp frames from when they started: here 5 ms and 20 ms
  // after the output's grid, so every last frame straddles the end of the
  // last interval.  That must not make a batch of repeated frames.
  const OffGridRun run = run_off_grid(5, 0, 5 * GST_MSECOND, 20 * GST_MSECOND);
  EXPECT_EQ(run.first, (std::vector<int>{10, 11, 12, 13, 14}));
  EXPECT_EQ(run.second, (std::vector<int>{50, 51, 52, 53, 54}));
  EXPECT_EQ(run.records, std::vector<size_t>(5, 2u));
  EXPECT_TRUE(run.eos);
}

TEST(VideoBatch, IntervalsBeforeAnyInputHasAFrameMakeNoBatch) {
  // Live inputs that start two frames after the output's grid: the first
  // two intervals hold no frame of any input and make no batch.
  const OffGridRun run = run_off_grid(3, 2, 5 * GST_MSECOND, 10 * GST_MSECOND);
  EXPECT_EQ(run.first, (std::vector<int>{10, 11, 12}));
  EXPECT_EQ(run.second, (std::vector<int>{50, 51, 52}));
  EXPECT_EQ(run.pts, (std::vector<GstClockTime>{at(2), at(3), at(4)}));
  EXPECT_TRUE(run.eos);
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

/* Seeks the batch element of `rig` (one input) to 0..100 ms with `flags`,
 * pushes six frames at 30/s and returns the batches' time stamps and
 * durations.  appsrc cannot seek; the batch element's own segment takes the
 * stop anyway. */
struct Stamps {
  std::vector<GstClockTime> pts, durations;
};

Stamps run_to_stop(BatchRig &rig, GstSeekFlags flags) {
  ovtest::PadPtr src(gst_element_get_static_pad(rig.batch(), "src"));
  gst_pad_send_event(src.get(), gst_event_new_seek(1.0, GST_FORMAT_TIME, flags, GST_SEEK_TYPE_SET,
                                                   0, GST_SEEK_TYPE_SET,
                                                   gint64(100 * GST_MSECOND)));
  for (int i = 0; i < 6; ++i)
    rig.push(0, uint8_t(i + 1), at(i), span(i));
  Stamps out;
  while (SamplePtr s = rig.pull(1000)) {
    out.pts.push_back(GST_BUFFER_PTS(gst_sample_get_buffer(s.get())));
    out.durations.push_back(GST_BUFFER_DURATION(gst_sample_get_buffer(s.get())));
  }
  return out;
}

TEST(VideoBatch, FrameEndingAtTheSegmentStopIsStillMade) {
  BatchRig rig({{"BGR", 32, 16}});
  ASSERT_TRUE(rig.start());
  const Stamps got = run_to_stop(rig, GST_SEEK_FLAG_NONE);
  std::vector<GstClockTime> ends;
  for (size_t i = 0; i < got.pts.size(); ++i)
    ends.push_back(got.pts[i] + got.durations[i]);
  EXPECT_EQ(ends, (std::vector<GstClockTime>{at(1), at(2), at(3)}));
  EXPECT_TRUE(rig.eos());
}

TEST(VideoBatch, SegmentSeekStopsAtItsStopWithSegmentDone) {
  BatchRig rig({{"BGR", 32, 16}});
  ASSERT_TRUE(rig.start());
  EXPECT_EQ(run_to_stop(rig, GST_SEEK_FLAG_SEGMENT).durations,
            (std::vector<GstClockTime>{span(0), span(1), span(2)}));
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
  // Not live: upstream's answer, nothing added.
  GstQuery *latency = gst_query_new_latency();
  ASSERT_TRUE(gst_pad_query(src.get(), latency));
  gboolean live = TRUE;
  GstClockTime min = 1;
  gst_query_parse_latency(latency, &live, &min, nullptr);
  EXPECT_FALSE(live);
  EXPECT_EQ(min, 0u);
  gst_query_unref(latency);
}

}  // namespace
