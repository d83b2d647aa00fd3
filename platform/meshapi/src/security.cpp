#include "meshapi/security.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include <dds/dds.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

namespace com {
namespace quillmark {
namespace tidemesh {

namespace {

template <typename T, void (*Free)(T *)>
struct Deleter {
  void operator()(T *p) const { Free(p); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
struct BioFree {
  void operator()(BIO *b) const { BIO_free_all(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

std::string trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

/* Text of the first <tag>...</tag> in `text`, trimmed; false when absent. */
bool element_text(const std::string &text, const std::string &tag, std::string &out) {
  const std::string open = "<" + tag + ">", close = "</" + tag + ">";
  size_t b = text.find(open);
  if (b == std::string::npos) return false;
  b += open.size();
  size_t e = text.find(close, b);
  if (e == std::string::npos) return false;
  out = trim(text.substr(b, e - b));
  return true;
}

/* The last OpenSSL error in words (and the queue emptied). */
std::string ssl_reason() {
  unsigned long code = 0, last = 0;
  while ((code = ERR_get_error()) != 0) last = code;
  if (!last) return "unknown reason";
  char buf[256];
  ERR_error_string_n(last, buf, sizeof buf);
  const char *reason = ERR_reason_error_string(last);
  return reason ? reason : buf;
}

std::string read_file(const std::string &what, const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw SecurityError(what + " " + path + " cannot be read: " + std::strerror(errno) +
                        " (check the path in the <Security> section of the bus configuration)");
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

BioPtr memory_bio(const std::string &data) {
  return BioPtr(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
}

X509Ptr load_certificate(const std::string &what, const std::string &path) {
  const std::string pem = read_file(what, path);
  BioPtr bio = memory_bio(pem);
  X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!cert)
    throw SecurityError(what + " " + path + " is not a PEM certificate (" + ssl_reason() + ")");
  return cert;
}

std::string name_text(const X509_NAME *name) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253);
  char *data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

std::string time_text(const ASN1_TIME *t) {
  std::tm tm{};
  if (!ASN1_TIME_to_tm(t, &tm)) return "an unreadable date";
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buf;
}

std::string time_text(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buf;
}

/* Throws when the certificate is not valid at `now`. */
void check_dates(const std::string &what, const std::string &path, X509 *cert, std::time_t now) {
  std::time_t at = now;
  if (X509_cmp_time(X509_get0_notAfter(cert), &at) < 0)
    throw SecurityError(what + " " + path + " has expired: it was valid until " +
                        time_text(X509_get0_notAfter(cert)) +
                        "; make a new one (./ov bus-keys) and point the bus configuration at it");
  if (X509_cmp_time(X509_get0_notBefore(cert), &at) > 0)
    throw SecurityError(what + " " + path + " is not valid yet: it is valid from " +
                        time_text(X509_get0_notBefore(cert)) +
                        " (check this machine's clock)");
}

/* The document a clear-signed S/MIME file carries, after checking that the
 * permissions CA signed it. */
std::string verified_document(const std::string &what, const std::string &path, X509 *ca,
                              const std::string &caPath, std::time_t now) {
  const std::string data = read_file(what, path);
  BioPtr in = memory_bio(data);
  BIO *content = nullptr;
  Pkcs7Ptr p7(SMIME_read_PKCS7(in.get(), &content));
  BioPtr contentOwner(content);
  if (!p7)
    throw SecurityError(what + " " + path + " is not a signed document (" + ssl_reason() +
                        "); sign it with: openssl smime -sign -text -in DOC.xml -out " + path +
                        " -signer CA_CERT -inkey CA_KEY");
  StorePtr store(X509_STORE_new());
  X509_STORE_add_cert(store.get(), ca);
  X509_VERIFY_PARAM_set_time(X509_STORE_get0_param(store.get()), now);
  BioPtr out(BIO_new(BIO_s_mem()));
  if (PKCS7_verify(p7.get(), nullptr, store.get(), content, out.get(), PKCS7_TEXT) != 1)
    throw SecurityError(what + " " + path + " is not signed by the permissions CA " + caPath +
                        " (" + ssl_reason() + "); sign it with that CA's key, or name the CA "
                        "that signed it as <PermissionsCA>");
  char *text = nullptr;
  long n = BIO_get_mem_data(out.get(), &text);
  return std::string(text, static_cast<size_t>(n));
}

/* "CN=a, O=b" -> the sorted parts "CN=a", "O=b": the order and the spaces
 * of a distinguished name written by hand do not make another name. */
std::vector<std::string> name_parts(const std::string &dn) {
  std::vector<std::string> parts;
  std::string cur;
  for (size_t i = 0; i < dn.size(); ++i) {
    if (dn[i] == '\\' && i + 1 < dn.size()) {
      cur += dn[i];
      cur += dn[++i];
    } else if (dn[i] == ',') {
      parts.push_back(trim(cur));
      cur.clear();
    } else {
      cur += dn[i];
    }
  }
  parts.push_back(trim(cur));
  std::sort(parts.begin(), parts.end());
  return parts;
}

bool parse_xml_time(const std::string &text, std::time_t &out) {
  std::tm tm{};
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &consumed) != 6)
    return false;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  out = timegm(&tm);
  return true;
}

void check_grant(const std::string &document, const std::string &path, const std::string &subject,
                 std::time_t now) {
  const std::vector<std::string> want = name_parts(subject);
  std::vector<std::string> granted;
  for (size_t pos = document.find("<grant"); pos != std::string::npos;
       pos = document.find("<grant", pos + 1)) {
    size_t end = document.find("</grant>", pos);
    const std::string grant = document.substr(pos, end == std::string::npos ? end : end - pos);
    std::string name;
    if (!element_text(grant, "subject_name", name)) continue;
    granted.push_back(name);
    if (name_parts(name) != want) continue;
    for (const char *edge : {"not_before", "not_after"}) {
      std::string value;
      std::time_t t = 0;
      if (!element_text(grant, edge, value) || !parse_xml_time(value, t))
        throw SecurityError("permissions document " + path + ": the grant for " + subject +
                            " has no " + edge + " date of the form YYYY-MM-DDThh:mm:ss");
      const bool before = std::strcmp(edge, "not_before") == 0;
      if (before && t > now)
        throw SecurityError("permissions document " + path + ": the grant for " + subject +
                            " is not valid before " + time_text(t) + " (check this machine's clock)");
      if (!before && t < now)
        throw SecurityError("permissions document " + path + ": the grant for " + subject +
                            " expired on " + time_text(t) +
                            "; make new permissions for this node (./ov bus-keys --node)");
    }
    return;
  }
  std::string list;
  for (const std::string &g : granted) list += (list.empty() ? "" : "; ") + g;
  throw SecurityError("permissions document " + path + " has no grant for this node's certificate "
                      "subject " + subject + (list.empty() ? " (it grants nobody)" : " (it grants: " + list + ")") +
                      "; use the permissions made for this node");
}

}  // namespace

SecurityFiles parse_security_section(const std::string &xml, const std::string &origin) {
  SecurityFiles f;
  size_t b = xml.find("<Security>");
  if (b == std::string::npos) b = xml.find("<Security ");
  if (b == std::string::npos) return f;
  size_t e = xml.find("</Security>", b);
  if (e == std::string::npos)
    throw SecurityError(origin + ": the <Security> section has no </Security>");
  const std::string section = xml.substr(b, e - b);
  f.present = true;
  const std::pair<const char *, std::string *> fields[] = {
      {"IdentityCertificate", &f.identityCertificate}, {"PrivateKey", &f.privateKey},
      {"IdentityCA", &f.identityCA},   {"Governance", &f.governance},
      {"PermissionsCA", &f.permissionsCA},   {"Permissions", &f.permissions}};
  for (const auto &field : fields) {
    std::string value;
    if (!element_text(section, field.first, value) || value.empty())
      throw SecurityError(origin + ": the <Security> section has no <" + field.first +
                          "> (./ov bus-keys prints a complete section)");
    if (value.compare(0, 5, "file:") == 0) value.erase(0, 5);
    *field.second = value;
  }
  return f;
}

std::string certificate_subject(const std::string &pemFile) {
  X509Ptr cert = load_certificate("certificate", pemFile);
  return name_text(X509_get_subject_name(cert.get()));
}

void check_security_files(const SecurityFiles &f, std::time_t now) {
  if (!f.present) return;
  auto inline_value = [](const std::string &v) { return v.compare(0, 5, "data:") == 0; };
  if (inline_value(f.identityCertificate) || inline_value(f.identityCA) ||
      inline_value(f.privateKey) || inline_value(f.governance) || inline_value(f.permissionsCA) ||
      inline_value(f.permissions))
    return;  // values given inline are left to the transport
  ERR_clear_error();
  X509Ptr ca = load_certificate("identity CA", f.identityCA);
  check_dates("identity CA", f.identityCA, ca.get(), now);
  X509Ptr cert = load_certificate("identity certificate", f.identityCertificate);
  const std::string subject = name_text(X509_get_subject_name(cert.get()));
  check_dates("identity certificate", f.identityCertificate, cert.get(), now);
  KeyPtr caKey(X509_get_pubkey(ca.get()));
  if (X509_check_issued(ca.get(), cert.get()) != X509_V_OK || !caKey ||
      X509_verify(cert.get(), caKey.get()) != 1) {
    ERR_clear_error();
    throw SecurityError("identity certificate " + f.identityCertificate + " (" + subject +
                        ") was not issued by the identity CA " + f.identityCA + " (" +
                        name_text(X509_get_subject_name(ca.get())) +
                        "); name the CA that signed it as <IdentityCA>, or use a certificate "
                        "of this deployment");
  }
  {
    const std::string pem = read_file("private key", f.privateKey);
    BioPtr bio = memory_bio(pem);
    // No pass-phrase prompt: a protected key is refused with a message.
    KeyPtr key(PEM_read_bio_PrivateKey(
        bio.get(), nullptr, [](char *, int, int, void *) { return 0; }, nullptr));
    if (!key)
      throw SecurityError("private key " + f.privateKey + " is not an unencrypted PEM private key (" +
                          ssl_reason() + ")");
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
      ERR_clear_error();
      throw SecurityError("private key " + f.privateKey + " does not belong to the identity "
                          "certificate " + f.identityCertificate + "; name the key made with it");
    }
  }
  X509Ptr permCa = load_certificate("permissions CA", f.permissionsCA);
  check_dates("permissions CA", f.permissionsCA, permCa.get(), now);
  verified_document("governance document", f.governance, permCa.get(), f.permissionsCA, now);
  const std::string permissions =
      verified_document("permissions document", f.permissions, permCa.get(), f.permissionsCA, now);
  check_grant(permissions, f.permissions, subject, now);
}

/* ---------------------------------------------------------------- log */

std::string LogLimiter::admit(const std::string &text, Clock::time_point now) {
  auto it = seen_.find(text);
  if (it == seen_.end()) {
    if (seen_.size() >= maxTexts_) {
      auto oldest = std::min_element(seen_.begin(), seen_.end(), [](const auto &a, const auto &b) {
        return a.second.order < b.second.order;
      });
      seen_.erase(oldest);
    }
    seen_[text] = Seen{now, 0, next_++};
    return text;
  }
  Seen &s = it->second;
  s.order = next_++;
  if (now - s.lastShown < period_) {
    ++s.held;
    return std::string();
  }
  std::string line = text;
  if (s.held)
    line += " [" + std::to_string(s.held) + " more like it since it was last shown]";
  s.held = 0;
  s.lastShown = now;
  return line;
}

namespace {

struct TransportLog {
  std::mutex mutex;  /* guards everything below */
  LogLimiter limiter;
  std::deque<std::string> recent;
  uint64_t count = 0;
};

struct TransportListeners {
  std::mutex mutex;  /* guards both, and is held while listeners run */
  uint64_t next = 1;
  std::map<uint64_t, TransportListener> listeners;
};

TransportListeners &transport_listeners() {
  static TransportListeners *l = new TransportListeners();  // as long as the transport's threads
  return *l;
}

TransportLog &transport_log() {
  static TransportLog *log = new TransportLog();  // lives as long as the transport's threads
  return *log;
}

void on_transport_log(void *, const dds_log_data_t *d) {
  if (!d || !d->message) return;
  // The message comes without the time stamp and thread header.
  std::string text(d->message, d->size);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) return;
  TransportLog &log = transport_log();
  std::string line;
  {
    std::lock_guard<std::mutex> lock(log.mutex);
    log.recent.push_back(text);
    if (log.recent.size() > 8) log.recent.pop_front();
    ++log.count;
    line = log.limiter.admit(text, LogLimiter::Clock::now());
  }
  if (!line.empty()) std::cerr << "meshapi: bus: " << line << std::endl;
  TransportListeners &l = transport_listeners();
  std::lock_guard<std::mutex> lock(l.mutex);
  for (auto &kv : l.listeners) {
    try {
      kv.second(text);
    } catch (...) {
      // a listener's failure is its own; the transport's thread goes on
    }
  }
}

}  // namespace

void install_transport_log() {
  static std::once_flag once;
  std::call_once(once, [] { dds_set_log_sink(on_transport_log, nullptr); });
}

uint64_t transport_log_mark() {
  TransportLog &log = transport_log();
  std::lock_guard<std::mutex> lock(log.mutex);
  return log.count;
}

uint64_t add_transport_listener(TransportListener listener) {
  TransportListeners &l = transport_listeners();
  std::lock_guard<std::mutex> lock(l.mutex);
  const uint64_t id = l.next++;
  l.listeners.emplace(id, std::move(listener));
  return id;
}

void remove_transport_listener(uint64_t id) {
  TransportListeners &l = transport_listeners();
  std::lock_guard<std::mutex> lock(l.mutex);
  l.listeners.erase(id);
}

bool is_peer_refusal(const std::string &line) {
  return (line.find("handshake") != std::string::npos && line.find("failed") != std::string::npos) ||
         line.find("not allowed by security") != std::string::npos;
}

std::vector<std::string> transport_log_since(uint64_t mark) {
  TransportLog &log = transport_log();
  std::lock_guard<std::mutex> lock(log.mutex);
  std::vector<std::string> out;
  const uint64_t first = log.count - log.recent.size();
  for (uint64_t i = std::max(mark, first); i < log.count; ++i) out.push_back(log.recent[i - first]);
  return out;
}

}  // namespace tidemesh
}  // namespace quillmark
}  // namespace com
