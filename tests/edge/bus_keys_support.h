/* Keys of a secured bus for the tests: deployments made by the bus-keys
 * script in a temporary folder, and loopback configurations of this test
 * process's domain that authenticate as one of their nodes. */
#ifndef BUS_KEYS_SUPPORT_H
#define BUS_KEYS_SUPPORT_H

#include <string>

#include "mesh_test_support.h"

namespace meshtest {

/* Runs a shell command; its standard output and error together. */
std::string run_command(const std::string &command, int *status);

/* Runs scripts/bus-keys with `args`; its output.  Fails the test (and
 * returns empty) when it exits with an error and `mustSucceed`. */
std::string bus_keys(const std::string &args, bool mustSucceed = true, int *status = nullptr);

/* A deployment: `nodes` (NAME[:ROLE] ...) in a folder of its own. */
class Deployment {
 public:
  explicit Deployment(const std::string &nodes);
  const std::string &dir() const { return keys_.path(); }
  std::string file(const std::string &name) const { return keys_.file(name); }
  /* A loopback configuration of this process's domain, as `node`. */
  std::string config(const TempDir &where, const std::string &node,
                     const std::string &name = "") const;
  /* Re-signs `node`'s certificate so that it expired yesterday. */
  void expire_certificate(const std::string &node) const;

 private:
  TempDir keys_;
};

}  // namespace meshtest

#endif
