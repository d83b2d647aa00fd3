/* An engine file replaced by garbage while its pipeline is stopped: the
 * restart fails with an error naming the file, and once a good file is
 * back the same pipeline and a new one run it. */
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>

#include "engine_fixtures.h"
#include "ov_test.h"

namespace {

/* Plays `pipeline` to its end; the error message's text and debug text, or
 * "" when it reached the end of stream. */
std::string play_to_end(GstElement *pipeline) {
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
    return "state change failed";
  ov::BusPtr bus(gst_element_get_bus(pipeline));
  ov::MessagePtr msg(gst_bus_timed_pop_filtered(
      bus.get(), 60 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
  std::string error;
  if (!msg) {
    error = "timed out";
  } else if (GST_MESSAGE_TYPE(msg.get()) == GST_MESSAGE_ERROR) {
    GError *err = nullptr;
    gchar *dbg = nullptr;
    gst_message_parse_error(msg.get(), &err, &dbg);
    error = std::string(err ? err->message : "?") + " (" + (dbg ? dbg : "") + ")";
    g_clear_error(&err);
    g_free(dbg);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  return error;
}

}  // namespace

TEST(OvrtRestart, AnEngineReplacedByGarbageFailsTheRestartAndAGoodOneRunsAgain) {
  const std::string good = ovtest::engine_bytes(
      ovtest::onnx_engine("identity_8x8.onnx", {3, 8, 8}, {{"out", {3, 8, 8}}}, 1));
  const std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                           "/ovrt-restart-" + std::to_string(getpid()) + ".engine";
  ovtest::write_file(path, good);
  const std::string launch =
      "videotestsrc num-buffers=3 ! video/x-raw,format=BGR,width=8,height=8 "
      "! ovrt model=" + path + " batch=1 ! fakesink";
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ovtest::ElementPtr pipeline = ovtest::parse_pipeline(launch);
  ASSERT_TRUE(pipeline);
  const std::string first = play_to_end(pipeline.get());

  ovtest::write_file(path, std::string(4096, '\x5a'));
  const std::string restart = play_to_end(pipeline.get());

  ovtest::write_file(path, good);
  const std::string same_again = play_to_end(pipeline.get());
  ovtest::ElementPtr fresh = ovtest::parse_pipeline(launch);
  const std::string again = fresh ? play_to_end(fresh.get()) : "no pipeline";
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  std::remove(path.c_str());

  EXPECT_EQ(first, "") << "the good engine runs";
  EXPECT_NE(restart.find("Cannot load engine file"), std::string::npos) << restart;
  EXPECT_NE(restart.find(path), std::string::npos) << "the error names the file: " << restart;
  EXPECT_EQ(same_again, "") << "the element whose load failed loads the good file again";
  EXPECT_EQ(again, "") << "a good file in a new pipeline runs";
}
