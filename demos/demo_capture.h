/* What both demo programs share: the capture loop (camera, display writer,
 * per-frame resize) and a sleep that survives signals. */
#ifndef DEMO_CAPTURE_H
#define DEMO_CAPTURE_H

#include <cerrno>
#include <ctime>
#include <iostream>
#include <string>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace demo {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

/* The camera: first through a GStreamer description, then reopened on
 * index 0 with any back end (the second open replaces the first).  Prints the
 * camera error when neither works. */
inline bool open_camera(cv::VideoCapture &cap) {
  cap.open("v4l2src ! video/x-raw, format=BGR, width=1024, height=768, framerate=30/1 ! appsink",
           cv::CAP_GSTREAMER);
  cap.open(0, cv::CAP_ANY);
  if (!cap.isOpened()) {
    std::cerr << "ERROR! Unable to open camera\n";
    return false;
  }
  return true;
}

/* A window fed through a GStreamer-backed writer; `middle` goes between the
 * caps and the display's converter. */
inline bool open_display(cv::VideoWriter &writer, const std::string &middle) {
  writer.open("appsrc ! videoconvert ! video/x-raw, format=BGR, width=640, height=480, "
              "framerate=30/1 ! " + middle + "videoconvert ! ximagesink sync=false",
              cv::CAP_GSTREAMER, 0, 30.0, cv::Size(kWidth, kHeight), true);
  if (!writer.isOpened()) {
    std::cout << "=ERR= can't create writer" << std::endl;
    return false;
  }
  return true;
}

/* Reads one frame and brings it to 640 x 480; false when the camera has
 * stopped delivering frames. */
inline bool grab_resized(cv::VideoCapture &cap, cv::Mat &frame) {
  cap.read(frame);
  if (frame.empty())
    return false;
  cv::resize(frame, frame, cv::Size(kWidth, kHeight), 0, 0, cv::INTER_LINEAR);
  return true;
}

inline void sleep_restarting(long seconds, long nanoseconds) {
  timespec left{seconds, nanoseconds};
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}

/* Opens the camera and the display (see open_display for `middle`), then
 * shows every frame and hands it to `each`.  The program's return value:
 * -1 when the camera or the display cannot be opened, 0 once the camera
 * stops delivering frames. */
template <typename Each>
int run_capture(const std::string &middle, Each each) {
  cv::VideoCapture cap;
  if (!open_camera(cap))
    return -1;
  cv::VideoWriter writer;
  if (!open_display(writer, middle))
    return -1;
  std::cout << "Start grabbing" << std::endl;
  cv::Mat frame;
  while (grab_resized(cap, frame)) {
    writer.write(frame);
    each(frame);
  }
  std::cerr << "ERROR! blank frame grabbed\n";
  return 0;
}

}  // namespace demo

#endif /* DEMO_CAPTURE_H */
