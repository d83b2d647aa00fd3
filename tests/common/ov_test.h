/* Shared helpers for unit and element tests: owning pointers, raw video
 * buffers, source pads with caps, GstHarness set-up and short pipelines. */
#ifndef OV_TEST_H
#define OV_TEST_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include "ov_gst_ptr.h"

namespace ovtest {

using ov::BufferPtr;
using ov::CapsPtr;
using ov::ElementPtr;
using ov::PadPtr;
using ov::SamplePtr;

struct HarnessDeleter {
  void operator()(GstHarness *h) const { gst_harness_teardown(h); }
};
using HarnessPtr = std::unique_ptr<GstHarness, HarnessDeleter>;

/* "video/x-raw,format=BGR,width=640,height=480,framerate=30/1" */
std::string video_caps(const std::string &format, int width, int height, int fps_n = 30,
                       int fps_d = 1);
CapsPtr make_caps(const std::string &caps_string);

/* A buffer laid out as GStreamer lays out this format and size (default
 * strides), every byte set to `fill`. */
BufferPtr make_video_buffer(GstVideoFormat format, int width, int height, uint8_t fill = 0);
/* A buffer of exactly `size` bytes, every byte `fill`. */
BufferPtr make_buffer(size_t size, uint8_t fill = 0);

/* An active, unlinked source pad whose current caps are `caps`. */
PadPtr make_pad_with_caps(const char *name, const std::string &caps);

/* Harness around the element made from `factory` (asserts that it exists). */
HarnessPtr make_harness(const char *factory, const std::string &src_caps = "",
                        const std::string &sink_caps = "");

/* Outcome of running a launch line to its end. */
struct PipelineRun {
  bool ok = false;           /* reached EOS without error */
  bool timed_out = false;
  std::string error;         /* first error message, if any */
  std::string error_debug;   /* its debug text */
  std::string error_source;  /* name of the element that posted it */
  GQuark error_domain = 0;   /* its domain and code */
  int error_code = 0;
  std::vector<std::string> warnings;
  std::vector<std::string> warning_debugs;
};

/* Runs a gst_parse_launch description to EOS (or error, or timeout). */
PipelineRun run_pipeline(const std::string &description, int timeout_ms = 10000);

/* Parses `description`; returns nullptr (and fails the current test) on a
 * parse error. */
ElementPtr parse_pipeline(const std::string &description);

/* Element named `name` inside `bin` (a new reference), or nullptr. */
ElementPtr bin_element(GstElement *bin, const char *name);

/* A pipeline fed through an appsrc named "src" and/or drained through an
 * appsink named "sink", for element tests that need real negotiation:
 *   AppPipeline p("appsrc name=src caps=... ! ovfoo ! appsink name=sink");
 *   p.start(); p.push(std::move(buf)); SamplePtr s = p.pull(); */
class AppPipeline {
 public:
  explicit AppPipeline(const std::string &description);
  ~AppPipeline();
  AppPipeline(const AppPipeline &) = delete;
  AppPipeline &operator=(const AppPipeline &) = delete;

  bool ok() const { return pipeline_ != nullptr; }
  GstElement *pipeline() const { return pipeline_.get(); }
  /* Borrowed element of the pipeline, or nullptr. */
  GstElement *element(const char *name) const;

  bool start(GstState state = GST_STATE_PLAYING);
  GstFlowReturn push(BufferPtr buffer);
  void end_of_stream();
  /* Next sample from the sink; nullptr on timeout or end of stream. */
  SamplePtr pull(int timeout_ms = 5000);
  /* Every sample until end of stream (or timeout between two samples). */
  std::vector<SamplePtr> pull_all(int timeout_ms = 5000);
  /* First error message posted on the bus so far, with its debug text in
   * parentheses ("" if none). */
  std::string error();
  void stop();

 private:
  ElementPtr pipeline_;
  GstElement *src_ = nullptr;
  GstElement *sink_ = nullptr;
  std::string error_;
};

/* Path of a file under the source tree (OV_SOURCE_DIR) or build tree. */
std::string source_path(const std::string &relative);
std::string build_path(const std::string &relative);

/* Collects the messages of one debug category at or below `level` while
 * alive, so tests can assert on the exact texts elements log. */
class LogCapture {
 public:
  explicit LogCapture(const char *category, GstDebugLevel level = GST_LEVEL_DEBUG);
  ~LogCapture();
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  /* Messages seen so far, in order. */
  std::vector<std::string> messages() const;
  /* Whether some message at `level` equals `text` exactly. */
  bool has(GstDebugLevel level, const std::string &text) const;
  /* Number of messages containing `fragment`. */
  size_t count_containing(const std::string &fragment) const;
  void clear();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace ovtest

#endif /* OV_TEST_H */
