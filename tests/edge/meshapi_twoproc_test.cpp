/* The bus between two real processes on loopback (the peer is mesh-peer). */
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "mesh_test_support.h"

using namespace com::quillmark::tidemesh;
using clk = std::chrono::steady_clock;

namespace {

using meshtest::ms_since;

class TwoProcesses : public meshtest::BusTest {
 protected:
  std::vector<std::string> reader_args(const std::string &id, int count, int ms,
                                       const std::string &flow = "", int writers = 0) {
    std::vector<std::string> a = {MESH_PEER, "read", defs.config, defs.tagGroups, defs.inClass,
                                  defs.props(dir, id, "test.In"), "TestData",
                                  std::to_string(count), std::to_string(ms)};
    a.push_back(flow.empty() ? "-" : flow);
    a.push_back(std::to_string(writers));
    return a;
  }
  std::vector<std::string> writer_args(const std::string &id, const std::string &ctx, int count,
                                       int interval) {
    return {MESH_PEER, "write", defs.config, defs.tagGroups, defs.outClass,
            defs.props(dir, id, "test.Out", ctx), "TestData", std::to_string(count),
            std::to_string(interval), id};
  }
};

/* "writer seq" of each sample line the reader printed before "done". */
std::vector<std::string> samples_of(const std::vector<std::string> &lines) {
  std::vector<std::string> out;
  for (const std::string &l : lines) {
    if (l == "ready" || l.rfind("done", 0) == 0) continue;
    std::istringstream in(l);
    std::string w, s;
    in >> w >> s;
    out.push_back(w + " " + s);
  }
  return out;
}

}  // namespace

