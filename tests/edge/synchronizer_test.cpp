#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <chrono>
#include <thread>

#include "edge.h"
#include "synchronizer.h"

using namespace VXCORE;
using Clock = Synchronizer::Clock;
using std::chrono::milliseconds;

namespace {

FrameInfo frame(uint32_t id, const std::string &stream = "cam") {
  FrameInfo f;
  f.stream_id = stream;
  f.frame_id = id;
  f.width = 2;
  f.height = 1;
  f.data = {static_cast<uint8_t>(id), 20, 30, 40, 50, 60};
  f.size = 6;
  f.compression = "com.vision.models.COMPRESSION_KIND_NONE";
  return f;
}

Information<ClassificationData> cls(uint32_t id, size_t entries = 1, const std::string &stream = "cam") {
  Information<ClassificationData> c;
  c.stream_id = stream;
  c.frame_id = id;
  c.data.resize(entries);
  if (entries) c.data[0].label = "for " + std::to_string(id);
  return c;
}

Information<DetectionBoxData> det(uint32_t id, const std::string &label,
                                  const std::string &stream = "cam") {
  Information<DetectionBoxData> d;
  d.stream_id = stream;
  d.frame_id = id;
  if (!label.empty()) {
    d.data.resize(1);
    d.data[0].obj_label = label;
  }
  return d;
}

DeviceInfo device(const std::string &stream) {
  DeviceInfo d;
  d.stream_id = stream;
  return d;
}

std::vector<SynchronizedData> drain(Synchronizer &s) {
  std::vector<SynchronizedData> out;
  SynchronizedData d;
  while (s.pop(d)) out.push_back(std::move(d));
  return out;
}

/* A time after every wait limit of frames pushed so far. */
Clock::time_point later(milliseconds limit) { return Clock::now() + limit + milliseconds(1); }

}  // namespace

TEST(Synchronizer, MatchesTheEqualFrameAndDropsOlderResults) {
  Synchronizer s;
  s.SetExpectedKinds(kClassification);
  for (uint32_t id : {5u, 6u, 7u, 8u}) s.pushClassification(cls(id));
  s.pushFrameInfo(frame(7));
  EXPECT_EQ(s.sync_pass(), 1u);
  std::vector<SynchronizedData> got = drain(s);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].frame.frame_id, 7u);
  EXPECT_EQ(got[0].classification.frame_id, 7u);
  EXPECT_EQ(got[0].classification.data[0].label, "for 7");
  EXPECT_EQ(s.queuedResults(), 1u) << "the entry for frame 8 stays";
  EXPECT_EQ(s.counters().resultsDropped, 2u);
  EXPECT_EQ(s.queuedFrames(), 0u);
}

TEST(Synchronizer, AFrameWaitsForItsResultsAndGetsThem) {
  Synchronizer s;
  s.SetExpectedKinds(kDetection | kClassification);
  const Clock::time_point before = Clock::now();
  s.pushFrameInfo(frame(3));
  Clock::time_point next;
  EXPECT_EQ(s.sync_pass(before, &next), 0u) << "results of frame 3 are still on their way";
  EXPECT_GT(next, before);
  EXPECT_NE(next, Clock::time_point::max());
  s.pushDetectionBox(det(3, "car"));
  EXPECT_EQ(s.sync_pass(before), 0u) << "classification is still missing";
  s.pushClassification(cls(3, 0));  // frame 3 has no classes: an empty record says so
  EXPECT_EQ(s.sync_pass(before), 1u);
  std::vector<SynchronizedData> got = drain(s);
  ASSERT_EQ(got.size(), 1u);
  ASSERT_EQ(got[0].detection.data.size(), 1u);
  EXPECT_EQ(got[0].detection.data[0].obj_label, "car");
  EXPECT_TRUE(got[0].classification.data.empty());
  EXPECT_EQ(s.counters().waitExpired, 0u);
}

TEST(Synchronizer, ARecordOfALaterFrameSettlesTheEarlierOne) {
  Synchronizer s;
  s.SetExpectedKinds(kDetection);
  const Clock::time_point before = Clock::now();
  s.pushFrameInfo(frame(1));
  s.pushFrameInfo(frame(2));
  s.pushDetectionBox(det(2, "bus"));  // nothing came for frame 1
  EXPECT_EQ(s.sync_pass(before), 2u);
  std::vector<SynchronizedData> got = drain(s);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(got[0].detection.data.empty());
  EXPECT_EQ(got[1].detection.data[0].obj_label, "bus");
}

