// ovcamerasrc without a camera: its launch line, the messages for what a
// user gets wrong, a file that ends, a camera that is not there (a closed
// port on 127.0.0.1) and is tried again with growing waits.
#include <string>
#include <vector>

#include <gst/app/gstappsink.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "ov_test.h"

namespace {

using ovtest::ElementPtr;

/* The next message of `types` within `timeout_ms`. */
ov::MessagePtr next_message(GstElement *pipeline, int types, int timeout_ms = 5000) {
  ov::BusPtr bus(gst_element_get_bus(pipeline));
  return ov::MessagePtr(gst_bus_timed_pop_filtered(
      bus.get(), GstClockTime(timeout_ms) * GST_MSECOND, GstMessageType(types)));
}

std::string message_text(GstMessage *m) {
  GError *err = nullptr;
  if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR)
    gst_message_parse_error(m, &err, nullptr);
  else if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_WARNING)
    gst_message_parse_warning(m, &err, nullptr);
  std::string text = err ? err->message : "";
  if (err)
    g_error_free(err);
  return text;
}

/* The error a launch line ends with when set to playing ("" if none). */
std::string start_error(const std::string &launch) {
  ElementPtr p = ovtest::parse_pipeline(launch);
  if (!p)
    return "";
  const bool failed =
      gst_element_set_state(p.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE;
  ov::MessagePtr m = next_message(p.get(), GST_MESSAGE_ERROR, 2000);
  gst_element_set_state(p.get(), GST_STATE_NULL);
  EXPECT_TRUE(failed) << launch;
  return m ? message_text(m.get()) : "";
}

TEST(CameraSource, WithoutAUriSaysWhatToSet) {
  EXPECT_EQ(start_error("ovcamerasrc ! fakesink"), "No camera URI: set the uri property.");
  EXPECT_EQ(start_error("ovcamerasrc uri=camera-7 ! fakesink"),
            "\"camera-7\" is not a URI: give one such as rtsp://host/path or file:///path.");
  // A file is not a camera that comes back: a wrong path is an error.
  EXPECT_NE(start_error("ovcamerasrc uri=file:///nonexistent/ovcamerasrc.avi ! fakesink"), "");
}

TEST(CameraSource, AUriNothingHandlesStaysAnError) {
  ElementPtr p = ovtest::parse_pipeline("ovcamerasrc uri=nosuchscheme://x ! fakesink");
  ASSERT_TRUE(p);
  gst_element_set_state(p.get(), GST_STATE_PLAYING);
  ov::MessagePtr m = next_message(p.get(), GST_MESSAGE_ERROR | GST_MESSAGE_WARNING);
  ASSERT_TRUE(m);
  EXPECT_EQ(GST_MESSAGE_TYPE(m.get()), GST_MESSAGE_ERROR) << message_text(m.get());
  gst_element_set_state(p.get(), GST_STATE_NULL);
}

TEST(CameraSource, AFileEndsTheStreamAfterItsFrames) {
  char dir_template[] = "/tmp/ovcamerasrc-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string file = std::string(dir_template) + "/five.avi";
  ovtest::PipelineRun made = ovtest::run_pipeline(
      "videotestsrc num-buffers=5 ! video/x-raw,width=64,height=48,framerate=10/1 ! jpegenc ! "
      "avimux ! filesink location=" + file);
  ASSERT_TRUE(made.ok) << made.error;

  ovtest::AppPipeline p("ovcamerasrc uri=file://" + file +
                        " ! videoconvert ! video/x-raw,format=BGR ! appsink name=sink sync=false");
  ASSERT_TRUE(p.ok());
  ASSERT_TRUE(p.start());
  const auto frames = p.pull_all(5000);
  EXPECT_EQ(frames.size(), 5u);
  EXPECT_EQ(p.error(), "");
  EXPECT_TRUE(gst_app_sink_is_eos(GST_APP_SINK(p.element("sink"))));
  p.stop();
  unlink(file.c_str());
  rmdir(dir_template);
}

TEST(CameraSource, ACameraNotThereIsTriedAgainWithGrowingWaits) {
  ElementPtr p = ovtest::parse_pipeline(
      "ovcamerasrc name=cam uri=rtsp://127.0.0.1:1/cam retry-interval=40 "
      "max-retry-interval=100 ! fakesink");
  ASSERT_TRUE(p);
  gst_element_set_state(p.get(), GST_STATE_PLAYING);
  std::vector<guint64> waits;
  int warnings = 0;
  while (waits.size() < 4) {
    ov::MessagePtr m =
        next_message(p.get(), GST_MESSAGE_ERROR | GST_MESSAGE_WARNING | GST_MESSAGE_ELEMENT);
    ASSERT_TRUE(m) << "no message after " << waits.size() << " losses";
    ASSERT_NE(GST_MESSAGE_TYPE(m.get()), GST_MESSAGE_ERROR) << message_text(m.get());
    if (GST_MESSAGE_TYPE(m.get()) == GST_MESSAGE_WARNING) {
      EXPECT_NE(message_text(m.get()).find("Camera rtsp://127.0.0.1:1/cam lost"),
                std::string::npos)
          << message_text(m.get());
      ++warnings;
      continue;
    }
    const GstStructure *s = gst_message_get_structure(m.get());
    if (!gst_structure_has_name(s, "ovcamerasrc-lost"))
      continue;
    guint64 wait = 0;
    ASSERT_TRUE(gst_structure_get_uint64(s, "retry-in", &wait));
    waits.push_back(wait);
  }
  EXPECT_EQ(waits, (std::vector<guint64>{40 * GST_MSECOND, 80 * GST_MSECOND, 100 * GST_MSECOND,
                                         100 * GST_MSECOND}));
  EXPECT_GE(warnings, 3);
  ElementPtr cam = ovtest::bin_element(p.get(), "cam");
  guint losses = 0, reconnects = 9;
  g_object_get(cam.get(), "losses", &losses, "reconnects", &reconnects, nullptr);
  EXPECT_EQ(losses, 1u) << "one loss, tried again and again";
  EXPECT_EQ(reconnects, 0u);
  gst_element_set_state(p.get(), GST_STATE_NULL);
}

}  // namespace
