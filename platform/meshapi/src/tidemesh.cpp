#include "meshapi/tidemesh.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <mutex>

#include <dds/dds.h>

#include "MeshSample.h"
#include "meshapi/nvp_codec.h"

namespace com {
namespace quillmark {
namespace tidemesh {

namespace {

constexpr int32_t kReaderDepth = 8;
constexpr int64_t kMaxBlockingMs = 100;
constexpr uint32_t kTakeBatch = 1;

std::string dds_error(dds_return_t rc) { return dds_strretcode(rc); }

/* What the transport logged since `mark`, as a clause of an error message. */
std::string transport_said(uint64_t mark) {
  std::string out;
  for (const std::string &line : transport_log_since(mark)) out += (out.empty() ? "" : " | ") + line;
  return out.empty() ? std::string() : "; the transport said: " + out;
}

/* Cyclone accepts letters, digits, '_' and '/' in topic names. */
std::string topic_name(const std::string &tagGroupId) {
  std::string out = "tidemesh_";
  for (char c : tagGroupId) out += (isalnum(static_cast<unsigned char>(c)) ? c : '_');
  return out;
}

struct QosPtr {
  dds_qos_t *q = dds_create_qos();
  ~QosPtr() { dds_delete_qos(q); }
};

}  // namespace

std::string flow_partition(const std::string &contextId) {
  // Partition matching treats '*' and '?' as wildcards and has no escape, so
  // they (and the escape character itself) are percent-encoded.
  static const char hex[] = "0123456789ABCDEF";
  std::string out = "mesh.";
  for (unsigned char c : contextId) {
    if (c == '*' || c == '?' || c == '%' || c == '\\') {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

BusConfig parse_bus_config(const std::string &raw, const std::string &origin) {
  std::string text;
  // Drop comments so that a commented-out element is not picked up.
  for (size_t pos = 0;;) {
    size_t c = raw.find("<!--", pos);
    text += raw.substr(pos, c == std::string::npos ? std::string::npos : c - pos);
    if (c == std::string::npos) break;
    size_t e = raw.find("-->", c + 4);
    if (e == std::string::npos) throw MeshError(origin + ": unterminated XML comment");
    pos = e + 3;
  }
  size_t b = text.find("<CycloneDDS");
  size_t e = text.find("</CycloneDDS>");
  if (b == std::string::npos || e == std::string::npos || e < b)
    throw MeshError(origin + ": no <CycloneDDS> element");
  BusConfig cfg;
  cfg.cyclone_xml = text.substr(b, e + std::strlen("</CycloneDDS>") - b);
  size_t d = cfg.cyclone_xml.find("<Domain");
  if (d != std::string::npos) {
    size_t close = cfg.cyclone_xml.find('>', d);
    std::string tag = cfg.cyclone_xml.substr(d, close - d);
    size_t id = tag.find("id=\"");
    if (id != std::string::npos) {
      std::string v = tag.substr(id + 4, tag.find('"', id + 4) - (id + 4));
      if (v != "any") {
        char *end = nullptr;
        unsigned long n = std::strtoul(v.c_str(), &end, 10);
        if (v.empty() || *end != '\0' || n > 230)
          throw MeshError(origin + ": domain id \"" + v + "\" is not a number from 0 to 230");
        cfg.domain_id = static_cast<uint32_t>(n);
      }
    }
  }
  cfg.security = parse_security_section(cfg.cyclone_xml, origin);
  return cfg;
}

/* ---------------------------------------------------------------- bus */

class BusImpl {
 public:
  BusImpl(const BusConfig &cfg, std::string source)
      : source_(std::move(source)), security_(cfg.security) {
    install_transport_log();
    // The transport would refuse a bad file with a bare code: say which and why.
    if (security_.present) check_security_files(security_, std::time(nullptr));
    const uint64_t mark = transport_log_mark();
    domain_ = dds_create_domain(cfg.domain_id, cfg.cyclone_xml.c_str());
    if (domain_ < 0)
      throw MeshError("cannot create bus domain " + std::to_string(cfg.domain_id) + " from " +
                      source_ + ": " + dds_error(domain_) + transport_said(mark));
    participant_ = dds_create_participant(cfg.domain_id, nullptr, nullptr);
    if (participant_ < 0) {
      dds_delete(domain_);
      if (security_.present)
        throw SecurityError("bus security refused this node (configuration " + source_ +
                            ", identity " + security_.identityCertificate + ", permissions " +
                            security_.permissions + "): " + dds_error(participant_) +
                            transport_said(mark));
      throw MeshError("cannot join the bus: " + dds_error(participant_) + transport_said(mark));
    }
  }
  ~BusImpl() {
    dds_delete(participant_);
    dds_delete(domain_);
  }

  dds_entity_t participant() const { return participant_; }
  const std::string &source() const { return source_; }

  /* Throws the error of creating an entity for tag group `group`: the
   * permissions named when security refused it. */
  [[noreturn]] void refuse(const std::string &what, const TagGroup &group, dds_return_t rc) const {
    if (rc == DDS_RETCODE_NOT_ALLOWED_BY_SECURITY && security_.present)
      throw SecurityError("the permissions document " + security_.permissions +
                          " does not allow this node to " + what + " tag group " + group.name +
                          " (topic " + topic_name(group.id) + "); make this node's permissions "
                          "with the role it needs (./ov bus-keys --node NAME:publish, "
                          ":subscribe or :both) or use the node's own");
    throw MeshError("cannot " + what + " tag group " + group.name + ": " + dds_error(rc));
  }

  dds_entity_t topic(const TagGroup &group) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = topics_.find(group.id);
    if (it != topics_.end()) return it->second;
    dds_entity_t t = dds_create_topic(participant_, &mesh_MeshSample_desc,
                                      topic_name(group.id).c_str(), nullptr, nullptr);
    if (t < 0) refuse("use", group, t);
    topics_[group.id] = t;
    return t;
  }

  void addTagGroups(const JSonTagGroupRegistry &r) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The latest registration of a name wins, so a thing created right after
    // its registry was added gets the tag groups of that registry.
    for (const auto &kv : r.tagGroups()) tagGroups_[kv.first] = kv.second;
  }
  void addThingClasses(const JSonThingClassRegistry &r) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &kv : r.thingClasses()) classes_[kv.first] = kv.second;
  }
  ThingClass thingClass(const std::string &id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = classes_.find(id);
    if (it == classes_.end()) throw MeshError("unknown thing class \"" + id + "\"");
    return it->second;
  }
  TagGroup tagGroup(const std::string &name, const std::string &forWhat) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = tagGroups_.find(name);
    if (it == tagGroups_.end())
      throw MeshError(forWhat + " refers to unknown tag group \"" + name + "\"");
    return it->second;
  }

