/* Live inputs of the batch element, without the element: how fast an input
 * really sends (when its caps do not say), when it counts as stalled and
 * when as back, how long the batch waits for a late input, and the interval
 * grid for inputs of no declared rate.
 *
 * Nothing here locks: the element holds its `lock` around every LiveInput
 * and passes the times in (microseconds of the monotonic clock). */
#ifndef OV_BATCH_LIVE_INPUTS_H
#define OV_BATCH_LIVE_INPUTS_H

#include <array>
#include <cstdint>
#include <vector>

#include <gst/gst.h>

namespace ovbatch {

/* An input's frame interval from its buffers' time stamps: the median of the
 * last few steps between them, so that a late or doubled frame does not move
 * it.  Steps that go back or that are longer than two seconds (a stall, a new
 * segment) are ignored. */
class RateEstimate {
 public:
  void add(GstClockTime pts);
  void reset();
  /* GST_CLOCK_TIME_NONE until three steps were seen. */
  GstClockTime interval() const;

 private:
  static constexpr size_t kSteps = 9;
  std::array<GstClockTime, kSteps> steps_{};
  size_t count_ = 0; /* steps stored, at most kSteps */
  size_t next_ = 0;
  GstClockTime last_ = GST_CLOCK_TIME_NONE;
};

/* Bounds of the waiting time derived from the inputs' rates. */
constexpr GstClockTime kDeadlineFrames = 3;
constexpr GstClockTime kMinDeadline = 40 * GST_MSECOND;
/* Before any input's rate is known. */
constexpr GstClockTime kUnknownRateDeadline = GST_SECOND;
/* How long an input that never sent a frame is waited for (a camera takes a
 * moment to connect) before it counts as stalled. */
constexpr GstClockTime kFirstFrameGrace = 5 * GST_SECOND;

/* How long the batch waits for a late live input: `configured` when not 0,
 * else three frame intervals of the slowest input (`intervals`, NONE for an
 * input whose rate is not known yet), at least 40 ms; one second while no
 * input's rate is known. */
GstClockTime live_deadline(GstClockTime configured, const std::vector<GstClockTime> &intervals);

/* One live input as the stall watch sees it. */
class LiveInput {
 public:
  /* Starts watching at `now_us` (the element starts playing, the pad is
   * added while playing): an input that never sends stalls like one that
   * stopped. */
  void watch_from(int64_t now_us);
  /* Back to a new input: never sent, not stalled, no rate. */
  void reset();
  /* A buffer came in at `now_us`.  Returns true when the input was stalled:
   * it is back, after stalled_for_us(). */
  bool arrive(int64_t now_us);
  /* The element could not take frames until `now_us` (it was making or
   * pushing a batch): silence counts from there.  No effect on a stalled
   * input. */
  void busy_until(int64_t now_us);
  /* Whether the input has just stalled: nothing came for longer than
   * `deadline` (kFirstFrameGrace at least before its first frame) up to
   * `now_us`.  True once per stall. */
  bool check_stall(int64_t now_us, GstClockTime deadline);

  bool stalled() const { return stalled_; }
  bool started() const { return started_; }
  /* Time without a buffer, up to `now_us`. */
  int64_t silent_for_us(int64_t now_us) const { return now_us - last_us_; }
  /* How long the stall that just ended lasted. */
  int64_t stalled_for_us() const { return stall_length_us_; }

  RateEstimate rate;

 private:
  int64_t last_us_ = 0;
  bool stalled_ = false;
  bool started_ = false;
  int64_t stall_length_us_ = 0;
};

/* The interval grid for inputs without a declared rate: twice the highest
 * estimated input rate, rounded up to whole frames per second, so that no
 * two frames of one input land in one interval; 0 while no rate is known.
 * `intervals` as for live_deadline(). */
int variable_grid_rate(const std::vector<GstClockTime> &intervals);

}  // namespace ovbatch

#endif /* OV_BATCH_LIVE_INPUTS_H */
