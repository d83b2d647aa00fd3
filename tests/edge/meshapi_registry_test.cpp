#include <gtest/gtest.h>

#include "mesh_test_support.h"
#include "meshapi/registry.h"
#include "meshapi/tidemesh.h"
#include "ov_test.h"

using namespace com::quillmark::tidemesh;
namespace iot = com::quillmark::iot;

namespace {

std::string what_of(const std::function<void()> &f) {
  try {
    f();
  } catch (const std::exception &e) {
    return e.what();
  }
  return "<no exception>";
}

const char *kGroup = R"({"tagGroups": [{"name": "G", "id": "g.G", "tags": [
    {"name": "id", "kind": "uint32"}, {"name": "label", "kind": "string"}]}]})";

}  // namespace

TEST(Registry, ReadersThrowNamingTheFileAndTheReason) {
  meshtest::TempDir dir;
  struct Case {
    std::string content;
    std::string fragment;
  } cases[] = {
      {"{not json", "invalid JSON"},
      {R"({"groups": []})", "lacks \"tagGroups\""},
      {R"({"tagGroups": [{"name": "G", "id": "g", "tags": [{"name": "a", "kind": "uint"}]}]})",
       "tag \"a\" has unknown kind \"uint\""},
      {R"({"tagGroups": [{"name": "G", "id": "g", "tags": [{"name": "a", "kind": "int32"},
          {"name": "a", "kind": "int32"}]}]})", "defined twice"},
      {R"({"tagGroups": [{"name": "G", "tags": []}]})", "tag group G lacks \"id\""},
  };
  for (const Case &c : cases) {
    std::string path = dir.write("bad.json", c.content);
    JSonTagGroupRegistry r;
    std::string msg = what_of([&] { r.registerTagGroupsFromURI("file://" + path); });
    EXPECT_NE(msg.find(path), std::string::npos) << msg;
    EXPECT_NE(msg.find(c.fragment), std::string::npos) << msg;
  }
  JSonTagGroupRegistry r;
  EXPECT_NE(what_of([&] { r.registerTagGroupsFromURI("file:///no/such/file.json"); })
                .find("/no/such/file.json: cannot open file"),
            std::string::npos);
  JSonThingClassRegistry c;
  EXPECT_NE(what_of([&] { c.registerThingClassesFromString(R"({"thingClasses": [{"id": "c",
              "outputs": [{"name": "o"}]}]})"); }).find("lacks \"tagGroup\""),
            std::string::npos);
  JSonThingProperties p;
  EXPECT_NE(what_of([&] { p.readPropertiesFromString(R"({"thingId": "", "thingClassId": "c"})"); })
                .find("empty \"thingId\""),
            std::string::npos);
  EXPECT_NE(what_of([&] { p.readPropertiesFromURI("file:///no/props.json"); }).find("cannot open"),
            std::string::npos);
}

TEST(Registry, ShippedDefinitionsAllParse) {
  const std::string root = meshtest::source_file("common/data_model/");
  const char *groups[] = {"VideoFrame", "VXAPipe", "DetectionBox", "Classification", "Segmentation",
                          "DeviceInfo"};
  JSonTagGroupRegistry tg;
  for (const char *g : groups)
    tg.registerTagGroupsFromURI("file://" + root + "definitions/TagGroup/com.vision.data/" + g +
                                "TagGroup.json");
  EXPECT_EQ(tg.tagGroups().size(), 5u);  // VXAPipe reuses the name VideoFrameData
  const char *things[] = {"VideoFrame", "DetectionBox", "Classification", "Segmentation", "DeviceInfo"};
  for (const char *t : things)
    for (const char *dir : {"Out", "In"}) {
      JSonThingClassRegistry cls;
      cls.registerThingClassesFromURI("file://" + root + "definitions/ThingClass/com.vision.data/" +
                                      t + "Thing" + dir + "Class.json");
      JSonThingProperties props;
      props.readPropertiesFromURI("file://" + root + "config/" + t + "Thing" + dir +
                                  "Properties.json");
      ASSERT_EQ(cls.thingClasses().count(props.thingClassId()), 1u) << t << dir;
      const ThingClass &c = cls.thingClasses().at(props.thingClassId());
      const std::vector<Port> &ports = std::string(dir) == "Out" ? c.outputs : c.inputs;
      ASSERT_EQ(ports.size(), 1u);
      EXPECT_EQ(tg.tagGroups().count(ports[0].tagGroup), 1u) << ports[0].tagGroup;
      EXPECT_EQ(props.contextId(), "");
    }
}

TEST(Registry, SampleValidationNamesTheTag) {
  JSonTagGroupRegistry r;
  r.registerTagGroupsFromString(kGroup);
  const TagGroup &g = r.tagGroups().at("G");
  iot::IOT_NVP_SEQ s(2);
  s[0].name("id");
  s[0].value().iotv_uint32(1);
  s[1].name("label");
  s[1].value().iotv_string("x");
  EXPECT_NO_THROW(g.validate(s));

  iot::IOT_NVP_SEQ wrong = s;
  wrong[0].value().iotv_int32(1);
  EXPECT_EQ(what_of([&] { g.validate(wrong); }), "tag group G: tag \"id\" must be uint32, not int32");
  iot::IOT_NVP_SEQ extra = s;
  extra.emplace_back("colour", iot::IOT_VALUE());
  EXPECT_EQ(what_of([&] { g.validate(extra); }), "tag group G: unknown tag \"colour\"");
  iot::IOT_NVP_SEQ missing = {s[0]};
  EXPECT_EQ(what_of([&] { g.validate(missing); }), "tag group G: missing tag \"label\"");
}

TEST(BusConfig, TakesOnlyTheCycloneElementAndItsDomain) {
  BusConfig c = parse_bus_config(
      "<TideMesh><!-- <CycloneDDS>old</CycloneDDS> --><Extra/>"
      "<CycloneDDS xmlns=\"x\"><Domain id=\"17\"><General/></Domain></CycloneDDS></TideMesh>",
      "t.xml");
  EXPECT_EQ(c.cyclone_xml, "<CycloneDDS xmlns=\"x\"><Domain id=\"17\"><General/></Domain></CycloneDDS>");
  EXPECT_EQ(c.domain_id, 17u);
  EXPECT_EQ(parse_bus_config("<CycloneDDS><Domain id=\"any\"/></CycloneDDS>", "t").domain_id, 0u);
  EXPECT_THROW(parse_bus_config("<TideMesh/>", "t"), MeshError);
  EXPECT_THROW(parse_bus_config("<CycloneDDS><Domain id=\"9x\"/></CycloneDDS>", "t"), MeshError);
  EXPECT_THROW(parse_bus_config("<!-- <CycloneDDS></CycloneDDS>", "t"), MeshError);
}

TEST(BusConfig, FlowPartitionsEscapeWildcards) {
  EXPECT_EQ(flow_partition(""), "mesh.");
  EXPECT_EQ(flow_partition("cam-1"), "mesh.cam-1");
  EXPECT_EQ(flow_partition("a*b?c%d\\e"), "mesh.a%2Ab%3Fc%25d%5Ce");
  EXPECT_NE(flow_partition("a*"), flow_partition("a%2A"));
}
