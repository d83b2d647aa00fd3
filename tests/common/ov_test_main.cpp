// Test entry point: isolates the process and initialises GStreamer once.
//
// The isolation is set here rather than through CTest so that a test binary
// run by hand behaves the same: plug-in path = this build, system plug-ins
// limited to the farm the tests use, an own registry file in a temporary
// directory, no forked scanner, and GLib criticals fatal.  Variables already
// set in the environment win.
#include <cstring>
#include <string>

#include <glib/gstdio.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

namespace {

std::string g_tmp_dir;

void remove_tmp_dir() {
  if (g_tmp_dir.empty())
    return;
  std::string reg = g_tmp_dir + "/registry.bin";
  g_unlink(reg.c_str());
  g_rmdir(g_tmp_dir.c_str());
}

bool listing_only(int argc, char **argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--gtest_list_tests") == 0)
      return true;
  return false;
}

}  // namespace

// Under AddressSanitizer: GLib and GStreamer keep process-lifetime allocations
// (type system, registry) that the leak checker reports at exit, also while
// CTest lists the tests.  Leaks of our own objects are caught by refcount
// checks in the tests instead.
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options() {
  return "detect_leaks=0";
}
extern "C" __attribute__((visibility("default"), used)) const char *__ubsan_default_options() {
  return "print_stacktrace=1:halt_on_error=1";
}

namespace {

void isolate_environment() {
  g_setenv("GST_PLUGIN_PATH", OV_TEST_PLUGIN_PATH, FALSE);
  g_setenv("GST_PLUGIN_SYSTEM_PATH_1_0", OV_TEST_SYSTEM_PLUGINS, FALSE);
  g_setenv("GST_REGISTRY_FORK", "no", FALSE);
  g_setenv("GST_DEBUG_NO_COLOR", "1", FALSE);
  g_setenv("OV_SOURCE_DIR", OV_TEST_SOURCE_DIR, FALSE);
  g_setenv("OV_BUILD_DIR", OV_TEST_BUILD_DIR, FALSE);
}

}  // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  if (listing_only(argc, argv))
    return RUN_ALL_TESTS();

  if (!g_getenv("GST_REGISTRY")) {
    gchar *dir = g_dir_make_tmp("ovtest-XXXXXX", nullptr);
    if (dir) {
      g_tmp_dir = dir;
      g_free(dir);
      std::string reg = g_tmp_dir + "/registry.bin";
      g_setenv("GST_REGISTRY", reg.c_str(), TRUE);
      std::atexit(remove_tmp_dir);
    }
  }
  isolate_environment();
  // A GLib critical is a caller's bug: fail loudly, as GStreamer's own checks do.
  g_log_set_always_fatal(GLogLevelFlags(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL));
  gst_init(&argc, &argv);
  int rc = RUN_ALL_TESTS();
  return rc;
}
