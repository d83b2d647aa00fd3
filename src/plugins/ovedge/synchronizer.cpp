#include "synchronizer.h"

#include <algorithm>
#include <iostream>
#include <limits>

#include <glib.h>

#include "box_convert.h"
#include "edge_log.h"

namespace VXCORE {

/* One source's waiting frames and results.  Records are matched by key: the
 * publisher's sequence number where they carry one, else the frame id.
 * `mark` is the key of the last record of a kind that arrived (empty ones
 * included): a frame whose key is at or below it has nothing more to wait
 * for of that kind. */
struct Synchronizer::Source {
  struct Waiting {
    FrameInfo frame;
    Clock::time_point arrived;
  };
  std::deque<Waiting> frames;
  std::deque<Information<ClassificationData>> classification;
  std::deque<Information<DetectionBoxData>> detection;
  std::deque<SegmentInfo> segmentation;
  unsigned seen = 0;    /* kinds that ever arrived from this source */
  unsigned marked = 0;  /* kinds whose mark belongs to the current numbering */
  unsigned absent = 0;  /* kinds a frame waited for in vain: not waited for again */
  uint64_t mark[3] = {0, 0, 0};
  bool hasLast = false;
  uint64_t lastSyncID = 0;
  uint64_t lastActive = 0;
  /* A frame id that arrived twice in a row on a source without sequence
   * numbers: results for that id cannot be told apart and are never
   * attached. */
  bool hasArrived = false;
  uint64_t lastArrived = 0;
  bool hasAmbiguous = false;
  uint64_t ambiguousKey = 0;
  bool toldAmbiguous = false;
  /* The device of this source's last frame matched by sequence number. */
  bool hasDevice = false;
  DeviceInfo lastDevice;
  /* Whether the subscriber follows this source, once a delivered frame has
   * told (its stream id, or its device): frames and results of a source it
   * does not follow are not queued. */
  enum class Follow { Unknown, Yes, No } follow = Follow::Unknown;
};

namespace {

/* What a record is matched by: the publisher's sequence number, or the
 * frame id of records that carry none. */
template <typename R>
uint64_t key_of(const R &r) {
  return r.publish_seq > 0 ? static_cast<uint64_t>(r.publish_seq) : r.frame_id;
}

int kind_index(unsigned kind) { return kind == kClassification ? 0 : kind == kDetection ? 1 : 2; }

const char *kind_name(unsigned kind) {
  return kind == kClassification ? "classification"
         : kind == kDetection    ? "detection"
                                 : "segmentation";
}

template <typename T>
void cap_front(std::deque<T> &q, size_t limit, uint64_t &dropped) {
  while (q.size() > limit) {
    q.pop_front();
    ++dropped;
  }
}

/* Drops the entries for frames before `id`; moves out the one for `id`.
 * True when it was there. */
template <typename T>
bool take_match(std::deque<T> &queue, uint64_t id, T &out, uint64_t &dropped) {
  while (!queue.empty() && key_of(queue.front()) < id) {
    queue.pop_front();
    ++dropped;
  }
  if (queue.empty() || key_of(queue.front()) != id) return false;
  out = std::move(queue.front());
  queue.pop_front();
  return true;
}

/* Whether the result of `kind` for frame `id` has been settled: its record
 * is queued, a later frame's record arrived, or the kind does not come. */
template <typename T>
bool settled(const std::deque<T> &queue, uint64_t id, bool marked, uint64_t mark, bool absent) {
  for (const T &e : queue)
    if (key_of(e) >= id) return true;
  return absent || (marked && mark >= id);
}

/* After a restart to frame `id`: keeps the entries that came from the new
 * numbering (ids below the old position `last`), drops the rest. */
template <typename T>
void drop_old_numbering(std::deque<T> &queue, uint64_t last, uint64_t &dropped) {
  std::deque<T> kept;
  for (T &e : queue) {
    if (key_of(e) < last)
      kept.push_back(std::move(e));
    else
      ++dropped;
  }
  queue.swap(kept);
}

/* Drops every entry whose key is `id`; returns how many. */
template <typename T>
uint64_t drop_key(std::deque<T> &queue, uint64_t id) {
  uint64_t n = 0;
  for (auto it = queue.begin(); it != queue.end();) {
    if (key_of(*it) == id) {
      it = queue.erase(it);
      ++n;
    } else {
      ++it;
    }
  }
  return n;
}

}  // namespace

int poolingData::DropSynchronizedVec(int limit) {
  if (limit < 1) return 0;
  int dropped = 0;
  while (synchronizedVec.size() > static_cast<size_t>(limit)) {
    synchronizedVec.pop_front();
    ++dropped;
  }
  return dropped;
}

Synchronizer::~Synchronizer() {
  Stop();
  for (auto &kv : sources) delete kv.second;
}

void Synchronizer::Start() {
  std::lock_guard<std::mutex> lock(m);
  if (worker.joinable()) return;
  running.store(true);
  worker = std::thread(&Synchronizer::sync_work, this);
}

void Synchronizer::Stop() {
  {
    std::lock_guard<std::mutex> lock(m);
    running.store(false);
    ++wakeups;
  }
  workCv.notify_all();
  poolCv.notify_all();
  if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) worker.join();
}