TEST(Synchronizer, WaitLimitDeliversWithoutAndAnAbsentKindIsNotWaitedForAgain) {
  Synchronizer s;
  s.SetExpectedKinds(kSegmentation);
  s.SetWaitLimit(milliseconds(50));
  const Clock::time_point before = Clock::now();
  s.pushFrameInfo(frame(1));
  EXPECT_EQ(s.sync_pass(before), 0u);
  EXPECT_EQ(s.sync_pass(later(milliseconds(50))), 1u);
  EXPECT_EQ(s.counters().waitExpired, 1u);
  s.pushFrameInfo(frame(2));
  EXPECT_EQ(s.sync_pass(before), 1u) << "this publisher sends no segmentation";
  // Once it does, frames wait for it again.
  SegmentInfo seg;
  seg.stream_id = "cam";
  seg.frame_id = 3;
  seg.data.resize(1);
  s.pushFrameInfo(frame(4));
  s.pushSegmentInfo(seg);
  EXPECT_EQ(s.sync_pass(before), 0u) << "frame 4: a record for frame 3 does not settle it";
  EXPECT_EQ(s.queuedFrames(), 1u);
}

TEST(Synchronizer, TheLatestDeviceGoesToEveryLaterFrame) {
  Synchronizer s;
  s.pushFrameInfo(frame(1));
  s.pushDeviceInfo(device("first"));
  s.pushFrameInfo(frame(2));
  s.pushFrameInfo(frame(3));
  s.sync_pass();
  s.pushDeviceInfo(device("second"));
  s.pushFrameInfo(frame(4));
  s.sync_pass();
  std::vector<SynchronizedData> got = drain(s);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].device.stream_id, "first") << "frame 1 was still queued when it came";
  EXPECT_EQ(got[1].device.stream_id, "first");
  EXPECT_EQ(got[2].device.stream_id, "first");
  EXPECT_EQ(got[3].device.stream_id, "second");
}

TEST(Synchronizer, AFrameWithNothingElseIsDeliveredWithEmptyParts) {
  Synchronizer s;
  s.pushFrameInfo(frame(3));
  s.sync_pass();
  std::vector<SynchronizedData> got = drain(s);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].frame, frame(3));
  EXPECT_EQ(got[0].device, DeviceInfo());
  EXPECT_EQ(got[0].classification.frame_id, 0u);
  EXPECT_EQ(got[0].detection.frame_id, 0u);
  EXPECT_EQ(got[0].segmentation.frame_id, 0u);
}

TEST(Synchronizer, PoolKeepsTheNewestWithoutAConsumer) {
  Synchronizer s;
  for (uint32_t id = 1; id <= 12; ++id) s.pushFrameInfo(frame(id));
  s.sync_pass();
  EXPECT_EQ(s.poolFrameIds(), (std::vector<uint32_t>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(s.counters().poolDropped, 1u);
  poolingData p;
  p.synchronizedVec.resize(5);
  EXPECT_EQ(p.DropSynchronizedVec(0), 0);
  EXPECT_EQ(p.DropSynchronizedVec(2), 3);
  EXPECT_EQ(p.synchronizedVec.size(), 2u);
}

TEST(Synchronizer, APublisherRestartDropsTheOldNumberingAndKeepsTheNew) {
  Synchronizer s;
  s.SetExpectedKinds(kClassification);
  s.pushFrameInfo(frame(50));
  s.pushClassification(cls(50));
  s.sync_pass();
  for (uint32_t id : {60u, 61u}) s.pushClassification(cls(id));  // frames that never came
  const Clock::time_point before = Clock::now();
  s.pushFrameInfo(frame(2));  // the publisher restarted
  testing::internal::CaptureStdout();
  EXPECT_EQ(s.sync_pass(before), 0u) << "frame 2 waits for its own classification";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "clear all queued data from mesh\n");
  EXPECT_EQ(s.queuedResults(), 0u);
  s.pushClassification(cls(2));
  s.pushFrameInfo(frame(3));
  s.pushClassification(cls(3));
  EXPECT_EQ(s.sync_pass(before), 2u);
  std::vector<SynchronizedData> got = drain(s);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1].frame.frame_id, 2u);
  EXPECT_EQ(got[1].classification.data[0].label, "for 2");
  EXPECT_EQ(got[2].classification.data[0].label, "for 3");
  EXPECT_EQ(s.counters().restarts, 1u);
}

