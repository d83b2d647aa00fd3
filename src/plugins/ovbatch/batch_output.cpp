/* ovvideobatch's streaming thread: for each output interval, picks each
 * input's frame (batch_timing), decides on lateness, stacks the frames into
 * one batch image with the inputs' records merged, and pushes it; or a gap,
 * segment-done or end of stream instead. */
#include "batch_element.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "batch_layout.h"
#include "gstovmeta.h"
#include "gstovmeta_utils.h"
#include "ov_element.h"
#include "ov_gst_ptr.h"

namespace {

bool push_stream_start(OvVideoBatch *self) {
  gchar id[32];
  g_snprintf(id, sizeof id, "mix-%08x", g_random_int());
  if (!gst_pad_push_event(self->srcpad, gst_event_new_stream_start(id))) {
    GST_WARNING_OBJECT(self->srcpad, "Sending stream start event failed");
    return false;
  }
  return true;
}

/* Attaches the records of one pad to the batch; a pad that brings none gets
 * one frame and one device record for its rows, so that frames cut by adding
 * up record heights stay where the image has them. */
void merge_pad_records(OvVideoBatch *self, OvVideoBatchPad *pad, GstBuffer *inbuf,
                       GstBuffer *outbuf, GstOvBatchMeta *out) {
  GstOvBatchMeta *in = inbuf ? gst_buffer_get_ov_batch_meta(inbuf) : nullptr;
  if (inbuf && !in)
    GST_DEBUG_OBJECT(self, "Can not find orvane batch metadata");
  if (in && !in->batch.frames.empty()) {
    // Device indices point into the merged device list, after earlier pads'.
    const size_t merged_before = out->batch.devices.size();
    for (const VideoFrameData &f : in->batch.frames) {
      GST_DEBUG_OBJECT(self, "\n Frame info added: \n");
      out->batch.frames.push_back(f);
      out->batch.frames.back().device_idx =
          ovbatch::rebase_device_index(f.device_idx, in->batch.devices.size(), merged_before);
    }
    for (const DeviceInfoData &d : in->batch.devices) {
      GST_DEBUG_OBJECT(self, "\n Device info added: \n");
      out->batch.devices.push_back(d);
    }
    return;
  }
  if (in) {
    for (const DeviceInfoData &d : in->batch.devices)
      out->batch.devices.push_back(d);
  }
  if (GST_VIDEO_INFO_HEIGHT(&pad->pad_info) > 0)
    attach_gst_pads(outbuf, GST_PAD(pad));
}

/* Rows [y0, y1) of the image that `pad` covers. */
void pad_rows(const OvVideoBatchPad *pad, gint image_height, gint *y0, gint *y1) {
  *y0 = std::max(pad->y_offset, 0);
  *y1 = std::min(pad->y_offset + GST_VIDEO_INFO_HEIGHT(&pad->pad_info), image_height);
}

/* Clears the rows a pad was meant to cover, when it could not be drawn. */
void clear_rows(GstVideoFrame *frame, std::vector<gint> &covered, OvVideoBatchPad *pad) {
  if (covered.empty())
    return;
  gint y0, y1;
  pad_rows(pad, gint(covered.size()), &y0, &y1);
  std::vector<gint> none(covered.size(), G_MAXINT);
  for (gint y = y0; y < y1; ++y)
    none[y] = 0;
  ov_blend_fill_zero_beyond(frame, none.data());
}

/* Clears what no frame will cover.  Where the frames will be copied over,
 * clearing first is wasted bandwidth.  Returns, per row, the width the
 * frames cover (empty when the whole image was cleared). */
std::vector<gint> clear_uncovered(OvVideoBatch *self, GstVideoFrame *outframe) {
  std::vector<gint> covered;
  if (!ov_blend_can_fill_beyond(&self->output_info)) {
    ov_blend_fill_zero(outframe);
    return covered;
  }
  covered.assign(GST_VIDEO_INFO_HEIGHT(&self->output_info), 0);
  const gint out_w = GST_VIDEO_INFO_WIDTH(&self->output_info);
  for (GSList *l = self->pad_list; l; l = l->next) {
    OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(l->data);
    if (!pad->mixcol || !pad->mixcol->slot.for_batch(ov_videobatch_pad_variable(pad)) ||
        pad->opacity != 1.0 || pad->x_offset != 0)
      continue;
    gint y0, y1;
    pad_rows(pad, gint(covered.size()), &y0, &y1);
    const gint w = std::min(pad->x_offset + GST_VIDEO_INFO_WIDTH(&pad->pad_info), out_w);
    for (gint y = y0; y < y1; ++y)
      covered[y] = std::max(covered[y], w);
  }
  ov_blend_fill_zero_beyond(outframe, covered.data());
  return covered;
}

}  // namespace