 private:
  std::string source_;
  SecurityFiles security_;
  dds_entity_t domain_ = 0;
  dds_entity_t participant_ = 0;
  std::mutex mutex_;  /* guards the three maps */
  std::map<std::string, dds_entity_t> topics_;
  std::map<std::string, TagGroup> tagGroups_;
  std::map<std::string, ThingClass> classes_;
};

namespace {
std::mutex g_bus_mutex;
std::weak_ptr<BusImpl> g_bus;
}  // namespace

TideMesh TideMesh::getInstance(const std::string &args) {
  static const std::string key = "config=";
  if (args.compare(0, key.size(), key) != 0)
    throw MeshError("TideMesh::getInstance expects \"config=<uri>\", got \"" + args + "\"");
  std::string path = path_from_uri(args.substr(key.size()));
  std::lock_guard<std::mutex> lock(g_bus_mutex);
  if (auto bus = g_bus.lock()) {
    char *a = realpath(bus->source().c_str(), nullptr), *b = realpath(path.c_str(), nullptr);
    bool same = a && b ? std::strcmp(a, b) == 0 : bus->source() == path;
    free(a);
    free(b);
    if (!same)
      std::cerr << "meshapi: bus already open from " << bus->source() << ", ignoring " << path
                << std::endl;
    return TideMesh(bus);
  }
  std::string text;
  try {
    text = read_text_file(path);
  } catch (const RegistryError &e) {
    throw MeshError(std::string("bus configuration: ") + e.what());
  }
  auto bus = std::make_shared<BusImpl>(parse_bus_config(text, path), path);
  g_bus = bus;
  return TideMesh(bus);
}

void TideMesh::addTagGroupRegistry(const JSonTagGroupRegistry &registry) {
  if (!impl_) throw MeshError("the bus is closed");
  impl_->addTagGroups(registry);
}

void TideMesh::addThingClassRegistry(const JSonThingClassRegistry &registry) {
  if (!impl_) throw MeshError("the bus is closed");
  impl_->addThingClasses(registry);
}

void TideMesh::close() { impl_.reset(); }

/* ---------------------------------------------------------------- selector */

class SelectorImpl {
 public:
  SelectorImpl(std::shared_ptr<BusImpl> bus, TagGroup group, std::string thingId,
               const std::string &partition)
      : bus_(std::move(bus)), group_(std::move(group)), thingId_(std::move(thingId)) {
    topic_ = bus_->topic(group_);
    waitset_ = dds_create_waitset(bus_->participant());
    guard_ = dds_create_guardcondition(bus_->participant());
    if (waitset_ < 0 || guard_ < 0)
      throw MeshError("cannot create a waitset: " + dds_error(waitset_ < 0 ? waitset_ : guard_));
    dds_waitset_attach(waitset_, guard_, guard_);
    subscribe(partition);
  }
  ~SelectorImpl() {
    close();
    dds_sample_free(&sample_, &mesh_MeshSample_desc, DDS_FREE_CONTENTS);
  }

