/* Bus security: the files a <Security> section of the bus configuration
 * names, checked before the transport sees them, so that a missing, expired
 * or mismatched file is reported by name and reason instead of as a bare
 * refusal; and the transport's own log lines, kept for error messages and
 * rate-limited on their way to standard error. */
#ifndef MESHAPI_SECURITY_H
#define MESHAPI_SECURITY_H

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "meshapi/errors.h"

namespace com {
namespace quillmark {
namespace tidemesh {

/* The values of a <Security> section (file paths with "file:" removed; a
 * value given inline, "data:,...", is kept as it is and not checked). */
struct SecurityFiles {
  bool present = false;
  std::string identityCertificate, privateKey, identityCA;
  std::string governance, permissionsCA, permissions;
};

/* The <Security> section of a <CycloneDDS> element; present == false when
 * there is none.  Throws SecurityError when one of the six values is
 * missing. */
SecurityFiles parse_security_section(const std::string &cycloneXml, const std::string &origin);

/* Checks what the transport would refuse later, naming the file: each file
 * can be read and parsed; the identity certificate is valid at `now`, issued
 * by the identity CA and matches the private key; both documents are signed
 * by the permissions CA; the permissions grant this certificate's subject
 * and are valid at `now`.  Throws SecurityError on the first fault. */
void check_security_files(const SecurityFiles &files, std::time_t now);

/* The subject of a PEM certificate as the permissions must name it
 * ("CN=cam1,O=ov-bus"); throws SecurityError naming the file. */
std::string certificate_subject(const std::string &pemFile);

/* Rate limit of repeated log lines: a line is passed on the first time; the
 * same text again within `period` is counted, and the next time it comes
 * after the period it is passed on with the count of those held back.  At
 * most `maxTexts` different texts are remembered (the oldest go first). */
class LogLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  explicit LogLimiter(Clock::duration period = std::chrono::seconds(30), size_t maxTexts = 64)
      : period_(period), maxTexts_(maxTexts) {}
  /* The line to print for `text` at `now`, or empty when it is held back. */
  std::string admit(const std::string &text, Clock::time_point now);

 private:
  struct Seen {
    Clock::time_point lastShown;
    uint64_t held = 0;
    uint64_t order = 0;
  };
  Clock::duration period_;
  size_t maxTexts_;
  uint64_t next_ = 0;
  std::map<std::string, Seen> seen_;
};

/* Routes the transport's log lines (errors, warnings) through a LogLimiter
 * to standard error, and keeps the last few for error messages.  Installed
 * once, by the first bus opened in the process. */
void install_transport_log();
/* Lines the transport logged since `mark` (a value of transport_log_mark()),
 * oldest first, at most the last 8. */
uint64_t transport_log_mark();
std::vector<std::string> transport_log_since(uint64_t mark);

/* Every line the transport logs (before rate limiting) is handed to each
 * listener, on the transport's thread, until it is removed; removal waits
 * for a call in progress.  A listener must not add or remove listeners. */
using TransportListener = std::function<void(const std::string &line)>;
uint64_t add_transport_listener(TransportListener listener);
void remove_transport_listener(uint64_t id);

/* Whether a transport line tells of a peer that this node's bus security
 * refused (a failed authentication handshake, or a node without security). */
bool is_peer_refusal(const std::string &line);

}  // namespace tidemesh
}  // namespace quillmark
}  // namespace com

#endif
