/* A secured bus between processes on loopback (the peers are mesh-peer):
 * nodes of one deployment exchange samples; a node without security and a
 * node of another authority get nothing from them and deliver nothing to
 * them; roles and grants refuse what they do not allow, by name. */
#include <gtest/gtest.h>

#include <map>
#include <sstream>

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
