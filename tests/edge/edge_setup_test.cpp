/* Thing set-up: configuration search, ids and context ids, routing of
 * writes, reader threads and shut-down. */
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "edge.h"
#include "mesh_test_support.h"
#include "model_loader.h"
#include "ov_test.h"

using namespace VXCORE;
namespace fs = std::filesystem;
using clk = std::chrono::steady_clock;

namespace {

using meshtest::ms_since;

const std::string kOutProps = "config/VideoFrameThingOutProperties.json";
const std::string kOutClass = "definitions/ThingClass/com.vision.data/VideoFrameThingOutClass.json";
const std::string kInProps = "config/VideoFrameThingInProperties.json";
const std::string kInClass = "definitions/ThingClass/com.vision.data/VideoFrameThingInClass.json";
const std::string kFrameGroup = "definitions/TagGroup/com.vision.data/VideoFrameTagGroup.json";

/* A copy of the shipped tree under `dir`/`sub` with the loopback bus of this
 * test process as config/TideMesh.xml. */
std::string copy_tree(const meshtest::TempDir &dir, const std::string &sub) {
  fs::path dst = fs::path(dir.path()) / sub;
  fs::create_directories(dst);
  fs::copy(meshtest::source_file("common/data_model"), dst, fs::copy_options::recursive);
  fs::remove(dst / "config/TideMesh.xml");
  meshtest::write_loopback_config(dir, sub + "/config/TideMesh.xml");
  return dst.string();
}

/* Runs the test body inside a fresh empty working directory. */
class Setup : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    fs::current_path(cwd.path());
    unsetenv("VXA_ROOT");
  }
  void TearDown() override {
    fs::current_path(old_);
    unsetenv("VXA_ROOT");
  }
  std::shared_ptr<Edge> sink(const std::string &ctx = "") {
    return Edge::create(kBusConfigFile, kOutProps, kOutClass, {kFrameGroup}, ctx);
  }
  std::shared_ptr<Edge> source(const std::string &ctx = "") {
    return Edge::create(kBusConfigFile, kInProps, kInClass, {kFrameGroup}, ctx);
  }
  meshtest::TempDir cwd;
  fs::path old_;
};

}  // namespace

