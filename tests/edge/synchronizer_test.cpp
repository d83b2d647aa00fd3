#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "synchronizer.h"

using namespace VXCORE;

namespace {

FrameInfo frame(uint32_t id) {
  FrameInfo f;
  f.stream_id = "cam";
  f.frame_id = id;
  f.width = 2;
  f.height = 1;
  f.data = {10, 20, 30, 40, 50, 60};
  f.size = 6;
  f.compression = "com.vision.models.COMPRESSION_KIND_NONE";
  return f;
}

Information<ClassificationData> cls(uint32_t id, size_t entries = 1) {
  Information<ClassificationData> c;
  c.frame_id = id;
  c.data.resize(entries);
  if (entries) c.data[0].label = "for " + std::to_string(id);
  return c;
}

std::vector<uint32_t> pool_ids(Synchronizer &s) {
  std::lock_guard<std::mutex> lock(m);
  std::vector<uint32_t> ids;
  for (const SynchronizedData &d : s.syncPool.synchronizedVec) ids.push_back(d.frame.frame_id);
  return ids;
}

}  // namespace

TEST(Synchronizer, MatchesTheEqualFrameAndDropsOlderResults) {
  Synchronizer s;
  for (uint32_t id : {5u, 6u, 7u, 8u}) s.pushClassification(cls(id));
  s.pushFrameInfo(frame(7));
  s.sync_pass();
  ASSERT_EQ(s.syncPool.synchronizedVec.size(), 1u);
  const SynchronizedData &d = s.syncPool.synchronizedVec[0];
  EXPECT_EQ(d.frame.frame_id, 7u);
  EXPECT_EQ(d.classification.frame_id, 7u);
  EXPECT_EQ(d.classification.data[0].label, "for 7");
  ASSERT_EQ(s.classificationVec.size(), 1u);
  EXPECT_EQ(s.classificationVec[0].frame_id, 8u);
  EXPECT_TRUE(s.frameInfoVec.empty());
}

TEST(Synchronizer, FrameWithoutResultsIsDeliveredWithEmptyParts) {
  Synchronizer s;
  s.pushFrameInfo(frame(3));
  s.sync_pass();
  ASSERT_EQ(s.syncPool.synchronizedVec.size(), 1u);
  const SynchronizedData &d = s.syncPool.synchronizedVec[0];
  EXPECT_EQ(d.frame, frame(3));
  EXPECT_EQ(d.device, DeviceInfo());
  EXPECT_EQ(d.classification.frame_id, 0u);
  EXPECT_EQ(d.detection.frame_id, 0u);
  EXPECT_EQ(d.segmentation.frame_id, 0u);
}

TEST(Synchronizer, DeviceAndAllResultKindsJoinTheirFrame) {
  Synchronizer s;
  DeviceInfo a, b;
  a.stream_id = "first";
  b.stream_id = "second";
  s.pushDeviceInfo(a);
  s.pushDeviceInfo(b);
  Information<DetectionBoxData> det;
  det.frame_id = 4;
  det.data.resize(2);
  s.pushDetectionBox(det);
  SegmentInfo seg;
  seg.frame_id = 4;
  seg.data.resize(1);
  s.pushSegmentInfo(seg);
  s.pushFrameInfo(frame(4));
  s.pushFrameInfo(frame(5));
  s.sync_pass();
  ASSERT_EQ(pool_ids(s), (std::vector<uint32_t>{4, 5}));
  const SynchronizedData &d = s.syncPool.synchronizedVec[0];
  EXPECT_EQ(d.device.stream_id, "first");
  EXPECT_EQ(d.detection, det);
  EXPECT_EQ(d.segmentation, seg);
  EXPECT_TRUE(s.deviceInfoVec.empty()) << "the device queue is emptied";
  EXPECT_EQ(s.syncPool.synchronizedVec[1].device.stream_id, "");
}

