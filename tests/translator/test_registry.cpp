// Registry lookups, the property enums and the parameter map.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <glib-object.h>

#include "trans_map.h"
#include "translate_util.h"
#include "translators.h"

using namespace orvane::ai;

namespace {

using Fn = bool (*)(const void *, const std::vector<int> &, const std::vector<std::string> &,
                    const TranslateInfo &, Result &);

Fn target_of(const TranslatorFunction &f) {
  const Fn *p = f.target<Fn>();
  return p ? *p : nullptr;
}

bool always_true(const void *, const std::vector<int> &, const std::vector<std::string> &,
                 const TranslateInfo &, Result &) {
  return true;
}

struct Pair {
  int topology, engine;
  Fn expected;  // nullptr: no translator
};

TEST(Registry, BuiltInPairsAndExactEngineMatch) {
  init_supports();
  const Pair table[] = {
      {1, 0, ClassifierTopology}, {3, 0, SSDTopology},     {2, 1, OpenVINO_Yolov3},
      {2, 2, TensorRT_Yolov3},    {4, 0, Segment},         {6, 0, SegmentFCN},
      {2, 0, nullptr},            {1, 2, nullptr},         {0, 0, nullptr},
      {0, 1, nullptr},            {0, 2, nullptr},         {5, 0, nullptr},
  };
  for (const Pair &p : table) {
    TranslatorFunction f = get_translator(Topology(p.topology), Engine(p.engine));
    SCOPED_TRACE(std::to_string(p.topology) + "/" + std::to_string(p.engine));
    if (p.expected == nullptr) {
      EXPECT_FALSE(f);
    } else {
      ASSERT_TRUE(f);
      EXPECT_EQ(target_of(f), p.expected);
    }
  }
}

TEST(Registry, ReplacementAndReinitRestore) {
  init_supports();
  EXPECT_TRUE(registry_translator(always_true, Topology::Classifier, Engine::None));
  EXPECT_EQ(target_of(get_translator(Topology::Classifier, Engine::None)), &always_true);
  // A copy taken before the re-init keeps working with the function it had.
  TranslatorFunction held = get_translator(Topology::Classifier, Engine::None);
  init_supports();
  EXPECT_EQ(target_of(get_translator(Topology::Classifier, Engine::None)), &ClassifierTopology);
  EXPECT_EQ(target_of(held), &always_true);
}

struct EnumRow {
  int value;
  const char *name, *nick;
};

void expect_enum(GType type, const char *type_name, const std::vector<EnumRow> &rows) {
  EXPECT_STREQ(g_type_name(type), type_name);
  GEnumClass *klass = static_cast<GEnumClass *>(g_type_class_ref(type));
  ASSERT_EQ(klass->n_values, rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(klass->values[i].value, rows[i].value) << i;
    EXPECT_STREQ(klass->values[i].value_name, rows[i].name) << i;
    EXPECT_STREQ(klass->values[i].value_nick, rows[i].nick) << i;
  }
  g_type_class_unref(klass);
}

TEST(Registry, EnumTypesListValuesInTableOrder) {
  expect_enum(ov_ai_topology_pattern_get_type(), "OvAITopologyPattern",
              {{0, "No-specific topology", "none"},
               {1, "Classifier", "classifier"},
               {3, "ssd", "ssd"},
               {2, "YoloV3", "yolov3"},
               {4, "Segment", "segment"},
               {6, "FCN", "fcn"}});
  expect_enum(ov_engine_pattern_get_type(), "OvAIEnginePattern",
              {{0, "Non-specific engine", "none"},
               {1, "OpenVINO inference engine", "openvino"},
               {2, "TensorRT inference engine", "tensorrt"}});
  // Registered once, under the names the properties and scripts look up.
  EXPECT_EQ(g_type_from_name("OvAITopologyPattern"), ov_ai_topology_pattern_get_type());
  EXPECT_EQ(g_type_from_name("OvAIEnginePattern"), ov_engine_pattern_get_type());
  EXPECT_TRUE(G_TYPE_IS_ENUM(g_type_from_name("OvAITopologyPattern")));
}

TEST(Registry, NicksSelectValues) {
  GEnumClass *klass = static_cast<GEnumClass *>(g_type_class_ref(OV_TYPE_AI_TOPOLOGY_PATTERN));
  EXPECT_EQ(g_enum_get_value_by_nick(klass, "fcn")->value, 6);
  EXPECT_EQ(g_enum_get_value_by_nick(klass, "ssd")->value, 3);
  EXPECT_EQ(g_enum_get_value(klass, 5), nullptr);
  g_type_class_unref(klass);
}

TEST(Registry, TranslateElemKinds) {
  TranslateInfo info;
  info["i"] = TranslateElem(int32_t(42));
  info["f"] = TranslateElem(0.25f);
  info["s"] = TranslateElem(std::string("text"));
  EXPECT_EQ(info.at("i").kind, TranslateElem::Int);
  EXPECT_EQ(info.at("i").kind, 0);
  EXPECT_EQ(info.at("s").kind, 2);
  EXPECT_EQ(info.at("i").as_int(), 42);
  EXPECT_FLOAT_EQ(info.at("f").as_float(), 0.25f);
  EXPECT_EQ(info.at("s").as_string(), "text");
  // What the translators read: numbers as ints, a missing key as absent.
  int64_t v = -1;
  EXPECT_TRUE(detail::read_int(info, "i", v));
  EXPECT_EQ(v, 42);
  info["f"] = TranslateElem(416.75f);
  EXPECT_TRUE(detail::read_int(info, "f", v));
  EXPECT_EQ(v, 416);
  v = -1;
  EXPECT_FALSE(detail::read_int(info, "missing", v));
  EXPECT_EQ(v, -1);
}

}  // namespace

namespace {

TEST(Registry, LookupsWhileElementsRegister) {
  // Elements created on application threads re-register while streaming
  // threads look translators up.
  init_supports();
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop)
      init_supports();
  });
  size_t found = 0;
  for (int i = 0; i < 20000; ++i)
    found += bool(get_translator(Topology::YoloV3, Engine::TensorRT));
  stop = true;
  writer.join();
  EXPECT_EQ(found, 20000u);  // a re-registration never hides an entry
}

}  // namespace