TEST(EdgePaths, JoinCombineAndSplit) {
  EXPECT_EQ(path_join({"file:/", "."}), "file://.");
  EXPECT_EQ(path_join({"a/", "/b", "c"}), "a///b/c");
  EXPECT_EQ(combine_paths("r", {"x", "y/z"}), (std::vector<std::string>{"r/x", "r/y/z"}));
  EXPECT_EQ(split("VideoFrameData+ClassificationData"),
            (std::vector<std::string>{"VideoFrameData", "ClassificationData"}));
  EXPECT_EQ(split("A+++B+C"), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(split("uni"), (std::vector<std::string>{"uni"}));
  // Reference values of 64-bit FNV-1a (offset basis cbf29ce484222325,
  // prime 100000001b3), computed by hand for short texts.
  EXPECT_EQ(fnv1a(std::string("a")), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(fnv1a("foobar"), 0x85944171f73967e8ULL);
  EXPECT_NE(fnv1a("VideoFrameData"), fnv1a("DeviceInfoData"));
  EXPECT_EQ(fnv1a(""), 0xcbf29ce484222325ULL);
  EXPECT_EQ(fnv1a("a"), 0xaf63dc4c8601ec8cULL);
}

TEST(EdgePaths, UsageManualEndsByRole) {
  std::string sink = tag_group_usage_manual("sink");
  EXPECT_EQ(sink.rfind("Provide the tag groups name you want to use. Example: taggroups=VideoFrameData.\n", 0), 0u);
  EXPECT_NE(sink.find("\n\t\t\t=> DeviceInfoData:\t\t For publishing camera device information to edge mesh."),
            std::string::npos);
  EXPECT_NE(sink.find("\n\t\t\tovedgesink should set taggroups=VideoFrameData"), std::string::npos);
  std::string src = tag_group_usage_manual("src");
  const std::string tail = "\n\t\t\tVideoFrameData is the required tag group for synchronization.";
  EXPECT_EQ(src.substr(src.size() - tail.size()), tail);
}

TEST(EdgeProperties, OnlyTheFirstContextIdIsReplaced) {
  std::string text = R"({"thingId":"t","contextId":"old","inner":{"contextId":"keep"}})";
  EXPECT_EQ(replace_thing_property_context_id(text, "cam-9", false),
            R"({"thingId":"t","contextId":"cam-9","inner":{"contextId":"keep"}})");
}

TEST(EdgeProperties, MalformedTextsAreLeftUnchangedAndReported) {
  struct Case {
    std::string text;
  } cases[] = {{R"({"thingId":"t"})"}, {R"({"contextId":)"}, {R"({"contextId":"open)"}, {""}};
  for (const Case &c : cases) {
    ovtest::LogCapture log("[edge debug]", GST_LEVEL_WARNING);
    EXPECT_EQ(replace_thing_property_context_id(c.text, "x", false), c.text);
    EXPECT_TRUE(log.has(GST_LEVEL_WARNING,
                        "no quoted \"contextId\": value in the thing properties; context id x not set"))
        << c.text;
  }
  meshtest::TempDir dir;
  for (const std::string &content : {std::string("no colon at all"), std::string("{\"thingId\": \"open")}) {
    std::string path = dir.write("p.json", content);
    ovtest::LogCapture log("[edge debug]", GST_LEVEL_WARNING);
    EXPECT_EQ(autoGenerateTingID("file://" + path), content);
    EXPECT_EQ(log.count_containing("no quoted thing id after the first ':' in " + path), 1u);
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(autoGenerateTingID("file:///no/such.json"), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[OPEN ERROR] /no/such.json in autoGenerateTingID\n");
}

TEST(EdgeProperties, EveryGeneratedIdIsFresh) {
  std::string props = meshtest::source_file("common/data_model/") + kOutProps;
  std::string a = autoGenerateTingID("file://" + props);
  std::string b = autoGenerateTingID("file://" + props);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.find("videoFrame-thing-out"), std::string::npos);
  EXPECT_NE(a.find("\"thingClassId\":\"com.vision.data.VideoFrameThingOut\""), std::string::npos);
}

TEST_F(Setup, FindsTheTreeUnderCommonDataModel) {
  copy_tree(cwd, "common/data_model");
  testing::internal::CaptureStdout();
  std::shared_ptr<Edge> edge = sink();
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(edge);
  EXPECT_EQ(search_files({kBusConfigFile, kOutProps}), "./common/data_model");
  EXPECT_EQ(out.rfind("Find NodeKit configuration files under ./common/data_model\n", 0), 0u) << out;
  EXPECT_EQ(edge->busConfigUri(), "file://./common/data_model/config/TideMesh.xml");
  EXPECT_NE(out.find("[" + edge->mainThingId() + "] Init flow  done\n"), std::string::npos) << out;
  EXPECT_TRUE(edge->deinit());
}

TEST_F(Setup, FallsBackToVxaRootAndFailsWithoutFiles) {
  testing::internal::CaptureStderr();
  EXPECT_FALSE(sink());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Can not find all edge configuration files\n");
  meshtest::TempDir elsewhere;
  std::string root = copy_tree(elsewhere, "tree");
  setenv("VXA_ROOT", root.c_str(), 1);
  EXPECT_EQ(search_files({kBusConfigFile, kOutProps, kOutClass, kFrameGroup}), root);
  std::shared_ptr<Edge> edge = sink();
  ASSERT_TRUE(edge);
  EXPECT_EQ(edge->busConfigUri(), "file://" + root + "/config/TideMesh.xml");
}

TEST_F(Setup, SearchRootsKeepTheirOrderAndTheMessageNamesThem) {
  const std::vector<std::string> fixed = {".", "/opt/orvane/vxa", "/src/common/data_model",
                                          "./common/data_model"};
  // This test binary has no installed data folder beside it.
  ASSERT_EQ(installed_data_root(), "");
  EXPECT_EQ(search_roots(), fixed);
  EXPECT_NE(search_roots_text().find("$VXA_ROOT (not set), no installed data folder"),
            std::string::npos)
      << search_roots_text();
  setenv("VXA_ROOT", "/elsewhere/vxa", 1);
  std::vector<std::string> with_env = fixed;
  with_env.push_back("/elsewhere/vxa");
  EXPECT_EQ(search_roots(), with_env);
  EXPECT_NE(search_roots_text().find("$VXA_ROOT (\"/elsewhere/vxa\")"), std::string::npos)
      << search_roots_text();
}

TEST_F(Setup, TwoEdgesFromOnePropertiesFileGetDistinctIdsAndTheContextId) {
  copy_tree(cwd, "common/data_model");
  std::shared_ptr<Edge> a = sink("cam-1");
  std::shared_ptr<Edge> b = sink("cam-1");
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->mainThingId(), b->mainThingId());
  EXPECT_EQ(a->mainThing().getContextId(), "cam-1");
  a->AddThing("DeviceInfoData", "config/DeviceInfoThingOutProperties.json",
              "definitions/ThingClass/com.vision.data/DeviceInfoThingOutClass.json",
              {"definitions/TagGroup/com.vision.data/DeviceInfoTagGroup.json"});
  ASSERT_TRUE(a->hasThing("DeviceInfoData"));
  EXPECT_NE(a->thing("DeviceInfoData").getId(), a->mainThingId());
  // "<publisher>/<role>": a receiver tells one publisher's things by the prefix.
  const std::string main = a->mainThingId();
  ASSERT_NE(main.find('/'), std::string::npos);
  EXPECT_EQ(main.substr(main.find('/')), "/main");
  EXPECT_EQ(a->thing("DeviceInfoData").getId(), main.substr(0, main.find('/')) + "/DeviceInfoData");
  std::string before = a->thing("DeviceInfoData").getId();
  a->AddThing("DeviceInfoData", "config/DeviceInfoThingOutProperties.json",
              "definitions/ThingClass/com.vision.data/DeviceInfoThingOutClass.json",
              {"definitions/TagGroup/com.vision.data/DeviceInfoTagGroup.json"});
  EXPECT_EQ(a->thing("DeviceInfoData").getId(), before) << "an existing entry stays";
}

TEST_F(Setup, WritesRouteToTheAddedThingOrTheMainThingAndReadersDeliver) {
  copy_tree(cwd, "common/data_model");
  std::shared_ptr<Edge> out = sink();
  ASSERT_TRUE(out);
  std::vector<std::string> names = {"DeviceInfoData", "Bogus", "VideoFrameData"};
  {
    ovtest::LogCapture log("[edge debug]", GST_LEVEL_ERROR);
    ModelLoader::addThingOutByProp(out, names);
    EXPECT_TRUE(log.has(GST_LEVEL_ERROR, "No matched tag group name."));
  }
  EXPECT_TRUE(out->hasThing("DeviceInfoData"));
  EXPECT_FALSE(out->hasThing("VideoFrameData"));

  std::shared_ptr<Edge> in = source();
  ASSERT_TRUE(in);
  ReceiveImage receiver;
  in->startReader<ReceiveImage, FrameInfo>(&receiver, "VideoFrameData", "");
  std::vector<std::string> in_names = {"DeviceInfoData"};
  ModelLoader::addThingInByProp(in, in_names, receiver, "");
  EXPECT_EQ(in->readerThreads(), 2u);
  ASSERT_TRUE(meshtest::wait_for([&] {
    return out->mainThing().matchedReaders("VideoFrameData") == 1 &&
           out->thing("DeviceInfoData").matchedReaders("DeviceInfoData") == 1;
  }, 10000));

  DeviceInfo dev;
  dev.stream_id = "cam";
  dev.port = 554;
  dev.publish_seq = 1;  // one frame's records share the publisher sequence
  out->writeSample("DeviceInfoData", dev.Encode());
  FrameInfo frame;
  frame.frame_id = 3;
  frame.width = 2;
  frame.height = 1;
  frame.data = {1, 2, 3, 4, 5, 6};
  frame.size = 6;
  frame.compression = "com.vision.models.COMPRESSION_KIND_NONE";
  frame.publish_seq = 1;
  out->writeSample("VideoFrameData", frame.Encode());
  EXPECT_THROW(out->writeSample("ClassificationData", Information<ClassificationData>().Encode()),
               std::exception)
      << "the main thing has no classification output";

  ASSERT_TRUE(meshtest::wait_for([&] {
    return receiver.synchronizer.queuedFrames() == 1 && receiver.synchronizer.knownDevices() == 1;
  }, 5000));
  receiver.synchronizer.sync_pass();
  SynchronizedData got;
  ASSERT_TRUE(receiver.synchronizer.pop(got));
  EXPECT_EQ(got.frame, frame);
  EXPECT_EQ(got.device, dev);
  EXPECT_EQ(receiver.Width(), 2u);
  EXPECT_EQ(receiver.Height(), 1u);
  auto t0 = clk::now();
  EXPECT_TRUE(in->deinit());
  // Readers blocked in a read of up to a second are woken, not waited for.
  EXPECT_LT(ms_since(t0), 900);
  EXPECT_EQ(in->runningReaders(), 0);
  EXPECT_EQ(in->readerThreads(), 0u);
}

TEST_F(Setup, DeinitWithoutReadersReturnsAtOnceAndTwiceIsHarmless) {
  copy_tree(cwd, "common/data_model");
  std::shared_ptr<Edge> edge = source();
  ASSERT_TRUE(edge);
  auto t0 = clk::now();
  EXPECT_TRUE(edge->deinit());
  EXPECT_LT(ms_since(t0), 900) << "no whole-second sleeps";
  EXPECT_TRUE(edge->deinit());
  EXPECT_TRUE(edge->isStopped());
}

TEST_F(Setup, AHostileRecordIsDroppedAndTheReaderGoesOn) {
  std::string root = copy_tree(cwd, "common/data_model");
  // A peer whose frame tag group says frame_id is int32, on the same topic.
  std::string hostileGroup = cwd.write("hostile/tg.json", R"({"tagGroups": [{"name": "HostileFrame",
      "id": "com.vision.data.VideoFrame", "tags": [{"name": "frame_id", "kind": "int32"}]}]})");
  std::string hostileClass = cwd.write("hostile/cls.json", R"({"thingClasses": [{"id": "hostile.Out",
      "outputs": [{"name": "VideoFrameData", "tagGroup": "HostileFrame"}]}]})");
  std::shared_ptr<Edge> in = source();
  ASSERT_TRUE(in);
  std::shared_ptr<Edge> good = sink();
  ASSERT_TRUE(good);
  com::quillmark::tidemesh::TideMesh bus =
      com::quillmark::tidemesh::TideMesh::getInstance("config=file://" + root + "/config/TideMesh.xml");
  com::quillmark::tidemesh::JSonTagGroupRegistry tg;
  tg.registerTagGroupsFromURI("file://" + hostileGroup);
  bus.addTagGroupRegistry(tg);
  com::quillmark::tidemesh::JSonThingClassRegistry cls;
  cls.registerThingClassesFromURI("file://" + hostileClass);
  bus.addThingClassRegistry(cls);
  com::quillmark::tidemesh::JSonThingProperties props;
  props.readPropertiesFromString(R"({"thingId":"hostile","thingClassId":"hostile.Out","contextId":""})");
  Thing bad = bus.createThing(props);

  ReceiveImage receiver;
  ovtest::LogCapture log("[edge debug]", GST_LEVEL_WARNING);
  in->startReader<ReceiveImage, FrameInfo>(&receiver, "VideoFrameData", "");
  ASSERT_TRUE(meshtest::wait_for([&] {
    return bad.matchedReaders("VideoFrameData") == 1 &&
           good->mainThing().matchedReaders("VideoFrameData") == 1;
  }, 10000));
  NVPSeq wrong(1);
  wrong[0].name("frame_id");
  wrong[0].value().iotv_int32(-1);
  bad.write("VideoFrameData", wrong);
  FrameInfo frame;
  frame.frame_id = 8;
  frame.width = frame.height = 1;
  frame.data = {1, 2, 3};
  frame.size = 3;
  frame.compression = "com.vision.models.COMPRESSION_KIND_NONE";
  frame.publish_seq = 1;  // the shipped frame tag group defines the publisher sequence
  good->writeSample("VideoFrameData", frame.Encode());
  bool delivered =
      meshtest::wait_for([&] { return receiver.synchronizer.queuedFrames() == 1; }, 5000);
  in->deinit();
  EXPECT_TRUE(delivered) << "the good frame after the bad one still arrives";
  EXPECT_EQ(in->malformedSamples(), 1u);
  EXPECT_TRUE(log.has(GST_LEVEL_WARNING,
                      "dropped 1 malformed samples of VideoFrameData in the last second: "
                      "IOT_VALUE holds int32, not uint32"));
  bad.close();
  bus.close();
}

