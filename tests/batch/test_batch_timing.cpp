// Output timing of the batch element without a pipeline: which buffer each
// input shows for an interval, the output timeline (stop, segment seek,
// rebase), QoS decisions and the duration answer.
#include <deque>
#include <vector>

#include <gtest/gtest.h>

#include "batch_timing.h"

namespace {

using ovbatch::Fill;
using ovbatch::IntervalState;
using ovbatch::PadSlot;

constexpr GstClockTime kMs = GST_MSECOND;

GstBuffer *frame(GstClockTime pts, GstClockTime duration, gsize size = 16) {
  GstBuffer *b = gst_buffer_new_allocate(nullptr, size, nullptr);
  GST_BUFFER_PTS(b) = pts;
  GST_BUFFER_DURATION(b) = duration;
  return b;
}

/* An input's queue as the collect pads would hold it. */
class ListSource : public ovbatch::BufferSource {
 public:
  ~ListSource() override {
    for (GstBuffer *b : queue_)
      gst_buffer_unref(b);
  }
  void add(GstBuffer *b) { queue_.push_back(b); }
  void end() { ended_ = true; }
  size_t left() const { return queue_.size(); }
  GstBuffer *peek() override { return queue_.empty() ? nullptr : gst_buffer_ref(queue_.front()); }
  GstBuffer *pop() override {
    if (queue_.empty())
      return nullptr;
    GstBuffer *b = queue_.front();
    queue_.pop_front();
    return b;
  }
  bool ended() const override { return ended_; }