  void subscribe(const std::string &partition) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) throw MeshError("selector of thing " + thingId_ + " is closed");
    if (subscriber_ > 0) dds_delete(subscriber_);  // also deletes reader and read condition
    subscriber_ = reader_ = readcond_ = 0;
    QosPtr sq;
    const char *parts[] = {partition.c_str()};
    dds_qset_partition(sq.q, 1, parts);
    dds_entity_t sub = dds_create_subscriber(bus_->participant(), sq.q, nullptr);
    if (sub < 0) bus_->refuse("subscribe to", group_, sub);
    QosPtr rq;
    dds_qset_reliability(rq.q, DDS_RELIABILITY_RELIABLE, DDS_MSECS(kMaxBlockingMs));
    dds_qset_durability(rq.q, DDS_DURABILITY_VOLATILE);
    dds_qset_history(rq.q, DDS_HISTORY_KEEP_LAST, kReaderDepth);
    dds_entity_t rd = dds_create_reader(sub, topic_, rq.q, nullptr);
    if (rd < 0) {
      dds_delete(sub);
      bus_->refuse("subscribe to", group_, rd);
    }
    dds_entity_t rc = dds_create_readcondition(rd, DDS_ANY_STATE);
    dds_waitset_attach(waitset_, rc, rd);
    subscriber_ = sub;
    reader_ = rd;
    readcond_ = rc;
  }

  void wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (guard_ > 0) dds_set_guardcondition(guard_, true);
  }

  void close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    // Deleting entities while another thread waits on them is safe: its wait
    // or take fails and read() returns empty.
    dds_set_guardcondition(guard_, true);
    if (subscriber_ > 0) dds_delete(subscriber_);
    dds_delete(waitset_);
    dds_delete(guard_);
    subscriber_ = reader_ = readcond_ = waitset_ = guard_ = 0;
  }

  std::vector<DataSample> read(int timeoutMs) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    std::vector<DataSample> out;
    for (;;) {
      dds_entity_t reader, waitset, guard;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return out;
        reader = reader_;
        waitset = waitset_;
        guard = guard_;
      }
      if (!take(reader, out)) return out;
      if (!out.empty()) return out;
      auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - clock::now());
      if (left.count() <= 0) return out;
      dds_attach_t xs[4];
      dds_return_t n = dds_waitset_wait(waitset, xs, 4, DDS_USECS(left.count()));
      if (n < 0) return out;
      for (dds_return_t i = 0; i < n; ++i) {
        if (static_cast<dds_entity_t>(xs[i]) == guard) {
          dds_set_guardcondition(guard, false);
          take(reader, out);
          return out;
        }
      }
    }
  }

  size_t matchedWriters() {
    std::lock_guard<std::mutex> lock(mutex_);
    dds_subscription_matched_status_t st;
    if (closed_ || dds_get_subscription_matched_status(reader_, &st) < 0) return 0;
    return st.current_count;
  }

  uint64_t dropped() const { return dropped_.load(); }
  std::string lastDropReason() const {
    std::lock_guard<std::mutex> lock(reasonMutex_);
    return lastDropReason_;
  }
  const std::string &thingId() const { return thingId_; }

 private:
  /* Appends the valid samples it can take; false when the reader is gone. */
  /* Samples are taken into one sample of this selector's own, not lent ones:
   * its payload buffer is reused, where a lent sample would bring a fresh,
   * zero-filled megabyte for every frame. */
  bool take(dds_entity_t reader, std::vector<DataSample> &out) {
    std::lock_guard<std::mutex> lock(takeMutex_);
    for (;;) {
      void *buf[kTakeBatch] = {&sample_};
      dds_sample_info_t info[kTakeBatch];
      dds_return_t n = dds_take(reader, buf, info, kTakeBatch, kTakeBatch);
      if (n < 0) return false;
      for (dds_return_t i = 0; i < n; ++i) {
        if (!info[i].valid_data) continue;
        const auto *s = static_cast<const mesh_MeshSample *>(buf[i]);
        try {
          out.emplace_back(s->thing_id ? s->thing_id : "", s->flow_id ? s->flow_id : "", group_.name,
                           iot::decode_payload(s->payload._buffer, s->payload._length));
        } catch (const std::exception &e) {
          // Counted, not printed: a hostile peer must not flood the log.
          // The caller reports the count at a rate of its choosing.
          std::lock_guard<std::mutex> lock(reasonMutex_);
          lastDropReason_ = std::string("from thing ") + (s->thing_id ? s->thing_id : "?") + ": " +
                            e.what();
          ++dropped_;
        }
      }
      if (static_cast<uint32_t>(n) < kTakeBatch) return true;
    }
  }

  std::shared_ptr<BusImpl> bus_;
  TagGroup group_;
  std::string thingId_;
  dds_entity_t topic_ = 0;
  std::atomic<uint64_t> dropped_{0};
  std::mutex takeMutex_;  /* guards sample_ */
  mesh_MeshSample sample_{};
  mutable std::mutex reasonMutex_;  /* guards lastDropReason_ */
  std::string lastDropReason_;
  std::mutex mutex_;  /* guards closed_ and the entity handles below */
  bool closed_ = false;
  dds_entity_t waitset_ = 0, guard_ = 0, subscriber_ = 0, reader_ = 0, readcond_ = 0;
};

