// What the ovvideobatch element tests share: appsrc inputs with exact time
// stamps into the batch element and an appsink for the batches, and readers
// for the batch image and its record.
#ifndef OV_TEST_BATCH_RIG_H
#define OV_TEST_BATCH_RIG_H

#include <cstdint>
#include <string>
#include <vector>

#include <gst/gst.h>

#include "gstovmeta.h"
#include "ov_test.h"

namespace batchtest {

struct Input {
  std::string format = "BGR";
  int width = 640;
  int height = 480;
  int fps_n = 30;
  int fps_d = 1;
  bool live = false; /* a live source with 10 ms of latency */
};

/* N appsrc inputs → ovvideobatch name=batch → [downstream] appsink. */
class BatchRig {
 public:
  explicit BatchRig(const std::vector<Input> &inputs, const std::string &downstream = "");
  ~BatchRig();

  bool start();
  GstElement *batch() const { return batch_.get(); }
  GstElement *pipeline() const { return pipeline_.get(); }
  GstElement *src(size_t i) const { return srcs_[i].get(); }

  /* A frame of input `i` filled with `fill` (or `with`, taken over), at `pts`
   * for `duration`. */
  GstFlowReturn push(size_t i, uint8_t fill, GstClockTime pts, GstClockTime duration,
                     GstBuffer *with = nullptr);
  /* One frame on every input, input i filled with fill0 + i. */
  void push_all(uint8_t fill0, GstClockTime pts, GstClockTime duration);
  void end_of_stream(size_t i);

  ovtest::SamplePtr pull(int timeout_ms = 5000);
  bool eos() const;
  /* Next message of `type` on the bus within `timeout_ms`, or nullptr. */
  ov::MessagePtr wait_message(GstMessageType type, int timeout_ms = 3000);

 private:
  std::vector<Input> inputs_;
  ovtest::ElementPtr pipeline_;
  ovtest::ElementPtr batch_;
  ovtest::ElementPtr sink_;
  std::vector<ovtest::ElementPtr> srcs_;
};

struct CapsSize {
  int width = 0, height = 0, fps_n = 0, fps_d = 0;
};
CapsSize caps_size(GstSample *s);

/* Reads pixel bytes of a BGR batch image. */
class BgrView {
 public:
  explicit BgrView(GstSample *s);
  uint8_t at(int row, int col, int channel = 0) const {
    return map_.data()[row * stride_ + col * 3 + channel];
  }
  /* Whether every byte of rows [r0, r1) and columns [c0, c1) equals v. */
  bool all(int r0, int r1, int c0, int c1, uint8_t v) const;

 private:
  ov::BufferMap map_;
  int stride_ = 0;
};

GstOvBatchMeta *batch_of(GstSample *s);

/* A frame buffer carrying a one-frame record from stream `id`. */
GstBuffer *tagged_buffer(const Input &in, uint8_t fill, const std::string &id,
                         uint32_t device_idx = 0);

/* The message of an error message; its debug text in `detail`. */
std::string error_text(GstMessage *msg, std::string *detail = nullptr);

/* Two 320×240 test streams of `buffers` frames into ovvideobatch name=b,
 * then `after` (elements ending in "!") and a fakesink. */
std::string two_stream_launch(int buffers, const std::string &after = "");

constexpr GstClockTime kFrame30 = 33333333;

/* Start of frame i at `fps`, rounded as the element rounds its intervals. */
inline GstClockTime at(int i, int fps = 30) {
  return gst_util_uint64_scale_round(guint64(i), GST_SECOND, guint64(fps));
}
inline GstClockTime span(int i, int fps = 30) { return at(i + 1, fps) - at(i, fps); }

}  // namespace batchtest

#endif /* OV_TEST_BATCH_RIG_H */