void ov_videobatch_drop_pool(OvVideoBatch *self) {
  if (!self->pool)
    return;
  gst_buffer_pool_set_active(self->pool, FALSE);
  gst_object_unref(self->pool);
  self->pool = nullptr;
  self->pool_size = 0;
}

namespace {

/* A buffer of `size` bytes.  Reused buffers spare the page faults of a fresh
 * allocation of several megabytes per frame. */
GstBuffer *allocate_output(OvVideoBatch *self, gsize size) {
  if (!self->pool || self->pool_size != size) {
    ov_videobatch_drop_pool(self);
    GstBufferPool *pool = gst_buffer_pool_new();
    GstStructure *config = gst_buffer_pool_get_config(pool);
    gst_buffer_pool_config_set_params(config, self->output_caps, guint(size), 0, 0);
    if (!gst_buffer_pool_set_config(pool, config) || !gst_buffer_pool_set_active(pool, TRUE)) {
      gst_object_unref(pool);
      return gst_buffer_new_allocate(nullptr, size, nullptr);
    }
    self->pool = pool;
    self->pool_size = size;
  }
  GstBuffer *buf = nullptr;
  if (gst_buffer_pool_acquire_buffer(self->pool, &buf, nullptr) != GST_FLOW_OK)
    return gst_buffer_new_allocate(nullptr, size, nullptr);
  return buf;
}

/* Draws one pad's frame into the batch image, converted when its format is
 * not the output's.  false: the conversion failed (error posted). */
bool draw_pad(OvVideoBatch *self, OvVideoBatchPad *pad, GstVideoFrame *inframe,
              GstVideoFrame *outframe, std::vector<gint> &covered) {
  BlendFunction composite = self->overlay;
  if (!pad->converter) {
    composite(inframe, pad->x_offset, pad->y_offset, pad->opacity, outframe);
    return true;
  }
  if (pad->need_conversion_update) {
    pad->conversion_info = ovbatch::renew_conversion(
        pad->conversion_info, GST_VIDEO_INFO_FORMAT(&self->output_info), pad->pad_info);
    pad->need_conversion_update = FALSE;
  }
  ov::BufferPtr tmp(
      gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&pad->conversion_info), nullptr));
  GstVideoFrame converted;
  if (tmp && gst_video_frame_map(&converted, &pad->conversion_info, tmp.get(), GST_MAP_READWRITE)) {
    gst_video_converter_frame(pad->converter, inframe, &converted);
    composite(&converted, pad->x_offset, pad->y_offset, pad->opacity, outframe);
    gst_video_frame_unmap(&converted);
    return true;
  }
  clear_rows(outframe, covered, pad);
  GST_ELEMENT_ERROR(self, CORE, FAILED, ("Cannot convert the frame of %s.", GST_PAD_NAME(pad)),
                    ("%s: a %dx%d frame could not be converted to the output format",
                     GST_PAD_NAME(pad), GST_VIDEO_INFO_WIDTH(&pad->pad_info),
                     GST_VIDEO_INFO_HEIGHT(&pad->pad_info)));
  return false;
}

