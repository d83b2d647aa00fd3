/* Joins frames, device descriptions and results that arrive on separate
 * reader threads into one SynchronizedData per frame, in a bounded pool the
 * source's streaming thread takes from. */
#ifndef OVEDGE_SYNCHRONIZER_H
#define OVEDGE_SYNCHRONIZER_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "edge_records.h"

namespace VXCORE {

/* Guards every Synchronizer's queues and pool, from any thread. */
extern std::mutex m;

struct SynchronizedData {
  FrameInfo frame;
  DeviceInfo device;
  Information<ClassificationData> classification;
  Information<DetectionBoxData> detection;
  SegmentInfo segmentation;
};

struct poolingData {
  std::vector<SynchronizedData> synchronizedVec;  /* oldest first */
  /* Removes the oldest entries until at most `limit` remain. */
  int DropSynchronizedVec(int limit);
};

class Synchronizer {
 public:
  Synchronizer() = default;
  /* Stops and joins the worker. */
  ~Synchronizer();
  Synchronizer(const Synchronizer &) = delete;
  Synchronizer &operator=(const Synchronizer &) = delete;

  void Start();
  void Stop();
  void SetWorkerMessageFlag(bool on) { workerMessage.store(on); }
  bool GetWorkerMessageFlag() const { return workerMessage.load(); }
  bool IsRunning() const { return running.load(); }

  void pushFrameInfo(const FrameInfo &f);
  void pushDeviceInfo(const DeviceInfo &d);
  void pushClassification(const Information<ClassificationData> &c);
  void pushDetectionBox(const Information<DetectionBoxData> &d);
  void pushSegmentInfo(const SegmentInfo &s);

  /* One pass of the worker over the queued frames (takes m). */
  void sync_pass();

  /* The queues and the pool: all guarded by m. */
  std::vector<FrameInfo> frameInfoVec;
  std::vector<DeviceInfo> deviceInfoVec;
  std::vector<Information<ClassificationData>> classificationVec;
  std::vector<Information<DetectionBoxData>> detectionVec;
  std::vector<SegmentInfo> segmentVec;
  poolingData syncPool;

  int32_t poolLimit = 10;

 private:
  friend class ReceiveImage;
  void sync_work();

  std::vector<std::thread> workers;  /* touched by Start and the destructor only */
  std::atomic<bool> workerMessage{false};
  std::atomic<bool> running{false};
  uint32_t lastSyncID = 0;  /* worker state, guarded by m */
  int missCount = 0;
};

/* The receiver the reader threads call (one callback per record type). */
class ReceiveImage {
 public:
  void callback(const FrameInfo &frame);
  void callback(const DeviceInfo &device);
  void callback(const SegmentInfo &seg);
  void callback(const Information<ClassificationData> &cls);
  void callback(const Information<DetectionBoxData> &det);
  void callback(const UniInfo &uni);

  static SynchronizedData parser(const UniInfo &uni);

  /* Size of the last received image (0 until the first frame). */
  uint32_t Width() const { return width.load(); }
  uint32_t Height() const { return height.load(); }
  /* A copy of the last received image. */
  cv::Mat Image() const;

  std::string contextId;
  Synchronizer synchronizer;

 private:
  void store_image(const cv::Mat &img);

  mutable std::mutex imageMutex;  /* guards image */
  cv::Mat image;
  std::atomic<uint32_t> width{0}, height{0};
  std::atomic<bool> firstUni{false};
};

}  // namespace VXCORE

#endif