void Synchronizer::SetExpectedKinds(unsigned kinds) {
  std::lock_guard<std::mutex> lock(m);
  expected = kinds & (kClassification | kDetection | kSegmentation);
}

void Synchronizer::SetPoolLimit(int limit) {
  std::lock_guard<std::mutex> lock(m);
  poolLimit = limit;
}

void Synchronizer::SetFollow(const std::string &streamOrSerial) {
  std::lock_guard<std::mutex> lock(m);
  follow = streamOrSerial;
  for (auto &kv : sources) kv.second->follow = Source::Follow::Unknown;
}

void Synchronizer::SetWaitLimit(std::chrono::milliseconds limit) {
  std::lock_guard<std::mutex> lock(m);
  waitLimit = limit;
}

void Synchronizer::notify_worker() { workCv.notify_one(); }

Synchronizer::Source &Synchronizer::source_locked(const SampleOrigin &origin,
                                                  const std::string &stream) {
  const SourceKey key{origin.flow, stream, origin.publisher};
  auto it = sources.find(key);
  if (it != sources.end()) {
    it->second->lastActive = ++tick;
    return *it->second;
  }
  Source *fresh = new Source();
  fresh->lastActive = ++tick;  // the newest: never the one evicted
  sources.emplace(key, fresh);
  evict_locked();
  return *fresh;
}

/* Forgets the least recently active sources beyond the limit. */
void Synchronizer::evict_locked() {
  while (sources.size() > kSourceLimit) {
    auto oldest = sources.begin();
    for (auto it = sources.begin(); it != sources.end(); ++it)
      if (it->second->lastActive < oldest->second->lastActive) oldest = it;
    Source *s = oldest->second;
    stats.framesDropped += s->frames.size();
    stats.resultsDropped += s->classification.size() + s->detection.size() + s->segmentation.size();
    ++stats.sourcesEvicted;
    delete s;
    sources.erase(oldest);
  }
  while (devicesByPublisher.size() > kSourceLimit) devicesByPublisher.erase(devicesByPublisher.begin());
  while (devicesByStream.size() > kSourceLimit) devicesByStream.erase(devicesByStream.begin());
  while (devicesByFlow.size() > kSourceLimit) devicesByFlow.erase(devicesByFlow.begin());
}

void Synchronizer::pushFrameInfo(FrameInfo f, const SampleOrigin &origin) {
  {
    std::lock_guard<std::mutex> lock(m);
    Source &s = source_locked(origin, f.stream_id);
    if (!follow.empty() && f.stream_id == follow) s.follow = Source::Follow::Yes;
    if (s.follow == Source::Follow::No) {
      ++stats.notFollowed;
      return;
    }
    const uint64_t key = key_of(f);
    if (f.publish_seq == 0 && s.hasArrived && key == s.lastArrived) {
      // Two frames under one id and nothing else to tell them apart: which
      // frame a result of that id belongs to cannot be known.
      s.hasAmbiguous = true;
      s.ambiguousKey = key;
      if (!s.toldAmbiguous) {
        s.toldAmbiguous = true;
        ov_edge_debug_init();
        GST_CAT_WARNING(ov_edge_debug,
                        "frames of stream \"%s\" repeat frame id %u and carry no publisher "
                        "sequence: their results cannot be told apart and are dropped (tag the "
                        "stream with a writer that numbers frames, or publish with a current "
                        "sink)",
                        f.stream_id.c_str(), f.frame_id);
      }
    }
    s.hasArrived = true;
    s.lastArrived = key;
    s.frames.push_back({std::move(f), Clock::now()});
    cap_front(s.frames, kFrameQueueLimit, stats.framesDropped);
    dirty = true;
  }
  notify_worker();
}

