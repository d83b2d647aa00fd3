/* Joins frames, device descriptions and results that arrive on separate
 * reader threads into one SynchronizedData per frame, in a bounded pool the
 * source's streaming thread takes from.
 *
 * Joining is per source: a source is one publisher's stream, told apart by
 * the flow (context id) it writes in, the stream id its records carry and
 * the publisher that wrote them.
 * Frames, results and devices of different sources never meet, so several
 * cameras publishing on one bus are each rejoined on their own.
 *
 * A frame waits for the results of the kinds the subscriber reads until each
 * kind is settled: its record arrived, or a record of that kind for a later
 * frame did (the publisher writes one per frame, empty ones included), or the
 * kind is known to be absent from this source.  A frame never waits longer
 * than the wait limit.
 *
 * Records are matched by the publisher's sequence number where they carry
 * one (every record a sink publishes for one frame carries the same), else
 * by frame id.  A frame with a sequence number takes the device description
 * published with it (or its source's previous one); a frame without takes
 * the latest device description of its publisher.  Where frame ids repeat
 * without sequence numbers, the results of the repeated id are dropped and
 * counted, never attached to a frame they may not belong to. */
#ifndef OVEDGE_SYNCHRONIZER_H
#define OVEDGE_SYNCHRONIZER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "edge_records.h"

namespace VXCORE {

/* Where a sample came from: the flow (context id) of its writer and the
 * publisher that wrote it.  Our sinks name every thing "<publisher>/<role>",
 * so the publisher is the writer's thing id up to the '/'.  A writer named
 * otherwise (another peer) gives no publisher: its records are joined by
 * flow and stream id alone. */
struct SampleOrigin {
  std::string flow;
  std::string publisher;
  static SampleOrigin fromWriter(const std::string &flow, const std::string &thingId) {
    const size_t slash = thingId.find('/');
    return {flow, slash == std::string::npos ? std::string() : thingId.substr(0, slash)};
  }
};

struct SynchronizedData {
  FrameInfo frame;
  DeviceInfo device;
  Information<ClassificationData> classification;
  Information<DetectionBoxData> detection;
  SegmentInfo segmentation;
  std::string flow;  /* the flow the frame was written in */
};

struct poolingData {
  std::deque<SynchronizedData> synchronizedVec;  /* oldest first */
  /* Removes the oldest entries until at most `limit` remain. */
  int DropSynchronizedVec(int limit);
};

/* Result kinds a frame can wait for. */
enum ResultKind : unsigned { kClassification = 1u, kDetection = 2u, kSegmentation = 4u };

struct SyncCounters {
  uint64_t delivered = 0;
  uint64_t poolDropped = 0;      /* delivered but overwritten before the consumer took them */
  uint64_t framesDropped = 0;    /* a source's frame queue was full */
  uint64_t resultsDropped = 0;   /* results of frames that never came, or a full queue */
  uint64_t resultsMatched = 0;
  uint64_t waitExpired = 0;      /* frames delivered when the wait limit ran out */
  uint64_t restarts = 0;
  uint64_t sourcesEvicted = 0;
  uint64_t resultsAmbiguous = 0; /* of repeated frame ids: dropped (also in resultsDropped) */
  uint64_t notFollowed = 0;      /* frames of streams the subscriber does not follow */
};

class Synchronizer {
 public:
  using Clock = std::chrono::steady_clock;

  Synchronizer() = default;
  /* Stops and joins the worker. */
  ~Synchronizer();
  Synchronizer(const Synchronizer &) = delete;
  Synchronizer &operator=(const Synchronizer &) = delete;

  /* Starts the worker thread (once). */
  void Start();
  /* Ends the worker, joins it and wakes every waiting consumer. */
  void Stop();
  void SetWorkerMessageFlag(bool on) { workerMessage.store(on); }
  bool GetWorkerMessageFlag() const { return workerMessage.load(); }
  bool IsRunning() const { return running.load(); }

  /* Result kinds (ResultKind bits) the subscriber reads: frames wait for
   * these only.  Set before the readers start. */
  void SetExpectedKinds(unsigned kinds);
  void SetPoolLimit(int limit);
  /* Delivers only the frames whose stream id, or whose device's serial or
   * stream id, is `streamOrSerial` (empty: every frame). */
  void SetFollow(const std::string &streamOrSerial);
  void SetWaitLimit(std::chrono::milliseconds limit);

  void pushFrameInfo(FrameInfo f, const SampleOrigin &origin = {});
  void pushDeviceInfo(DeviceInfo d, const SampleOrigin &origin = {});
  /* Records with an empty entry list are not queued; they tell that the
   * frame has no results of that kind. */
  void pushClassification(Information<ClassificationData> c, const SampleOrigin &origin = {});
  void pushDetectionBox(Information<DetectionBoxData> d, const SampleOrigin &origin = {});
  void pushSegmentInfo(SegmentInfo s, const SampleOrigin &origin = {});
  /* An already joined frame (combined records) goes straight to the pool. */
  void pushSynchronized(SynchronizedData d);

