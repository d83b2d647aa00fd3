/* A secured bus between processes on loopback (the peers are mesh-peer):
 * nodes of one deployment exchange samples; a node without security and a
 * node of another authority get nothing from them and deliver nothing to
 * them; roles and grants refuse what they do not allow, by name. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "bus_keys_support.h"

using namespace com::quillmark::tidemesh;
using meshtest::Child;

namespace {

class SecureBus : public ::testing::Test {
 protected:
  SecureBus() : keys("cam:publish viewer:subscribe"), alien("alien") {
    defs = meshtest::write_test_definitions(dir);
    config["plain"] = defs.config;
    for (const char *node : {"cam", "viewer"}) config[node] = keys.config(dir, node);
    config["alien"] = alien.config(dir, "alien");
  }
  void TearDown() override { bus.close(); }

  /* This process on the bus as `node`. */
  void open(const std::string &node) {
    meshtest::TestDefinitions d = defs;
    d.config = config.at(node);
    bus = meshtest::open_test_bus(d);
  }
  Thing thing(const std::string &id, const std::string &cls) {
    return meshtest::make_thing(bus, defs.props(dir, id, cls));
  }
  /* mesh-peer as `node`; a writer's standard error comes with its output. */
  std::vector<std::string> peer(const std::string &node, const std::string &mode,
                                const std::string &id, int count, int ms,
                                const std::string &last, int wait) {
    const bool read = mode == "read";
    std::ostringstream cmd;
    cmd << "exec " << MESH_PEER << ' ' << mode << ' ' << config.at(node) << ' ' << defs.tagGroups
        << ' ' << (read ? defs.inClass : defs.outClass) << ' '
        << defs.props(dir, id, read ? "test.In" : "test.Out") << " TestData " << count << ' ' << ms
        << ' ' << last << ' ' << wait << (read ? "" : " 2>&1");
    return {"/bin/sh", "-c", cmd.str()};
  }
  std::vector<std::string> reader(const std::string &node, int count, int ms, int writers) {
    return peer(node, "read", node + "-reader", count, ms, "-", writers);
  }
  std::vector<std::string> writer(const std::string &node, int count, int interval, int readers) {
    return peer(node, "write", node + "-writer", count, interval, node, readers);
  }

  meshtest::Deployment keys, alien;
  meshtest::TempDir dir;
  meshtest::TestDefinitions defs;
  std::map<std::string, std::string> config;
  TideMesh bus;
};

/* The writer of each sample line a reader printed, counted. */
std::map<std::string, int> writers_of(const std::vector<std::string> &lines) {
  std::map<std::string, int> n;
  for (const std::string &l : lines) {
    if (l == "ready" || l.rfind("done", 0) == 0) continue;
    ++n[l.substr(0, l.find(' '))];
  }
  return n;
}

/* Every packet on the loopback interface while it runs (needs the right to
 * open a raw socket; ok() tells). */
class LoopbackCapture {
 public:
  LoopbackCapture() {
    fd_ = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    if (fd_ < 0) return;
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
    if (bind(fd_, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
      close(fd_);
      fd_ = -1;
      return;
    }
    thread_ = std::thread([this] {
      std::vector<char> buf(1 << 16);
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        const ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
        std::lock_guard<std::mutex> lock(mutex_);
        if (n > 0 && seen_.size() < (64u << 20)) seen_.append(buf.data(), static_cast<size_t>(n));
      }
    });
  }
  ~LoopbackCapture() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  bool saw(const std::string &bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_.find(bytes) != std::string::npos;
  }

 private:
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;  /* guards seen_ */
  std::string seen_;
};

bool has_line(const std::vector<std::string> &lines, const std::string &line) {
  for (const std::string &l : lines)
    if (l == line) return true;
  return false;
}

}  // namespace

TEST_F(SecureBus, NodesOfOneDeploymentExchangeEverySampleInOrder) {
  open("viewer");
  Thing in = thing("viewer", "test.In");
  Thing::Selector sel = in.select("TestData");
  Child cam(writer("cam", 30, 5, 1));
  std::vector<uint32_t> seqs;
  const auto t0 = std::chrono::steady_clock::now();
  while (seqs.size() < 30 && meshtest::ms_since(t0) < 30000)
    for (const DataSample &s : sel.read(200)) {
      EXPECT_EQ(s.getNVPSeq()[0].value().iotv_string(), "cam");
      seqs.push_back(s.getNVPSeq()[1].value().iotv_uint32());
    }
  std::vector<uint32_t> want;
  for (uint32_t i = 0; i < 30; ++i) want.push_back(i);
  EXPECT_EQ(seqs, want);
  EXPECT_EQ(sel.droppedSamples(), 0u);
  const std::vector<std::string> said = cam.lines_until("done", 10000);
  EXPECT_TRUE(has_line(said, "matched 1")) << ::testing::PrintToString(said);
}

