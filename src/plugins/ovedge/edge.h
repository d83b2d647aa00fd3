/* The bus bridge's connection: finds the configuration files, opens the bus,
 * creates the things the sink and source use, writes samples and runs one
 * reader thread per subscribed tag group. */
#ifndef OVEDGE_EDGE_H
#define OVEDGE_EDGE_H

#include <atomic>
#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "edge_records.h"
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

bool is_file_exist(const std::string &path);
std::string path_join(const std::vector<std::string> &parts);
std::vector<std::string> combine_paths(const std::string &root, const std::vector<std::string> &files);
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

  Thing createThing(const std::vector<std::string> &tagGroupUris, const std::string &classUri,
                    const std::string &propertiesUri, bool autoId);
  void AddThing(const std::string &name, const std::string &propertiesFile,
                const std::string &classFile, const std::vector<std::string> &tagGroupFiles);
  void writeSample(const std::string &tagGroupName, const NVPSeq &nvps);

  template <typename Receiver, typename Record>
  void run_read(Receiver *receiver, std::string name);
  template <typename Receiver, typename Record>
  void run_read_flow(Receiver *receiver, std::string name, std::string flowId);
  template <typename Receiver, typename Record>
  void read(Receiver *receiver, Thing::Selector &selector);
  /* Starts a reader thread (run_read_flow when flowId is not empty). */
  template <typename Receiver, typename Record>
  void startReader(Receiver *receiver, const std::string &name, const std::string &flowId);

  /* Stops and joins the readers, closes the things and the bus. Always true. */
  bool deinit();

  const std::string &mainThingId() const { return mainThingId_; }
  const std::string &busConfigUri() const { return busConfigUri_; }
  const std::string &contextId() const { return contextId_; }
  bool isStopped() const { return stop_.load(); }
  int runningReaders() const { return running_.load(); }
  size_t readerThreads() const { return threads_.size(); }
  bool hasThing(const std::string &name) const { return things_.count(name) != 0; }
  Thing &mainThing() { return mainThing_; }
  Thing &thing(const std::string &name) { return things_.at(name); }

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
  std::map<std::string, Thing> things_;
  Thing mainThing_;
  std::vector<std::thread> threads_;
};

template <typename Receiver, typename Record>
void Edge::read(Receiver *receiver, Thing::Selector &selector) {
  while (!stop_.load()) {
    try {
      std::vector<com::quillmark::tidemesh::DataSample> samples = selector.read(1000);
      for (com::quillmark::tidemesh::DataSample &s : samples) {
        Record record;
        record.Decode(s.takeNVPSeq());
        receiver->callback(record);
      }
    } catch (const std::exception &e) {
      std::cout << "A exception was caught with message " << e.what() << std::endl;
    }
  }
}

template <typename Receiver, typename Record>
void Edge::run_read_flow(Receiver *receiver, std::string name, std::string flowId) {
  ++running_;
  std::ostringstream tid;
  tid << std::this_thread::get_id();
  // Nothing may escape the thread: a failed select ends this reader only.
  try {
    Thing::Selector selector;
    if (things_.count(name) == 0) {
      std::cout << "New read thread [" << tid.str() << "] for main input" << std::endl;
      selector = mainThing_.select(name);
    } else {
      std::cout << "New read thread [" << tid.str() << "] for input " << name << std::endl;
      selector = things_.at(name).select(name);
    }
    if (!flowId.empty()) selector.flow(flowId);
    read<Receiver, Record>(receiver, selector);
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
  if (flowId.empty())
    threads_.emplace_back(&Edge::run_read<Receiver, Record>, this, receiver, name);
  else
    threads_.emplace_back(&Edge::run_read_flow<Receiver, Record>, this, receiver, name, flowId);
}

}  // namespace VXCORE

#endif
