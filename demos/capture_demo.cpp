// capture-demo: grabs camera frames and shows one per second in a window
// through a GStreamer-backed video writer that stamps the wall-clock time.
//
//   ./build/bin/capture-demo
//
// Returns 0 when the camera stops delivering frames, -1 when the camera or
// the writer cannot be opened.
#include "demo_capture.h"

int main() {
  return demo::run_capture("clockoverlay ! ", [](const cv::Mat &) { demo::sleep_restarting(1, 0); });
}
