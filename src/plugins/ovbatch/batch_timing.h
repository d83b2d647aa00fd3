/* Output timing of the batch element, without the element: the intervals the
 * output is cut into, which buffer each input shows for an interval, the
 * output segment (seeks, flushes, the segment stop) and quality of service.
 *
 * Nothing here locks: the element holds its `lock` around the timeline and
 * the pad slots, and the object lock around the QoS state. */
#ifndef OV_BATCH_TIMING_H
#define OV_BATCH_TIMING_H

#include <vector>

#include <gst/gst.h>

namespace ovbatch {

/* The "ovvideobatch" debug category, shared by the element and its cores. */
GstDebugCategory *debug_category();

/* End of output frame `frame_count` (0-based) of a stream that started at
 * `segment_start` + `time_offset`: rounded, in nanoseconds. */
GstClockTime interval_end(GstClockTime segment_start, GstClockTime time_offset,
                          guint64 frame_count, int fps_n, int fps_d);

/* One frame at fps_n/fps_d, truncated; 0 without a positive rate. */
GstClockTime frame_duration(int fps_n, int fps_d);

/* The duration given to an input buffer that has none: one frame at the
 * input's rate, rounded; GST_CLOCK_TIME_NONE without a positive rate. */
GstClockTime default_buffer_duration(int fps_n, int fps_d);

/* What one input shows: the buffer for the current interval with its running
 * times, and a buffer without duration held back until its successor gives
 * it an end.  Owns both references. */
struct PadSlot {
  GstBuffer *queued = nullptr;
  GstBuffer *buffer = nullptr;
  GstClockTime start = GST_CLOCK_TIME_NONE; /* running time of `buffer` */
  GstClockTime end = GST_CLOCK_TIME_NONE;
  /* `buffer` has not been in a batch yet. */
  bool fresh = false;

  PadSlot() = default;
  ~PadSlot() { clear(); }
  PadSlot(const PadSlot &) = delete;
  PadSlot &operator=(const PadSlot &) = delete;

  void clear();
  /* Shows `buf` (taken over) for [start, end) in place of the current one. */
  void show(GstBuffer *buf, GstClockTime start_rt, GstClockTime end_rt);
  /* Lets the shown buffer go once it ended at or before `output_start`. */
  void expire(GstClockTime output_start);
  /* Whether a buffer ending at running time `end_rt` ends before the shown
   * one: it comes from the past and is of no use. */
  bool is_behind(GstClockTime end_rt) const;
  /* Running times scaled for a seek from `old_rate` to `new_rate` without a
   * flush. */
  void rescale(double old_rate, double new_rate);
  /* What the slot gives the next batch: its buffer, except one already sent
   * when the input has no declared rate (`variable`): such an input's frame
   * goes to inference once, however many intervals it spans. */
  GstBuffer *for_batch(bool variable) const { return (fresh || !variable) ? buffer : nullptr; }
};

/* Whether the clip step drops an input buffer at `pts` lasting `duration`
 * (segment stop applied): one ending before what `slot` shows. */
bool clip_drops(const PadSlot &slot, const GstSegment &segment, GstClockTime pts,
                GstClockTime duration);

/* Where an input's buffers come from: the collect pads in the element, a
 * list in the tests.  peek() and pop() return new references or nullptr. */
class BufferSource {
 public:
  virtual ~BufferSource() = default;
  virtual GstBuffer *peek() = 0;
  virtual GstBuffer *pop() = 0;
  virtual bool ended() const = 0; /* end of stream received */
};

/* One input as the interval filler sees it. */
struct PadInput {
  const char *name = "";
  PadSlot *slot = nullptr;
  const GstSegment *segment = nullptr; /* the input's own segment */
  BufferSource *source = nullptr;
};

/* kNothing: no input has a frame for the interval (live inputs that started
 * after it, or that all stalled); a batch would hold no frame at all. */
enum class Fill { kReady, kNeedData, kEos, kNothing, kError };

struct FillResult {
  Fill fill = Fill::kReady;
  int error_pad = -1;  /* kError: the input whose buffer has no time stamp */
  gsize error_size = 0; /* and that buffer's size */
};

/* Picks, for every input, the buffer that covers [output_start, output_end)
 * (running times of the output segment), dropping what is too old. */
FillResult fill_interval(const std::vector<PadInput> &pads, GstClockTime output_start,
                         GstClockTime output_end);

/* Where an output interval stands against the segment stop. */
enum class IntervalState {
  kOpen,            /* make it (its end is cut at the stop) */
  kPastStop,        /* ordinary segment: the stream is done */
  kPastSegmentStop, /* segment seek: segment-done, then nothing until the next seek */
};

struct Interval {
  GstClockTime start = GST_CLOCK_TIME_NONE; /* stream times of the output segment */
  GstClockTime end = GST_CLOCK_TIME_NONE;
  IntervalState state = IntervalState::kOpen;
};

/* The output segment and the frame grid laid on it. */
class OutputTimeline {
 public:
  OutputTimeline() { reset(); }