 private:
  std::deque<GstBuffer *> queue_;
  bool ended_ = false;
};

/* N inputs with their own TIME segments, filled interval by interval. */
struct Inputs {
  explicit Inputs(size_t n) : slots(n), sources(n), segments(n) {
    for (GstSegment &s : segments)
      gst_segment_init(&s, GST_FORMAT_TIME);
  }
  ovbatch::FillResult fill(GstClockTime start, GstClockTime end) {
    std::vector<ovbatch::PadInput> in(slots.size());
    for (size_t i = 0; i < in.size(); ++i) {
      in[i].name = "sink";
      in[i].slot = &slots[i];
      in[i].segment = &segments[i];
      in[i].source = &sources[i];
    }
    return ovbatch::fill_interval(in, start, end);
  }
  std::vector<PadSlot> slots;
  std::vector<ListSource> sources;
  std::vector<GstSegment> segments;
};

TEST(BatchTiming, FrameDurationsTruncateForQosAndRoundForInputs) {
  EXPECT_EQ(ovbatch::frame_duration(30000, 1001), GstClockTime(33366666));
  EXPECT_EQ(ovbatch::default_buffer_duration(30000, 1001), GstClockTime(33366667));
  EXPECT_EQ(ovbatch::frame_duration(0, 1), GstClockTime(0));
  EXPECT_EQ(ovbatch::default_buffer_duration(0, 1), GST_CLOCK_TIME_NONE);
  EXPECT_EQ(ovbatch::default_buffer_duration(30, 0), GST_CLOCK_TIME_NONE);
}

TEST(BatchTiming, SlotShowsExpiresRescalesAndOwnsItsBuffers) {
  PadSlot slot;
  GstBuffer *a = frame(0, 40 * kMs);
  gst_buffer_ref(a);  // a reference of our own to watch
  slot.show(a, 0, 40 * kMs);
  EXPECT_TRUE(slot.is_behind(30 * kMs));
  EXPECT_FALSE(slot.is_behind(40 * kMs));
  EXPECT_FALSE(slot.is_behind(GST_CLOCK_TIME_NONE));
  slot.expire(39 * kMs);  // still running
  EXPECT_EQ(slot.buffer, a);
  // Replacing the shown buffer lets the old one go.
  slot.show(frame(40 * kMs, 40 * kMs), 40 * kMs, 80 * kMs);
  EXPECT_EQ(GST_MINI_OBJECT_REFCOUNT_VALUE(a), 1);
  gst_buffer_unref(a);
  slot.rescale(1.0, 2.0);
  EXPECT_EQ(slot.start, 20 * kMs);
  EXPECT_EQ(slot.end, 40 * kMs);
  slot.expire(40 * kMs);
  EXPECT_EQ(slot.buffer, nullptr);
  EXPECT_EQ(slot.end, GST_CLOCK_TIME_NONE);
  EXPECT_FALSE(slot.is_behind(0));  // nothing shown, nothing is behind
}

TEST(BatchTiming, ClipDropsBuffersEndingBeforeTheShownOne) {
  PadSlot slot;
  GstSegment seg;
  gst_segment_init(&seg, GST_FORMAT_TIME);
  EXPECT_FALSE(ovbatch::clip_drops(slot, seg, 0, 10 * kMs));  // nothing shown yet
  slot.show(frame(0, 50 * kMs), 0, 50 * kMs);
  EXPECT_TRUE(ovbatch::clip_drops(slot, seg, 0, 40 * kMs));
  EXPECT_FALSE(ovbatch::clip_drops(slot, seg, 20 * kMs, 40 * kMs));
  EXPECT_FALSE(ovbatch::clip_drops(slot, seg, 0, GST_CLOCK_TIME_NONE));
  // The segment stop cuts the end first: 20..60 ms ends at 45 ms.
  seg.stop = 45 * kMs;
  EXPECT_TRUE(ovbatch::clip_drops(slot, seg, 20 * kMs, 40 * kMs));
}

TEST(BatchTiming, EachInputShowsTheBufferCoveringTheInterval) {
  Inputs in(2);
  for (int i = 0; i < 3; ++i) {
    in.sources[0].add(frame(i * 33 * kMs, 33 * kMs));
    in.sources[1].add(frame(i * 66 * kMs, 66 * kMs));
  }
  EXPECT_EQ(in.fill(0, 33 * kMs).fill, Fill::kReady);
  EXPECT_EQ(in.slots[0].end, 33 * kMs);
  EXPECT_EQ(in.slots[1].end, 66 * kMs);
  EXPECT_EQ(in.sources[0].left(), 2u);
  // The slower input keeps showing its frame; the faster one moves on.
  GstBuffer *slow = in.slots[1].buffer;
  EXPECT_EQ(in.fill(33 * kMs, 66 * kMs).fill, Fill::kReady);
  EXPECT_EQ(in.slots[0].start, 33 * kMs);
  EXPECT_EQ(in.slots[1].buffer, slow);
  EXPECT_EQ(in.sources[1].left(), 2u);
}

TEST(BatchTiming, OldBuffersAreDroppedAndFutureOnesKept) {
  Inputs in(1);
  in.sources[0].add(frame(0, 10 * kMs));
  in.sources[0].add(frame(200 * kMs, 33 * kMs));
  EXPECT_EQ(in.fill(33 * kMs, 66 * kMs).fill, Fill::kNeedData);  // 0..10 ms dropped
  EXPECT_EQ(in.sources[0].left(), 1u);
  // The next buffer starts after the interval: nothing to show, kept.
  EXPECT_EQ(in.fill(33 * kMs, 66 * kMs).fill, Fill::kNothing);
  EXPECT_EQ(in.sources[0].left(), 1u);
  EXPECT_EQ(in.slots[0].buffer, nullptr);
}

TEST(BatchTiming, ABufferEndingBeforeTheShownOneIsDropped) {
  Inputs in(1);
  in.slots[0].show(frame(0, 66 * kMs), 0, 66 * kMs);
  in.sources[0].add(frame(20 * kMs, 30 * kMs));
  EXPECT_EQ(in.fill(33 * kMs, 66 * kMs).fill, Fill::kNeedData);
  EXPECT_EQ(in.sources[0].left(), 0u);
  EXPECT_EQ(in.slots[0].end, 66 * kMs);
}

TEST(BatchTiming, BufferWithoutDurationLastsUntilItsSuccessor) {
  Inputs in(1);
  in.sources[0].add(frame(10 * kMs, GST_CLOCK_TIME_NONE));
  EXPECT_EQ(in.fill(0, 33 * kMs).fill, Fill::kNeedData);
  EXPECT_NE(in.slots[0].queued, nullptr);
  EXPECT_EQ(in.slots[0].buffer, nullptr);
  // A successor from before it is dropped.
  in.sources[0].add(frame(5 * kMs, GST_CLOCK_TIME_NONE));
  EXPECT_EQ(in.fill(0, 33 * kMs).fill, Fill::kNeedData);
  EXPECT_EQ(in.sources[0].left(), 0u);

  in.sources[0].add(frame(40 * kMs, GST_CLOCK_TIME_NONE));
  EXPECT_EQ(in.fill(0, 33 * kMs).fill, Fill::kReady);
  EXPECT_EQ(in.slots[0].start, 10 * kMs);
  EXPECT_EQ(in.slots[0].end, 40 * kMs);
  ASSERT_NE(in.slots[0].queued, nullptr);
  EXPECT_EQ(GST_BUFFER_PTS(in.slots[0].queued), 40 * kMs);
  // At the end of the stream the held buffer lasts one output interval.
  in.sources[0].end();
  EXPECT_EQ(in.fill(40 * kMs, 73 * kMs).fill, Fill::kReady);
  EXPECT_EQ(in.slots[0].start, 40 * kMs);
  EXPECT_EQ(in.slots[0].end, 73 * kMs);
  EXPECT_EQ(in.slots[0].queued, nullptr);
}

TEST(BatchTiming, InputSegmentStopCutsTheShownEnd) {
  Inputs in(1);
  in.segments[0].stop = 20 * kMs;
  in.sources[0].add(frame(0, 33 * kMs));
  EXPECT_EQ(in.fill(0, 33 * kMs).fill, Fill::kReady);
  EXPECT_EQ(in.slots[0].end, 20 * kMs);
  // Past the stop a buffer has no running time: dropped.
  in.sources[0].add(frame(30 * kMs, 33 * kMs));
  EXPECT_EQ(in.fill(20 * kMs, 53 * kMs).fill, Fill::kNeedData);
  EXPECT_EQ(in.sources[0].left(), 0u);
}

TEST(BatchTiming, EndOfStreamOnceEveryLastFrameWasShown) {
  Inputs in(2);
  // Off the output grid: each last frame straddles the interval's end.
  in.sources[0].add(frame(20 * kMs, 33 * kMs));
  in.sources[1].add(frame(25 * kMs, 33 * kMs));
  in.sources[0].end();
  in.sources[1].end();
  EXPECT_EQ(in.fill(0, 33 * kMs).fill, Fill::kReady);
  // Both still show a frame for 33..66 ms, but nothing new came: no repeat.
  EXPECT_EQ(in.fill(33 * kMs, 66 * kMs).fill, Fill::kEos);
  // While one input has not ended, the repeat is made.
  Inputs open(2);
  open.sources[0].add(frame(20 * kMs, 33 * kMs));
  open.sources[1].add(frame(25 * kMs, 33 * kMs));
  open.sources[0].end();
  EXPECT_EQ(open.fill(0, 33 * kMs).fill, Fill::kReady);
  EXPECT_EQ(open.fill(33 * kMs, 66 * kMs).fill, Fill::kReady);
  // Nothing shown and nothing queued anywhere: end of stream.
  Inputs empty(2);
  EXPECT_EQ(empty.fill(0, 33 * kMs).fill, Fill::kEos);
}

TEST(BatchTiming, UntimedBufferNamesItsInput) {
  Inputs in(3);
  in.sources[0].add(frame(0, 33 * kMs));
  in.sources[2].add(frame(GST_CLOCK_TIME_NONE, 33 * kMs, 1536));
  const ovbatch::FillResult r = in.fill(0, 33 * kMs);
  EXPECT_EQ(r.fill, Fill::kError);
  EXPECT_EQ(r.error_pad, 2);
  EXPECT_EQ(r.error_size, gsize(1536));
}

TEST(OutputTimeline, IntervalsFollowTheGridUpToTheStop) {
  ovbatch::OutputTimeline t;
  ovbatch::Interval iv = t.next(30, 1);
  EXPECT_EQ(iv.start, GstClockTime(0));
  EXPECT_EQ(iv.end, GstClockTime(33333333));
  EXPECT_EQ(iv.state, IntervalState::kOpen);
  t.advance(iv.end);
  iv = t.next(30, 1);
  EXPECT_EQ(iv.start, GstClockTime(33333333));
  EXPECT_EQ(iv.end, GstClockTime(66666667));

  ASSERT_TRUE(t.seek(1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_NONE, GST_SEEK_TYPE_SET, 0,
                     GST_SEEK_TYPE_SET, 50 * kMs));
  EXPECT_TRUE(t.segment_pending());
  iv = t.next(30, 1);
  EXPECT_EQ(iv.start, GstClockTime(0));  // counted from the start again
  t.advance(iv.end);
  iv = t.next(30, 1);
  EXPECT_EQ(iv.end, 50 * kMs);  // cut at the stop
  EXPECT_EQ(iv.state, IntervalState::kOpen);
  t.advance(iv.end);
  EXPECT_EQ(t.next(30, 1).state, IntervalState::kPastStop);
}

TEST(OutputTimeline, SegmentSeekEndsWithOneSegmentDone) {
  ovbatch::OutputTimeline t;
  ASSERT_TRUE(t.seek(1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_SEGMENT, GST_SEEK_TYPE_SET, 0,
                     GST_SEEK_TYPE_SET, 30 * kMs));
  t.advance(t.next(30, 1).end);
  EXPECT_EQ(t.next(30, 1).state, IntervalState::kPastSegmentStop);
  EXPECT_FALSE(t.mark_segment_done());
  EXPECT_TRUE(t.mark_segment_done());
  t.restart();  // a flush or the next seek
  EXPECT_FALSE(t.mark_segment_done());
}

TEST(OutputTimeline, SeekMovesStartAndRateAndRefusesReverse) {
  ovbatch::OutputTimeline t;
  t.advance(t.next(25, 1).end);
  t.segment_sent();
  EXPECT_FALSE(t.seek(-1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, GST_SEEK_TYPE_SET, 0,
                      GST_SEEK_TYPE_NONE, -1));
  EXPECT_FALSE(t.segment_pending());  // untouched
  EXPECT_EQ(t.segment().position, 40 * kMs);

  ASSERT_TRUE(t.seek(2.0, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, GST_SEEK_TYPE_SET,
                     gint64(GST_SECOND), GST_SEEK_TYPE_NONE, -1));
  EXPECT_DOUBLE_EQ(t.segment().rate, 2.0);
  ovbatch::Interval iv = t.next(25, 1);
  EXPECT_EQ(iv.start, GST_SECOND);
  EXPECT_EQ(iv.end, GST_SECOND + 40 * kMs);
  EXPECT_EQ(t.running_time(GST_SECOND + 40 * kMs), 20 * kMs);  // at rate 2
  t.advance(iv.end);
  EXPECT_EQ(t.stream_position(), GST_SECOND + 40 * kMs);
}

TEST(OutputTimeline, RebaseStartsTheGridAtThePosition) {
  ovbatch::OutputTimeline t;
  for (int i = 0; i < 3; ++i)
    t.advance(t.next(30, 1).end);
  t.rebase();
  const ovbatch::Interval iv = t.next(25, 1);
  EXPECT_EQ(iv.start, GstClockTime(100000000));
  EXPECT_EQ(iv.end, GstClockTime(140000000));
  // Without a position there is nothing to rebase on.
  ovbatch::OutputTimeline fresh;
  fresh.rebase();
  EXPECT_EQ(fresh.next(25, 1).end, 40 * kMs);
}

TEST(QosState, EarliestTimeFromDownstreamDecidesWhatIsMade) {
  ovbatch::QosState q;
  EXPECT_TRUE(q.worth_making(0));  // no observation yet
  // Late by 10 ms at 1 s: nothing before 1 s + 2 × 10 ms + one frame.
  q.observe(0.7, GstClockTimeDiff(10 * kMs), GST_SECOND, 40 * kMs);
  EXPECT_DOUBLE_EQ(q.proportion(), 0.7);
  EXPECT_EQ(q.earliest(), GST_SECOND + 60 * kMs);
  EXPECT_FALSE(q.worth_making(GST_SECOND + 60 * kMs));
  EXPECT_TRUE(q.worth_making(GST_SECOND + 60 * kMs + 1));
  EXPECT_TRUE(q.worth_making(GST_CLOCK_TIME_NONE));
  EXPECT_EQ(q.jitter(GST_SECOND), GstClockTimeDiff(60 * kMs));
  // Early: the earliest time is the time stamp plus the (negative) difference.
  q.observe(1.0, -GstClockTimeDiff(5 * kMs), GST_SECOND, 40 * kMs);
  EXPECT_EQ(q.earliest(), GST_SECOND - 5 * kMs);
  q.observe(1.0, 0, GST_CLOCK_TIME_NONE, 40 * kMs);
  EXPECT_EQ(q.earliest(), GST_CLOCK_TIME_NONE);

  q.count(true);
  q.count(false);
  q.count(false);
  q.observe(0.2, 0, GST_SECOND, 0);
  q.reset();
  EXPECT_DOUBLE_EQ(q.proportion(), 0.5);
  EXPECT_EQ(q.earliest(), GST_CLOCK_TIME_NONE);
  EXPECT_EQ(q.processed(), 1u);  // counters survive a reset of the observation
  EXPECT_EQ(q.dropped(), 2u);
  q.reset_counters();
  EXPECT_EQ(q.processed() + q.dropped(), 0u);
}

TEST(DurationFold, LongestUnlessOneIsUnknown) {
  ovbatch::DurationFold f;
  EXPECT_EQ(f.result(), -1);  // no input answered
  EXPECT_TRUE(f.add(5));
  EXPECT_TRUE(f.add(9));
  EXPECT_TRUE(f.add(7));
  EXPECT_EQ(f.result(), 9);
  EXPECT_FALSE(f.add(-1));
  EXPECT_EQ(f.result(), -1);
  f.restart();
  EXPECT_TRUE(f.add(3));
  EXPECT_EQ(f.result(), 3);
}

}  // namespace