TEST(Synchronizer, EachSourceIsJoinedOnItsOwn) {
  // Two publishers on one bus: camera A in its own flow with high frame ids,
  // two cameras in the default flow with their own stream ids.  Their frames
  // interleave; none is taken for a restart and every box reaches its frame.
  Synchronizer s;
  s.SetExpectedKinds(kDetection);
  const Clock::time_point before = Clock::now();
  const SampleOrigin a{"camA", "pa"}, d{"", "pd"};
  for (uint32_t i = 0; i < 20; ++i) {
    s.pushFrameInfo(frame(5000 + i, "x"), a);
    s.pushFrameInfo(frame(i, "x"), d);
    s.pushFrameInfo(frame(i, "y"), d);
    s.pushDetectionBox(det(i, "d-x-" + std::to_string(i), "x"), d);
    s.pushDetectionBox(det(5000 + i, "a-" + std::to_string(i), "x"), a);
    s.pushDetectionBox(det(i, "d-y-" + std::to_string(i), "y"), d);
  }
  EXPECT_EQ(s.sync_pass(before), 60u);
  EXPECT_EQ(s.sourceCount(), 3u);
  EXPECT_EQ(s.counters().restarts, 0u);
  EXPECT_EQ(s.counters().resultsMatched, 60u);
  for (const SynchronizedData &g : drain(s)) {
    ASSERT_EQ(g.detection.data.size(), 1u);
    const std::string want = g.flow == "camA" ? "a-" + std::to_string(g.frame.frame_id - 5000)
                                              : "d-" + g.frame.stream_id + "-" +
                                                    std::to_string(g.frame.frame_id);
    EXPECT_EQ(g.detection.data[0].obj_label, want);
  }
}

TEST(Synchronizer, DevicesFollowTheirPublisher) {
  // Frames name no camera (" "), devices do; the writer's thing id tells
  // which publisher sent what.
  Synchronizer s;
  s.pushDeviceInfo(device("cam-1"), SampleOrigin::fromWriter("", "P1/DeviceInfoData"));
  s.pushFrameInfo(frame(7, " "), SampleOrigin::fromWriter("", "P3/main"));
  s.sync_pass();
  SynchronizedData early;
  ASSERT_TRUE(s.pop(early));
  EXPECT_EQ(early.device.stream_id, "") << "a publisher whose device has not come gets none";
  s.pushDeviceInfo(device("cam-2"), SampleOrigin::fromWriter("", "P2/DeviceInfoData"));
  s.pushFrameInfo(frame(1, " "), SampleOrigin::fromWriter("", "P1/main"));
  s.sync_pass();
  s.pushFrameInfo(frame(1, " "), SampleOrigin::fromWriter("", "P2/main"));
  s.sync_pass();
  std::vector<SynchronizedData> got = drain(s);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].device.stream_id, "cam-1");
  EXPECT_EQ(got[1].device.stream_id, "cam-2");
}

TEST(Synchronizer, TwoPublishersWithTheSameStreamIdInOneFlowAreJoinedApart) {
  // Two cameras tagged alike (" "), both in the default flow, numbering
  // their frames far apart; a third peer names its things otherwise and is
  // joined by flow and stream.
  Synchronizer s;
  s.SetExpectedKinds(kDetection);
  const Clock::time_point before = Clock::now();
  for (uint32_t i = 1; i <= 10; ++i) {
    s.pushFrameInfo(frame(900 + i, " "), SampleOrigin::fromWriter("", "A/main"));
    s.pushDetectionBox(det(900 + i, "A" + std::to_string(i), " "),
                       SampleOrigin::fromWriter("", "A/DetectionBoxData"));
    s.pushDetectionBox(det(i, "B" + std::to_string(i), " "),
                       SampleOrigin::fromWriter("", "B/DetectionBoxData"));
    s.pushFrameInfo(frame(i, " "), SampleOrigin::fromWriter("", "B/main"));
    s.pushFrameInfo(frame(i, "peer"), SampleOrigin::fromWriter("", "0f3c-frames"));
    s.pushDetectionBox(det(i, "P" + std::to_string(i), "peer"),
                       SampleOrigin::fromWriter("", "77aa-boxes"));
  }
  EXPECT_EQ(s.sync_pass(before), 30u);
  EXPECT_EQ(s.counters().restarts, 0u);
  EXPECT_EQ(s.counters().resultsMatched, 30u);
  for (const SynchronizedData &g : drain(s)) {
    ASSERT_EQ(g.detection.data.size(), 1u);
    const std::string &label = g.detection.data[0].obj_label;
    if (g.frame.stream_id == "peer")
      EXPECT_EQ(label, "P" + std::to_string(g.frame.frame_id));
    else if (g.frame.frame_id > 900)
      EXPECT_EQ(label, "A" + std::to_string(g.frame.frame_id - 900));
    else
      EXPECT_EQ(label, "B" + std::to_string(g.frame.frame_id));
  }
}

