// ovvideobatch with live inputs: the latency it answers, an input that
// stalls and comes back, inputs without a declared frame rate.
#include <string>
#include <vector>

#include <gst/app/gstappsrc.h>
#include <gtest/gtest.h>

#include "batch_rig.h"

namespace {

using namespace batchtest;
using ovtest::SamplePtr;

struct Latency {
  bool answered = false;
  gboolean live = FALSE;
  GstClockTime min = 0, max = 0;
};

Latency query_latency(GstElement *batch) {
  Latency l;
  ovtest::PadPtr src(gst_element_get_static_pad(batch, "src"));
  GstQuery *q = gst_query_new_latency();
  l.answered = gst_pad_query(src.get(), q);
  if (l.answered)
    gst_query_parse_latency(q, &l.live, &l.min, &l.max);
  gst_query_unref(q);
  return l;
}

/* The text of a warning message. */
std::string warning_text(GstMessage *msg) {
  GError *err = nullptr;
  gst_message_parse_warning(msg, &err, nullptr);
  std::string text = err ? err->message : "";
  if (err)
    g_error_free(err);
  return text;
}

TEST(VideoBatchLive, LatencyIsUpstreamsPlusTheDeadline) {
  {
    BatchRig rig({{"BGR", 32, 16}});
    ASSERT_TRUE(rig.start());
    const Latency l = query_latency(rig.batch());
    ASSERT_TRUE(l.answered);
    EXPECT_FALSE(l.live);
    EXPECT_EQ(l.min, 0u);  // nothing waits on a clock
  }
  Input fast{"BGR", 32, 16, 30, 1, true}, slow{"BGR", 32, 16, 15, 1, true};
  BatchRig rig({fast, slow});
  ASSERT_TRUE(rig.start());
  Latency l = query_latency(rig.batch());
  ASSERT_TRUE(l.answered);
  EXPECT_TRUE(l.live);
  rig.push_all(1, 0, kFrame30);
  ASSERT_TRUE(rig.pull());
  l = query_latency(rig.batch());
  // The sources' 10 ms, and three frames of the 15 fps input.
  const GstClockTime expected = 10 * GST_MSECOND + 200 * GST_MSECOND;
  EXPECT_LE(l.min, expected + GST_USECOND);
  EXPECT_GE(l.min, expected - GST_USECOND);

  g_object_set(rig.batch(), "live-deadline", guint64(50 * GST_MSECOND), nullptr);
  l = query_latency(rig.batch());
  EXPECT_EQ(l.min, 60 * GST_MSECOND);
  guint64 deadline = 0;
  g_object_get(rig.batch(), "live-deadline", &deadline, nullptr);
  EXPECT_EQ(deadline, 50 * GST_MSECOND);
}

TEST(VideoBatchLive, AStalledInputLeavesItsSlotEmptyWithAWarningEachWay) {
  Input in{"BGR", 32, 16, 30, 1, true};
  BatchRig rig({in, in});
  g_object_set(rig.batch(), "live-deadline", guint64(100 * GST_MSECOND), nullptr);
  ASSERT_TRUE(rig.start());
  for (int i = 0; i < 3; ++i) {
    rig.push(0, uint8_t(10 + i), at(i), span(i));
    rig.push(1, uint8_t(100 + i), at(i), span(i));
    SamplePtr s = rig.pull();
    ASSERT_TRUE(s) << "batch " << i;
    BgrView v(s.get());
    EXPECT_TRUE(v.all(16, 32, 0, 32, uint8_t(100 + i)));
  }

  // Input 1 goes silent; input 0 keeps its rate.
  for (int i = 3; i < 9; ++i)
    rig.push(0, uint8_t(10 + i), at(i), span(i));
  for (int i = 3; i < 9; ++i) {
    SamplePtr s = rig.pull();
    ASSERT_TRUE(s) << "batch " << i << " held up by the silent input";
    EXPECT_EQ(GST_BUFFER_PTS(gst_sample_get_buffer(s.get())), at(i));
    BgrView v(s.get());
    EXPECT_TRUE(v.all(0, 16, 0, 32, uint8_t(10 + i))) << "batch " << i;
    EXPECT_TRUE(v.all(16, 32, 0, 32, 0)) << "batch " << i << ": the silent input's rows";
  }
  ov::MessagePtr stalled = rig.wait_message(GST_MESSAGE_WARNING);
  ASSERT_TRUE(stalled);
  std::string text = warning_text(stalled.get());
  EXPECT_NE(text.find("sink_1 (src1) stalled"), std::string::npos) << text;

  // Its next frame makes it waited for again.
  rig.push(1, 109, at(9), span(9));
  ov::MessagePtr back = rig.wait_message(GST_MESSAGE_WARNING);
  ASSERT_TRUE(back);
  text = warning_text(back.get());
  EXPECT_NE(text.find("sink_1 (src1) is back"), std::string::npos) << text;
  rig.push(0, 19, at(9), span(9));
  SamplePtr s = rig.pull();
  ASSERT_TRUE(s);
  BgrView v(s.get());
  EXPECT_TRUE(v.all(0, 16, 0, 32, 19));
  EXPECT_TRUE(v.all(16, 32, 0, 32, 109));
  // (From here both inputs go silent, and both stall.)
}

TEST(VideoBatchLive, InputsWithoutARateSendEachFrameOnce) {
  // Cameras at 15 and 30 fps that declare no rate, buffers without
  // duration, as decoded RTSP gives them.
  Input in{"BGR", 32, 16, 0, 1};
  BatchRig rig({in, in});
  ASSERT_TRUE(rig.start());
  const int slow = 12, fast = 24;
  for (int i = 0; i < fast; ++i) {
    if (i % 2 == 0)
      rig.push(0, 0, at(i / 2, 15), GST_CLOCK_TIME_NONE,
               tagged_buffer(in, uint8_t(10 + i / 2), "slow"));
    rig.push(1, 0, at(i, 30), GST_CLOCK_TIME_NONE, tagged_buffer(in, uint8_t(100 + i), "fast"));
  }
  rig.end_of_stream(0);
  rig.end_of_stream(1);

  std::vector<int> slow_seen, fast_seen;
  int batches = 0;
  while (SamplePtr s = rig.pull(3000)) {
    ++batches;
    GstOvBatchMeta *m = batch_of(s.get());
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->batch.frames.size(), 2u);
    BgrView v(s.get());
    bool any = false;
    if (m->batch.frames[0].stream_id == "slow") {
      slow_seen.push_back(v.at(0, 0));
      any = true;
    } else {
      EXPECT_TRUE(v.all(0, 16, 0, 32, 0)) << "an empty slot's rows are cleared";
    }
    if (m->batch.frames[1].stream_id == "fast") {
      fast_seen.push_back(v.at(16, 0));
      any = true;
    }
    EXPECT_TRUE(any) << "batch " << batches << " carries no new frame";
  }
  EXPECT_TRUE(rig.eos());
  std::vector<int> slow_sent, fast_sent;
  for (int i = 0; i < slow; ++i)
    slow_sent.push_back(10 + i);
  for (int i = 0; i < fast; ++i)
    fast_sent.push_back(100 + i);
  EXPECT_EQ(slow_seen, slow_sent);
  EXPECT_EQ(fast_seen, fast_sent);
}

}  // namespace