TEST(EdgeProperties, EdgePropertyNamesTheMainPropertiesFile) {
  unsetenv("EDGE_PROPERTY");
  EXPECT_EQ(main_properties_file(kOutProps), kOutProps);
  setenv("EDGE_PROPERTY", "config/Mine.json", 1);
  EXPECT_EQ(main_properties_file(kOutProps), "config/Mine.json");
  unsetenv("EDGE_PROPERTY");
}

TEST_F(Setup, BrokenDefinitionsAreReportedAndThingCreationFails) {
  std::string root = copy_tree(cwd, "common/data_model");
  const std::string prefix = "file://" + root + "/";
  struct Case {
    std::string tagGroup, cls, props, line;
  } cases[] = {
      {"nope.json", kOutClass, kOutProps, "Load Tag group failed.\n"},
      {kFrameGroup, "nope.json", kOutProps, "Load Thing Class failed.\n"},
      {kFrameGroup, kOutClass, "nope.json", "Load Thing Properties failed.\n"},
  };
  for (const Case &c : cases) {
    testing::internal::CaptureStdout();
    bool threw = false;
    try {
      Edge edge(prefix + kBusConfigFile, prefix + c.props, prefix + c.cls, {prefix + c.tagGroup}, "");
    } catch (const std::exception &) {
      threw = true;
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
    EXPECT_TRUE(threw) << "the bus cannot create a thing from what is missing";
    if (c.props == "nope.json") {
      EXPECT_NE(out.find("[OPEN ERROR] " + root + "/nope.json in autoGenerateTingID"), std::string::npos);
    }
  }
}
