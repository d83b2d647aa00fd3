// capture-demo: grabs camera frames and shows one per second in a window
// through a GStreamer-backed video writer that stamps the wall-clock time.
//
//   ./build/bin/capture-demo
//
// Returns 0 when the camera stops delivering frames, -1 when the camera or
// the writer cannot be opened.
#include <cerrno>
#include <ctime>
#include <iostream>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

static void sleep_restarting(long seconds, long nanoseconds) {
  timespec left{seconds, nanoseconds};
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}

int main() {
  cv::VideoCapture cap(
      "v4l2src ! video/x-raw, format=BGR, width=1024, height=768, framerate=30/1 ! appsink",
      cv::CAP_GSTREAMER);
  cap.open(0, cv::CAP_ANY);
  if (!cap.isOpened()) {
    std::cerr << "ERROR! Unable to open camera\n";
    return -1;
  }
  cv::VideoWriter writer(
      "appsrc ! videoconvert ! video/x-raw, format=BGR, width=640, height=480, framerate=30/1 "
      "! clockoverlay ! videoconvert ! ximagesink sync=false",
      cv::CAP_GSTREAMER, 0, 30.0, cv::Size(640, 480), true);
  if (!writer.isOpened()) {
    std::cout << "=ERR= can't create writer" << std::endl;
    return -1;
  }
  std::cout << "Start grabbing" << std::endl;
  cv::Mat frame;
  for (;;) {
    cap.read(frame);
    if (frame.empty())
      break;
    cv::resize(frame, frame, cv::Size(640, 480), 0, 0, cv::INTER_LINEAR);
    writer.write(frame);
    sleep_restarting(1, 0);
  }
  std::cerr << "ERROR! blank frame grabbed\n";
  return 0;
}