/* Builds one output buffer.  Call with `lock`. */
GstFlowReturn blend_buffers(OvVideoBatch *self, GstClockTime start, GstClockTime end,
                            GstBuffer **out) {
  const gsize size = GST_VIDEO_INFO_SIZE(&self->output_info);
  ov::BufferPtr outbuf(allocate_output(self, size));
  if (!outbuf) {
    GST_ELEMENT_ERROR(self, RESOURCE, NO_SPACE_LEFT, ("Cannot allocate the batch image."),
                      ("an output buffer of %" G_GSIZE_FORMAT " bytes", size));
    return GST_FLOW_ERROR;
  }
  GST_BUFFER_PTS(outbuf.get()) = start;
  GST_BUFFER_DURATION(outbuf.get()) = end - start;

  GstOvBatchMeta *meta = reinterpret_cast<GstOvBatchMeta *>(
      gst_buffer_add_meta(outbuf.get(), gst_ov_batch_meta_get_info(), nullptr));
  if (!meta) {
    GST_ELEMENT_ERROR(self, CORE, FAILED, ("Cannot attach a batch record to the batch image."),
                      ("output buffer of %" G_GSIZE_FORMAT " bytes", size));
    return GST_FLOW_ERROR;
  }

  GstVideoFrame outframe;
  if (!gst_video_frame_map(&outframe, &self->output_info, outbuf.get(), GST_MAP_WRITE)) {
    GST_ELEMENT_ERROR(self, CORE, FAILED, ("Cannot map the batch image."),
                      ("%dx%d output of %" G_GSIZE_FORMAT " bytes",
                       GST_VIDEO_INFO_WIDTH(&self->output_info),
                       GST_VIDEO_INFO_HEIGHT(&self->output_info), size));
    return GST_FLOW_ERROR;
  }
  std::vector<gint> covered = clear_uncovered(self, &outframe);

  GstFlowReturn ret = GST_FLOW_OK;
  for (GSList *l = self->pad_list; l && ret == GST_FLOW_OK; l = l->next) {
    OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(l->data);
    OvVideoBatchCollect *c = pad->mixcol;
    // A frame already sent stays out: its slot is empty, as for a pad
    // without a frame.
    GstBuffer *inbuf = c ? c->slot.for_batch(ov_videobatch_pad_variable(pad)) : nullptr;
    merge_pad_records(self, pad, inbuf, outbuf.get(), meta);
    if (!inbuf)
      continue;

    GstClockTime stream_time =
        gst_segment_to_stream_time(&c->collect.segment, GST_FORMAT_TIME, GST_BUFFER_PTS(inbuf));
    if (GST_CLOCK_TIME_IS_VALID(stream_time))
      gst_object_sync_values(GST_OBJECT(pad), stream_time);

    GstVideoFrame inframe;
    if (!gst_video_frame_map(&inframe, &pad->pad_info, inbuf, GST_MAP_READ)) {
      GST_WARNING_OBJECT(pad, "Could not map input buffer");
      clear_rows(&outframe, covered, pad);
      continue;
    }
    if (!draw_pad(self, pad, &inframe, &outframe, covered))
      ret = GST_FLOW_ERROR;
    gst_video_frame_unmap(&inframe);
  }
  gst_video_frame_unmap(&outframe);
  if (ret == GST_FLOW_OK)
    *out = outbuf.release();
  return ret;
}

/* An input's buffers as the collect pads queue them. */
class CollectSource final : public ovbatch::BufferSource {
 public:
  CollectSource(GstCollectPads *pads, GstCollectData *data) : pads_(pads), data_(data) {}
  GstBuffer *peek() override { return gst_collect_pads_peek(pads_, data_); }
  GstBuffer *pop() override { return gst_collect_pads_pop(pads_, data_); }
  bool ended() const override {
    return GST_COLLECT_PADS_STATE_IS_SET(data_, GST_COLLECT_PADS_STATE_EOS);
  }

 private:
  GstCollectPads *pads_;
  GstCollectData *data_;
};

/* Picks each pad's buffer for the interval; posts the error of an untimed
 * buffer.  Call with `lock`. */