  /* A fresh stream: segment at 0 with no position, first frame next, a
   * segment event to send. */
  void reset();
  /* Going to paused: a fresh segment (at position 0), nothing else. */
  void init_segment();
  /* After a flush or a seek: the segment's values kept, frames counted from
   * its start again, a segment event to send. */
  void restart();
  /* A seek on the output; false (and nothing changed) for a rate that is not
   * positive. */
  bool seek(gdouble rate, GstFormat format, GstSeekFlags flags, GstSeekType start_type,
            gint64 start, GstSeekType stop_type, gint64 stop);
  /* The output framerate changed: the grid starts again at the position. */
  void rebase();

  /* The next interval at fps_n/fps_d (both positive). */
  Interval next(int fps_n, int fps_d) const;
  /* The interval ending at `end` is done (made, dropped or skipped). */
  void advance(GstClockTime end);

  /* Whether segment-done was already posted for this segment; marks it
   * posted. */
  bool mark_segment_done();
  bool segment_pending() const { return segment_pending_; }
  void segment_sent() { segment_pending_ = false; }

  const GstSegment &segment() const { return segment_; }
  GstClockTime running_time(GstClockTime t) const;
  /* Stream time of the output position (the position query). */
  GstClockTime stream_position() const;

 private:
  GstSegment segment_;
  GstClockTime time_offset_ = 0;
  guint64 frame_count_ = 0;
  bool segment_pending_ = true;
  bool segment_done_posted_ = false;
};

/* Downstream's last word on lateness, and what was made and dropped. */
class QosState {
 public:
  QosState() { reset(); }

  /* Before any observation: proportion 0.5, no earliest time. */
  void reset();
  void reset_counters();
  /* A QoS event: `diff` late (positive) or early at `timestamp`; one frame
   * lasts `frame` (0 when unknown). */
  void observe(gdouble proportion, GstClockTimeDiff diff, GstClockTime timestamp,
               GstClockTime frame);
  /* Whether a frame starting at running time `running` is still worth
   * making. */
  bool worth_making(GstClockTime running) const;
  void count(bool made);

  gdouble proportion() const { return proportion_; }
  GstClockTime earliest() const { return earliest_; }
  GstClockTimeDiff jitter(GstClockTime running) const { return GST_CLOCK_DIFF(running, earliest_); }
  guint64 processed() const { return processed_; }
  guint64 dropped() const { return dropped_; }

 private:
  gdouble proportion_ = 0.5;
  GstClockTime earliest_ = GST_CLOCK_TIME_NONE;
  guint64 processed_ = 0;
  guint64 dropped_ = 0;
};

/* Folds the inputs' durations into the output's: the longest, or unknown
 * (-1) as soon as one input's is unknown. */
class DurationFold {
 public:
  /* false once the answer is final (an unknown duration was met). */
  bool add(gint64 duration);
  void restart() { max_ = -1; }
  gint64 result() const { return max_; }

 private:
  gint64 max_ = -1;
};

}  // namespace ovbatch

#endif /* OV_BATCH_TIMING_H */
