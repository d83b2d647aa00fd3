/* The bus within one process: reads, wake-ups, closing, write checks, flows. */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "mesh_test_support.h"

using namespace com::quillmark::tidemesh;
namespace iot = com::quillmark::iot;
using clk = std::chrono::steady_clock;

namespace {

using meshtest::ms_since;

class Bus : public meshtest::BusTest {};

}  // namespace

TEST_F(Bus, ReadReturnsEmptyAfterItsTimeout) {
  Thing in = thing("in", "test.In");
  Thing::Selector sel = in.select("TestData");
  auto t0 = clk::now();
  EXPECT_TRUE(sel.read(300).empty());
  EXPECT_GE(ms_since(t0), 300) << "a read with nothing to read waits its time-out";
  in.close();
}

TEST_F(Bus, ThrowEventAndCloseWakeAWaitingRead) {
  // The reads wait up to a minute: returning at all shows they were woken
  // (a wake-up before the wait starts is kept for it).
  Thing in = thing("in", "test.In");
  Thing::Selector sel = in.select("TestData");
  long woken_after = -1;
  std::thread reader([&] {
    auto t0 = clk::now();
    EXPECT_TRUE(sel.read(60000).empty());
    woken_after = ms_since(t0);
  });
  Dispatcher::throwEvent();
  reader.join();
  EXPECT_LT(woken_after, 30000);

  std::thread reader2([&] {
    auto t0 = clk::now();
    sel.read(60000);
    woken_after = ms_since(t0);
  });
  sel.wake();  // a selector's own wake-up
  reader2.join();
  EXPECT_LT(woken_after, 30000);

  std::atomic<bool> started{false};
  std::thread reader3([&] {
    started = true;
    auto t0 = clk::now();
    sel.read(60000);
    woken_after = ms_since(t0);
  });
  while (!started.load()) std::this_thread::yield();
  in.close();  // entities go away while the reader (about to) wait on them
  reader3.join();
  EXPECT_LT(woken_after, 30000);
  auto t0 = clk::now();
  EXPECT_TRUE(sel.read(60000).empty());
  EXPECT_LT(ms_since(t0), 30000) << "a closed selector must not wait";
  EXPECT_THROW(in.select("TestData"), MeshError);
}

TEST_F(Bus, SamplesArriveInOrderWithNamesAndKinds) {
  Thing out = thing("out", "test.Out");
  Thing in = thing("in", "test.In");
  Thing::Selector sel = in.select("TestData");
  ASSERT_TRUE(meshtest::wait_for([&] { return out.matchedReaders("TestData") == 1; }, 5000));
  for (uint32_t i = 0; i < 5; ++i) out.write("TestData", meshtest::test_sample("w", i));
  std::vector<DataSample> got;
  auto t0 = clk::now();
  while (got.size() < 5 && ms_since(t0) < 3000)
    for (DataSample &s : sel.read(200)) got.push_back(std::move(s));
  ASSERT_EQ(got.size(), 5u);
  for (uint32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(got[i].getNVPSeq(), meshtest::test_sample("w", i));
    EXPECT_EQ(got[i].getThingId(), "out");
    EXPECT_EQ(got[i].getTagGroup(), "TestData");
  }
  EXPECT_EQ(out.writeTimeouts(), 0u);
}

TEST_F(Bus, WritesThatDoNotFitTheClassOrTagGroupFailNamingIt) {
  Thing out = thing("out", "test.Out");
  auto msg = [&](const std::string &name, const iot::IOT_NVP_SEQ &s) -> std::string {
    try {
      out.write(name, s);
    } catch (const MeshError &e) {
      return e.what();
    }
    return "<written>";
  };
  EXPECT_EQ(msg("Other", meshtest::test_sample("w", 0)),
            "thing out (class test.Out) has no output \"Other\"");
  iot::IOT_NVP_SEQ s = meshtest::test_sample("w", 0);
  s[1].value().iotv_int32(0);
  EXPECT_EQ(msg("TestData", s), "write to TestData: tag group TestData: tag \"seq\" must be uint32, not int32");
  s = meshtest::test_sample("w", 0);
  s[2].name("blub");
  EXPECT_EQ(msg("TestData", s), "write to TestData: tag group TestData: unknown tag \"blub\"");
  s.pop_back();
  EXPECT_EQ(msg("TestData", s), "write to TestData: tag group TestData: missing tag \"blob\"");
  Thing in = thing("in", "test.In");
  EXPECT_THROW(in.select("Other"), MeshError);
  EXPECT_THROW(in.write("TestData", meshtest::test_sample("w", 0)), MeshError);
}

TEST_F(Bus, UnknownClassOrClosedBusIsAnError) {
  EXPECT_THROW(thing("x", "no.such.Class"), MeshError);
  TideMesh other;
  EXPECT_THROW(other.createThing(JSonThingProperties()), MeshError);
  EXPECT_THROW(TideMesh::getInstance("file:///x"), MeshError);
}

TEST_F(Bus, FlowsSelectLiterally) {
  Thing plain = thing("plain", "test.Out", "cam1");
  Thing star = thing("star", "test.Out", "cam*");
  Thing any = thing("any-in", "test.In");
  Thing cam1 = thing("cam1-in", "test.In");
  Thing wild = thing("star-in", "test.In");
  Thing::Selector s_any = any.select("TestData");
  Thing::Selector s_cam1 = cam1.select("TestData");
  s_cam1.flow("cam1");
  Thing::Selector s_wild = wild.select("TestData");
  s_wild.flow("cam*");
  ASSERT_TRUE(meshtest::wait_for([&] {
    return plain.matchedReaders("TestData") == 2 && star.matchedReaders("TestData") == 2;
  }, 5000)) << plain.matchedReaders("TestData") << " " << star.matchedReaders("TestData");
  plain.write("TestData", meshtest::test_sample("plain", 1));
  star.write("TestData", meshtest::test_sample("star", 2));
  // Reads until `want` samples came (or a long time-out), then once more
  // briefly for any that should not have come.
  auto collect = [](Thing::Selector &s, size_t want) {
    std::vector<std::string> w;
    auto t0 = clk::now();
    while (w.size() < want && ms_since(t0) < 10000)
      for (const DataSample &d : s.read(100)) w.push_back(d.getNVPSeq()[0].value().iotv_string());
    for (const DataSample &d : s.read(100)) w.push_back(d.getNVPSeq()[0].value().iotv_string());
    return w;
  };
  EXPECT_EQ(collect(s_any, 2), (std::vector<std::string>{"plain", "star"}));
  EXPECT_EQ(collect(s_cam1, 1), (std::vector<std::string>{"plain"}));
  EXPECT_EQ(collect(s_wild, 1), (std::vector<std::string>{"star"}));
}
