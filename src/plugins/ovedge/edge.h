/* The bus bridge's connection: finds the configuration files, opens the bus,
 * creates the things the sink and source use, writes samples and runs one
 * reader thread per subscribed tag group. */
#ifndef OVEDGE_EDGE_H
#define OVEDGE_EDGE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "edge_records.h"
#include "synchronizer.h"
#include "meshapi/tidemesh.h"

namespace VXCORE {

using com::quillmark::tidemesh::Thing;
using com::quillmark::tidemesh::TideMesh;

/* Tag group names, matched by their 64-bit FNV-1a hash. */
constexpr uint64_t fnv1a(const char *s, uint64_t h = 0xcbf29ce484222325ULL) {
  return *s ? fnv1a(s + 1, (h ^ static_cast<uint8_t>(*s)) * 0x100000001b3ULL) : h;
}
inline uint64_t fnv1a(const std::string &s) { return fnv1a(s.c_str()); }

constexpr const char *kBusConfigFile = "config/TideMesh.xml";
/* What the elements add to a bus security refusal. */
constexpr const char *kSecurityHint =
    "the <Security> section of the bus configuration config/TideMesh.xml names the files; "
    "without that section the bus is not secured";

bool is_file_exist(const std::string &path);
std::string path_join(const std::vector<std::string> &parts);
std::vector<std::string> combine_paths(const std::string &root, const std::vector<std::string> &files);
/* Where the configuration files are looked for, in order: ".",
 * "/opt/orvane/vxa", "/src/common/data_model", "./common/data_model",
 * $VXA_ROOT when set, then the data folder installed beside this code (see
 * installed_data_root) when it is there. */
std::vector<std::string> search_roots();
/* The roots of search_roots() as one line for messages ("." , ... ). */
std::string search_roots_text();
/* The default configuration `cmake --install` puts under the prefix's data
 * folder, found from the file that holds this code (the plug-in); "" when
 * that folder does not exist. */
std::string installed_data_root();
/* The first root that holds every file, or "". */
std::string search_files(const std::vector<std::string> &files);
/* The properties text of `uri` with the thing id replaced by a fresh UUID. */
std::string autoGenerateTingID(const std::string &uri, bool unused = true);
std::string replace_thing_property_context_id(const std::string &text, const std::string &contextId,
                                              bool fromFile);
/* The `taggroups` property description; role is "sink" or "src". */
std::string tag_group_usage_manual(const std::string &role);
std::vector<std::string> split(const std::string &text);
/* "EDGE_PROPERTY" when set, else `fallback`. */
std::string main_properties_file(const std::string &fallback);

class Edge {
 public:
  /* Paths are relative to the search roots; empty when files are missing. */
  static std::shared_ptr<Edge> create(const std::string &busConfig, const std::string &propertiesFile,
                                      const std::string &classFile,
                                      const std::vector<std::string> &tagGroupFiles,
                                      const std::string &contextId);

  Edge(const std::string &busConfigUri, const std::string &propertiesUri,
       const std::string &classUri, const std::vector<std::string> &tagGroupUris,
       const std::string &contextId);
  ~Edge();
  Edge(const Edge &) = delete;
  Edge &operator=(const Edge &) = delete;

  /* With autoId the thing id is `thingId`, or a fresh UUID when it is empty. */
  Thing createThing(const std::vector<std::string> &tagGroupUris, const std::string &classUri,
                    const std::string &propertiesUri, bool autoId,
                    const std::string &thingId = std::string());
  void AddThing(const std::string &name, const std::string &propertiesFile,
                const std::string &classFile, const std::vector<std::string> &tagGroupFiles);
  void writeSample(const std::string &tagGroupName, const NVPSeq &nvps);

  template <typename Receiver, typename Record>
  void run_read(Receiver *receiver, std::string name);
  template <typename Receiver, typename Record>
  void run_read_flow(Receiver *receiver, std::string name, std::string flowId);
  template <typename Receiver, typename Record>
  void read(Receiver *receiver, Thing::Selector &selector);
  template <typename Receiver, typename Record>
  void read(Receiver *receiver, Thing::Selector &selector, const std::string &name);
  /* Starts a reader thread (run_read_flow when flowId is not empty). */
  template <typename Receiver, typename Record>
  void startReader(Receiver *receiver, const std::string &name, const std::string &flowId);

  /* Stops, wakes and joins the readers, closes the things and the bus.
   * Always true; a second call does nothing more. */
  bool deinit();

  const std::string &mainThingId() const { return mainThingId_; }
  const std::string &busConfigUri() const { return busConfigUri_; }
  const std::string &contextId() const { return contextId_; }
  bool isStopped() const { return stop_.load(); }
  int runningReaders() const { return running_.load(); }
  size_t readerThreads() const { return threads_.size(); }
  bool hasThing(const std::string &name) const { return findThing(name) != nullptr; }
  /* Whether the tag group `group`, as registered from its file, defines
   * `tag` (samples carrying a tag their group lacks cannot be written). */
  bool tagGroupDefines(const std::string &group, const std::string &tag) const;
  Thing &mainThing() { return mainThing_; }
  Thing &thing(const std::string &name);
  /* Samples the readers could not decode, counted when each reader ends. */
  uint64_t malformedSamples() const { return malformed_.load(); }

 private:
  std::string busConfigUri_;
  std::string propertiesUri_;
  std::string classUri_;
  std::vector<std::string> tagGroupUris_;
  std::string mainThingId_;
  std::string contextId_;
  std::atomic<bool> stop_{false};
  std::atomic<uint8_t> running_{0};
  TideMesh bus_;
  Thing mainThing_;
  std::vector<std::thread> threads_;
  std::atomic<uint64_t> malformed_{0};