TEST(Synchronizer, QueuesAndSourcesAreBounded) {
  Synchronizer s;
  s.SetExpectedKinds(kDetection);
  for (uint32_t i = 0; i < 300; ++i) s.pushDetectionBox(det(i, "orphan"));
  EXPECT_EQ(s.queuedResults(), Synchronizer::kResultQueueLimit);
  EXPECT_EQ(s.counters().resultsDropped, 300 - Synchronizer::kResultQueueLimit);
  Synchronizer f;
  f.SetExpectedKinds(kDetection);
  for (uint32_t i = 0; i < 100; ++i) f.pushFrameInfo(frame(i));
  EXPECT_EQ(f.queuedFrames(), Synchronizer::kFrameQueueLimit);
  EXPECT_EQ(f.counters().framesDropped, 100 - Synchronizer::kFrameQueueLimit);
  Synchronizer many;
  for (int i = 0; i < 100; ++i) many.pushFrameInfo(frame(1), {"flow" + std::to_string(i), ""});
  EXPECT_EQ(many.sourceCount(), Synchronizer::kSourceLimit);
  EXPECT_EQ(many.counters().sourcesEvicted, 100 - Synchronizer::kSourceLimit);
  many.sync_pass();
  EXPECT_EQ(many.poolSize(), 11u);
}

TEST(Synchronizer, WorkerDeliversToAWaitingConsumerAndStopWakesIt) {
  Synchronizer s;
  s.SetExpectedKinds(kClassification);
  s.Start();
  std::vector<uint32_t> got;
  std::thread consumer([&] {
    SynchronizedData d;
    while (s.waitPop(d, [&] { return !s.IsRunning(); })) {
      got.push_back(d.frame.frame_id);
      if (got.size() == 3) return;
    }
  });
  for (uint32_t id = 1; id <= 3; ++id) {
    s.pushClassification(cls(id));
    s.pushFrameInfo(frame(id));
  }
  consumer.join();
  EXPECT_EQ(got, (std::vector<uint32_t>{1, 2, 3}));

  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    SynchronizedData d;
    EXPECT_FALSE(s.waitPop(d, [&] { return !s.IsRunning(); }));
    returned = true;
  });
  s.Stop();  // no frame comes: stopping must end the wait
  waiter.join();
  EXPECT_TRUE(returned.load());
}

TEST(Synchronizer, WakeEndsAWaitThatIsInterrupted) {
  Synchronizer s;
  std::atomic<bool> interrupted{false};
  std::thread waiter([&] {
    SynchronizedData d;
    EXPECT_FALSE(s.waitPop(d, [&] { return interrupted.load(); }));
  });
  interrupted = true;
  s.wake();
  waiter.join();
}

TEST(Receiver, EmptyResultRecordsSettleButAreNotQueued) {
  ReceiveImage r;
  r.synchronizer.SetExpectedKinds(kClassification | kDetection | kSegmentation);
  r.callback(cls(1, 0));
  r.callback(det(1, ""));
  SegmentInfo seg;
  seg.stream_id = "cam";
  seg.frame_id = 1;
  r.callback(seg);
  EXPECT_EQ(r.synchronizer.queuedResults(), 0u);
  r.callback(frame(1));
  EXPECT_EQ(r.synchronizer.sync_pass(Clock::now() - milliseconds(1000)), 1u);
  r.callback(cls(2, 2));
  EXPECT_EQ(r.synchronizer.queuedResults(), 1u);
}

TEST(Receiver, FramesWithoutPixelsAreNotQueued) {
  ReceiveImage r;
  r.callback(FrameInfo());
  EXPECT_EQ(r.synchronizer.queuedFrames(), 0u);
  EXPECT_EQ(r.Width(), 0u);
  r.callback(frame(1));
  EXPECT_EQ(r.synchronizer.queuedFrames(), 1u);
  EXPECT_EQ(r.Width(), 2u);
  EXPECT_EQ(r.Height(), 1u);
}