ovbatch::Fill fill_queues(OvVideoBatch *self, GstClockTime start_rt, GstClockTime end_rt) {
  std::vector<OvVideoBatchPad *> pads;
  std::vector<CollectSource> sources;
  for (GSList *l = self->pad_list; l; l = l->next) {
    pads.push_back(OV_VIDEO_BATCH_PAD(l->data));
    sources.emplace_back(self->collect_pads, &pads.back()->mixcol->collect);
  }
  std::vector<ovbatch::PadInput> inputs(pads.size());
  for (size_t i = 0; i < pads.size(); ++i) {
    OvVideoBatchCollect *c = pads[i]->mixcol;
    inputs[i].name = GST_PAD_NAME(pads[i]);
    inputs[i].slot = &c->slot;
    inputs[i].segment = &c->collect.segment;
    inputs[i].source = &sources[i];
  }
  const ovbatch::FillResult r = ovbatch::fill_interval(inputs, start_rt, end_rt);
  if (r.fill == ovbatch::Fill::kError) {
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("Need timestamped buffers!"),
                      ("%s: a buffer of %" G_GSIZE_FORMAT " bytes has no PTS",
                       GST_PAD_NAME(pads[size_t(r.error_pad)]), r.error_size));
  }
  return r.fill;
}

/* Whether the frame starting at `timestamp` is still worth making.  Call with
 * `lock`. */
bool do_qos(OvVideoBatch *self, GstClockTime timestamp) {
  GST_OBJECT_LOCK(self);
  const ovbatch::QosState qos = self->qos;
  GST_OBJECT_UNLOCK(self);
  return qos.worth_making(GST_CLOCK_TIME_IS_VALID(timestamp)
                              ? self->timeline.running_time(timestamp)
                              : GST_CLOCK_TIME_NONE);
}

void post_qos(OvVideoBatch *self, GstClockTime start, GstClockTime end) {
  GstClockTime running, stream;
  {
    ov::MutexLock guard(&self->lock);
    running = self->timeline.running_time(start);
    stream = gst_segment_to_stream_time(&self->timeline.segment(), GST_FORMAT_TIME, start);
  }
  GST_OBJECT_LOCK(self);
  const ovbatch::QosState qos = self->qos;
  GST_OBJECT_UNLOCK(self);
  GstMessage *msg = gst_message_new_qos(GST_OBJECT(self), FALSE, running, stream, start, end - start);
  gst_message_set_qos_values(msg, qos.jitter(running), qos.proportion(), 1000000);
  gst_message_set_qos_stats(msg, GST_FORMAT_BUFFERS, qos.processed(), qos.dropped());
  gst_element_post_message(GST_ELEMENT(self), msg);
}

GstFlowReturn push_eos(OvVideoBatch *self) {
  gst_pad_push_event(self->srcpad, gst_event_new_eos());
  return GST_FLOW_EOS;
}

/* Every input at end of stream with nothing left to show. */
bool all_pads_drained(OvVideoBatch *self) {
  ov::MutexLock guard(&self->lock);
  for (GSList *l = self->pad_list; l; l = l->next) {
    OvVideoBatchCollect *c = OV_VIDEO_BATCH_PAD(l->data)->mixcol;
    if (!GST_COLLECT_PADS_STATE_IS_SET(&c->collect, GST_COLLECT_PADS_STATE_EOS) ||
        c->slot.buffer || c->slot.queued)
      return false;
    ov::BufferPtr peeked(gst_collect_pads_peek(self->collect_pads, &c->collect));
    if (peeked)
      return false;
  }
  return true;
}

/* Posts why no batch image can be made and returns not-negotiated. */
GstFlowReturn not_negotiated(OvVideoBatch *self, const char *why) {
  ov::CapsPtr peer(gst_pad_peer_query_caps(self->srcpad, nullptr));
  gchar *peer_text = peer ? gst_caps_to_string(peer.get()) : g_strdup("none");
  GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("No output format for the batch image."),
                    ("%s; downstream accepts %s", why, peer_text));
  g_free(peer_text);
  return GST_FLOW_NOT_NEGOTIATED;
}

bool output_format_unknown(OvVideoBatch *self) {
  ov::MutexLock guard(&self->lock);
  return GST_VIDEO_INFO_FORMAT(&self->output_info) == GST_VIDEO_FORMAT_UNKNOWN;
}