namespace {
std::mutex g_selectors_mutex;
std::vector<std::weak_ptr<SelectorImpl>> g_selectors;  /* guarded by g_selectors_mutex */

void register_selector(const std::shared_ptr<SelectorImpl> &s) {
  std::lock_guard<std::mutex> lock(g_selectors_mutex);
  std::vector<std::weak_ptr<SelectorImpl>> live;
  for (auto &w : g_selectors)
    if (!w.expired()) live.push_back(w);
  live.push_back(s);
  g_selectors.swap(live);
}
}  // namespace

void Dispatcher::throwEvent() {
  std::vector<std::shared_ptr<SelectorImpl>> live;
  {
    std::lock_guard<std::mutex> lock(g_selectors_mutex);
    for (auto &w : g_selectors)
      if (auto s = w.lock()) live.push_back(s);
  }
  for (auto &s : live) s->wake();
}

Thing::Selector &Thing::Selector::flow(const std::string &flowId) {
  if (!impl_) throw MeshError("selector is not initialised");
  impl_->subscribe(flow_partition(flowId));
  return *this;
}

std::vector<DataSample> Thing::Selector::read(int timeoutMs) {
  if (!impl_) throw MeshError("selector is not initialised");
  return impl_->read(timeoutMs);
}

size_t Thing::Selector::matchedWriters() const { return impl_ ? impl_->matchedWriters() : 0; }
uint64_t Thing::Selector::droppedSamples() const { return impl_ ? impl_->dropped() : 0; }
std::string Thing::Selector::lastDropReason() const {
  return impl_ ? impl_->lastDropReason() : std::string();
}
void Thing::Selector::wake() {
  if (impl_) impl_->wake();
}