  /* Guards the thing map, the selectors list and the registered tags: set-up inserts while
   * readers started with run_read look things up. */
  mutable std::mutex thingsMutex_;
  std::map<std::string, Thing> things_;
  std::vector<Thing::Selector> selectors_;  /* woken by deinit */
  std::map<std::string, std::vector<std::string>> tagsByGroup_;  /* as registered */
  std::mutex stopMutex_;
  std::condition_variable stopCv_;  /* signalled by deinit */

  Thing *findThing(const std::string &name) const;
  void keepSelector(const Thing::Selector &selector);
  void waitStop(std::chrono::milliseconds most);
};

/* Counts the samples of one tag group that could not be decoded and reports
 * them at most once a second ("dropped N malformed samples of <tag group> in
 * the last second: <last reason>"), so a hostile peer cannot flood the log. */
class MalformedReport {
 public:
  using Clock = std::chrono::steady_clock;
  using Sink = std::function<void(const std::string &line)>;
  /* The default sink logs through the bridge's debug category (warning). */
  explicit MalformedReport(std::string tagGroup, Sink sink = Sink());
  /* One sample dropped by the decoder of the records. */
  void add(const std::string &reason);
  /* The transport's running count of undecodable payloads. */
  void transport(uint64_t total, const std::string &reason);
  /* Writes the report line when there is something to say and a second has
   * passed since the last one (or `force`). */
  void flush(Clock::time_point now, bool force = false);
  uint64_t total() const { return total_; }

 private:
  std::string tagGroup_;
  Sink sink_;
  uint64_t pending_ = 0, total_ = 0, transportSeen_ = 0;
  std::string reason_;
  Clock::time_point last_{};
  bool reported_ = false;
};

template <typename Receiver, typename Record>
void Edge::read(Receiver *receiver, Thing::Selector &selector) {
  read<Receiver, Record>(receiver, selector, std::string());
}

template <typename Receiver, typename Record>
void Edge::read(Receiver *receiver, Thing::Selector &selector, const std::string &name) {
  MalformedReport report(name.empty() ? "VideoFrameData" : name);
  while (!stop_.load()) {
    std::vector<com::quillmark::tidemesh::DataSample> samples;
    try {
      samples = selector.read(1000);
    } catch (const std::exception &e) {
      std::cout << "A exception was caught with message " << e.what() << std::endl;
      waitStop(std::chrono::milliseconds(100));  // a broken selector must not spin
      continue;
    }
    for (com::quillmark::tidemesh::DataSample &s : samples) {
      // One bad sample costs only itself.
      try {
        Record record;
        record.Decode(s.takeNVPSeq());
        receiver->callback(std::move(record),
                           SampleOrigin::fromWriter(s.getFlowId(), s.getThingId()));
      } catch (const std::exception &e) {
        report.add(e.what());
      }
    }
    report.transport(selector.droppedSamples(), selector.lastDropReason());
    report.flush(MalformedReport::Clock::now());
  }
  report.flush(MalformedReport::Clock::now(), true);
  malformed_ += report.total();
}

template <typename Receiver, typename Record>
void Edge::run_read_flow(Receiver *receiver, std::string name, std::string flowId) {
  ++running_;
  std::ostringstream tid;
  tid << std::this_thread::get_id();
  // Nothing may escape the thread: a failed select ends this reader only.
  try {
    Thing::Selector selector;
    Thing *thing = findThing(name);
    if (!thing) {
      std::cout << "New read thread [" << tid.str() << "] for main input" << std::endl;
      selector = flowId.empty() ? mainThing_.select(name) : mainThing_.select(name, flowId);
    } else {
      std::cout << "New read thread [" << tid.str() << "] for input " << name << std::endl;
      selector = flowId.empty() ? thing->select(name) : thing->select(name, flowId);
    }
    keepSelector(selector);
    if (!stop_.load()) read<Receiver, Record>(receiver, selector, name);
  } catch (const std::exception &e) {
    std::cout << "A exception was caught with message " << e.what() << std::endl;
  }
  --running_;
}

template <typename Receiver, typename Record>
void Edge::run_read(Receiver *receiver, std::string name) {
  run_read_flow<Receiver, Record>(receiver, std::move(name), std::string());
}

template <typename Receiver, typename Record>
void Edge::startReader(Receiver *receiver, const std::string &name, const std::string &flowId) {
  // The selector is made here, on the set-up thread, so the reader never
  // looks at the thing map and a failed select fails the set-up.
  Thing *thing = findThing(name);
  // The flow is selected at once (not narrowed afterwards), so no reader of
  // every flow is made and deleted on the way.
  Thing &from = thing ? *thing : mainThing_;
  Thing::Selector selector = flowId.empty() ? from.select(name) : from.select(name, flowId);
  keepSelector(selector);
  const bool main = thing == nullptr;
  ++running_;
  threads_.emplace_back([this, receiver, name, selector, main]() mutable {
    std::ostringstream tid;
    tid << std::this_thread::get_id();
    if (main)
      std::cout << "New read thread [" << tid.str() << "] for main input" << std::endl;
    else
      std::cout << "New read thread [" << tid.str() << "] for input " << name << std::endl;
    try {
      read<Receiver, Record>(receiver, selector, name);
    } catch (const std::exception &e) {
      std::cout << "A exception was caught with message " << e.what() << std::endl;
    }
    --running_;
  });
}

}  // namespace VXCORE

#endif