TEST_F(TwoProcesses, InterleavedWritersArriveCompleteAndEachInItsOrder) {
  Thing a = thing("A", "test.Out");
  Thing b = thing("B", "test.Out");
  // Both sides must have matched both writers, or the first samples of the
  // later one arrive late by retransmission.
  meshtest::Child reader(reader_args("reader", 40, 20000, "", 2));
  std::string line;
  ASSERT_TRUE(reader.read_line(line, 10000));
  ASSERT_EQ(line, "ready");
  ASSERT_TRUE(meshtest::wait_for([&] {
    return a.matchedReaders("TestData") == 1 && b.matchedReaders("TestData") == 1;
  }, 10000));
  std::vector<std::string> expect;
  // Paced so that a briefly descheduled reader (history of 8) loses nothing.
  for (uint32_t i = 0; i < 20; ++i) {
    a.write("TestData", meshtest::test_sample("A", i));
    b.write("TestData", meshtest::test_sample("B", i));
    expect.push_back("A " + std::to_string(i));
    expect.push_back("B " + std::to_string(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::vector<std::string> lines = reader.lines_until("done", 15000);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "done 40");
  // Each writer's samples come in its write order; between two writers the
  // transport promises no order (a repaired packet of one may come after the
  // other's next), so only the whole set is compared across them.
  std::vector<std::string> got = samples_of(lines), from_a, from_b, want_a, want_b;
  for (const std::string &g : got) (g[0] == 'A' ? from_a : from_b).push_back(g);
  for (const std::string &e : expect) (e[0] == 'A' ? want_a : want_b).push_back(e);
  EXPECT_EQ(from_a, want_a);
  EXPECT_EQ(from_b, want_b);
  EXPECT_EQ(got.size(), expect.size());
}

TEST_F(TwoProcesses, OnlyTheSelectedFlowArrivesAndWildcardsAreLiteral) {
  Thing cam = thing("cam", "test.Out", "cam1");
  Thing star = thing("star", "test.Out", "cam?");
  meshtest::Child exact(reader_args("exact", 1000, 3000, "cam1"));
  meshtest::Child wild(reader_args("wild", 1000, 3000, "cam?"));
  std::string line;
  ASSERT_TRUE(exact.read_line(line, 10000));
  ASSERT_TRUE(wild.read_line(line, 10000));
  ASSERT_TRUE(meshtest::wait_for([&] {
    return cam.matchedReaders("TestData") == 1 && star.matchedReaders("TestData") == 1;
  }, 10000)) << cam.matchedReaders("TestData") << " " << star.matchedReaders("TestData");
  for (uint32_t i = 0; i < 3; ++i) {
    cam.write("TestData", meshtest::test_sample("cam", i));
    star.write("TestData", meshtest::test_sample("star", i));
  }
  std::vector<std::string> e = exact.lines_until("done", 10000);
  std::vector<std::string> w = wild.lines_until("done", 10000);
  EXPECT_EQ(samples_of(e), (std::vector<std::string>{"cam 0", "cam 1", "cam 2"}));
  EXPECT_EQ(samples_of(w), (std::vector<std::string>{"star 0", "star 1", "star 2"}));
  for (const std::string &l : e)
    if (l.rfind("cam ", 0) == 0) {
      EXPECT_EQ(l.substr(l.rfind(' ') + 1), "cam1");
    }
}

TEST_F(TwoProcesses, LateJoinerGetsOnlyNewSamples) {
  Thing out = thing("out", "test.Out");
  for (uint32_t i = 0; i < 10; ++i) out.write("TestData", meshtest::test_sample("out", i));
  meshtest::Child reader(reader_args("late", 3, 10000));
  std::string line;
  ASSERT_TRUE(reader.read_line(line, 10000));
  ASSERT_TRUE(meshtest::wait_for([&] { return out.matchedReaders("TestData") == 1; }, 10000));
  for (uint32_t i = 10; i < 13; ++i) out.write("TestData", meshtest::test_sample("out", i));
  EXPECT_EQ(samples_of(reader.lines_until("done", 10000)),
            (std::vector<std::string>{"out 10", "out 11", "out 12"}));
}

TEST_F(TwoProcesses, KilledPublisherLeavesTheReaderTimingOut) {
  Thing in = thing("in", "test.In");
  Thing::Selector sel = in.select("TestData");
  meshtest::Child writer(writer_args("doomed", "", 0, 5));
  size_t got = 0;
  auto t0 = clk::now();
  while (got < 5 && ms_since(t0) < 10000) got += sel.read(200).size();
  ASSERT_GE(got, 5u) << "the writer never got through";
  writer.kill_now();
  // Drain what was in flight, then a read must come back empty on time.
  while (!sel.read(300).empty()) {
  }
  auto t1 = clk::now();
  EXPECT_TRUE(sel.read(1000).empty());
  EXPECT_GE(ms_since(t1), 1000) << "nothing comes from a dead writer";
  in.close();
}

TEST_F(TwoProcesses, WritesToAVanishedReaderTimeOutAndAreReportedNotThrown) {
  Thing out = thing("out", "test.Out");
  {
    meshtest::Child reader(reader_args("gone", 100000, 60000, "", 1));
    std::string line;
    ASSERT_TRUE(reader.read_line(line, 10000));
    ASSERT_TRUE(meshtest::wait_for([&] { return out.matchedReaders("TestData") == 1; }, 10000));
    out.write("TestData", meshtest::test_sample("out", 0));
  }  // killed: its acknowledgements stop until its lease (2 s) runs out
  com::quillmark::iot::IOT_NVP_SEQ big = meshtest::test_sample("out", 1);
  big[2].value().iotv_byte_seq(std::vector<uint8_t>(1 << 20, 7));
  testing::internal::CaptureStderr();
  auto t0 = clk::now();
  for (int i = 0; i < 40; ++i) EXPECT_NO_THROW(out.write("TestData", big));
  long ms = ms_since(t0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_GT(out.writeTimeouts(), 0u) << "40 MB exceed the 16 MB the writer keeps unacknowledged";
  EXPECT_NE(err.find("meshapi: write to TestData by thing out timed out (readers gone or slow); 1 so far"),
            std::string::npos) << err;
  EXPECT_LT(ms, 40 * 100 + 3000) << "each write blocks at most 100 ms";
}