void Synchronizer::pushDeviceInfo(DeviceInfo d, const SampleOrigin &origin) {
  {
    std::lock_guard<std::mutex> lock(m);
    if (d.publish_seq > 0 && !origin.publisher.empty()) {
      // The description of one frame: it goes to that frame (by its number).
      std::deque<DeviceInfo> &q = devicesBySeq[{origin.flow, origin.publisher}];
      q.push_back(d);
      while (q.size() > kResultQueueLimit) q.pop_front();
      while (devicesBySeq.size() > kSourceLimit) devicesBySeq.erase(devicesBySeq.begin());
    }
    if (!origin.publisher.empty()) devicesByPublisher[{origin.flow, origin.publisher}] = d;
    devicesByStream[{origin.flow, d.stream_id}] = d;
    devicesByFlow[origin.flow] = std::move(d);
    evict_locked();
  }
}

template <typename T>
void Synchronizer::push_result_locked(T &&record, const SampleOrigin &origin, unsigned kind) {
  Source &s = source_locked(origin, record.stream_id);
  if (s.follow == Source::Follow::No) return;
  const int k = kind_index(kind);
  s.seen |= kind;
  s.marked |= kind;
  s.absent &= ~kind;
  s.mark[k] = key_of(record);
  if (record.data.empty()) return;
  auto push = [&](auto &queue) {
    queue.push_back(std::move(record));
    cap_front(queue, kResultQueueLimit, stats.resultsDropped);
  };
  if constexpr (std::is_same_v<std::decay_t<T>, Information<ClassificationData>>)
    push(s.classification);
  else if constexpr (std::is_same_v<std::decay_t<T>, Information<DetectionBoxData>>)
    push(s.detection);
  else
    push(s.segmentation);
}

void Synchronizer::pushClassification(Information<ClassificationData> c,
                                      const SampleOrigin &origin) {
  {
    std::lock_guard<std::mutex> lock(m);
    push_result_locked(std::move(c), origin, kClassification);
    dirty = true;
  }
  notify_worker();
}

void Synchronizer::pushDetectionBox(Information<DetectionBoxData> d, const SampleOrigin &origin) {
  {
    std::lock_guard<std::mutex> lock(m);
    push_result_locked(std::move(d), origin, kDetection);
    dirty = true;
  }
  notify_worker();
}

void Synchronizer::pushSegmentInfo(SegmentInfo s, const SampleOrigin &origin) {
  {
    std::lock_guard<std::mutex> lock(m);
    push_result_locked(std::move(s), origin, kSegmentation);
    dirty = true;
  }
  notify_worker();
}

void Synchronizer::pushSynchronized(SynchronizedData d) {
  {
    std::lock_guard<std::mutex> lock(m);
    if (!followed_locked(d)) {
      ++stats.notFollowed;
      return;
    }
    deliver_locked(std::move(d));
  }
  poolCv.notify_all();
}

void Synchronizer::deliver_locked(SynchronizedData &&d) {
  const int dropped = syncPool.DropSynchronizedVec(poolLimit);
  stats.poolDropped += static_cast<uint64_t>(dropped);
  const bool msg = workerMessage.load();
  if (msg) {
    std::cout << "[Drop Data] Dropped " << dropped << " synchronizedData." << std::endl;
    std::cout << "(frame id, device id, classification id, detectionbox id, segment id)= ("
              << d.frame.frame_id << ", " << d.device.stream_id << ", "
              << d.classification.frame_id << ", " << d.detection.frame_id << ", "
              << d.segmentation.frame_id << ")" << std::endl;
  }
  syncPool.synchronizedVec.push_back(std::move(d));
  ++stats.delivered;
}