TEST(Receiver, CombinedRecordsGoToThePoolAndOnesWithoutPictureAreNoFrames) {
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
  r.callback(u, {"flowX", ""});
  EXPECT_FALSE(r.synchronizer.IsRunning()) << "combined records need no worker";
  r.callback(UniInfo());
  UniInfo no_picture = u;
  no_picture.VideoList[0].frame_id = 10;
  no_picture.VideoList[0].data.clear();
  r.callback(no_picture);
  EXPECT_EQ(r.synchronizer.poolFrameIds(), (std::vector<uint32_t>{9}))
      << "a combined record without a picture is no frame";
  std::vector<SynchronizedData> got = drain(r.synchronizer);
  ASSERT_EQ(got.size(), 1u);
  const SynchronizedData &d = got[0];
  EXPECT_EQ(d.frame.data, (ByteVec{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(d.flow, "flowX");
  EXPECT_EQ(d.classification.engine_id, "eng");
  EXPECT_EQ(d.classification.frame_id, 9u);
  EXPECT_EQ(d.classification.data[0].index, 4);
  EXPECT_EQ(d.detection.data.size(), 2u);
  EXPECT_EQ(d.segmentation.frame_id, 0u);
  EXPECT_EQ(d.device.stream_id, "dev");
  EXPECT_EQ(r.Width(), 2u);
}

TEST(MalformedReport, ReportsAtMostOnceASecondAndCountsEverySample) {
  std::vector<std::string> lines;
  MalformedReport report("DeviceInfoData", [&](const std::string &l) { lines.push_back(l); });
  const Clock::time_point t0 = Clock::now();
  // 6,000 hostile samples over 2.5 simulated seconds.
  for (int i = 0; i < 6000; ++i) {
    report.add("IOT_VALUE holds int32, not string");
    report.flush(t0 + milliseconds(i * 2500 / 6000));
  }
  report.flush(t0 + milliseconds(2600), true);
  ASSERT_EQ(lines.size(), 4u);  // at 0 s, 1 s, 2 s and the final one
  uint64_t sum = 0;
  for (const std::string &l : lines) {
    unsigned long n = 0;
    char tail[128] = {0};
    ASSERT_EQ(sscanf(l.c_str(), "dropped %lu malformed samples of DeviceInfoData in the last second: %127[^\n]",
                     &n, tail), 2) << l;
    EXPECT_STREQ(tail, "IOT_VALUE holds int32, not string");
    sum += n;
  }
  EXPECT_EQ(sum, 6000u);
  EXPECT_EQ(report.total(), 6000u);
  // The transport's own running count joins in without double counting.
  report.transport(5, "truncated payload");
  report.transport(5, "truncated payload");
  report.flush(t0 + milliseconds(5000));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines.back(),
            "dropped 5 malformed samples of DeviceInfoData in the last second: truncated payload");
}

/* ---- the publisher's sequence number */

namespace {

template <typename R>
R numbered(R r, int64_t seq) {
  r.publish_seq = seq;
  return r;
}

DeviceInfo camera(const std::string &serial, int64_t seq) {
  DeviceInfo d = device("dev");
  d.serial = serial;
  d.publish_seq = seq;
  return d;
}

const SampleOrigin kPublisher = SampleOrigin::fromWriter("", "pub1/main");

}  // namespace

TEST(Synchronizer, UnderOneRepeatedFrameIdTheSequenceKeepsEachFramesResults) {
  Synchronizer s;
  s.SetExpectedKinds(kDetection);
  // Results run ahead of their frames, every id the same.
  for (int64_t q = 1; q <= 3; ++q)
    s.pushDetectionBox(numbered(det(UINT32_MAX, "box " + std::to_string(q)), q), kPublisher);
  for (int64_t q = 1; q <= 3; ++q) s.pushFrameInfo(numbered(frame(UINT32_MAX), q), kPublisher);
  EXPECT_EQ(s.sync_pass(), 3u);
  std::vector<SynchronizedData> got = drain(s);
  ASSERT_EQ(got.size(), 3u);
  for (int q = 1; q <= 3; ++q) {
    EXPECT_EQ(got[q - 1].frame.publish_seq, q);
    ASSERT_EQ(got[q - 1].detection.data.size(), 1u);
    EXPECT_EQ(got[q - 1].detection.data[0].obj_label, "box " + std::to_string(q));
  }
  EXPECT_EQ(s.counters().resultsAmbiguous, 0u);
}

TEST(Synchronizer, ALostResultLeavesItsFrameWithoutAndTheNextFrameWithItsOwn) {
  Synchronizer s;
  s.SetExpectedKinds(kDetection);
  s.pushFrameInfo(numbered(frame(9), 1), kPublisher);  // its box was lost
  s.pushDetectionBox(numbered(det(9, "box 2"), 2), kPublisher);
  s.pushFrameInfo(numbered(frame(9), 2), kPublisher);
  EXPECT_EQ(s.sync_pass(), 2u) << "a later sequence settles frame 1: it has nothing coming";
  std::vector<SynchronizedData> got = drain(s);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(got[0].detection.data.empty()) << "never the next frame's box";
  ASSERT_EQ(got[1].detection.data.size(), 1u);
  EXPECT_EQ(got[1].detection.data[0].obj_label, "box 2");
}

TEST(Synchronizer, WithoutASequenceRepeatedIdsLoseTheirResultsInsteadOfTakingAnothers) {
  Synchronizer s;
  s.SetExpectedKinds(kDetection);
  s.pushFrameInfo(frame(UINT32_MAX), kPublisher);
  s.pushFrameInfo(frame(UINT32_MAX), kPublisher);
  s.pushDetectionBox(det(UINT32_MAX, "whose?"), kPublisher);
  s.pushDetectionBox(det(UINT32_MAX, "whose?"), kPublisher);
  EXPECT_EQ(s.sync_pass(), 2u) << "frames of an ambiguous id do not wait";
  for (const SynchronizedData &d : drain(s)) EXPECT_TRUE(d.detection.data.empty());
  EXPECT_EQ(s.queuedResults(), 0u);
  EXPECT_EQ(s.counters().resultsAmbiguous, 2u);
  // Distinct ids again: results are matched again.
  s.pushDetectionBox(det(5, "five"), kPublisher);
  s.pushFrameInfo(frame(5), kPublisher);
  EXPECT_EQ(s.sync_pass(), 1u);
  std::vector<SynchronizedData> got = drain(s);
  ASSERT_EQ(got.size(), 1u);
  ASSERT_EQ(got[0].detection.data.size(), 1u);
  EXPECT_EQ(got[0].detection.data[0].obj_label, "five");
}

TEST(Synchronizer, TwoCamerasOfOnePublisherTakeTheirOwnDevices) {
  Synchronizer s;
  // One publisher, a batch of two cameras: sequence 1 is camera a, 2 is b.
  s.pushDeviceInfo(camera("SN-a", 1), kPublisher);
  s.pushDeviceInfo(camera("SN-b", 2), kPublisher);
  s.pushFrameInfo(numbered(frame(0, "a"), 1), kPublisher);
  s.pushFrameInfo(numbered(frame(0, "b"), 2), kPublisher);
  // Camera a's next device is late: its frame keeps a's last device.
  s.pushFrameInfo(numbered(frame(1, "a"), 3), kPublisher);
  s.sync_pass();
  std::map<std::string, std::vector<std::string>> serials;
  for (const SynchronizedData &d : drain(s)) serials[d.frame.stream_id].push_back(d.device.serial);
  EXPECT_EQ(serials["a"], (std::vector<std::string>{"SN-a", "SN-a"}));
  EXPECT_EQ(serials["b"], (std::vector<std::string>{"SN-b"}));
}

TEST(Synchronizer, FollowingOneCameraDeliversOnlyItsFramesByStreamOrSerial) {
  for (const std::string follow : {"b", "SN-b"}) {
    Synchronizer s;
    s.SetFollow(follow);
    for (int64_t q = 1; q <= 4; ++q) {
      const std::string cam = q % 2 ? "a" : "b";
      s.pushDeviceInfo(camera("SN-" + cam, q), kPublisher);
      s.pushFrameInfo(numbered(frame(static_cast<uint32_t>(q), cam), q), kPublisher);
    }
    s.sync_pass();
    std::vector<SynchronizedData> got = drain(s);
    ASSERT_EQ(got.size(), 2u) << follow;
    EXPECT_EQ(got[0].frame.frame_id, 2u);
    EXPECT_EQ(got[1].frame.frame_id, 4u);
    EXPECT_EQ(s.counters().notFollowed, 2u);
    // Camera a is known now: its frames and results are no longer queued.
    s.pushDetectionBox(numbered(det(5, "a's", "a"), 5), kPublisher);
    s.pushFrameInfo(numbered(frame(5, "a"), 5), kPublisher);
    EXPECT_EQ(s.queuedFrames(), 0u) << follow;
    EXPECT_EQ(s.queuedResults(), 0u) << follow;
    EXPECT_EQ(s.counters().notFollowed, 3u);
  }
}