/* ---------------------------------------------------------------- thing */

class ThingImpl {
 public:
  ThingImpl(std::shared_ptr<BusImpl> bus, const JSonThingProperties &p)
      : bus_(std::move(bus)), id_(p.thingId()), contextId_(p.contextId()) {
    cls_ = bus_->thingClass(p.thingClassId());
    for (const Port &port : cls_.inputs)
      inputs_[port.name] = bus_->tagGroup(port.tagGroup, "input " + port.name + " of " + cls_.id);
    QosPtr pq;
    std::string partition = flow_partition(contextId_);
    const char *parts[] = {partition.c_str()};
    dds_qset_partition(pq.q, 1, parts);
    publisher_ = dds_create_publisher(bus_->participant(), pq.q, nullptr);
    if (publisher_ < 0) throw MeshError("cannot create publisher: " + dds_error(publisher_));
    // Writers exist from the start so that discovery runs before the first write.
    for (const Port &port : cls_.outputs) {
      Output out;
      out.group = bus_->tagGroup(port.tagGroup, "output " + port.name + " of " + cls_.id);
      QosPtr wq;
      dds_qset_reliability(wq.q, DDS_RELIABILITY_RELIABLE, DDS_MSECS(kMaxBlockingMs));
      dds_qset_durability(wq.q, DDS_DURABILITY_VOLATILE);
      dds_qset_history(wq.q, DDS_HISTORY_KEEP_ALL, 0);
      dds_qset_writer_data_lifecycle(wq.q, false);
      out.writer = dds_create_writer(publisher_, bus_->topic(out.group), wq.q, nullptr);
      if (out.writer < 0) {
        dds_delete(publisher_);
        bus_->refuse("publish", out.group, out.writer);
      }
      outputs_[port.name] = std::move(out);
    }
  }
  ~ThingImpl() { close(); }