/* Makes sure the output has a format.  GST_FLOW_OK: go on; anything else is
 * what the collect function returns. */
GstFlowReturn ensure_format(OvVideoBatch *self) {
  if (!output_format_unknown(self))
    return GST_FLOW_OK;
  // Inputs that end before sending any caps end the stream, not fail it.
  if (all_pads_drained(self)) {
    GST_DEBUG_OBJECT(self, "All sinkpads are EOS -- forwarding");
    return push_eos(self);
  }
  if (!ov_videobatch_update_src_caps(self))
    return not_negotiated(self, "the inputs' formats and sizes give no caps downstream accepts");
  if (output_format_unknown(self))
    return not_negotiated(self, "no input has caps yet");
  return GST_FLOW_OK;
}

/* Sends pending caps and segment events.  GST_FLOW_OK: go on, with the
 * output framerate in fps_n/fps_d. */
GstFlowReturn send_pending_events(OvVideoBatch *self, gint *fps_n, gint *fps_d) {
  ov::CapsPtr caps_to_push;
  GstSegment segment;
  bool push_segment, have_kernels;
  {
    ov::MutexLock guard(&self->lock);
    if (self->caps_pending && self->output_caps) {
      caps_to_push.reset(gst_caps_ref(self->output_caps));
      self->caps_pending = FALSE;
    }
    have_kernels = self->overlay != nullptr;
    segment = self->timeline.segment();
    push_segment = self->timeline.segment_pending();
    *fps_n = GST_VIDEO_INFO_FPS_N(&self->output_info);
    *fps_d = GST_VIDEO_INFO_FPS_D(&self->output_info);
  }
  if (!have_kernels)
    return not_negotiated(self, "the output format has no batch kernels");
  if (caps_to_push && !gst_pad_push_event(self->srcpad, gst_event_new_caps(caps_to_push.get())))
    GST_WARNING_OBJECT(self->srcpad, "Sending caps event failed");

  if (push_segment) {
    GST_DEBUG_OBJECT(self, "Sending NEWSEGMENT event");
    if (!gst_pad_push_event(self->srcpad, gst_event_new_segment(&segment))) {
      GST_ELEMENT_ERROR(self, STREAM, FAILED, (nullptr), ("Pushing the segment event failed"));
      return GST_FLOW_ERROR;
    }
    ov::MutexLock guard(&self->lock);
    self->timeline.segment_sent();
  }
  if (*fps_n <= 0 || *fps_d <= 0)
    return not_negotiated(self, "the output framerate is not positive");
  return GST_FLOW_OK;
}

/* Inputs that declare no rate (live cameras decode to framerate=0/1) set
 * the interval grid from their measured rates, so that no two frames of one
 * input fall into one interval; fps_n/fps_d keep the output framerate until
 * a rate is known, or when some input declares one. */
void apply_variable_grid(OvVideoBatch *self, gint *fps_n, gint *fps_d) {
  ov::MutexLock guard(&self->lock);
  std::vector<GstClockTime> intervals;
  bool any = false, declared = false;
  for (GSList *l = self->pad_list; l; l = l->next) {
    OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(l->data);
    if (!pad->mixcol || GST_VIDEO_INFO_WIDTH(&pad->pad_info) == 0)
      continue;
    declared = declared || !ov_videobatch_pad_variable(pad);
    any = true;
    intervals.push_back(pad->mixcol->live.rate.interval());
  }
  const int grid = any && !declared ? ovbatch::variable_grid_rate(intervals) : 0;
  if (grid <= 0) {
    // Back to the output framerate (an input that declares a rate came):
    // the frames count from here, as after a caps change.
    if (self->grid_n != 0 && declared) {
      self->timeline.rebase();
      self->grid_n = 0;
    }
    return;
  }
  if (grid != self->grid_n) {
    GST_DEBUG_OBJECT(self, "inputs without a declared rate: intervals of 1/%d s", grid);
    if (self->grid_n != 0)
      self->timeline.rebase();
    self->grid_n = grid;
    self->grid_d = 1;
  }
  *fps_n = self->grid_n;
  *fps_d = self->grid_d;
}

