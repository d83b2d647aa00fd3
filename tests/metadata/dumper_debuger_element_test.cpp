// ovmetadumper and ovmetadebuger through harnesses: the exact printed lines
// and the synthetic result on frame 0.
#include <mutex>

#include <gtest/gtest.h>

#include "gstovmeta.h"
#include "gstovmeta_utils.h"
#include "metadata_test_util.h"
#include "ov_test.h"

namespace {

using ovtest::BufferPtr;
using ovtest::HarnessPtr;
using Lines = std::vector<std::string>;
using metatest::grid_of;
using metatest::is_test_label;

std::string road_or_car(int id) { return id == 1 ? "road" : id == 2 ? "car" : ""; }

/* Collects the default domain's GLib messages of a given level while alive. */
class GLogCapture {
 public:
  explicit GLogCapture(GLogLevelFlags levels) {
    id_ = g_log_set_handler(nullptr, levels, &GLogCapture::handle, this);
  }
  ~GLogCapture() { g_log_remove_handler(nullptr, id_); }
  Lines lines() {
    std::lock_guard<std::mutex> g(lock_);
    return lines_;
  }

 private:
  static void handle(const gchar *, GLogLevelFlags, const gchar *message, gpointer self) {
    auto *c = static_cast<GLogCapture *>(self);
    std::lock_guard<std::mutex> g(c->lock_);
    c->lines_.emplace_back(message ? message : "");
  }
  guint id_ = 0;
  std::mutex lock_;
  Lines lines_;
};

BufferPtr push_pull(GstHarness *h, BufferPtr in) {
  EXPECT_EQ(gst_harness_push(h, in.release()), GST_FLOW_OK);
  return BufferPtr(gst_harness_pull(h));
}

TEST(Dumper, PrintsRecordLineByLine) {
  HarnessPtr h = ovtest::make_harness("ovmetadumper", ovtest::video_caps("BGR", 4, 2));
  g_object_set(h->element, "segment_num", 3u, nullptr);
  BufferPtr in = ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 4, 2);
  GstOvBatchMeta *meta = try_get_ov_batch_meta(in.get());
  meta->batch.devices.resize(1);
  meta->batch.devices[0].stream_id = "cam";
  VideoFrameData alternating;
  alternating.frame_id = 9;
  alternating.width = 4;
  alternating.height = 2;
  alternating.channels = 3;
  alternating.seg_results = grid_of({{1, 2, 1, 2}, {2, 1, 2, 1}}, road_or_car);
  VideoFrameData zeros = alternating;
  zeros.seg_results = grid_of({{0, 0, 0, 0}, {0, 0, 0, 0}}, road_or_car);
  meta->batch.frames = {alternating, zeros};
  GLogCapture log(G_LOG_LEVEL_MESSAGE);
  BufferPtr out = push_pull(h.get(), std::move(in));
  ASSERT_TRUE(out);
  EXPECT_EQ(log.lines(), (Lines{
                             "========== Orvane batch metadata ==========",
                             "Device[0] ID:cam",
                             "Frame[0] Num:9 (4, 2, 0, 3) for Device 0",
                             "Seg[0] (0,0) label id: 1 label:road",
                             "Seg[1] (1,0) label id: 2 label:car",
                             "Seg[2] (2,0) label id: 1 label:road",
                             "Frame[1] Num:9 (4, 2, 0, 3) for Device 0",
                             "===========================================",
                         }));
}

TEST(Dumper, BufferWithoutRecordIsOneLineAndPassesOn) {
  HarnessPtr h = ovtest::make_harness("ovmetadumper", "application/octet-stream");
  GLogCapture log(G_LOG_LEVEL_MESSAGE);
  BufferPtr in = ovtest::make_buffer(16, 5);
  GstBuffer *raw = in.get();
  BufferPtr out = push_pull(h.get(), std::move(in));
  EXPECT_EQ(out.get(), raw);
  EXPECT_EQ(log.lines(), Lines{"No orvane batch metadata"});
}

