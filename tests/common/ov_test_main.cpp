// Test entry point: isolates the process (own registry file in a temporary
// directory unless one is given) and initialises GStreamer once.
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
  g_setenv("GST_REGISTRY_FORK", "no", FALSE);
  gst_init(&argc, &argv);
  int rc = RUN_ALL_TESTS();
  return rc;
}