  void write(const std::string &name, const iot::IOT_NVP_SEQ &sample) {
    dds_entity_t writer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closed_) throw MeshError("thing " + id_ + " is closed");
      auto it = outputs_.find(name);
      if (it == outputs_.end())
        throw MeshError("thing " + id_ + " (class " + cls_.id + ") has no output \"" + name + "\"");
      try {
        it->second.group.validate(sample);
      } catch (const RegistryError &e) {
        throw MeshError(std::string("write to ") + name + ": " + e.what());
      }
      writer = it->second.writer;
    }
    // One payload buffer per thing, reused, so large frames do not fault in
    // fresh pages on every write.
    std::lock_guard<std::mutex> wlock(writeMutex_);
    std::vector<uint8_t> &payload = payload_;
    payload.clear();
    iot::encode_payload(sample, payload);
    if (payload.size() > UINT32_MAX) throw MeshError("sample for " + name + " is too large");
    mesh_MeshSample s;
    s.thing_id = const_cast<char *>(id_.c_str());
    s.flow_id = const_cast<char *>(contextId_.c_str());
    s.payload._maximum = s.payload._length = static_cast<uint32_t>(payload.size());
    s.payload._buffer = payload.data();
    s.payload._release = false;
    dds_return_t rc = dds_write(writer, &s);
    if (rc == DDS_RETCODE_TIMEOUT) {
      uint64_t k = ++timeouts_;
      if (k == 1 || k % 100 == 0)
        std::cerr << "meshapi: write to " << name << " by thing " << id_
                  << " timed out (readers gone or slow); " << k << " so far" << std::endl;
      return;
    }
    if (rc < 0) throw MeshError("write to " + name + " failed: " + dds_error(rc));
  }

  std::shared_ptr<SelectorImpl> select(const std::string &name, const std::string &partition) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) throw MeshError("thing " + id_ + " is closed");
    auto it = inputs_.find(name);
    if (it == inputs_.end())
      throw MeshError("thing " + id_ + " (class " + cls_.id + ") has no input \"" + name + "\"");
    auto s = std::make_shared<SelectorImpl>(bus_, it->second, id_, partition);
    selectors_.push_back(s);
    register_selector(s);
    return s;
  }

  void close() {
    std::vector<std::weak_ptr<SelectorImpl>> selectors;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closed_) return;
      closed_ = true;
      selectors.swap(selectors_);
      dds_delete(publisher_);
      outputs_.clear();
    }
    for (auto &w : selectors)
      if (auto s = w.lock()) s->close();
    bus_.reset();
  }

  size_t matchedReaders(const std::string &name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = outputs_.find(name);
    dds_publication_matched_status_t st;
    if (it == outputs_.end() || dds_get_publication_matched_status(it->second.writer, &st) < 0)
      return 0;
    return st.current_count;
  }

  const std::string &id() const { return id_; }
  const std::string &contextId() const { return contextId_; }
  uint64_t timeouts() const { return timeouts_.load(); }

 private:
  struct Output {
    TagGroup group;
    dds_entity_t writer = 0;
  };
  std::shared_ptr<BusImpl> bus_;
  const std::string id_, contextId_;
  ThingClass cls_;
  std::map<std::string, TagGroup> inputs_;
  std::atomic<uint64_t> timeouts_{0};
  std::mutex writeMutex_;  /* guards payload_ (held across dds_write) */
  std::vector<uint8_t> payload_;
  std::mutex mutex_;  /* guards closed_, publisher_, outputs_, selectors_ */
  bool closed_ = false;
  dds_entity_t publisher_ = 0;
  std::map<std::string, Output> outputs_;
  std::vector<std::weak_ptr<SelectorImpl>> selectors_;
};

Thing TideMesh::createThing(const JSonThingProperties &properties) {
  if (!impl_) throw MeshError("the bus is closed");
  return Thing(std::make_shared<ThingImpl>(impl_, properties));
}

ThingImpl &Thing::impl() const {
  if (!impl_) throw MeshError("thing is not initialised");
  return *impl_;
}

void Thing::write(const std::string &outputName, const iot::IOT_NVP_SEQ &sample) {
  impl().write(outputName, sample);
}

Thing::Selector Thing::select(const std::string &inputName) {
  return Selector(impl().select(inputName, "mesh.*"));
}

Thing::Selector Thing::select(const std::string &inputName, const std::string &flowId) {
  return Selector(impl().select(inputName, flow_partition(flowId)));
}

void Thing::close() {
  if (impl_) impl_->close();
}

std::string Thing::getId() const { return impl().id(); }
std::string Thing::getContextId() const { return impl().contextId(); }
size_t Thing::matchedReaders(const std::string &outputName) const {
  return impl_ ? impl_->matchedReaders(outputName) : 0;
}
uint64_t Thing::writeTimeouts() const { return impl_ ? impl_->timeouts() : 0; }

}  // namespace tidemesh
}  // namespace quillmark
}  // namespace com
