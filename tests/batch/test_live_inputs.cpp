// The batch element's live-input decisions without a pipeline: rate estimate,
// deadline, stall watch, grid for inputs without a declared rate, and which
// frame a slot gives a batch.
#include <vector>

#include <gtest/gtest.h>

#include "batch_timing.h"
#include "live_inputs.h"
#include "ov_test.h"

namespace {

using namespace ovbatch;

constexpr GstClockTime kMs = GST_MSECOND;
constexpr GstClockTime k15 = 66666667;  // one frame at 15 fps, rounded
constexpr GstClockTime k30 = 33333333;

TEST(RateEstimate, NeedsThreeStepsThenTakesTheMedian) {
  RateEstimate r;
  EXPECT_FALSE(GST_CLOCK_TIME_IS_VALID(r.interval()));
  r.add(0);
  r.add(k15);
  r.add(2 * k15);
  EXPECT_FALSE(GST_CLOCK_TIME_IS_VALID(r.interval()));
  r.add(3 * k15);
  EXPECT_EQ(r.interval(), k15);
  // One late frame and the one right behind it do not move it.
  r.add(5 * k15 + 40 * kMs);
  r.add(5 * k15 + 41 * kMs);
  r.add(6 * k15);
  EXPECT_EQ(r.interval(), k15);
}

TEST(RateEstimate, IgnoresStepsBackAndGapsAndForgetsOnReset) {
  RateEstimate r;
  for (int i = 0; i < 4; ++i)
    r.add(GstClockTime(i) * k30);
  r.add(GST_CLOCK_TIME_NONE);
  r.add(k30);                         // back in time: no step
  r.add(k30 + 10 * GST_SECOND);       // a stall: no step
  r.add(k30 + 10 * GST_SECOND + k30); // the rate again
  EXPECT_EQ(r.interval(), k30);
  r.reset();
  EXPECT_FALSE(GST_CLOCK_TIME_IS_VALID(r.interval()));
  // Steps of a new rate after the reset only.
  for (int i = 0; i < 4; ++i)
    r.add(GstClockTime(i) * 100 * kMs);
  EXPECT_EQ(r.interval(), 100 * kMs);
}

TEST(LiveDeadline, ThreeIntervalsOfTheSlowestInputWithinBounds) {
  EXPECT_EQ(live_deadline(0, {k30, k15}), 3 * k15);
  EXPECT_EQ(live_deadline(0, {k15, GST_CLOCK_TIME_NONE}), 3 * k15);
  // 120 fps would give 25 ms: the floor holds.
  EXPECT_EQ(live_deadline(0, {8333333}), 40 * kMs);
  // No rate known yet.
  EXPECT_EQ(live_deadline(0, {}), GST_SECOND);
  EXPECT_EQ(live_deadline(0, {GST_CLOCK_TIME_NONE, 0}), GST_SECOND);
  // Set by the user: taken as it is, below the floor too.
  EXPECT_EQ(live_deadline(10 * kMs, {k15}), 10 * kMs);
}

TEST(LiveInput, StallsOncePastTheDeadlineAndComesBack) {
  LiveInput in;
  in.watch_from(0);
  EXPECT_TRUE(!in.arrive(1000));  // first frame at 1 ms
  const GstClockTime deadline = 200 * kMs;
  EXPECT_FALSE(in.check_stall(201000, deadline));  // exactly at the deadline
  EXPECT_TRUE(in.check_stall(201001, deadline));
  EXPECT_TRUE(in.stalled());
  EXPECT_FALSE(in.check_stall(900000, deadline));  // once per stall
  EXPECT_EQ(in.silent_for_us(901000), 900000);
  EXPECT_TRUE(in.arrive(5001000));
  EXPECT_EQ(in.stalled_for_us(), 5000000);
  EXPECT_FALSE(in.stalled());
  EXPECT_FALSE(in.arrive(5034000));
  EXPECT_TRUE(in.check_stall(5234001, deadline));
}

TEST(LiveInput, TimeTheElementWasBusyIsNotSilence) {
  LiveInput in;
  in.watch_from(0);
  in.arrive(1000);
  // The batch was pushed for a second: the input could not deliver.
  in.busy_until(1001000);
  EXPECT_FALSE(in.check_stall(1150000, 200 * kMs));
  EXPECT_TRUE(in.check_stall(1201001, 200 * kMs));
  // A stalled input stays stalled, and its silence keeps counting.
  in.busy_until(3000000);
  EXPECT_TRUE(in.stalled());
  EXPECT_EQ(in.silent_for_us(3000000), 1999000);
  in.busy_until(0);  // never back in time
  EXPECT_TRUE(in.arrive(3500000));
  in.busy_until(3400000);
  EXPECT_EQ(in.silent_for_us(3600000), 100000);
}

TEST(LiveInput, AnInputWithoutAFrameYetHasFiveSeconds) {
  LiveInput in;
  in.watch_from(1000000);
  EXPECT_FALSE(in.started());
  EXPECT_FALSE(in.check_stall(1000000 + 4900000, 200 * kMs));
  EXPECT_TRUE(in.check_stall(1000000 + 5000001, 200 * kMs));
  // A reset input is new again: the grace applies once more.
  in.reset();
  in.watch_from(0);
  EXPECT_FALSE(in.stalled());
  EXPECT_FALSE(in.check_stall(4000000, 200 * kMs));
  // Restarting the watch does not end a stall: only a frame does.
  EXPECT_TRUE(in.check_stall(5000001, 200 * kMs));
  in.watch_from(6000000);
  EXPECT_TRUE(in.stalled());
}

TEST(VariableGrid, TwiceTheFastestRateInWholeFrames) {
  EXPECT_EQ(variable_grid_rate({}), 0);
  EXPECT_EQ(variable_grid_rate({GST_CLOCK_TIME_NONE}), 0);
  EXPECT_EQ(variable_grid_rate({k15}), 30);
  EXPECT_EQ(variable_grid_rate({k15, k30, GST_CLOCK_TIME_NONE}), 60);
  EXPECT_EQ(variable_grid_rate({33366667}), 60);  // 29.97 fps
  EXPECT_EQ(variable_grid_rate({40 * kMs}), 50);
  EXPECT_EQ(variable_grid_rate({45 * kMs}), 46);  // 22.2 fps: 23 whole
  EXPECT_EQ(variable_grid_rate({GST_MSECOND}), 240);
  EXPECT_EQ(variable_grid_rate({10 * GST_SECOND}), 2);
}

TEST(PadSlot, AFrameWithoutDeclaredRateGoesToOneBatch) {
  PadSlot slot;
  EXPECT_EQ(slot.for_batch(true), nullptr);
  slot.show(gst_buffer_new(), 0, 10);
  GstBuffer *shown = slot.buffer;
  EXPECT_EQ(slot.for_batch(true), shown);
  slot.fresh = false;  // sent
  EXPECT_EQ(slot.for_batch(true), nullptr);
  EXPECT_EQ(slot.for_batch(false), shown);  // a declared rate repeats it
  slot.show(gst_buffer_new(), 10, 20);
  EXPECT_NE(slot.for_batch(true), nullptr);
  slot.expire(20);
  EXPECT_FALSE(slot.fresh);
  EXPECT_EQ(slot.for_batch(false), nullptr);
  slot.show(gst_buffer_new(), 20, 30);
  slot.clear();
  EXPECT_FALSE(slot.fresh);
}

}  // namespace