TEST(Dumper, SegmentNumPropertyWithoutWarnings) {
  ovtest::ElementPtr e(gst_element_factory_make("ovmetadumper", nullptr));
  ASSERT_TRUE(e);
  gst_object_ref_sink(e.get());
  GLogCapture warnings(GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL));
  guint n = 0;
  g_object_get(e.get(), "segment_num", &n, nullptr);
  EXPECT_EQ(n, 10u);
  g_object_set(e.get(), "segment_num", 64u, nullptr);
  g_object_get(e.get(), "segment_num", &n, nullptr);
  EXPECT_EQ(n, 64u);
  EXPECT_TRUE(warnings.lines().empty());
  GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(e.get()), "segment_num");
  ASSERT_TRUE(pspec && G_IS_PARAM_SPEC_UINT(pspec));
  EXPECT_EQ(G_PARAM_SPEC_UINT(pspec)->maximum, 64u);
  EXPECT_STREQ(G_OBJECT_TYPE_NAME(e.get()), "OvMetaDumperTemplate");
}

class DebugerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h_ = ovtest::make_harness("ovmetadebuger", ovtest::video_caps("BGR", 320, 240));
    ASSERT_TRUE(h_);
  }
  BufferPtr run(BufferPtr in = nullptr) {
    if (!in)
      in = ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 320, 240);
    return push_pull(h_.get(), std::move(in));
  }
  HarnessPtr h_;
};

TEST_F(DebugerTest, BufferWithoutRecordGetsOneWithResultOnFrameZero) {
  g_object_set(h_->element, "class", "cat", "id", 7u, "prob", 0.5f, nullptr);
  BufferPtr out = run();
  ASSERT_TRUE(out);
  GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(out.get());
  ASSERT_NE(meta, nullptr);
  ASSERT_EQ(meta->batch.devices.size(), 1u);
  EXPECT_EQ(meta->batch.devices[0].stream_id, "sink");
  ASSERT_EQ(meta->batch.frames.size(), 1u);
  const VideoFrameData &f = meta->batch.frames[0];
  EXPECT_EQ(f.width, 320u);
  EXPECT_EQ(f.height, 240u);
  EXPECT_EQ(f.channels, 3u);
  EXPECT_EQ(f.device_idx, 0u);
  ASSERT_EQ(f.class_results.size(), 1u);
  EXPECT_EQ(f.class_results[0].label, "cat");
  EXPECT_EQ(f.class_results[0].index, 7u);
  EXPECT_FLOAT_EQ(f.class_results[0].prob, 0.5f);
  EXPECT_TRUE(f.box_results.empty());
}

TEST_F(DebugerTest, BoxCornersStoredInOrder) {
  gst_util_set_object_arg(G_OBJECT(h_->element), "type", "box");
  g_object_set(h_->element, "class", "ball", "x1", 0.8f, "x2", 0.2f, "y1", 0.9f, "y2", 0.1f,
               nullptr);
  ovtest::LogCapture log("ovmetadebuger", GST_LEVEL_DEBUG);
  BufferPtr out = run();
  ASSERT_TRUE(out);
  GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(out.get());
  ASSERT_NE(meta, nullptr);
  ASSERT_EQ(meta->batch.frames.at(0).box_results.size(), 1u);
  const auto &b = meta->batch.frames[0].box_results[0];
  EXPECT_FLOAT_EQ(b.x1, 0.2f);
  EXPECT_FLOAT_EQ(b.x2, 0.8f);
  EXPECT_FLOAT_EQ(b.y1, 0.1f);
  EXPECT_FLOAT_EQ(b.y2, 0.9f);
  EXPECT_EQ(b.obj_label, "ball");
  EXPECT_EQ(log.count_containing("Add box (0.200000,0.100000)-(0.800000,0.900000) label ball"),
            1u);
}