bool Synchronizer::device_for_locked(const SourceKey &key, const Source &s,
                                     DeviceInfo &out) const {
  const std::string &flow = std::get<0>(key);
  const std::string &publisher = std::get<2>(key);
  if (!publisher.empty()) {
    // A known publisher's frames take its own device or none: another
    // camera's device on this frame would be wrong.
    auto p = devicesByPublisher.find({flow, publisher});
    if (p == devicesByPublisher.end()) return false;
    out = p->second;
    return true;
  }
  auto st = devicesByStream.find({flow, std::get<1>(key)});
  if (st != devicesByStream.end()) {
    out = st->second;
    return true;
  }
  auto f = devicesByFlow.find(flow);
  if (f != devicesByFlow.end()) {
    out = f->second;
    return true;
  }
  return false;
}

/* The device of a frame that carries a sequence number: the description
 * published with it, else the last one of the same source (same camera),
 * else none: never another camera's. */
bool Synchronizer::device_by_seq_locked(const SourceKey &key, Source &s, uint64_t seq,
                                        DeviceInfo &out) {
  auto q = devicesBySeq.find({std::get<0>(key), std::get<2>(key)});
  if (q != devicesBySeq.end()) {
    for (auto it = q->second.begin(); it != q->second.end(); ++it) {
      if (static_cast<uint64_t>(it->publish_seq) != seq) continue;
      s.lastDevice = std::move(*it);
      s.hasDevice = true;
      q->second.erase(it);
      break;
    }
  }
  if (!s.hasDevice) return false;
  out = s.lastDevice;
  return true;
}

/* Whether a delivered frame is one the subscriber follows. */
bool Synchronizer::followed_locked(const SynchronizedData &d) const {
  return follow.empty() || d.frame.stream_id == follow ||
         (!d.device.serial.empty() && d.device.serial == follow) ||
         (!d.device.stream_id.empty() && d.device.stream_id == follow);
}

size_t Synchronizer::pass_source_locked(const SourceKey &key, Source &s, Clock::time_point now,
                                        Clock::time_point &next) {
  const bool msg = workerMessage.load();
  size_t delivered = 0;
  while (!s.frames.empty()) {
    Source::Waiting &w = s.frames.front();
    const bool bySeq = w.frame.publish_seq > 0;
    const uint64_t syncID = key_of(w.frame);
    if (msg) g_message("syncID = %llu", static_cast<unsigned long long>(syncID));
    if (s.hasLast && syncID < s.lastSyncID) {
      // The publisher restarted its numbering: what was queued for the old
      // numbering can never match.
      drop_old_numbering(s.classification, s.lastSyncID, stats.resultsDropped);
      drop_old_numbering(s.detection, s.lastSyncID, stats.resultsDropped);
      drop_old_numbering(s.segmentation, s.lastSyncID, stats.resultsDropped);
      for (unsigned kind : {kClassification, kDetection, kSegmentation})
        if (s.mark[kind_index(kind)] >= s.lastSyncID) s.marked &= ~kind;
      ++stats.restarts;
      std::cout << "clear all queued data from mesh" << std::endl;
    }
    s.hasLast = true;
    s.lastSyncID = syncID;
    const bool ambiguous = !bySeq && s.hasAmbiguous && syncID == s.ambiguousKey;

    unsigned waiting = 0;
    for (unsigned kind : {kClassification, kDetection, kSegmentation}) {
      if (ambiguous || !(expected & kind)) continue;
      const int k = kind_index(kind);
      const bool marked = (s.marked & kind) != 0, absent = (s.absent & kind) != 0;
      const bool ok =
          kind == kClassification ? settled(s.classification, syncID, marked, s.mark[k], absent)
          : kind == kDetection    ? settled(s.detection, syncID, marked, s.mark[k], absent)
                                  : settled(s.segmentation, syncID, marked, s.mark[k], absent);
      if (!ok) waiting |= kind;
    }
    if (waiting) {
      const Clock::time_point deadline = w.arrived + waitLimit;
      if (now < deadline) {
        next = std::min(next, deadline);
        break;
      }
      ++stats.waitExpired;
      // A kind this source has never sent is not waited for again.
      s.absent |= waiting & ~s.seen;
      if (msg)
        for (unsigned kind : {kClassification, kDetection, kSegmentation})
          if (waiting & kind)
            g_message("frame %llu: no %s result in time", static_cast<unsigned long long>(syncID),
                      kind_name(kind));
    }

    SynchronizedData sd;
    sd.flow = std::get<0>(key);
    if (ambiguous) {
      const uint64_t n = drop_key(s.classification, syncID) + drop_key(s.detection, syncID) +
                         drop_key(s.segmentation, syncID);
      stats.resultsAmbiguous += n;
      stats.resultsDropped += n;
    } else {
      if (take_match(s.classification, syncID, sd.classification, stats.resultsDropped))
        ++stats.resultsMatched;
      if (take_match(s.detection, syncID, sd.detection, stats.resultsDropped))
        ++stats.resultsMatched;
      if (take_match(s.segmentation, syncID, sd.segmentation, stats.resultsDropped))
        ++stats.resultsMatched;
    }
    if (bySeq)
      device_by_seq_locked(key, s, syncID, sd.device);
    else
      device_for_locked(key, s, sd.device);
    sd.frame = std::move(w.frame);
    s.frames.pop_front();
    const bool followed = followed_locked(sd);
    if (!follow.empty() && (followed || !sd.device.serial.empty() || !sd.device.stream_id.empty()))
      s.follow = followed ? Source::Follow::Yes : Source::Follow::No;
    if (followed) {
      deliver_locked(std::move(sd));
      ++delivered;
    } else {
      ++stats.notFollowed;
    }
  }
  return delivered;
}

