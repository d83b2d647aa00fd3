// The property tables of the elements: every property set to a value other
// than its default, all of them first and then all read back (so two
// properties sharing a field, or a property read from another's field, show),
// and an id an element does not know gets GObject's warning.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ov_test.h"
#include "warning_capture.h"

namespace {

struct Setting {
  const char *name;
  const char *value; /* as on a launch line */
};

struct ElementCase {
  const char *factory;
  std::vector<Setting> settings;
};

/* Values chosen unlike each other and unlike the defaults. */
const ElementCase kCases[] = {
    {"ovrt",
     {{"norm", "true"},
      {"model", "/no/such/net.engine"},
      {"device", "3"},
      {"batch", "17"},
      {"scale", "0.125"},
      {"mean", "1.5"}}},
    {"ovtranslator",
     {{"topology", "segment"},
      {"engine_type", "tensorrt"},
      {"label", "/no/such/labels.txt"},
      {"dims", "1,0,21"},
      {"input_width", "416"},
      {"input_height", "320"}}},
    {"ovmetawriter", {{"devinfo", "/no/such/devinfo"}, {"count_frame", "true"}}},
    {"ovmetadrawer", {{"overlay", "false"}, {"opacity", "0.375"}}},
    {"ovmetadumper", {{"segment_num", "33"}}},
    {"ovmetadebuger",
     {{"type", "box"},
      {"id", "4242"},
      {"class", "kite"},
      {"x1", "0.0625"},
      {"y1", "0.1875"},
      {"x2", "0.8125"},
      {"y2", "0.9375"},
      {"prob", "0.4375"},
      {"show", "true"}}},
};

class ElementProperties : public ::testing::TestWithParam<ElementCase> {};

ov::ElementPtr make(const char *factory) {
  GstElement *e = gst_element_factory_make(factory, nullptr);
  EXPECT_NE(e, nullptr) << factory;
  return ov::ElementPtr(e ? GST_ELEMENT(gst_object_ref_sink(e)) : nullptr);
}

std::string serialized(const GValue *value) {
  gchar *text = gst_value_serialize(value);
  std::string out = text ? text : "(null)";
  g_free(text);
  return out;
}

TEST_P(ElementProperties, SetAllThenReadAllGivesEachItsOwnValue) {
  const ElementCase &c = GetParam();
  ov::ElementPtr e = make(c.factory);
  ASSERT_TRUE(e);
  GObject *object = G_OBJECT(e.get());

  for (const Setting &s : c.settings) {
    GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(object), s.name);
    ASSERT_NE(pspec, nullptr) << c.factory << "." << s.name;
    // Not the default already: the read-back would prove nothing.
    GValue expected = G_VALUE_INIT;
    g_value_init(&expected, pspec->value_type);
    ASSERT_TRUE(gst_value_deserialize(&expected, s.value)) << s.name;
    EXPECT_FALSE(g_param_value_defaults(pspec, &expected)) << c.factory << "." << s.name;
    g_value_unset(&expected);
    gst_util_set_object_arg(object, s.name, s.value);
  }

  for (const Setting &s : c.settings) {
    GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(object), s.name);
    GValue expected = G_VALUE_INIT, actual = G_VALUE_INIT;
    g_value_init(&expected, pspec->value_type);
    g_value_init(&actual, pspec->value_type);
    ASSERT_TRUE(gst_value_deserialize(&expected, s.value));
    g_object_get_property(object, s.name, &actual);
    EXPECT_EQ(gst_value_compare(&expected, &actual), GST_VALUE_EQUAL)
        << c.factory << "." << s.name << ": set " << s.value << ", read "
        << serialized(&actual);
    g_value_unset(&expected);
    g_value_unset(&actual);
  }
}

// GObject only passes installed ids; the class functions are called directly
// with one no table lists.
TEST_P(ElementProperties, UnknownIdWarnsWithTheElementsTypeName) {
  const ElementCase &c = GetParam();
  ov::ElementPtr e = make(c.factory);
  ASSERT_TRUE(e);
  GObject *object = G_OBJECT(e.get());
  GObjectClass *klass = G_OBJECT_GET_CLASS(object);
  GParamSpec *pspec = g_object_class_find_property(klass, c.settings[0].name);
  ASSERT_NE(pspec, nullptr);
  const guint bogus = 977;

  GValue value = G_VALUE_INIT;
  g_value_init(&value, pspec->value_type);
  WarningCapture warnings;
  klass->get_property(object, bogus, &value, pspec);
  klass->set_property(object, bogus, &value, pspec);
  g_value_unset(&value);

  const std::string expected = std::string("invalid property id 977 for \"") + pspec->name +
                               "\" of type '" + G_PARAM_SPEC_TYPE_NAME(pspec) + "' in '" +
                               G_OBJECT_TYPE_NAME(object) + "'";
  ASSERT_EQ(warnings.messages().size(), 2u) << c.factory;
  for (const std::string &m : warnings.messages())
    EXPECT_NE(m.find(expected), std::string::npos) << m;
}

INSTANTIATE_TEST_SUITE_P(Elements, ElementProperties, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ElementCase> &info) {
                           return std::string(info.param.factory);
                         });

}  // namespace
