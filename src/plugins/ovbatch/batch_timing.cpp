#include "batch_timing.h"

#include <algorithm>

#define GST_CAT_DEFAULT ovbatch::debug_category()

namespace ovbatch {

GstDebugCategory *debug_category() {
  static GstDebugCategory *category = [] {
    GstDebugCategory *c = nullptr;
    GST_DEBUG_CATEGORY_INIT(c, "ovvideobatch", 0, "VideoRate stream fixer");
    return c;
  }();
  return category;
}

GstClockTime interval_end(GstClockTime segment_start, GstClockTime time_offset,
                          guint64 frame_count, int fps_n, int fps_d) {
  return segment_start + time_offset +
         gst_util_uint64_scale_round(frame_count + 1, GST_SECOND * guint64(fps_d),
                                     guint64(fps_n));
}

GstClockTime frame_duration(int fps_n, int fps_d) {
  if (fps_n <= 0)
    return 0;
  return gst_util_uint64_scale_int(GST_SECOND, fps_d, fps_n);
}

GstClockTime default_buffer_duration(int fps_n, int fps_d) {
  if (fps_n <= 0 || fps_d <= 0)
    return GST_CLOCK_TIME_NONE;
  return gst_util_uint64_scale_int_round(GST_SECOND, fps_d, fps_n);
}

/* ------------------------------------------------------------ pad slot --- */

namespace {

/* Drops the reference `*buf` holds, if any (GStreamer's own helper for this
 * came with 1.16; the board has 1.14). */
void clear_buffer(GstBuffer **buf) {
  if (*buf) {
    gst_buffer_unref(*buf);
    *buf = nullptr;
  }
}

}  // namespace

void PadSlot::clear() {
  clear_buffer(&queued);
  clear_buffer(&buffer);
  start = end = GST_CLOCK_TIME_NONE;
  fresh = false;
}

void PadSlot::show(GstBuffer *buf, GstClockTime start_rt, GstClockTime end_rt) {
  clear_buffer(&buffer);
  buffer = buf;
  start = start_rt;
  end = end_rt;
  fresh = true;
}

void PadSlot::expire(GstClockTime output_start) {
  if (buffer && GST_CLOCK_TIME_IS_VALID(end) && end <= output_start) {
    clear_buffer(&buffer);
    start = end = GST_CLOCK_TIME_NONE;
    fresh = false;
  }
}

bool PadSlot::is_behind(GstClockTime end_rt) const {
  return buffer && GST_CLOCK_TIME_IS_VALID(end_rt) && GST_CLOCK_TIME_IS_VALID(end) &&
         end_rt < end;
}

void PadSlot::rescale(double old_rate, double new_rate) {
  if (GST_CLOCK_TIME_IS_VALID(start))
    start = GstClockTime(start * old_rate / new_rate);
  if (GST_CLOCK_TIME_IS_VALID(end))
    end = GstClockTime(end * old_rate / new_rate);
}

bool clip_drops(const PadSlot &slot, const GstSegment &segment, GstClockTime pts,
                GstClockTime duration) {
  if (!GST_CLOCK_TIME_IS_VALID(duration))
    return false;
  GstClockTime end = pts + duration;
  if (GST_CLOCK_TIME_IS_VALID(segment.stop))
    end = std::min(end, GstClockTime(segment.stop));
  return slot.is_behind(gst_segment_to_running_time(&segment, GST_FORMAT_TIME, end));
}

/* ------------------------------------------------------------- filling --- */

namespace {

/* What one input did for the interval. */
struct PadStep {
  bool eos = true;       /* nothing left to show */
  bool ended = true;     /* end of stream received, nothing pending */
  bool took_new = false; /* a new buffer is shown */
  bool need_data = false;
  bool error = false;
  gsize error_size = 0;
};

PadStep fill_pad(const PadInput &in, GstClockTime output_start, GstClockTime output_end) {
  PadStep step;
  PadSlot &slot = *in.slot;
  const GstSegment *seg = in.segment;

  // A shown buffer that has run out is of no use any more.
  slot.expire(output_start);

  GstBuffer *peeked = in.source->peek();
  if (!peeked) {
    if (slot.queued) {
      // End of stream behind a buffer without duration: it lasts one
      // output frame.
      step.eos = false;
      GstBuffer *q = slot.queued;
      slot.queued = nullptr;
      slot.show(q, gst_segment_to_running_time(seg, GST_FORMAT_TIME, GST_BUFFER_PTS(q)),
                output_end);
      step.took_new = true;
      return step;
    }
    if (slot.buffer)
      step.eos = false;
    if (!in.source->ended())
      step.ended = false;
    return step;
  }
  step.eos = false;
  step.ended = false;

  // The peeked reference only answers questions; the buffer stays queued.
  GstBuffer *buf = peeked;
  const GstClockTime pts = GST_BUFFER_PTS(buf);
  const GstClockTime duration = GST_BUFFER_DURATION(buf);
  const gsize size = gst_buffer_get_size(buf);
  gst_buffer_unref(peeked);

  if (!GST_CLOCK_TIME_IS_VALID(pts)) {
    GST_ERROR("%s: Need timestamped buffers!", in.name);
    step.error = true;
    step.error_size = size;
    return step;
  }

  GstClockTime start_time = pts;
  GstClockTime end_time;
  bool from_queue = false;
  if (!GST_CLOCK_TIME_IS_VALID(duration)) {
    if (!slot.queued) {
      slot.queued = in.source->pop();
      step.need_data = true;
      return step;
    }
    if (start_time < GST_BUFFER_PTS(slot.queued)) {
      GST_WARNING("%s: Buffer from the past, dropping", in.name);
      gst_buffer_unref(in.source->pop());
      step.need_data = true;
      return step;
    }
    // The held buffer ends where its successor starts.
    end_time = start_time;
    start_time = GST_BUFFER_PTS(slot.queued);
    from_queue = true;
  } else {
    end_time = start_time + duration;
  }

  if (GST_CLOCK_TIME_IS_VALID(seg->stop))
    end_time = std::min(end_time, GstClockTime(seg->stop));
  const GstClockTime start_rt = gst_segment_to_running_time(seg, GST_FORMAT_TIME, start_time);
  const GstClockTime end_rt = gst_segment_to_running_time(seg, GST_FORMAT_TIME, end_time);

  auto drop = [&](const char *why) {
    GST_DEBUG("%s: %s", in.name, why);
    if (from_queue)
      clear_buffer(&slot.queued);
    else
      gst_buffer_unref(in.source->pop());
    step.need_data = true;
  };

  if (slot.is_behind(end_rt)) {
    drop("Buffer from the past, dropping");
    return step;
  }
  if (!GST_CLOCK_TIME_IS_VALID(start_rt) || !GST_CLOCK_TIME_IS_VALID(end_rt)) {
    drop("Buffer outside the segment");
    return step;
  }
  if (end_rt <= output_start) {
    drop("Too old buffer -- dropping");
    return step;
  }
  if (start_rt >= output_end) {
    GST_DEBUG("%s: Keeping buffer until %" GST_TIME_FORMAT, in.name, GST_TIME_ARGS(start_rt));
    return step;
  }

  GST_DEBUG("%s: Taking new buffer with start time %" GST_TIME_FORMAT, in.name,
            GST_TIME_ARGS(start_rt));
  if (from_queue) {
    GstBuffer *held = slot.queued;
    // Its successor now waits for its own end.
    slot.queued = in.source->pop();
    slot.show(held, start_rt, end_rt);
  } else {
    slot.show(in.source->pop(), start_rt, end_rt);
  }
  step.took_new = true;
  return step;
}

}  // namespace

FillResult fill_interval(const std::vector<PadInput> &pads, GstClockTime output_start,
                         GstClockTime output_end) {
  FillResult result;
  bool all_eos = true;
  bool need_more_data = false;
  // Once every input has ended, an interval in which no pad takes a new
  // buffer would only repeat frames already sent: a live input's last frame
  // usually straddles the end of the last interval (its time stamps do not
  // start on the output's grid), which made one batch more than came in.
  bool all_ended = true;
  bool took_new = false;

  for (size_t i = 0; i < pads.size(); ++i) {
    const PadStep step = fill_pad(pads[i], output_start, output_end);
    if (step.error) {
      result.fill = Fill::kError;
      result.error_pad = int(i);
      result.error_size = step.error_size;
      return result;
    }
    all_eos = all_eos && step.eos;
    all_ended = all_ended && step.ended;
    took_new = took_new || step.took_new;
    need_more_data = need_more_data || step.need_data;
  }

  if (all_eos) {
    result.fill = Fill::kEos;
  } else if (need_more_data) {
    GST_DEBUG("Need more data for decisions");
    result.fill = Fill::kNeedData;
  } else if (all_ended && !took_new) {
    GST_DEBUG("All sinkpads are EOS and their last frames were sent");
    result.fill = Fill::kEos;
  } else {
    result.fill = Fill::kNothing;
    for (const PadInput &p : pads)
      if (p.slot->buffer)
        result.fill = Fill::kReady;
  }
  return result;
}

/* ------------------------------------------------------------ timeline --- */

void OutputTimeline::reset() {
  init_segment();
  segment_.position = GST_CLOCK_TIME_NONE;
  time_offset_ = 0;
  frame_count_ = 0;
  segment_pending_ = true;
  segment_done_posted_ = false;
}

void OutputTimeline::init_segment() { gst_segment_init(&segment_, GST_FORMAT_TIME); }

void OutputTimeline::restart() {
  segment_pending_ = true;
  segment_done_posted_ = false;
  segment_.position = GST_CLOCK_TIME_NONE;
  time_offset_ = 0;
  frame_count_ = 0;
}

bool OutputTimeline::seek(gdouble rate, GstFormat format, GstSeekFlags flags,
                          GstSeekType start_type, gint64 start, GstSeekType stop_type,
                          gint64 stop) {
  if (rate <= 0.0)
    return false;
  gst_segment_do_seek(&segment_, rate, format, flags, start_type, start, stop_type, stop,
                      nullptr);
  restart();
  return true;
}

void OutputTimeline::rebase() {
  if (GST_CLOCK_TIME_IS_VALID(segment_.position)) {
    time_offset_ = segment_.position - segment_.start;
    frame_count_ = 0;
  }
}

Interval OutputTimeline::next(int fps_n, int fps_d) const {
  Interval iv;
  iv.start = GST_CLOCK_TIME_IS_VALID(segment_.position) ? segment_.position : segment_.start;
  iv.end = interval_end(segment_.start, time_offset_, frame_count_, fps_n, fps_d);
  // The frame that straddles the stop is still made, cut at the stop.
  if (GST_CLOCK_TIME_IS_VALID(segment_.stop)) {
    if (iv.start >= segment_.stop) {
      iv.state = (segment_.flags & GST_SEGMENT_FLAG_SEGMENT) ? IntervalState::kPastSegmentStop
                                                             : IntervalState::kPastStop;
      return iv;
    }
    iv.end = std::min(iv.end, GstClockTime(segment_.stop));
  }
  return iv;
}

void OutputTimeline::advance(GstClockTime end) {
  segment_.position = end;
  frame_count_++;
}

bool OutputTimeline::mark_segment_done() {
  const bool before = segment_done_posted_;
  segment_done_posted_ = true;
  return before;
}

GstClockTime OutputTimeline::running_time(GstClockTime t) const {
  return gst_segment_to_running_time(&segment_, GST_FORMAT_TIME, t);
}

GstClockTime OutputTimeline::stream_position() const {
  return gst_segment_to_stream_time(&segment_, GST_FORMAT_TIME, segment_.position);
}

/* ----------------------------------------------------------------- QoS --- */

void QosState::reset() {
  proportion_ = 0.5;
  earliest_ = GST_CLOCK_TIME_NONE;
}

void QosState::reset_counters() {
  processed_ = 0;
  dropped_ = 0;
}

void QosState::observe(gdouble proportion, GstClockTimeDiff diff, GstClockTime timestamp,
                       GstClockTime frame) {
  proportion_ = proportion;
  if (!GST_CLOCK_TIME_IS_VALID(timestamp))
    earliest_ = GST_CLOCK_TIME_NONE;
  else if (diff > 0)
    earliest_ = timestamp + 2 * diff + frame;
  else
    earliest_ = timestamp + diff;
}

bool QosState::worth_making(GstClockTime running) const {
  if (!GST_CLOCK_TIME_IS_VALID(earliest_)) {
    GST_LOG("no observation yet, process frame");
    return true;
  }
  if (!GST_CLOCK_TIME_IS_VALID(running)) {
    GST_LOG("invalid timestamp, can't do QoS, process frame");
    return true;
  }
  GST_LOG("qostime %" GST_TIME_FORMAT ", earliest %" GST_TIME_FORMAT, GST_TIME_ARGS(running),
          GST_TIME_ARGS(earliest_));
  if (running <= earliest_) {
    GST_DEBUG("we are late, drop frame");
    return false;
  }
  GST_LOG("process frame");
  return true;
}

void QosState::count(bool made) {
  if (made)
    processed_++;
  else
    dropped_++;
}

/* ------------------------------------------------------------ duration --- */

bool DurationFold::add(gint64 duration) {
  if (duration == -1) {
    max_ = -1;
    return false;
  }
  max_ = std::max(max_, duration);
  return true;
}

}  // namespace ovbatch
