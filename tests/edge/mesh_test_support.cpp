#include "mesh_test_support.h"

#include <filesystem>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <glib.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "ov_test.h"

namespace mesh = com::quillmark::tidemesh;
namespace iot = com::quillmark::iot;

namespace meshtest {

TempDir::TempDir() {
  std::string tmpl = std::string(g_get_tmp_dir()) + "/ovedge-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + path_ + "'";
  if (std::system(cmd.c_str()) != 0) {
  }
}

std::string TempDir::write(const std::string &name, const std::string &content) const {
  std::string full = file(name);
  for (size_t p = full.find('/', path_.size() + 1); p != std::string::npos; p = full.find('/', p + 1))
    mkdir(full.substr(0, p).c_str(), 0700);
  std::ofstream(full, std::ios::binary) << content;
  return full;
}

std::string source_file(const std::string &relative) {
  return std::string(OV_EDGE_SOURCE_DIR) + "/" + relative;
}

int test_domain() { return 1 + static_cast<int>(getpid() % 200); }

std::string write_loopback_config(const TempDir &dir, const std::string &name) {
  std::ifstream in(meshtest::source_file("common/data_model/config/TideMesh.loopback.xml"));
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  size_t p = text.find("<Domain id=\"any\">");
  if (p == std::string::npos) throw std::runtime_error("loopback config has no <Domain id=\"any\">");
  text.replace(p, std::strlen("<Domain id=\"any\">"),
               "<Domain id=\"" + std::to_string(test_domain()) + "\">");
  return dir.write(name, text);
}

TestDefinitions write_test_definitions(const TempDir &dir) {
  TestDefinitions d;
  d.config = write_loopback_config(dir);
  d.tagGroups = dir.write("tg.json", R"({"tagGroups": [{"name": "TestData", "id": "test.)" +
                                         std::to_string(getpid()) + R"(.TestData", "tags": [
      {"name": "writer", "kind": "string"}, {"name": "seq", "kind": "uint32"},
      {"name": "blob", "kind": "byte_seq"}]}]})");
  d.outClass = dir.write("out.json", R"({"thingClasses": [{"id": "test.Out",
      "outputs": [{"name": "TestData", "tagGroup": "TestData"}]}]})");
  d.inClass = dir.write("in.json", R"({"thingClasses": [{"id": "test.In",
      "inputs": [{"name": "TestData", "tagGroup": "TestData"}]}]})");
  return d;
}

std::string TestDefinitions::props(const TempDir &dir, const std::string &thingId,
                                   const std::string &cls, const std::string &contextId) const {
  return dir.write("props-" + thingId + ".json", "{\"thingId\":\"" + thingId +
                                                     "\",\"thingClassId\":\"" + cls +
                                                     "\",\"contextId\":\"" + contextId + "\"}");
}

mesh::TideMesh open_test_bus(const TestDefinitions &defs) {
  mesh::TideMesh bus = mesh::TideMesh::getInstance("config=file://" + defs.config);
  mesh::JSonTagGroupRegistry tg;
  tg.registerTagGroupsFromURI("file://" + defs.tagGroups);
  bus.addTagGroupRegistry(tg);
  mesh::JSonThingClassRegistry cls;
  cls.registerThingClassesFromURI("file://" + defs.outClass);
  cls.registerThingClassesFromURI("file://" + defs.inClass);
  bus.addThingClassRegistry(cls);
  return bus;
}

mesh::Thing make_thing(mesh::TideMesh &bus, const std::string &propsFile) {
  mesh::JSonThingProperties p;
  p.readPropertiesFromURI("file://" + propsFile);
  return bus.createThing(p);
}

void BusTest::SetUp() {
  defs = write_test_definitions(dir);
  bus = open_test_bus(defs);
}

void BusTest::TearDown() { bus.close(); }

mesh::Thing BusTest::thing(const std::string &id, const std::string &cls, const std::string &ctx) {
  return make_thing(bus, defs.props(dir, id, cls, ctx));
}

long ms_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               t)
      .count();
}

iot::IOT_NVP_SEQ test_sample(const std::string &writer, uint32_t seq) {
  iot::IOT_NVP_SEQ s(3);
  s[0].name("writer");
  s[0].value().iotv_string(writer);
  s[1].name("seq");
  s[1].value().iotv_uint32(seq);
  s[2].name("blob");
  s[2].value().iotv_byte_seq({});
  return s;
}

Child::Child(const std::vector<std::string> &argv) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  fd_ = fds[0];
}

Child::~Child() {
  kill_now();
  if (fd_ >= 0) close(fd_);
}

bool Child::read_line(std::string &line, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now()).count();
    if (left <= 0 || fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) {
      close(fd_);
      fd_ = -1;
      return false;
    }
    buffer_.append(buf, static_cast<size_t>(n));
  }
}

std::vector<std::string> Child::lines_until(const std::string &prefix, int ms) {
  std::vector<std::string> out;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::string line;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now()).count();
    if (left <= 0 || !read_line(line, static_cast<int>(left))) return out;
    out.push_back(line);
    if (line.compare(0, prefix.size(), prefix) == 0) return out;
  }
}

void Child::kill_now() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    reaped_ = true;
  }
}

int Child::wait(int ms) {
  if (reaped_) return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (waitpid(pid_, &status_, WNOHANG) == pid_) {
      reaped_ = true;
      return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

BusRoot::BusRoot() {
  std::filesystem::copy(source_file("common/data_model"), dir_.path(),
                        std::filesystem::copy_options::recursive |
                            std::filesystem::copy_options::overwrite_existing);
  write_loopback_config(dir_, "config/TideMesh.xml");
  setenv("VXA_ROOT", dir_.path().c_str(), 1);
}

BusRoot::~BusRoot() { unsetenv("VXA_ROOT"); }

}  // namespace meshtest
