// pipeline-demo: an application exchanging frames with a GStreamer pipeline.
//
// Camera frames grabbed with OpenCV are fed through an appsrc into
//   appsrc name=source ! clockoverlay ! videoconvert name=conv ! appsink
// and every frame the appsink returns lands in "a.bmp" (one per turn of the
// capture loop), while the camera frames are shown in a window.
//
//   ./build/bin/pipeline-demo
//
// Returns 0 when the camera stops delivering frames, -1 when the camera or
// the display writer cannot be opened.  Either way the pipeline thread is
// stopped and joined before main returns.
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <gst/gst.h>
#include <opencv2/imgcodecs.hpp>

#include "demo_capture.h"

namespace {

using demo::kHeight;
using demo::kWidth;
constexpr gsize kFrameBytes = gsize(kWidth) * kHeight * 3;

// Guards grabVec, pipeLineOutputVec, loop and stop_requested.
std::mutex queue_lock;
std::vector<cv::Mat> grabVec;
std::vector<cv::Mat> pipeLineOutputVec;
GMainLoop *loop = nullptr;
bool stop_requested = false;

cv::Mat img(kHeight, kWidth, CV_8UC3);  // used by new_sample only
GstClockTime timestamp = 0;             // used by cb_need_data only

gboolean quit_loop(gpointer data) {
  g_main_loop_quit(static_cast<GMainLoop *>(data));
  return G_SOURCE_REMOVE;
}

/* Asks the pipeline thread to end; safe before, during and after its loop
 * runs (an idle source fires once the loop is running). */
void request_stop() {
  std::lock_guard<std::mutex> g(queue_lock);
  stop_requested = true;
  if (loop)
    g_idle_add(quit_loop, loop);
}

void cb_need_data(GstElement *appsrc, guint, gpointer) {
  GstBuffer *buffer = gst_buffer_new_allocate(nullptr, kFrameBytes, nullptr);
  GstMapInfo map;
  if (gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
    std::lock_guard<std::mutex> g(queue_lock);
    if (!grabVec.empty()) {
      const cv::Mat &front = grabVec.front();
      std::memcpy(map.data, front.data, std::min<gsize>(kFrameBytes, front.total() * front.elemSize()));
      grabVec.erase(grabVec.begin());
    }
    gst_buffer_unmap(buffer, &map);
  }
  const GstClockTime duration = gst_util_uint64_scale_int(1, GST_SECOND, 2);
  GST_BUFFER_PTS(buffer) = timestamp;
  GST_BUFFER_DURATION(buffer) = duration;
  timestamp += duration;

  GstFlowReturn ret = GST_FLOW_OK;
  g_signal_emit_by_name(appsrc, "push-buffer", buffer, &ret);
  gst_buffer_unref(buffer);
  if (ret != GST_FLOW_OK) {
    std::lock_guard<std::mutex> g(queue_lock);
    if (loop)
      g_idle_add(quit_loop, loop);
  }
}

GstFlowReturn new_sample(GstElement *appsink, gpointer) {
  GstSample *sample = nullptr;
  g_signal_emit_by_name(appsink, "pull-sample", &sample);
  if (!sample)
    return GST_FLOW_ERROR;
  GstBuffer *buffer = gst_sample_get_buffer(sample);
  GstMapInfo map;
  if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    std::memcpy(img.data, map.data, std::min(map.size, kFrameBytes));
    gst_buffer_unmap(buffer, &map);
  }
  {
    std::lock_guard<std::mutex> g(queue_lock);
    pipeLineOutputVec.push_back(img.clone());
  }
  gst_sample_unref(sample);
  return GST_FLOW_OK;
}

void establish_appsrc_appsink_pipeline() {
  gst_init(nullptr, nullptr);
  GMainLoop *own_loop = g_main_loop_new(nullptr, FALSE);

  GstElement *pipeline = gst_pipeline_new("pipeline");
  GstElement *appsrc = gst_element_factory_make("appsrc", "source");
  GstElement *clockoverlay = gst_element_factory_make("clockoverlay", "clockoverlay");
  GstElement *conv = gst_element_factory_make("videoconvert", "conv");
  GstElement *appsink = gst_element_factory_make("appsink", "appsink");
  if (!pipeline || !appsrc || !clockoverlay || !conv || !appsink) {
    std::cerr << "pipeline-demo: cannot create the pipeline elements "
                 "(appsrc, clockoverlay, videoconvert, appsink)\n";
    for (GstElement *e : {pipeline, appsrc, clockoverlay, conv, appsink})
      if (e)
        gst_object_unref(gst_object_ref_sink(e));
    g_main_loop_unref(own_loop);
    return;
  }
  gst_bin_add_many(GST_BIN(pipeline), appsrc, clockoverlay, conv, appsink, nullptr);
  if (!gst_element_link_many(appsrc, clockoverlay, conv, appsink, nullptr))
    std::cerr << "pipeline-demo: cannot link the pipeline\n";

  GstCaps *caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGR", "width",
                                      G_TYPE_INT, kWidth, "height", G_TYPE_INT, kHeight,
                                      "framerate", GST_TYPE_FRACTION, 30, 1, nullptr);
  g_object_set(appsrc, "caps", caps, "stream-type", 0, "format", GST_FORMAT_TIME, nullptr);
  gst_caps_unref(caps);
  g_signal_connect(appsrc, "need-data", G_CALLBACK(cb_need_data), nullptr);
  g_object_set(appsink, "emit-signals", TRUE, nullptr);
  g_signal_connect(appsink, "new-sample", G_CALLBACK(new_sample), nullptr);

  bool run = false;
  {
    std::lock_guard<std::mutex> g(queue_lock);
    if (!stop_requested) {
      loop = own_loop;
      run = true;
    }
  }
  if (run) {
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    g_main_loop_run(own_loop);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  {
    std::lock_guard<std::mutex> g(queue_lock);
    loop = nullptr;
  }
  gst_object_unref(pipeline);
  g_main_loop_unref(own_loop);
}

/* The capture loop; its return value is the program's. */
int capture_loop() {
  return demo::run_capture("", [](const cv::Mat &frame) {
    cv::Mat returned;
    {
      std::lock_guard<std::mutex> g(queue_lock);
      grabVec.push_back(frame.clone());
      if (!pipeLineOutputVec.empty()) {
        returned = pipeLineOutputVec.front();
        pipeLineOutputVec.erase(pipeLineOutputVec.begin());
      }
    }
    if (!returned.empty())
      cv::imwrite("a.bmp", returned);
    demo::sleep_restarting(0, 500000000L);
  });
}

}  // namespace

int main() {
  std::thread pipeline_thread(establish_appsrc_appsink_pipeline);
  const int rc = capture_loop();
  request_stop();
  pipeline_thread.join();
  return rc;
}
