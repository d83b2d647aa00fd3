#include "live_inputs.h"

#include <algorithm>
#include <cmath>

namespace ovbatch {

namespace {

/* Steps longer than this are gaps, not the input's rate. */
constexpr GstClockTime kLongestStep = 2 * GST_SECOND;
/* The grid stops here: inputs faster than half of it share intervals. */
constexpr int kMaxGridRate = 240;

}  // namespace

void RateEstimate::add(GstClockTime pts) {
  if (!GST_CLOCK_TIME_IS_VALID(pts))
    return;
  if (GST_CLOCK_TIME_IS_VALID(last_) && pts > last_ && pts - last_ <= kLongestStep) {
    steps_[next_] = pts - last_;
    next_ = (next_ + 1) % kSteps;
    count_ = std::min(count_ + 1, kSteps);
  }
  last_ = pts;
}

void RateEstimate::reset() {
  count_ = next_ = 0;
  last_ = GST_CLOCK_TIME_NONE;
}

GstClockTime RateEstimate::interval() const {
  if (count_ < 3)
    return GST_CLOCK_TIME_NONE;
  std::array<GstClockTime, kSteps> sorted = steps_;
  std::nth_element(sorted.begin(), sorted.begin() + count_ / 2, sorted.begin() + count_);
  return sorted[count_ / 2];
}

GstClockTime live_deadline(GstClockTime configured, const std::vector<GstClockTime> &intervals) {
  if (configured != 0 && GST_CLOCK_TIME_IS_VALID(configured))
    return configured;
  GstClockTime slowest = GST_CLOCK_TIME_NONE;
  for (GstClockTime i : intervals)
    if (GST_CLOCK_TIME_IS_VALID(i) && i > 0 && (!GST_CLOCK_TIME_IS_VALID(slowest) || i > slowest))
      slowest = i;
  if (!GST_CLOCK_TIME_IS_VALID(slowest))
    return kUnknownRateDeadline;
  return std::max(kDeadlineFrames * slowest, kMinDeadline);
}

void LiveInput::watch_from(int64_t now_us) { last_us_ = now_us; }

void LiveInput::reset() {
  stalled_ = started_ = false;
  stall_length_us_ = 0;
  last_us_ = 0;
  rate.reset();
}

bool LiveInput::arrive(int64_t now_us) {
  const bool was_stalled = stalled_;
  if (was_stalled)
    stall_length_us_ = now_us - last_us_;
  stalled_ = false;
  started_ = true;
  last_us_ = now_us;
  return was_stalled;
}

void LiveInput::busy_until(int64_t now_us) {
  if (!stalled_ && now_us > last_us_)
    last_us_ = now_us;
}

bool LiveInput::check_stall(int64_t now_us, GstClockTime deadline) {
  if (stalled_)
    return false;
  if (!started_)
    deadline = std::max(deadline, kFirstFrameGrace);
  if (now_us - last_us_ <= int64_t(deadline / GST_USECOND))
    return false;
  stalled_ = true;
  return true;
}

int variable_grid_rate(const std::vector<GstClockTime> &intervals) {
  GstClockTime fastest = GST_CLOCK_TIME_NONE;
  for (GstClockTime i : intervals)
    if (GST_CLOCK_TIME_IS_VALID(i) && i > 0 && (!GST_CLOCK_TIME_IS_VALID(fastest) || i < fastest))
      fastest = i;
  if (!GST_CLOCK_TIME_IS_VALID(fastest))
    return 0;
  // A hair under a whole rate (33.34 ms for 30 fps) still counts as it.
  const double rate = double(GST_SECOND) / double(fastest);
  const int whole = int(std::ceil(rate - 0.05));
  return std::min(2 * std::max(whole, 1), kMaxGridRate);
}

}  // namespace ovbatch
