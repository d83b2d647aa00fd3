// The plug-in's registration and every element's documented launch line.
#include <fstream>

#include <dlfcn.h>

#include <gtest/gtest.h>

#include "ov_test.h"

namespace {

struct Registered {
  const char *element;
  const char *type_name;
  guint rank;
};

/* The plug-in, loaded by making one of its elements (a new reference, or
 * NULL). */
GstPlugin *loaded_plugin(const char *element) {
  ovtest::ElementPtr e(gst_element_factory_make(element, nullptr));
  if (!e)
    return nullptr;
  gst_object_ref_sink(e.get());
  return gst_registry_find_plugin(gst_registry_get(), "ovmetadata");
}

TEST(OvMetadataPlugin, RegistersFourElements) {
  GstPlugin *plugin = loaded_plugin("ovmetadrawer");
  ASSERT_NE(plugin, nullptr);
  EXPECT_STREQ(gst_plugin_get_description(plugin), "Orvane metadata elements");
  EXPECT_STREQ(gst_plugin_get_version(plugin), "2.3.1");
  EXPECT_STREQ(gst_plugin_get_license(plugin), "LGPL");
  gst_object_unref(plugin);
  const Registered all[] = {
      {"ovmetadrawer", "OvInferDraw", GST_RANK_NONE},
      {"ovmetawriter", "OvMetaWriter", GST_RANK_PRIMARY},
      {"ovmetadumper", "OvMetaDumperTemplate", GST_RANK_NONE},
      {"ovmetadebuger", "OvMetaDebugerTemplate", GST_RANK_NONE},
  };
  for (const Registered &r : all) {
    GstElementFactory *f = gst_element_factory_find(r.element);
    ASSERT_NE(f, nullptr) << r.element;
    EXPECT_EQ(gst_plugin_feature_get_rank(GST_PLUGIN_FEATURE(f)), r.rank) << r.element;
    GType t = gst_element_factory_get_element_type(f);
    if (t == G_TYPE_INVALID) {
      gst_object_unref(gst_element_factory_create(f, nullptr));
      t = gst_element_factory_get_element_type(f);
    }
    EXPECT_STREQ(g_type_name(t), r.type_name);
    gst_object_unref(f);
  }
  GstElementFactory *drawer = gst_element_factory_find("ovmetadrawer");
  EXPECT_STREQ(gst_element_factory_get_metadata(drawer, GST_ELEMENT_METADATA_LONGNAME),
               "ovinfer draw");
  EXPECT_STREQ(gst_element_factory_get_metadata(drawer, GST_ELEMENT_METADATA_KLASS),
               "AI/InferDraw");
  gst_object_unref(drawer);
}

class DocLaunchLine : public ::testing::TestWithParam<const char *> {};

/* The launch line in the element file's opening comment, without the
 * program name. */
std::string doc_launch_line(const std::string &file) {
  std::ifstream in(std::string(OV_METADATA_SOURCE_DIR) + "/" + file);
  const std::string program = "gst-launch-1.0 ";
  std::string line;
  while (std::getline(in, line)) {
    size_t at = line.find(program);
    if (at != std::string::npos && line.find_first_not_of(" *") == at)
      return line.substr(at + program.size());
    if (line.find("*/") != std::string::npos)
      break;
  }
  return "";
}

TEST_P(DocLaunchLine, RunsToEndOfStream) {
  std::string description = doc_launch_line(GetParam());
  ASSERT_FALSE(description.empty()) << "no launch line in " << GetParam();
  ovtest::PipelineRun run = ovtest::run_pipeline(description, 60000);
  EXPECT_TRUE(run.ok) << description << ": " << run.error;
  EXPECT_TRUE(run.warnings.empty());
}

INSTANTIATE_TEST_SUITE_P(Elements, DocLaunchLine,
                         ::testing::Values("ovinfer_draw.cpp", "metawriter.cpp",
                                           "ovmetadumper.cpp", "ovmetadebuger.cpp"));

}  // namespace

// The writers' shared frame counter is exported under its plain name, so an
// application can read where the numbering stands.
TEST(OvMetadataPlugin, ExportsTheFrameCounter) {
  GstPlugin *plugin = loaded_plugin("ovmetawriter");
  ASSERT_NE(plugin, nullptr);
  void *module = dlopen(gst_plugin_get_filename(plugin), RTLD_LAZY | RTLD_LOCAL);
  gst_object_unref(plugin);
  ASSERT_NE(module, nullptr) << dlerror();
  EXPECT_NE(dlsym(module, "number"), nullptr);
  dlclose(module);
}
