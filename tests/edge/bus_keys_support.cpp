#include "bus_keys_support.h"

#include <cstdio>
#include <sys/wait.h>

namespace meshtest {

std::string run_command(const std::string &command, int *status) {
  std::string out;
  FILE *p = popen((command + " 2>&1").c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

std::string bus_keys(const std::string &args, bool mustSucceed, int *status) {
  int rc = 0;
  std::string out = run_command(source_file("scripts/bus-keys") + " " + args, &rc);
  if (status) *status = rc;
  if (mustSucceed && rc != 0) {
    ADD_FAILURE() << "bus-keys " << args << " exited " << rc << ":\n" << out;
    return "";
  }
  return out;
}

Deployment::Deployment(const std::string &nodes) {
  bus_keys("--dir " + keys_.path() + " " + nodes);
}

std::string Deployment::config(const TempDir &where, const std::string &node,
                               const std::string &name) const {
  const std::string path = write_loopback_config(where, name.empty() ? node + ".xml" : name);
  bus_keys("--dir " + keys_.path() + " --secure " + node + " " + path);
  return path;
}

void Deployment::expire_certificate(const std::string &node) const {
  const std::string d = keys_.path() + "/";
  int rc = 0;
  const std::string out = run_command(
      "openssl req -new -key " + d + node + "_key.pem -subj /O=ov-bus/CN=" + node + " -out " + d +
          node + ".csr && openssl x509 -req -in " + d + node + ".csr -CA " + d + "ca_cert.pem -CAkey " +
          d + "ca_key.pem -days -1 -out " + d + node + "_cert.pem",
      &rc);
  if (rc != 0) ADD_FAILURE() << "could not make an expired certificate:\n" << out;
}

}  // namespace meshtest