TEST_F(DebugerTest, MissingClassBecomesOneRandomTestLabel) {
  gchar *label = reinterpret_cast<gchar *>(0x1);
  g_object_get(h_->element, "class", &label, nullptr);
  EXPECT_EQ(label, nullptr);
  BufferPtr first = run();
  g_object_get(h_->element, "class", &label, nullptr);
  ASSERT_NE(label, nullptr);
  std::string chosen = label;
  g_free(label);
  EXPECT_TRUE(is_test_label(chosen)) << chosen;
  BufferPtr second = run();
  for (GstBuffer *b : {first.get(), second.get()}) {
    GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(b);
    ASSERT_NE(meta, nullptr);
    ASSERT_EQ(meta->batch.frames.at(0).class_results.size(), 1u);
    EXPECT_EQ(meta->batch.frames[0].class_results[0].label, chosen);
  }
  // An empty string is a value of its own.
  g_object_set(h_->element, "class", "", nullptr);
  BufferPtr third = run();
  EXPECT_EQ(gst_buffer_get_ov_batch_meta(third.get())->batch.frames.at(0).class_results.at(0).label,
            "");
}

TEST_F(DebugerTest, ResultsAccumulateOnExistingRecord) {
  BufferPtr in = ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 320, 240);
  GstOvBatchMeta *meta = try_get_ov_batch_meta(in.get());
  VideoFrameData f;
  f.width = 320;
  f.height = 240;
  f.box_results.resize(2);
  meta->batch.frames = {f, f};
  gst_util_set_object_arg(G_OBJECT(h_->element), "type", "box");
  g_object_set(h_->element, "class", "x", nullptr);
  BufferPtr out = run(std::move(in));
  meta = gst_buffer_get_ov_batch_meta(out.get());
  EXPECT_EQ(meta->batch.devices.size(), 0u);
  EXPECT_EQ(meta->batch.frames.at(0).box_results.size(), 3u);
  EXPECT_EQ(meta->batch.frames.at(1).box_results.size(), 2u);
}

TEST_F(DebugerTest, SharedBufferMadeWritableWithWarning) {
  g_object_set(h_->element, "class", "cat", nullptr);
  ovtest::LogCapture log("ovmetadebuger", GST_LEVEL_WARNING);
  BufferPtr in = ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 320, 240);
  BufferPtr kept(gst_buffer_ref(in.get()));
  BufferPtr out = run(std::move(in));
  ASSERT_TRUE(out);
  EXPECT_TRUE(log.has(GST_LEVEL_WARNING, "Gst buffer is not writable so make it writable."));
  EXPECT_NE(gst_buffer_get_ov_batch_meta(out.get()), nullptr);
  EXPECT_EQ(gst_buffer_get_ov_batch_meta(kept.get()), nullptr);
}

TEST(DebugerProperties, DefaultsAndEnum) {
  ovtest::ElementPtr e(gst_element_factory_make("ovmetadebuger", nullptr));
  ASSERT_TRUE(e);
  gst_object_ref_sink(e.get());
  gint type = -1;
  guint id = 1;
  gfloat x1 = -1, y1 = -1, x2 = -1, y2 = -1, prob = -1;
  gboolean show = TRUE;
  g_object_get(e.get(), "type", &type, "id", &id, "x1", &x1, "y1", &y1, "x2", &x2, "y2", &y2,
               "prob", &prob, "show", &show, nullptr);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(id, 0u);
  EXPECT_FLOAT_EQ(x1, 0.0f);
  EXPECT_FLOAT_EQ(y1, 0.0f);
  EXPECT_FLOAT_EQ(x2, 1.0f);
  EXPECT_FLOAT_EQ(y2, 1.0f);
  EXPECT_FLOAT_EQ(prob, 1.0f);
  EXPECT_FALSE(show);
  GType enum_type = g_type_from_name("DataTypePattern");
  ASSERT_NE(enum_type, G_TYPE_INVALID);
  GEnumClass *klass = G_ENUM_CLASS(g_type_class_ref(enum_type));
  EXPECT_STREQ(g_enum_get_value(klass, 0)->value_nick, "class");
  EXPECT_STREQ(g_enum_get_value(klass, 1)->value_name, "Box data (id, x1, y1, x2, y2, prob)");
  EXPECT_EQ(klass->n_values, 2u);
  g_type_class_unref(klass);
  GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(e.get()), "class");
  EXPECT_STREQ(G_PARAM_SPEC_STRING(pspec)->default_value, "");
  EXPECT_STREQ(G_OBJECT_TYPE_NAME(e.get()), "OvMetaDebugerTemplate");
}

}  // namespace