  /* One pass over every source at time `now` (takes the lock).  Returns the
   * number of frames delivered; `next` is set to the earliest time a waiting
   * frame's wait limit runs out (Clock::time_point::max() when none waits). */
  size_t sync_pass(Clock::time_point now, Clock::time_point *next = nullptr);
  size_t sync_pass() { return sync_pass(Clock::now()); }

  /* Consumer side.  Takes the oldest delivered frame; false when none. */
  bool pop(SynchronizedData &out);
  /* Waits until a frame is delivered (true, taken into `out`), or until
   * `interrupted()` holds after a wake() or the synchronizer stops (false). */
  bool waitPop(SynchronizedData &out, const std::function<bool()> &interrupted);
  /* Wakes consumers blocked in waitPop so they look at `interrupted` again. */
  void wake();

  /* Snapshots for tests and statistics (take the lock). */
  size_t poolSize() const;
  std::vector<uint32_t> poolFrameIds() const;
  size_t queuedFrames() const;
  size_t queuedResults() const;
  size_t sourceCount() const;
  size_t knownDevices() const;  /* publishers with a device description */
  SyncCounters counters() const;

  /* Per-source bounds: frames and results of one kind that wait; sources
   * remembered.  Oldest dropped first, counted. */
  static constexpr size_t kFrameQueueLimit = 64;
  static constexpr size_t kResultQueueLimit = 256;
  static constexpr size_t kSourceLimit = 64;

 private:
  struct Source;
  using SourceKey = std::tuple<std::string, std::string, std::string>;  /* flow, stream, publisher */
  using PublisherKey = std::tuple<std::string, std::string>;  /* flow, publisher */

  Source &source_locked(const SampleOrigin &origin, const std::string &stream);
  void evict_locked();
  template <typename T>
  void push_result_locked(T &&record, const SampleOrigin &origin, unsigned kind);
  size_t pass_source_locked(const SourceKey &key, Source &s, Clock::time_point now,
                            Clock::time_point &next);
  bool device_for_locked(const SourceKey &key, const Source &s, DeviceInfo &out) const;
  bool device_by_seq_locked(const SourceKey &key, Source &s, uint64_t seq, DeviceInfo &out);
  bool followed_locked(const SynchronizedData &d) const;
  void deliver_locked(SynchronizedData &&d);
  size_t queuedFramesLocked() const;
  void notify_worker();
  void sync_work();

  mutable std::mutex m;            /* guards everything below but the atomics */
  std::condition_variable workCv;  /* worker: new input, stop */
  std::condition_variable poolCv;  /* consumers: delivery, wake, stop */
  bool dirty = false;              /* input arrived since the worker's last pass */
  uint64_t wakeups = 0;            /* wake() calls */
  uint64_t tick = 0;               /* input counter: last activity of a source */

  std::map<SourceKey, Source *> sources;  /* owned; deleted in the destructor */
  std::map<PublisherKey, DeviceInfo> devicesByPublisher;
  std::map<PublisherKey, DeviceInfo> devicesByStream;  /* flow and the device's stream id */
  std::map<std::string, DeviceInfo> devicesByFlow;
  std::map<PublisherKey, std::deque<DeviceInfo>> devicesBySeq;  /* numbered, per publisher */
  std::string follow;
  poolingData syncPool;
  int poolLimit = 10;
  unsigned expected = 0;
  std::chrono::milliseconds waitLimit{200};
  SyncCounters stats;

  std::thread worker;  /* touched by Start and Stop only */
  std::atomic<bool> workerMessage{false};
  std::atomic<bool> running{false};
};

/* The receiver the reader threads call (one callback per record type). */
class ReceiveImage {
 public:
  void callback(FrameInfo &&frame, const SampleOrigin &origin = {});
  void callback(DeviceInfo &&device, const SampleOrigin &origin = {});
  void callback(SegmentInfo &&seg, const SampleOrigin &origin = {});
  void callback(Information<ClassificationData> &&cls, const SampleOrigin &origin = {});
  void callback(Information<DetectionBoxData> &&det, const SampleOrigin &origin = {});
  void callback(UniInfo &&uni, const SampleOrigin &origin = {});
  template <typename R>
  void callback(const R &record, const SampleOrigin &origin = {}) {
    R copy = record;
    callback(std::move(copy), origin);
  }

  static SynchronizedData parser(const UniInfo &uni);
  static SynchronizedData parser(UniInfo &&uni);

  /* Size of the first received picture (0 until one has come). */
  uint32_t Width() const { return width.load(); }
  uint32_t Height() const { return height.load(); }

  std::string contextId;
  Synchronizer synchronizer;

 private:
  void note_size(uint32_t w, uint32_t h);

  std::atomic<uint32_t> width{0}, height{0};
  std::atomic<bool> firstUni{false};
};

}  // namespace VXCORE

#endif