TEST(Synchronizer, PoolKeepsTheNewestElevenWithoutAConsumer) {
  Synchronizer s;
  for (uint32_t id = 1; id <= 12; ++id) {
    s.pushFrameInfo(frame(id));
    s.pushClassification(cls(id));  // with results: no extra waiting pass
  }
  s.sync_pass();
  EXPECT_EQ(pool_ids(s), (std::vector<uint32_t>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  poolingData p;
  p.synchronizedVec.resize(5);
  EXPECT_EQ(p.DropSynchronizedVec(0), 0);
  EXPECT_EQ(p.DropSynchronizedVec(2), 3);
  EXPECT_EQ(p.synchronizedVec.size(), 2u);
}

TEST(Synchronizer, LowerFrameIdClearsTheQueuesAndResynchronises) {
  Synchronizer s;
  s.pushFrameInfo(frame(50));
  s.sync_pass();
  for (uint32_t id : {60u, 61u}) s.pushClassification(cls(id));
  DeviceInfo dev;
  s.pushDeviceInfo(dev);
  s.pushFrameInfo(frame(2));
  testing::internal::CaptureStdout();
  s.sync_pass();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "clear all queued data from mesh\n");
  EXPECT_TRUE(s.classificationVec.empty());
  EXPECT_TRUE(s.deviceInfoVec.empty());
  ASSERT_EQ(s.frameInfoVec.size(), 1u) << "the frame waits for the next pass";
  s.sync_pass();
  EXPECT_EQ(pool_ids(s), (std::vector<uint32_t>{50, 2}));
}

TEST(Synchronizer, EveryTenthResultlessFrameWaitsOnePass) {
  Synchronizer s;
  for (uint32_t id = 1; id <= 10; ++id) s.pushFrameInfo(frame(id));
  s.sync_pass();
  EXPECT_EQ(pool_ids(s).size(), 9u);
  ASSERT_EQ(s.frameInfoVec.size(), 1u);
  EXPECT_EQ(s.frameInfoVec[0].frame_id, 10u);
  s.sync_pass();
  EXPECT_EQ(pool_ids(s).back(), 10u);
  EXPECT_TRUE(s.frameInfoVec.empty());
}

TEST(Synchronizer, EmptyResultRecordsAreNeverQueued) {
  ReceiveImage r;
  r.callback(cls(1, 0));
  Information<DetectionBoxData> det;
  r.callback(det);
  r.callback(SegmentInfo());
  EXPECT_TRUE(r.synchronizer.classificationVec.empty());
  EXPECT_TRUE(r.synchronizer.detectionVec.empty());
  EXPECT_TRUE(r.synchronizer.segmentVec.empty());
  r.callback(cls(1, 2));
  EXPECT_EQ(r.synchronizer.classificationVec.size(), 1u);
}

TEST(Synchronizer, FrameCallbackStoresTheImageInRgbOrder) {
  ReceiveImage r;
  FrameInfo f = frame(1);
  f.format = "com.vision.models.PIXEL_FORMAT_BGR8";
  r.callback(f);
  EXPECT_EQ(r.Width(), 2u);
  EXPECT_EQ(r.Height(), 1u);
  cv::Mat img = r.Image();
  EXPECT_EQ(img.at<cv::Vec3b>(0, 0), cv::Vec3b(30, 20, 10));
  EXPECT_EQ(r.synchronizer.frameInfoVec.size(), 1u);
  FrameInfo empty;
  r.callback(empty);
  EXPECT_EQ(r.synchronizer.frameInfoVec.size(), 1u) << "frames without pixels are not queued";
  FrameInfo short_data = frame(2);
  short_data.data.resize(3);
  EXPECT_THROW(r.callback(short_data), std::out_of_range);
}

TEST(Synchronizer, CombinedRecordStopsTheWorkerAndFillsThePool) {
  ReceiveImage r;
  r.synchronizer.Start();
  EXPECT_TRUE(r.synchronizer.IsRunning());
  UniInfo u;
  VXA_VideoFrameData v;
  v.frame_id = 9;
  v.stream_id = "cam";
  v.width = 2;
  v.height = 1;
  v.data = {1, 2, 3, 4, 5, 6};
  v.size = 6;
  v.compression = "com.vision.models.COMPRESSION_KIND_NONE";
  VXA_ClassificationData c;
  c.engine_id = "eng";
  c.index = 4;
  c.label = "cat";
  v.ClassificationResult = {c};
  VXA_DetectionBoxData b;
  b.obj_id = 3;
  v.DetectionResult = {b, b};
  u.VideoList = {v};
  VXA_DeviceInfoData dev;
  dev.stream_id = "dev";
  u.DeviceList = {dev};
  r.callback(u);
  EXPECT_FALSE(r.synchronizer.IsRunning());
  r.callback(UniInfo());  // an empty combined record must not crash
  std::vector<uint32_t> ids = pool_ids(r.synchronizer);
  ASSERT_EQ(ids, (std::vector<uint32_t>{9, 0}));
  const SynchronizedData &d = r.synchronizer.syncPool.synchronizedVec[0];
  EXPECT_EQ(d.classification.engine_id, "eng");
  EXPECT_EQ(d.classification.frame_id, 9u);
  EXPECT_EQ(d.classification.data[0].index, 4);
  EXPECT_EQ(d.detection.data.size(), 2u);
  EXPECT_EQ(d.segmentation.frame_id, 0u);
  EXPECT_EQ(d.device.stream_id, "dev");
  EXPECT_EQ(r.Width(), 2u);
}

TEST(Synchronizer, WorkerDeliversAndIsJoinedOnDestruction) {
  auto s = std::make_unique<Synchronizer>();
  s->Start();
  for (uint32_t id = 1; id <= 3; ++id) {
    s->pushFrameInfo(frame(id));
    s->pushClassification(cls(id));
  }
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (pool_ids(*s).size() < 3 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(pool_ids(*s), (std::vector<uint32_t>{1, 2, 3}));
  auto t0 = std::chrono::steady_clock::now();
  s.reset();  // stops and joins while the worker sleeps
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
}