size_t Synchronizer::sync_pass(Clock::time_point now, Clock::time_point *next) {
  size_t delivered = 0;
  Clock::time_point earliest = Clock::time_point::max();
  {
    std::lock_guard<std::mutex> lock(m);
    dirty = false;
    if (workerMessage.load()) {
      g_message("************");
      g_message("in sync_work(), frameInfoVec.size() = %d", static_cast<int>(queuedFramesLocked()));
      g_message("in sync_work(), syncPool.synchronizedVec.size() = %d",
                static_cast<int>(syncPool.synchronizedVec.size()));
      g_message("************");
    }
    for (auto &kv : sources) delivered += pass_source_locked(kv.first, *kv.second, now, earliest);
  }
  if (delivered) poolCv.notify_all();
  if (next) *next = earliest;
  return delivered;
}

void Synchronizer::sync_work() {
  Clock::time_point next = Clock::time_point::max();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m);
      auto ready = [&] { return !running.load() || dirty; };
      if (next == Clock::time_point::max())
        workCv.wait(lock, ready);
      else
        workCv.wait_until(lock, next, ready);
      if (!running.load()) {
        g_message("break sync while.");
        return;
      }
    }
    sync_pass(Clock::now(), &next);
  }
}

bool Synchronizer::pop(SynchronizedData &out) {
  std::lock_guard<std::mutex> lock(m);
  if (syncPool.synchronizedVec.empty()) return false;
  out = std::move(syncPool.synchronizedVec.front());
  syncPool.synchronizedVec.pop_front();
  return true;
}

bool Synchronizer::waitPop(SynchronizedData &out, const std::function<bool()> &interrupted) {
  std::unique_lock<std::mutex> lock(m);
  for (;;) {
    if (!syncPool.synchronizedVec.empty()) {
      out = std::move(syncPool.synchronizedVec.front());
      syncPool.synchronizedVec.pop_front();
      return true;
    }
    if (interrupted()) return false;
    const uint64_t seen = wakeups;
    poolCv.wait(lock, [&] { return !syncPool.synchronizedVec.empty() || wakeups != seen; });
  }
}

void Synchronizer::wake() {
  {
    std::lock_guard<std::mutex> lock(m);
    ++wakeups;
  }
  poolCv.notify_all();
}

size_t Synchronizer::poolSize() const {
  std::lock_guard<std::mutex> lock(m);
  return syncPool.synchronizedVec.size();
}

std::vector<uint32_t> Synchronizer::poolFrameIds() const {
  std::lock_guard<std::mutex> lock(m);
  std::vector<uint32_t> ids;
  for (const SynchronizedData &d : syncPool.synchronizedVec) ids.push_back(d.frame.frame_id);
  return ids;
}

size_t Synchronizer::queuedFramesLocked() const {
  size_t n = 0;
  for (const auto &kv : sources) n += kv.second->frames.size();
  return n;
}

size_t Synchronizer::queuedFrames() const {
  std::lock_guard<std::mutex> lock(m);
  return queuedFramesLocked();
}

