// capture-demo: grabs camera frames and shows one per second in a window
// through a GStreamer-backed video writer that stamps the wall-clock time.
//
//   ./build/bin/capture-demo
//
// Returns 0 when the camera stops delivering frames, -1 when the camera or
// the writer cannot be opened.
#include "demo_capture.h"

int main() {
  cv::VideoCapture cap;
  if (!demo::open_camera(cap))
    return -1;
  cv::VideoWriter writer;
  if (!demo::open_display(writer, "clockoverlay ! "))
    return -1;
  std::cout << "Start grabbing" << std::endl;
  cv::Mat frame;
  while (demo::grab_resized(cap, frame)) {
    writer.write(frame);
    demo::sleep_restarting(1, 0);
  }
  std::cerr << "ERROR! blank frame grabbed\n";
  return 0;
}