namespace {

TEST(VideoBatchLive, AStalledInputCanBeReleasedWhilePlaying) {
  Input in{"BGR", 32, 16, 30, 1, true};
  BatchRig rig({in, in});
  g_object_set(rig.batch(), "live-deadline", guint64(50 * GST_MSECOND), nullptr);
  ASSERT_TRUE(rig.start());
  rig.push_all(1, at(0), span(0));
  ASSERT_TRUE(rig.pull());
  rig.push(0, 2, at(1), span(1));
  ASSERT_TRUE(rig.pull()) << "input 1 never counted as stalled";
  ASSERT_TRUE(rig.wait_message(GST_MESSAGE_WARNING));

  ovtest::PadPtr pad(gst_element_get_static_pad(rig.batch(), "sink_1"));
  ASSERT_TRUE(pad);
  ovtest::PadPtr peer(gst_pad_get_peer(pad.get()));
  gst_pad_unlink(peer.get(), pad.get());
  gst_element_release_request_pad(rig.batch(), pad.get());

  // The one input left is waited for, frame by frame, in a smaller image.
  for (int i = 2; i < 5; ++i) {
    rig.push(0, uint8_t(10 + i), at(i), span(i));
    SamplePtr s = rig.pull();
    ASSERT_TRUE(s) << "batch " << i;
    EXPECT_EQ(caps_size(s.get()).height, 16);
    EXPECT_EQ(GST_BUFFER_PTS(gst_sample_get_buffer(s.get())), at(i));
    EXPECT_TRUE(BgrView(s.get()).all(0, 16, 0, 32, uint8_t(10 + i)));
  }
}

}  // namespace

namespace {

TEST(VideoBatchLive, InputsThatComeToDeclareARateKeepTheirFrames) {
  Input in{"BGR", 32, 16, 0, 1};
  BatchRig rig({in, in});
  ASSERT_TRUE(rig.start());
  // Ten frames at 30 fps without a declared rate ...
  for (int i = 0; i < 10; ++i)
    for (size_t pad = 0; pad < 2; ++pad)
      rig.push(pad, uint8_t(10 + i), at(i), GST_CLOCK_TIME_NONE);
  // ... then the cameras declare 25/1, the rate the output already has, and
  // send ten frames at it from 400 ms.
  ovtest::CapsPtr caps(gst_caps_from_string(ovtest::video_caps("BGR", 32, 16, 25, 1).c_str()));
  for (size_t pad = 0; pad < 2; ++pad)
    gst_app_src_set_caps(GST_APP_SRC(rig.src(pad)), caps.get());
  for (int k = 0; k < 10; ++k)
    for (size_t pad = 0; pad < 2; ++pad)
      rig.push(pad, uint8_t(100 + k), 400 * GST_MSECOND + GstClockTime(k) * 40 * GST_MSECOND,
               40 * GST_MSECOND);
  rig.end_of_stream(0);
  rig.end_of_stream(1);

  std::vector<int> seen;
  GstClockTime last = 0;
  while (SamplePtr s = rig.pull(3000)) {
    const GstClockTime pts = GST_BUFFER_PTS(gst_sample_get_buffer(s.get()));
    EXPECT_GE(pts, last);
    last = pts;
    const int v = BgrView(s.get()).at(0, 0);
    if (v >= 100 && (seen.empty() || seen.back() != v))
      seen.push_back(v);
  }
  std::vector<int> sent;
  for (int k = 0; k < 10; ++k)
    sent.push_back(100 + k);
  EXPECT_EQ(seen, sent) << "frames after the rate was declared went missing";
}

}  // namespace
