/* The bus: one participant per process, one topic per tag group, things that
 * write their outputs and select their inputs, flows as partitions. */
#ifndef MESHAPI_TIDEMESH_H
#define MESHAPI_TIDEMESH_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "meshapi/errors.h"
#include "meshapi/iot_value.h"
#include "meshapi/registry.h"
#include "meshapi/security.h"

namespace com {
namespace quillmark {
namespace tidemesh {

class BusImpl;
class ThingImpl;
class SelectorImpl;

/* One received sample. */
class DataSample {
 public:
  DataSample() = default;
  DataSample(std::string thingId, std::string flowId, std::string tagGroup, iot::IOT_NVP_SEQ nvps)
      : thingId_(std::move(thingId)),
        flowId_(std::move(flowId)),
        tagGroup_(std::move(tagGroup)),
        nvps_(std::move(nvps)) {}

  const std::string &getThingId() const { return thingId_; }
  const std::string &getFlowId() const { return flowId_; }
  const std::string &getTagGroup() const { return tagGroup_; }
  const iot::IOT_NVP_SEQ &getNVPSeq() const { return nvps_; }
  /* Moves the pairs out (large byte sequences are not copied). */
  iot::IOT_NVP_SEQ takeNVPSeq() { return std::move(nvps_); }

 private:
  std::string thingId_, flowId_, tagGroup_;
  iot::IOT_NVP_SEQ nvps_;
};

class Thing {
 public:
  class Selector {
   public:
    Selector() = default;
    /* Narrows to samples written by things whose context id is flowId
     * (compared literally: '*' and '?' are plain characters).  It replaces
     * the selector's reader; where the flow is known when selecting, use
     * Thing::select(inputName, flowId) (see there). */
    Selector &flow(const std::string &flowId);
    /* Samples that arrived, or an empty vector after timeoutMs, after
     * Dispatcher::throwEvent() or once the selector's thing is closed.
     * Malformed payloads are dropped and counted. */
    std::vector<DataSample> read(int timeoutMs);
    size_t matchedWriters() const;
    /* Malformed payloads dropped so far, and why the last one was. */
    uint64_t droppedSamples() const;
    std::string lastDropReason() const;
    /* Ends a read that is waiting now (or the next one) early, empty. */
    void wake();

   private:
    friend class Thing;
    explicit Selector(std::shared_ptr<SelectorImpl> impl) : impl_(std::move(impl)) {}
    std::shared_ptr<SelectorImpl> impl_;
  };

  Thing() = default;

  /* Publishes a sample on an output of the thing's class.  Throws MeshError
   * for an unknown output or a sample that does not match its tag group
   * (naming the tag).  A write that times out because readers are gone or
   * slow is counted and logged, not thrown. */
  void write(const std::string &outputName, const iot::IOT_NVP_SEQ &sample);
  Selector select(const std::string &inputName);
  /* select(inputName).flow(flowId) without the reader of every flow in
   * between: on a secured bus a replaced reader stays matched at writers
   * that join later, and their unacknowledged samples fill up. */
  Selector select(const std::string &inputName, const std::string &flowId);
  /* Wakes and ends its selectors' reads and leaves the bus; idempotent. */
  void close();

  std::string getId() const;
  std::string getContextId() const;

  size_t matchedReaders(const std::string &outputName) const;
  uint64_t writeTimeouts() const;

 private:
  friend class TideMesh;
  explicit Thing(std::shared_ptr<ThingImpl> impl) : impl_(std::move(impl)) {}
  ThingImpl &impl() const;
  std::shared_ptr<ThingImpl> impl_;
};

class TideMesh {
 public:
  TideMesh() = default;
  /* "config=<file URI of TideMesh.xml>".  The first call opens the bus;
   * later calls share it while any handle, thing or selector is alive. */
  static TideMesh getInstance(const std::string &args);

  void addTagGroupRegistry(const JSonTagGroupRegistry &registry);
  void addThingClassRegistry(const JSonThingClassRegistry &registry);
  Thing createThing(const JSonThingProperties &properties);
  /* Releases this handle; the bus goes when nothing uses it any more. */
  void close();
  bool isOpen() const { return static_cast<bool>(impl_); }

 private:
  explicit TideMesh(std::shared_ptr<BusImpl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<BusImpl> impl_;
};

class Dispatcher {
 public:
  /* Wakes every read that is waiting (or the next one to wait) in this process. */
  static void throwEvent();
};

/* Partition name of a flow; exposed for tests. */
std::string flow_partition(const std::string &contextId);
/* The <CycloneDDS> element of a bus configuration file and its domain id. */
struct BusConfig {
  std::string cyclone_xml;
  uint32_t domain_id = 0;
  SecurityFiles security;  /* present: the bus authenticates and encrypts */
};
BusConfig parse_bus_config(const std::string &text, const std::string &origin);

}  // namespace tidemesh
}  // namespace quillmark
}  // namespace com

#endif