size_t Synchronizer::queuedResults() const {
  std::lock_guard<std::mutex> lock(m);
  size_t n = 0;
  for (const auto &kv : sources)
    n += kv.second->classification.size() + kv.second->detection.size() +
         kv.second->segmentation.size();
  return n;
}

size_t Synchronizer::sourceCount() const {
  std::lock_guard<std::mutex> lock(m);
  return sources.size();
}

size_t Synchronizer::knownDevices() const {
  std::lock_guard<std::mutex> lock(m);
  return devicesByFlow.empty() ? 0 : std::max(devicesByPublisher.size(), size_t(1));
}

SyncCounters Synchronizer::counters() const {
  std::lock_guard<std::mutex> lock(m);
  return stats;
}

/* ------------------------------------------------------------- receiver */

void ReceiveImage::note_size(uint32_t w, uint32_t h) {
  width.store(w);
  height.store(h);
}

void ReceiveImage::callback(FrameInfo &&frame, const SampleOrigin &origin) {
  if (frame.data.empty() || frame.width == 0 || frame.height == 0) return;
  note_size(frame.width, frame.height);
  synchronizer.pushFrameInfo(std::move(frame), origin);
}

void ReceiveImage::callback(DeviceInfo &&device, const SampleOrigin &origin) {
  synchronizer.pushDeviceInfo(std::move(device), origin);
}

void ReceiveImage::callback(SegmentInfo &&seg, const SampleOrigin &origin) {
  synchronizer.pushSegmentInfo(std::move(seg), origin);
}

void ReceiveImage::callback(Information<ClassificationData> &&cls, const SampleOrigin &origin) {
  synchronizer.pushClassification(std::move(cls), origin);
}

void ReceiveImage::callback(Information<DetectionBoxData> &&det, const SampleOrigin &origin) {
  synchronizer.pushDetectionBox(std::move(det), origin);
}

void ReceiveImage::callback(UniInfo &&uni, const SampleOrigin &origin) {
  if (!firstUni.exchange(true)) synchronizer.Stop();  // combined records need no worker
  // A combined record without a picture is no frame: it is not delivered
  // (and never shows the previous picture again).
  if (uni.VideoList.empty()) return;
  const VXA_VideoFrameData &v = uni.VideoList.front();
  if (v.data.empty() || v.width == 0 || v.height == 0) return;
  note_size(v.width, v.height);
  SynchronizedData sd = parser(std::move(uni));
  sd.flow = origin.flow;
  synchronizer.pushSynchronized(std::move(sd));
}

namespace {

void fill_from_video(SynchronizedData &sd, VXA_VideoFrameData &&v) {
  if (!v.ClassificationResult.empty()) {
    sd.classification.engine_id = v.ClassificationResult.front().engine_id;
    sd.classification.stream_id = v.stream_id;
    sd.classification.frame_id = v.frame_id;
    append_classifications(sd.classification.data, v.ClassificationResult);
  }
  if (!v.DetectionResult.empty()) {
    sd.detection.engine_id = v.DetectionResult.front().engine_id;
    sd.detection.stream_id = v.stream_id;
    sd.detection.frame_id = v.frame_id;
    append_boxes(sd.detection.data, v.DetectionResult);
  }
  if (!v.SegmentationResult.empty()) {
    sd.segmentation.stream_id = v.stream_id;
    sd.segmentation.frame_id = v.frame_id;
    sd.segmentation.data = std::move(v.SegmentationResult);
  }
  static_cast<FrameFields &>(sd.frame) = std::move(static_cast<FrameFields &>(v));
}

}  // namespace

SynchronizedData ReceiveImage::parser(const UniInfo &uni) {
  SynchronizedData sd;
  if (!uni.VideoList.empty()) {
    fill_from_video(sd, VXA_VideoFrameData(uni.VideoList.front()));
  }
  if (!uni.DeviceList.empty()) sd.device = uni.DeviceList.front();
  return sd;
}

SynchronizedData ReceiveImage::parser(UniInfo &&uni) {
  SynchronizedData sd;
  if (!uni.VideoList.empty()) fill_from_video(sd, std::move(uni.VideoList.front()));
  if (!uni.DeviceList.empty()) sd.device = std::move(uni.DeviceList.front());
  return sd;
}

}  // namespace VXCORE