/* Whether the slots hold anything a batch has not carried yet.  Call with
 * `lock`. */
bool slots_have_news(OvVideoBatch *self) {
  for (GSList *l = self->pad_list; l; l = l->next) {
    OvVideoBatchPad *pad = OV_VIDEO_BATCH_PAD(l->data);
    if (pad->mixcol && pad->mixcol->slot.for_batch(ov_videobatch_pad_variable(pad)))
      return true;
  }
  return false;
}

/* The slots' frames were sent (or dropped as late).  Call with `lock`. */
void slots_sent(OvVideoBatch *self) {
  for (GSList *l = self->pad_list; l; l = l->next)
    if (OV_VIDEO_BATCH_PAD(l->data)->mixcol)
      OV_VIDEO_BATCH_PAD(l->data)->mixcol->slot.fresh = false;
}

/* Returned by a step of the collect function: nothing more to do in this
 * call, which returns GST_FLOW_OK. */
constexpr GstFlowReturn kDone = GST_FLOW_CUSTOM_SUCCESS;

/* The next interval, with what the segment stop makes of it: returns
 * GST_FLOW_OK with the interval to make in `iv`, or kDone or what the collect
 * function returns instead (end of stream). */
GstFlowReturn next_interval(OvVideoBatch *self, gint fps_n, gint fps_d, ovbatch::Interval *iv) {
  GstTagList *tags = nullptr;
  bool segment_done = false, posted_before = false;
  GstSegment segment;
  {
    ov::MutexLock guard(&self->lock);
    *iv = self->timeline.next(fps_n, fps_d);
    segment = self->timeline.segment();
    switch (iv->state) {
      case ovbatch::IntervalState::kPastSegmentStop: {
        GST_DEBUG_OBJECT(self, "Segment done");
        // Nothing past the stop until the next seek (frames of negative
        // length would follow): the inputs' buffers are let go as they come.
        bool any = false;
        for (GSList *l = self->pad_list; l; l = l->next) {
          OvVideoBatchCollect *c = OV_VIDEO_BATCH_PAD(l->data)->mixcol;
          ov::BufferPtr dropped(gst_collect_pads_pop(self->collect_pads, &c->collect));
          any = any || dropped;
        }
        posted_before = self->timeline.mark_segment_done();
        // Called with nothing to take: every input has ended.
        if (!any)
          segment_done = true;
        else if (posted_before)
          return kDone;
        break;
      }
      case ovbatch::IntervalState::kPastStop:
        GST_DEBUG_OBJECT(self, "Segment done");
        segment_done = true;
        break;
      case ovbatch::IntervalState::kOpen:
        tags = self->tags_pending;
        self->tags_pending = nullptr;
        break;
    }
  }
  if (iv->state == ovbatch::IntervalState::kPastSegmentStop && !posted_before) {
    const gint64 stop = gint64(segment.stop);
    gst_element_post_message(GST_ELEMENT(self),
                             gst_message_new_segment_done(GST_OBJECT(self), GST_FORMAT_TIME, stop));
    gst_pad_push_event(self->srcpad, gst_event_new_segment_done(GST_FORMAT_TIME, stop));
  }
  if (segment_done)
    return push_eos(self);
  if (iv->state == ovbatch::IntervalState::kPastSegmentStop)
    return kDone;
  if (tags)
    gst_pad_push_event(self->srcpad, gst_event_new_tag(tags));
  return GST_FLOW_OK;
}

