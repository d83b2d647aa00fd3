// Plain decisions of the batch and split elements: layout, output interval,
// output format choice, slice round-robin and its time stamps.
#include <gtest/gtest.h>

#include "batch_caps.h"
#include "batch_layout.h"
#include "batch_timing.h"
#include "split_core.h"

namespace {

using ovbatch::FormatVote;
using ovbatch::PadGeometry;

TEST(BatchLayout, StacksFramesAndTakesTheWidest) {
  const ovbatch::Layout l =
      ovbatch::compute_layout({{640, 480, 30, 1}, {320, 240, 15, 1}, {800, 100, 0, 1}});
  EXPECT_EQ(l.y_offsets, (std::vector<int>{0, 480, 720}));
  EXPECT_EQ(l.width, 800);
  EXPECT_EQ(l.height, 820);
  EXPECT_EQ(l.fps_n, 30);
  EXPECT_EQ(l.fps_d, 1);
}

TEST(BatchLayout, FramerateFallsBackAndUnnegotiatedPadsTakeNoRows) {
  const ovbatch::Layout l = ovbatch::compute_layout({{0, 0, 0, 1}, {64, 48, 0, 1}});
  EXPECT_EQ(l.y_offsets, (std::vector<int>{0, 0}));
  EXPECT_EQ(l.height, 48);
  EXPECT_EQ(l.fps_n, 25);
  EXPECT_EQ(l.fps_d, 1);
  EXPECT_FALSE(ovbatch::compute_layout({{0, 0, 30, 1}}).valid());
  EXPECT_FALSE(ovbatch::compute_layout({}).valid());
  // The fastest rate wins as a value, not by numerator.
  const ovbatch::Layout r = ovbatch::compute_layout({{8, 8, 30000, 1001}, {8, 8, 30, 1}});
  EXPECT_EQ(r.fps_n, 30);
}

TEST(BatchLayout, IntervalEndIsRoundedAndOffset) {
  EXPECT_EQ(ovbatch::interval_end(0, 0, 0, 30, 1), GstClockTime(33333333));
  EXPECT_EQ(ovbatch::interval_end(0, 0, 1, 30, 1), GstClockTime(66666667));
  EXPECT_EQ(ovbatch::interval_end(GST_SECOND, 500, 24, 25, 1), 2 * GST_SECOND + 500);
  EXPECT_EQ(ovbatch::interval_end(0, 0, 0, 30000, 1001), GstClockTime(33366667));
}

FormatVote vote(GstVideoFormat f, bool accepted = true) {
  FormatVote v;
  v.format = f;
  v.has_alpha = GST_VIDEO_FORMAT_INFO_HAS_ALPHA(gst_video_format_get_info(f));
  v.accepted = accepted;
  return v;
}

TEST(BatchLayout, DeviceIndicesAreRebasedOntoTheMergedList) {
  struct Case {
    uint32_t idx;
    size_t input_devices, merged_before;
    uint32_t expected;
  } cases[] = {
      {0, 1, 0, 0},          {0, 1, 3, 3},          {1, 2, 2, 3},
      {1, 1, 2, UINT32_MAX}, {7, 1, 0, UINT32_MAX}, {UINT32_MAX, 4, 1, UINT32_MAX},
      {0, 0, 5, UINT32_MAX},
  };
  for (const auto &c : cases)
    EXPECT_EQ(ovbatch::rebase_device_index(c.idx, c.input_devices, c.merged_before), c.expected)
        << c.idx << " " << c.input_devices << " " << c.merged_before;
}

TEST(BatchFormat, ChoiceRules) {
  const struct {
    const char *what;
    std::vector<FormatVote> votes;
    GstVideoFormat want;
    int winner;
    bool alpha;
  } cases[] = {
      {"majority", {vote(GST_VIDEO_FORMAT_I420), vote(GST_VIDEO_FORMAT_BGR), vote(GST_VIDEO_FORMAT_BGR)},
       GST_VIDEO_FORMAT_BGR, 1, false},
      {"tie goes to the first", {vote(GST_VIDEO_FORMAT_I420), vote(GST_VIDEO_FORMAT_BGR)},
       GST_VIDEO_FORMAT_I420, 0, false},
      {"alpha wins at once",
       {vote(GST_VIDEO_FORMAT_BGR), vote(GST_VIDEO_FORMAT_BGR), vote(GST_VIDEO_FORMAT_BGRA)},
       GST_VIDEO_FORMAT_BGRA, 2, true},
      {"then only alpha counts",
       {vote(GST_VIDEO_FORMAT_ARGB), vote(GST_VIDEO_FORMAT_BGR), vote(GST_VIDEO_FORMAT_RGBA),
        vote(GST_VIDEO_FORMAT_RGBA)},
       GST_VIDEO_FORMAT_RGBA, 2, true},
      {"refused formats do not count",
       {vote(GST_VIDEO_FORMAT_I420, false), vote(GST_VIDEO_FORMAT_BGR)}, GST_VIDEO_FORMAT_BGR, 1,
       false},
      {"nothing qualifies", {vote(GST_VIDEO_FORMAT_ARGB, false), FormatVote{}},
       GST_VIDEO_FORMAT_UNKNOWN, -1, true},
  };
  for (const auto &c : cases) {
    const ovbatch::FormatChoice got = ovbatch::choose_output_format(c.votes);
    EXPECT_EQ(got.format, c.want) << c.what;
    EXPECT_EQ(got.winner, c.winner) << c.what;
    EXPECT_EQ(got.any_alpha_input, c.alpha) << c.what;
  }
}

TEST(SliceCursor, RoundRobinRestartsWhenTheBatchShrinks) {
  ovbatch::SliceCursor cur;
  EXPECT_FALSE(cur.set_frame_count(1));
  EXPECT_TRUE(cur.set_frame_count(3));
  std::vector<int> seen;
  for (int i = 0; i < 5; ++i)
    seen.push_back(cur.take());
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 0, 1}));
  // Next would be 2, which a 2-frame batch lacks: start again at 0.
  EXPECT_TRUE(cur.set_frame_count(2));
  EXPECT_EQ(cur.take(), 0);
  EXPECT_EQ(cur.take(), 1);
  // No frames counts as one.
  EXPECT_TRUE(cur.set_frame_count(0));
  EXPECT_EQ(cur.slice_count(), 1);
}

TEST(SliceCursor, TimesAdvanceByOneSlice) {
  ovbatch::SliceCursor cur;
  cur.set_frame_count(3);
  for (guint64 i = 1; i <= 4; ++i) {
    const ovbatch::SliceTiming t = cur.next_timing(30, 1, 0, GST_CLOCK_TIME_NONE);
    EXPECT_EQ(t.duration, GstClockTime(11111111));
    EXPECT_EQ(t.pts, i * 11111111);
  }
  // 30000/1001 with 2 frames: 59 slices a second (integer division).
  ovbatch::SliceCursor ntsc;
  ntsc.set_frame_count(2);
  EXPECT_EQ(ntsc.next_timing(30000, 1001, 0, 0).duration, GST_SECOND / 59);
}

TEST(SliceCursor, NoFramerateSharesTheInputTimes) {
  ovbatch::SliceCursor cur;
  cur.set_frame_count(4);
  const ovbatch::SliceTiming t = cur.next_timing(0, 1, 5 * GST_SECOND, 400 * GST_MSECOND);
  EXPECT_EQ(t.pts, 5 * GST_SECOND);
  EXPECT_EQ(t.duration, 100 * GST_MSECOND);
  EXPECT_EQ(cur.last_pts(), GstClockTime(0));
}

}  // namespace
