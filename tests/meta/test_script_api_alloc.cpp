// The plain C script API when memory runs out: every call returns NULL / 0 /
// FALSE instead of throwing into a script's foreign-function call, and frees
// what it had made (the sanitizer build checks for leaks).
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "gstovmeta_python_wrapper.h"
#include "gstovmeta_utils.h"
#include "ov_test.h"

namespace {
/* Allocations operator new still grants; negative: no limit. */
std::atomic<long> g_allocations_left{-1};
}  // namespace

// The replacements pair malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void *operator new(std::size_t size) {
  long left = g_allocations_left.load();
  while (left > 0 && !g_allocations_left.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 0)
    throw std::bad_alloc();
  if (void *p = std::malloc(size ? size : 1))
    return p;
  throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

/* Runs `call` with at most `n` allocations granted. */
template <typename F>
auto with_allocations(long n, F call) {
  g_allocations_left = n;
  auto result = call();
  g_allocations_left = -1;
  return result;
}

const std::string kLong = "a label long enough to need its own allocation";

struct ScriptApiOutOfMemory : ::testing::Test {
  ovtest::BufferPtr buf = ovtest::make_buffer(32);
  ovtest::PadPtr pad = ovtest::make_pad_with_caps("cam", ovtest::video_caps("BGR", 32, 24));

  void SetUp() override {
    GstOvBatchMeta *m = try_get_ov_batch_meta(buf.get());
    m->batch.frames.resize(1);
    for (int i = 0; i < 3; ++i) {
      orvane::ai::ClassificationResult c;
      c.index = unsigned(i);
      c.label = kLong + std::to_string(i);
      c.output = kLong;
      m->batch.frames[0].class_results.push_back(c);
      orvane::ai::DetectionBoxResult b;
      b.obj_label = kLong + std::to_string(i);
      b.class_label = kLong;
      b.meta = kLong;
      b.x2 = float(i);
      m->batch.frames[0].box_results.push_back(b);
    }
  }
};

TEST_F(ScriptApiOutOfMemory, GettersReturnNullAndZeroUntilTheyCanCopyEverything) {
  int failures = 0;
  for (long n = 0;; ++n) {
    ASSERT_LT(n, 1000) << "the getters never succeeded";
    unsigned classes = 99, boxes = 99;
    C_ClassificationResult *c = nullptr;
    C_DetectionBoxResult *b = nullptr;
    EXPECT_NO_THROW(c = with_allocations(
                        n, [&] { return gst_metadata_get_classification(buf.get(), 0, &classes); }));
    EXPECT_NO_THROW(b = with_allocations(
                        n, [&] { return gst_metadata_get_detection_box(buf.get(), 0, &boxes); }));
    EXPECT_EQ(classes, c ? 3u : 0u) << n;
    EXPECT_EQ(boxes, b ? 3u : 0u) << n;
    if (c) {
      EXPECT_EQ(std::string(c[2].label), kLong + "2");
    }
    if (b) {
      EXPECT_EQ(std::string(b[2].obj_label), kLong + "2");
    }
    gst_metadata_free_classification(c, classes);
    gst_metadata_free_detection_box(b, boxes);
    if (c && b)
      break;
    ++failures;
  }
  EXPECT_GT(failures, 0) << "no allocation failure was ever reached";
}

TEST_F(ScriptApiOutOfMemory, SettersReturnFalseAndLeaveTheRecordAsItWas) {
  C_DetectionBoxResult in[2] = {};
  for (auto &b : in) {
    b.obj_label = const_cast<char *>(kLong.c_str());
    b.class_label = const_cast<char *>(kLong.c_str());
    b.meta = const_cast<char *>(kLong.c_str());
  }
  C_ClassificationResult cls = {};
  cls.label = const_cast<char *>(kLong.c_str());
  cls.output = const_cast<char *>(kLong.c_str());
  GstOvBatchMeta *m = gst_buffer_get_ov_batch_meta(buf.get());
  int failures = 0;
  for (long n = 0;; ++n) {
    ASSERT_LT(n, 1000) << "the setters never succeeded";
    const size_t boxes_before = m->batch.frames[0].box_results.size();
    const size_t classes_before = m->batch.frames[0].class_results.size();
    gboolean set_boxes = FALSE, set_class = FALSE;
    EXPECT_NO_THROW(set_boxes = with_allocations(n, [&] {
                      return gst_metadata_set_detection_box(buf.get(), pad.get(), 0, in, 2);
                    }));
    EXPECT_NO_THROW(set_class = with_allocations(n, [&] {
                      return gst_metadata_set_classification(buf.get(), pad.get(), 0, &cls, 1);
                    }));
    EXPECT_EQ(m->batch.frames[0].box_results.size(), boxes_before + (set_boxes ? 2 : 0)) << n;
    EXPECT_EQ(m->batch.frames[0].class_results.size(), classes_before + (set_class ? 1 : 0)) << n;
    if (set_boxes && set_class)
      break;
    ++failures;
  }
  EXPECT_GT(failures, 0);
}

}  // namespace
