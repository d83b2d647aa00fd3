/* Helpers for the bus tests: a private bus domain and topics per test
 * process (so parallel test processes never hear each other), definition
 * files in a temporary directory, and child processes with a line reader. */
#ifndef MESH_TEST_SUPPORT_H
#define MESH_TEST_SUPPORT_H

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "meshapi/tidemesh.h"

namespace meshtest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  /* Writes `content` to `name` (creating folders) and returns the full path. */
  std::string write(const std::string &name, const std::string &content) const;

 private:
  std::string path_;
};

/* A file of the source tree (the build's own, not the environment's). */
std::string source_file(const std::string &relative);

/* Domain id of this test process (1..200, from the pid). */
int test_domain();
/* The loopback bus configuration of the tree, with this process's domain. */
std::string write_loopback_config(const TempDir &dir, const std::string &name = "TideMesh.xml");

/* The test tag group "TestData" (writer: string, seq: uint32, blob: byte_seq)
 * with a topic id unique to this process, the classes "test.Out" (output
 * TestData) and "test.In" (input TestData), and properties files. */
struct TestDefinitions {
  std::string config, tagGroups, outClass, inClass;
  std::string props(const TempDir &dir, const std::string &thingId, const std::string &cls,
                    const std::string &contextId = "") const;
};
TestDefinitions write_test_definitions(const TempDir &dir);

/* The shipped configuration tree with a loopback bus of this process's own
 * domain, found through VXA_ROOT (child processes inherit it) while it lives. */
class BusRoot {
 public:
  BusRoot();
  ~BusRoot();
  BusRoot(const BusRoot &) = delete;
  BusRoot &operator=(const BusRoot &) = delete;
  std::string file(const std::string &name) const { return dir_.file(name); }

 private:
  TempDir dir_;
};

/* Opens the bus and registers the test definitions. */
com::quillmark::tidemesh::TideMesh open_test_bus(const TestDefinitions &defs);
com::quillmark::tidemesh::Thing make_thing(com::quillmark::tidemesh::TideMesh &bus,
                                           const std::string &propsFile);
com::quillmark::iot::IOT_NVP_SEQ test_sample(const std::string &writer, uint32_t seq);

/* The test definitions in a temporary directory and the bus opened on them
 * for each test (closed after it). */
class BusTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  /* A thing of class `cls` (test.In or test.Out) with its own properties file. */
  com::quillmark::tidemesh::Thing thing(const std::string &id, const std::string &cls,
                                        const std::string &ctx = "");
  TempDir dir;
  TestDefinitions defs;
  com::quillmark::tidemesh::TideMesh bus;
};

/* Milliseconds since `t` on the steady clock. */
long ms_since(std::chrono::steady_clock::time_point t);

/* Waits until `pred` holds or `ms` pass. */
template <typename Pred>
bool wait_for(Pred pred, int ms);

/* A child process whose standard output is read line by line. */
class Child {
 public:
  explicit Child(const std::vector<std::string> &argv);
  ~Child();  /* kills and reaps */
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  /* Next line, or false after `ms` or at end of output. */
  bool read_line(std::string &line, int ms);
  /* Lines until one starts with `prefix` (included) or `ms` pass. */
  std::vector<std::string> lines_until(const std::string &prefix, int ms);
  void kill_now();
  /* Exit status, waiting at most `ms` (-1 if still running). */
  int wait(int ms);

 private:
  int pid_ = -1;
  int fd_ = -1;
  std::string buffer_;
  bool reaped_ = false;
  int status_ = -1;
};

}  // namespace meshtest

#include <chrono>
#include <thread>

template <typename Pred>
bool meshtest::wait_for(Pred pred, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

#endif