GstFlowReturn collected(OvVideoBatch *self) {
  if (self->stream_start_pending) {
    push_stream_start(self);
    self->stream_start_pending = FALSE;
  }
  if (gst_pad_check_reconfigure(self->srcpad))
    ov_videobatch_update_src_caps(self);

  GstFlowReturn ret = ensure_format(self);
  gint fps_n = 0, fps_d = 0;
  if (ret == GST_FLOW_OK)
    ret = send_pending_events(self, &fps_n, &fps_d);
  if (ret == GST_FLOW_OK)
    apply_variable_grid(self, &fps_n, &fps_d);
  ovbatch::Interval iv;
  if (ret == GST_FLOW_OK)
    ret = next_interval(self, fps_n, fps_d, &iv);
  if (ret != GST_FLOW_OK)
    return ret == kDone ? GST_FLOW_OK : ret;

  GstBuffer *outbuf = nullptr;
  bool late = false, nothing = false;
  {
    ov::MutexLock guard(&self->lock);
    switch (fill_queues(self, self->timeline.running_time(iv.start),
                        self->timeline.running_time(iv.end))) {
      case ovbatch::Fill::kError:
        GST_ERROR_OBJECT(self, "Error collecting buffers");
        return GST_FLOW_ERROR;
      case ovbatch::Fill::kNeedData:
        return GST_FLOW_OK;
      case ovbatch::Fill::kEos:
        GST_DEBUG_OBJECT(self, "All sinkpads are EOS -- forwarding");
        ret = GST_FLOW_EOS;
        break;
      case ovbatch::Fill::kNothing:
        // A batch without a single frame tells downstream nothing; a gap
        // event says the same without one.
        GST_DEBUG_OBJECT(self, "No input has a frame for this interval -- skipping it");
        nothing = true;
        break;
      case ovbatch::Fill::kReady:
        // Inputs without a declared rate whose frames were all sent: a
        // batch would only repeat them.
        if (!slots_have_news(self)) {
          GST_DEBUG_OBJECT(self, "No new frame for this interval -- skipping it");
          nothing = true;
        }
        break;
    }
    if (nothing) {
      self->timeline.advance(iv.end);
    } else if (ret == GST_FLOW_OK) {
      const bool make = do_qos(self, iv.start);
      if (make)
        ret = blend_buffers(self, iv.start, iv.end, &outbuf);
      GST_OBJECT_LOCK(self);
      self->qos.count(make);
      GST_OBJECT_UNLOCK(self);
      late = !make;
      slots_sent(self);
      self->timeline.advance(iv.end);
    }
  }
  if (nothing) {
    gst_pad_push_event(self->srcpad, gst_event_new_gap(iv.start, iv.end - iv.start));
    return GST_FLOW_OK;
  }
  if (late)
    post_qos(self, iv.start, iv.end);
  if (ret == GST_FLOW_EOS)
    return push_eos(self);
  if (ret != GST_FLOW_OK || !outbuf)
    return ret;
  GST_LOG_OBJECT(self, "Pushing buffer with ts %" GST_TIME_FORMAT " and duration %" GST_TIME_FORMAT,
                 GST_TIME_ARGS(GST_BUFFER_PTS(outbuf)), GST_TIME_ARGS(GST_BUFFER_DURATION(outbuf)));
  return gst_pad_push(self->srcpad, outbuf);
}

/* A batch (or gap) went out: inputs could not deliver while it was made and
 * pushed, so their silence counts from now. */
void inputs_were_held(OvVideoBatch *self) {
  const gint64 now = g_get_monotonic_time();
  ov::MutexLock guard(&self->lock);
  for (GSList *l = self->pad_list; l; l = l->next)
    if (OV_VIDEO_BATCH_PAD(l->data)->mixcol)
      OV_VIDEO_BATCH_PAD(l->data)->mixcol->live.busy_until(now);
}

}  // namespace

GstFlowReturn ov_videobatch_collected(GstCollectPads *, gpointer user_data) {
  OvVideoBatch *self = OV_VIDEO_BATCH(user_data);
  try {
    const GstFlowReturn ret = collected(self);
    inputs_were_held(self);
    return ret;
  } catch (const std::exception &e) {
    GST_ERROR_OBJECT(self, "collect failed: %s", e.what());
    GST_ELEMENT_ERROR(self, CORE, FAILED, ("Cannot make the batch image."), ("%s", e.what()));
  } catch (...) {
    GST_ERROR_OBJECT(self, "collect failed");
    GST_ELEMENT_ERROR(self, CORE, FAILED, ("Cannot make the batch image."), ("unknown exception"));
  }
  return GST_FLOW_ERROR;
}
