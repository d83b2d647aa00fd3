#include "synchronizer.h"

#include <chrono>
#include <iostream>

#include <glib.h>
#include <opencv2/imgproc.hpp>

namespace VXCORE {

std::mutex m;

namespace {
const char *const kBGR8 = "com.vision.models.PIXEL_FORMAT_BGR8";

/* Frame-id search of one result queue: drops older entries, takes the equal one. */
template <typename T>
bool take_match(std::vector<T> &queue, uint32_t syncID, T &out, bool msg, const char *what,
                const char *idName) {
  if (msg) g_message("%s_n = %d", what, static_cast<int>(queue.size()));
  bool found = false;
  if (!queue.empty()) {
    if (msg) g_message("start search %s...", what);
    while (!queue.empty()) {
      const T &e = queue.front();
      if (msg) g_message("(%s, syncID) = (%d, %d)", idName, e.frame_id, syncID);
      if (e.frame_id < syncID) {
        queue.erase(queue.begin());
      } else if (e.frame_id == syncID) {
        out = e;
        queue.erase(queue.begin());
        found = true;
        break;
      } else {
        break;
      }
    }
  }
  if (msg) g_message("end search %s...", what);
  return found;
}
}  // namespace

int poolingData::DropSynchronizedVec(int limit) {
  if (limit < 1) return 0;
  int dropped = 0;
  while (synchronizedVec.size() > static_cast<size_t>(limit)) {
    synchronizedVec.erase(synchronizedVec.begin());
    ++dropped;
  }
  return dropped;
}

Synchronizer::~Synchronizer() {
  Stop();
  for (std::thread &t : workers)
    if (t.joinable()) t.join();
}

void Synchronizer::Start() {
  running.store(true);
  workers.emplace_back(&Synchronizer::sync_work, this);
}

void Synchronizer::Stop() { running.store(false); }

void Synchronizer::pushFrameInfo(const FrameInfo &f) {
  std::lock_guard<std::mutex> lock(m);
  frameInfoVec.push_back(f);
}
void Synchronizer::pushDeviceInfo(const DeviceInfo &d) {
  std::lock_guard<std::mutex> lock(m);
  deviceInfoVec.push_back(d);
}
void Synchronizer::pushClassification(const Information<ClassificationData> &c) {
  std::lock_guard<std::mutex> lock(m);
  classificationVec.push_back(c);
}
void Synchronizer::pushDetectionBox(const Information<DetectionBoxData> &d) {
  std::lock_guard<std::mutex> lock(m);
  detectionVec.push_back(d);
}
void Synchronizer::pushSegmentInfo(const SegmentInfo &s) {
  std::lock_guard<std::mutex> lock(m);
  segmentVec.push_back(s);
}

void Synchronizer::sync_work() {
  for (;;) {
    if (!running.load()) {
      g_message("break sync while.");
      return;
    }
    sync_pass();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void Synchronizer::sync_pass() {
  std::lock_guard<std::mutex> lock(m);
  if (frameInfoVec.empty()) return;
  const bool msg = workerMessage.load();
  if (msg) {
    g_message("************");
    g_message("in sync_work(), frameInfoVec.size() = %d", static_cast<int>(frameInfoVec.size()));
    g_message("in sync_work(), syncPool.synchronizedVec.size() = %d",
              static_cast<int>(syncPool.synchronizedVec.size()));
    g_message("************");
  }
  int remaining = static_cast<int>(frameInfoVec.size());
  while (remaining > 0) {
    const uint32_t syncID = frameInfoVec.front().frame_id;
    if (msg) g_message("syncID = %d", syncID);
    if (syncID < lastSyncID) {
      // The publisher restarted its numbering.
      deviceInfoVec.clear();
      classificationVec.clear();
      detectionVec.clear();
      segmentVec.clear();
      std::cout << "clear all queued data from mesh" << std::endl;
      lastSyncID = 0;
      return;
    }
    lastSyncID = syncID;

    SynchronizedData sd;
    sd.frame = frameInfoVec.front();
    bool found = false;
    if (msg) g_message("classification_n = %d", static_cast<int>(classificationVec.size()));
    if (!classificationVec.empty()) {
      if (msg) g_message("start search classification...");
      size_t pos = 0;
      while (!classificationVec.empty()) {
        const Information<ClassificationData> &e = classificationVec.front();
        if (msg) g_message("(c_id, syncID) = (%d, %d)", e.frame_id, syncID);
        if (e.frame_id < syncID) {
          classificationVec.erase(classificationVec.begin());
          ++pos;
        } else if (e.frame_id == syncID) {
          if (msg)
            g_message("syncPool.classificationVec[%d]'s class_result number = %d",
                      static_cast<int>(pos), static_cast<int>(e.data.size()));
          sd.classification = e;
          classificationVec.erase(classificationVec.begin());
          found = true;
          break;
        } else {
          break;
        }
      }
    }
    if (msg) g_message("end search classification...");
    found = take_match(detectionVec, syncID, sd.detection, msg, "detection", "d_id") || found;
    found = take_match(segmentVec, syncID, sd.segmentation, msg, "segmentation", "s_id") || found;

    if (!deviceInfoVec.empty()) {
      if (msg) g_message("Start get deviceInfoVec...");
      sd.device = deviceInfoVec.front();
      deviceInfoVec.clear();
      if (msg) g_message("end get deviceInfoVec...");
    }

    if (found) {
      missCount = 0;
    } else if (++missCount >= 10) {
      // Every tenth frame without results waits one pass for late results.
      missCount = 0;
      return;
    }

    int dropped = syncPool.DropSynchronizedVec(poolLimit);
    if (msg) std::cout << "[Drop Data] Dropped " << dropped << " synchronizedData." << std::endl;
    if (msg)
      std::cout << "(frame id, device id, classification id, detectionbox id, segment id)= ("
                << sd.frame.frame_id << ", " << sd.device.stream_id << ", "
                << sd.classification.frame_id << ", " << sd.detection.frame_id << ", "
                << sd.segmentation.frame_id << ")" << std::endl;
    syncPool.synchronizedVec.push_back(std::move(sd));
    frameInfoVec.erase(frameInfoVec.begin());
    --remaining;
    if (msg) g_message("Rest frame number in this sync time = %d", remaining);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

/* ------------------------------------------------------------- receiver */

void ReceiveImage::store_image(const cv::Mat &img) {
  std::lock_guard<std::mutex> lock(imageMutex);
  image = img;
  width.store(static_cast<uint32_t>(img.cols));
  height.store(static_cast<uint32_t>(img.rows));
}

cv::Mat ReceiveImage::Image() const {
  std::lock_guard<std::mutex> lock(imageMutex);
  return image.clone();
}

void ReceiveImage::callback(const FrameInfo &frame) {
  if (frame.data.empty() || frame.width == 0 || frame.height == 0) return;
  cv::Mat img;  // a buffer of its own: Image() may be copying the previous one
  frame.ToMat(img);
  if (frame.format == kBGR8) cv::cvtColor(img, img, cv::COLOR_BGR2RGB);
  store_image(img);
  synchronizer.pushFrameInfo(frame);
}

void ReceiveImage::callback(const DeviceInfo &device) { synchronizer.pushDeviceInfo(device); }

void ReceiveImage::callback(const SegmentInfo &seg) {
  if (!seg.data.empty()) synchronizer.pushSegmentInfo(seg);
}

void ReceiveImage::callback(const Information<ClassificationData> &cls) {
  if (!cls.data.empty()) synchronizer.pushClassification(cls);
}

void ReceiveImage::callback(const Information<DetectionBoxData> &det) {
  if (!det.data.empty()) synchronizer.pushDetectionBox(det);
}

void ReceiveImage::callback(const UniInfo &uni) {
  if (!firstUni.exchange(true)) synchronizer.Stop();  // combined records need no worker
  SynchronizedData sd = parser(uni);
  std::lock_guard<std::mutex> lock(m);
  if (!uni.VideoList.empty()) {
    const VXA_VideoFrameData &v = uni.VideoList.front();
    if (!v.data.empty() && v.width != 0 && v.height != 0) {
      cv::Mat img;
      v.ToMat(img);
      if (v.format == kBGR8) cv::cvtColor(img, img, cv::COLOR_BGR2RGB);
      store_image(img);
    }
  }
  int dropped = synchronizer.syncPool.DropSynchronizedVec(synchronizer.poolLimit);
  if (synchronizer.GetWorkerMessageFlag())
    std::cout << "[Drop Data] Dropped " << dropped
              << " synchronizedData in ReceiveImage::callback(const UniInfo &uniInfo)." << std::endl;
  synchronizer.syncPool.synchronizedVec.push_back(std::move(sd));
}

SynchronizedData ReceiveImage::parser(const UniInfo &uni) {
  SynchronizedData sd;
  if (!uni.VideoList.empty()) {
    const VXA_VideoFrameData &v = uni.VideoList.front();
    FrameInfo &f = sd.frame;
    f.stream_id = v.stream_id;
    f.frame_id = v.frame_id;
    f.timestamp = v.timestamp;
    f.data = v.data;
    f.width = v.width;
    f.height = v.height;
    f.channels = v.channels;
    f.size = v.size;
    f.format = v.format;
    f.compression = v.compression;
    f.framerate = v.framerate;
    if (!v.ClassificationResult.empty()) {
      sd.classification.engine_id = v.ClassificationResult.front().engine_id;
      sd.classification.stream_id = v.stream_id;
      sd.classification.frame_id = v.frame_id;
      for (const VXA_ClassificationData &c : v.ClassificationResult) {
        ClassificationData d;
        d.index = static_cast<int32_t>(c.index);
        d.output = c.output;
        d.label = c.label;
        d.probability = c.probability;
        sd.classification.data.push_back(std::move(d));
      }
    }
    if (!v.DetectionResult.empty()) {
      sd.detection.engine_id = v.DetectionResult.front().engine_id;
      sd.detection.stream_id = v.stream_id;
      sd.detection.frame_id = v.frame_id;
      for (const VXA_DetectionBoxData &b : v.DetectionResult) {
        DetectionBoxData d;
        d.obj_id = static_cast<int32_t>(b.obj_id);
        d.class_id = static_cast<int32_t>(b.class_id);
        d.obj_label = b.obj_label;
        d.class_label = b.class_label;
        d.x1 = b.x1;
        d.y1 = b.y1;
        d.x2 = b.x2;
        d.y2 = b.y2;
        d.probability = b.probability;
        d.meta = b.meta;
        sd.detection.data.push_back(std::move(d));
      }
    }
    if (!v.SegmentationResult.empty()) {
      sd.segmentation.stream_id = v.stream_id;
      sd.segmentation.frame_id = v.frame_id;
      sd.segmentation.data = v.SegmentationResult;
    }
  }
  if (!uni.DeviceList.empty()) sd.device = uni.DeviceList.front();
  return sd;
}

}  // namespace VXCORE
