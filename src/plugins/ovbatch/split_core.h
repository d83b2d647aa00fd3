/* Which frame of each batch the split element shows next, and its times. */
#ifndef OV_SPLIT_CORE_H
#define OV_SPLIT_CORE_H

#include <gst/gst.h>

namespace ovbatch {

struct SliceTiming {
  GstClockTime pts = GST_CLOCK_TIME_NONE;
  GstClockTime duration = GST_CLOCK_TIME_NONE;
};

/* Round-robin over the frames of successive batches. */
class SliceCursor {
 public:
  int slice_count() const { return slice_count_; }
  int slice_index() const { return slice_index_; }
  GstClockTime last_pts() const { return last_pts_; }

  /* Records a batch of `frames` frames; true when the count changed.  A batch
   * without frames counts as one (shown unchanged). */
  bool set_frame_count(int frames) {
    const int n = frames < 1 ? 1 : frames;
    if (n == slice_count_)
      return false;
    slice_count_ = n;
    return true;
  }

  /* The frame to cut from this batch; moves on to the next one.  After the
   * batch shrank below the index the round starts again at frame 0. */
  int take() {
    if (slice_index_ >= slice_count_)
      slice_index_ = 0;
    const int k = slice_index_;
    slice_index_ = (slice_index_ + 1) % slice_count_;
    return k;
  }

  /* Times of the next slice: each lasts 1 s / (frames × fps), back to back
   * from the first one's end.  Without a positive framerate the input's own
   * times are shared out instead. */
  SliceTiming next_timing(int fps_n, int fps_d, GstClockTime in_pts, GstClockTime in_duration) {
    SliceTiming t;
    const guint64 per_second =
        fps_d > 0 && fps_n > 0 ? guint64(slice_count_) * guint64(fps_n) / guint64(fps_d) : 0;
    if (per_second == 0) {
      t.pts = in_pts;
      t.duration = GST_CLOCK_TIME_IS_VALID(in_duration) ? in_duration / slice_count_
                                                        : GST_CLOCK_TIME_NONE;
      return t;
    }
    t.duration = gst_util_uint64_scale(GST_SECOND, 1, per_second);
    last_pts_ += t.duration;
    t.pts = last_pts_;
    return t;
  }

 private:
  int slice_count_ = 1;
  int slice_index_ = 0;
  GstClockTime last_pts_ = 0;
};

}  // namespace ovbatch

#endif /* OV_SPLIT_CORE_H */