TEST_F(SecureBus, ANodeWithoutSecurityOrOfAnotherAuthorityGetsNothing) {
  open("cam");
  Thing out = thing("cam", "test.Out");
  // Each waits up to 10 s for a writer to match (none may), then reads for 3 s.
  Child plain(reader("plain", 1000, 3000, 1)), stranger(reader("alien", 1000, 3000, 1));
  Child viewer(reader("viewer", 20, 30000, 1));
  std::string line;
  ASSERT_TRUE(viewer.read_line(line, 15000));
  ASSERT_EQ(line, "ready");
  ASSERT_TRUE(plain.read_line(line, 15000));
  ASSERT_EQ(line, "ready");
  ASSERT_TRUE(stranger.read_line(line, 15000));
  ASSERT_EQ(line, "ready");
  // The viewer leaves once it has its 20, so its match is counted before.
  EXPECT_EQ(out.matchedReaders("TestData"), 1u) << "only the viewer may match";
  for (uint32_t i = 0; i < 20; ++i) {
    out.write("TestData", meshtest::test_sample("cam", i));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(viewer.lines_until("done", 20000).back(), "done 20");
  EXPECT_EQ(plain.lines_until("done", 20000), std::vector<std::string>{"done 0"});
  const std::vector<std::string> alienSaw = stranger.lines_until("done", 20000);
  EXPECT_EQ(alienSaw.back(), "done 0") << ::testing::PrintToString(alienSaw);
  EXPECT_EQ(writers_of(alienSaw).count("cam"), 0u);
}

TEST_F(SecureBus, ANodeWithoutSecurityOrOfAnotherAuthorityDeliversNothing) {
  testing::internal::CaptureStderr();
  open("viewer");
  Thing in = thing("viewer", "test.In");
  Thing::Selector sel = in.select("TestData");
  std::map<std::string, int> got;
  auto take = [&](int ms) {
    for (const DataSample &s : sel.read(ms)) ++got[s.getNVPSeq()[0].value().iotv_string()];
  };
  // The plain writer has a plain reader to match, so its 20 samples really
  // go out; the stranger waits 10 s for a match that never comes and writes
  // its 20 anyway.
  Child plainReader(reader("plain", 20, 30000, 1));
  Child plainWriter(writer("plain", 20, 10, 1)), strangerWriter(writer("alien", 20, 10, 1));
  std::vector<std::string> plainSaid, strangerSaid;
  const auto t0 = std::chrono::steady_clock::now();
  std::string line;
  while ((plainSaid.empty() || plainSaid.back().rfind("done", 0) != 0 || strangerSaid.empty() ||
          strangerSaid.back().rfind("done", 0) != 0) &&
         meshtest::ms_since(t0) < 30000) {
    if (plainWriter.read_line(line, 10)) plainSaid.push_back(line);
    if (strangerWriter.read_line(line, 10)) strangerSaid.push_back(line);
    take(10);
  }
  EXPECT_TRUE(has_line(plainSaid, "done 20")) << ::testing::PrintToString(plainSaid);
  EXPECT_TRUE(has_line(strangerSaid, "matched 0")) << ::testing::PrintToString(strangerSaid);
  EXPECT_TRUE(has_line(strangerSaid, "done 20")) << ::testing::PrintToString(strangerSaid);
  EXPECT_EQ(plainReader.lines_until("done", 20000).back(), "done 20")
      << "the plain writer's samples reach a plain node";
  // Then a node of the deployment: its samples come, the others' never did.
  Child cam(writer("cam", 5, 10, 1));
  const auto t1 = std::chrono::steady_clock::now();
  while (got["cam"] < 5 && meshtest::ms_since(t1) < 30000) take(200);
  EXPECT_EQ(got["cam"], 5);
  EXPECT_EQ(got["plain"], 0);
  EXPECT_EQ(got["alien"], 0);
  EXPECT_EQ(sel.matchedWriters(), 1u);
  // The stranger retried its handshake every second for over ten seconds;
  // each distinct line of the transport is shown once in 30 s.
  const std::string err = testing::internal::GetCapturedStderr();
  std::istringstream lines(err);
  std::map<std::string, int> shown;
  for (std::string l; std::getline(lines, l);)
    if (l.find("handshake") != std::string::npos && l.find("CN=alien") != std::string::npos) ++shown[l];
  EXPECT_FALSE(shown.empty()) << "the refused handshakes are said: " << err;
  for (const auto &kv : shown) EXPECT_EQ(kv.second, 1) << kv.first;
}

TEST_F(SecureBus, RolesAndGrantsRefuseWhatTheyDoNotAllowByName) {
  // A camera node may not subscribe...
  open("cam");
  Thing in = thing("cam-in", "test.In");
  try {
    in.select("TestData");
    ADD_FAILURE() << "a publish-only node subscribed";
  } catch (const SecurityError &e) {
    EXPECT_NE(std::string(e.what()).find("the permissions document " + keys.file("cam_permissions.p7s") +
                                         " does not allow this node to subscribe to tag group TestData"),
              std::string::npos) << e.what();
  }
  // ...a viewer may not publish, and a node granted other topics may use none of ours.
  meshtest::bus_keys("--dir " + keys.dir() + " --topics 'other_*' --node narrow:both");
  config["narrow"] = keys.config(dir, "narrow");
  const std::pair<const char *, std::string> refused[] = {
      {"viewer", "the permissions document " + keys.file("viewer_permissions.p7s") +
                     " does not allow this node to publish tag group TestData"},
      {"narrow", "the permissions document " + keys.file("narrow_permissions.p7s") +
                     " does not allow this node to use tag group TestData"}};
  for (const auto &r : refused) {
    Child w(writer(r.first, 1, 0, 0));
    const std::vector<std::string> said = w.lines_until("never", 20000);
    EXPECT_EQ(w.wait(10000), 1) << r.first;
    ASSERT_FALSE(said.empty()) << r.first;
    EXPECT_NE(said.back().find(r.second), std::string::npos) << said.back();
  }
}

TEST_F(SecureBus, AnExpiredCertificateFailsTheOpenNamingIt) {
  keys.expire_certificate("viewer");
  try {
    open("viewer");
    ADD_FAILURE() << "a node with an expired certificate joined";
  } catch (const SecurityError &e) {
    EXPECT_NE(std::string(e.what()).find("identity certificate " + keys.file("viewer_cert.pem") +
                                         " has expired"),
              std::string::npos) << e.what();
  }
  // Nothing is left half open: the same process joins as another node.
  open("cam");
  EXPECT_EQ(thing("cam", "test.Out").getId(), "cam");
}

TEST_F(SecureBus, SamplesTravelEncrypted) {
  LoopbackCapture wire;
  if (!wire.ok()) GTEST_SKIP() << "no raw socket on lo here (needs CAP_NET_RAW): the wire is not checked";
  const std::string secret = "secret-" + std::to_string(getpid()), clear = "clear-" + std::to_string(getpid());
  // Secured: the camera here, the viewer in a process of its own; then the
  // same on the plain bus, which shows that the capture sees what it should.
  for (const bool secured : {true, false}) {
    open(secured ? "cam" : "plain");
    Thing out = thing(secured ? "cam" : "plain-out", "test.Out");
    Child reader(peer(secured ? "viewer" : "plain", "read", "reader", 20, 20000, "-", 1));
    std::string line;
    ASSERT_TRUE(reader.read_line(line, 15000));
    ASSERT_EQ(line, "ready");
    ASSERT_TRUE(meshtest::wait_for([&] { return out.matchedReaders("TestData") == 1; }, 10000));
    for (uint32_t i = 0; i < 20; ++i) {
      out.write("TestData", meshtest::test_sample(secured ? secret : clear, i));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(reader.lines_until("done", 20000).back(), "done 20") << (secured ? "secured" : "plain");
    out.close();
    bus.close();
  }
  EXPECT_TRUE(wire.saw(clear)) << "the plain samples were not seen on lo: the capture sees nothing";
  EXPECT_FALSE(wire.saw(secret)) << "a secured sample went over lo in clear";
}
