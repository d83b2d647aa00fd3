/* A peer this node's bus security refuses (a certificate of another
 * authority, a node without security) is otherwise only an empty stream:
 * the watch hands the element the first such line the transport logs, once,
 * from a thread of GStreamer's own (never the transport's), from its
 * creation until its destruction. */
#ifndef OVEDGE_PEER_REFUSALS_H
#define OVEDGE_PEER_REFUSALS_H

#include <atomic>
#include <cstdint>
#include <string>

#include <gst/gst.h>

#include "meshapi/security.h"

namespace ovedge {

class PeerRefusalWatch {
 public:
  /* `tell` posts the element's warning for the line. */
  using Tell = void (*)(GstElement *element, const char *line);

  PeerRefusalWatch(GstElement *element, Tell tell) : element_(element), tell_(tell) {
    id_ = com::quillmark::tidemesh::add_transport_listener([this](const std::string &line) {
      if (!com::quillmark::tidemesh::is_peer_refusal(line) || told_.exchange(true))
        return;
      // The element is kept alive until the call has run.
      gst_element_call_async(element_, &PeerRefusalWatch::run, new Call{tell_, line},
                             [](gpointer p) { delete static_cast<Call *>(p); });
    });
  }
  ~PeerRefusalWatch() { com::quillmark::tidemesh::remove_transport_listener(id_); }
  PeerRefusalWatch(const PeerRefusalWatch &) = delete;
  PeerRefusalWatch &operator=(const PeerRefusalWatch &) = delete;

 private:
  struct Call {
    Tell tell;
    std::string line;
  };
  static void run(GstElement *element, gpointer data) {
    const Call *call = static_cast<const Call *>(data);
    call->tell(element, call->line.c_str());
  }

  GstElement *element_; /* not owned: the element destroys the watch first */
  Tell tell_;
  uint64_t id_ = 0;
  std::atomic<bool> told_{false};
};

/* The words of the warning's debug text after the transport's line. */
constexpr const char *kPeerRefusalHint =
    "a node whose keys come from another authority, or a node without security, exchanges "
    "nothing with this one: give every node keys of one authority (./ov bus-keys --node NAME) "
    "and its <Security> section (./ov bus-keys --secure NAME FILE)";

}  // namespace ovedge

#endif /* OVEDGE_PEER_REFUSALS_H */
