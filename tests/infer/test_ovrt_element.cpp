/* The ovrt element in process: the buffer list it pushes, messages and
 * levels, properties, and its failure paths. */
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "engine_fixtures.h"
#include "gstovmeta.h"
#include "gstovmeta_utils.h"
#include "ov_tensor_shapes.h"
#include "ov_test.h"

namespace {

using ovtest::BufferPtr;
using ovtest::ElementPtr;
using ovtest::LogCapture;
using ovtest::PadPtr;

std::string bgr_caps(int w, int h) { return ovtest::video_caps("BGR", w, h); }

/* What reached the capture pad: lists and single buffers, in order. */
struct Captured {
  std::mutex lock;
  std::vector<ov::BufferListPtr> lists;
  std::vector<BufferPtr> buffers;
  /* Per list, as it arrived: the reference counts of its buffers. */
  std::vector<std::vector<int>> refcounts;
};

GstFlowReturn capture_chain(GstPad *pad, GstObject *, GstBuffer *buffer) {
  auto *c = static_cast<Captured *>(gst_pad_get_element_private(pad));
  std::lock_guard<std::mutex> g(c->lock);
  c->buffers.emplace_back(buffer);
  return GST_FLOW_OK;
}

GstFlowReturn capture_chain_list(GstPad *pad, GstObject *, GstBufferList *list) {
  auto *c = static_cast<Captured *>(gst_pad_get_element_private(pad));
  std::lock_guard<std::mutex> g(c->lock);
  std::vector<int> refs;
  for (guint i = 0; i < gst_buffer_list_length(list); ++i)
    refs.push_back(GST_MINI_OBJECT_REFCOUNT_VALUE(gst_buffer_list_get(list, i)));
  c->refcounts.push_back(refs);
  c->lists.emplace_back(list);
  return GST_FLOW_OK;
}

/* ovrt between a test source pad and a capture pad (with or without a list
 * chain function). */
class OvrtElement : public testing::Test {
 protected:
  void start(const std::string &caps, bool with_list_chain = true) {
    element_.reset(gst_element_factory_make("ovrt", nullptr));
    ASSERT_NE(element_, nullptr);
    gst_object_ref_sink(element_.get());
    src_ = ovtest::make_pad_with_caps("testsrc", caps);
    PadPtr sink(gst_element_get_static_pad(element_.get(), "sink"));
    ASSERT_EQ(gst_pad_link(src_.get(), sink.get()), GST_PAD_LINK_OK);
    capture_.reset(gst_pad_new("capture", GST_PAD_SINK));
    gst_object_ref_sink(capture_.get());
    gst_pad_set_element_private(capture_.get(), &captured_);
    gst_pad_set_chain_function(capture_.get(), capture_chain);
    if (with_list_chain)
      gst_pad_set_chain_list_function(capture_.get(), capture_chain_list);
    PadPtr src(gst_element_get_static_pad(element_.get(), "src"));
    ASSERT_EQ(gst_pad_link(src.get(), capture_.get()), GST_PAD_LINK_OK);
    gst_pad_set_active(capture_.get(), TRUE);
    ASSERT_NE(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    gst_pad_push_event(src_.get(), gst_event_new_segment(&segment));
  }

  GstFlowReturn push(BufferPtr buffer) { return gst_pad_push(src_.get(), buffer.release()); }

  void TearDown() override {
    if (element_) {
      gst_element_set_state(element_.get(), GST_STATE_NULL);
      src_.reset();
      capture_.reset();
      EXPECT_EQ(GST_OBJECT_REFCOUNT_VALUE(element_.get()), 1);
    }
    element_.reset();
    for (const auto &p : files_)
      std::remove(p.c_str());
  }

  std::string engine(const std::string &model, std::vector<int32_t> dims, uint32_t max_batch) {
    files_.push_back(ovtest::temp_engine_file(
        ovtest::onnx_engine(model, dims, {{"out", dims}}, max_batch), "ovrt"));
    return files_.back();
  }
  void set(const char *name, const char *value) {
    gst_util_set_object_arg(G_OBJECT(element_.get()), name, value);
  }

  ElementPtr element_;
  PadPtr src_, capture_;
  Captured captured_;
  std::vector<std::string> files_;
};

/* A batch image of `heights.size()` frames of width w stacked top to bottom,
 * frame k filled with 10 × (k + 1), and one frame record per frame. */
BufferPtr batch_buffer(int w, const std::vector<int> &heights) {
  int total = 0;
  for (int h : heights)
    total += h;
  BufferPtr buffer = ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, w, total, 0);
  {
    ov::BufferMap map(buffer.get(), GST_MAP_WRITE);
    size_t offset = 0;
    for (size_t k = 0; k < heights.size(); ++k) {
      size_t bytes = static_cast<size_t>(w) * 3 * heights[k];
      std::memset(map.data() + offset, int(10 * (k + 1)), bytes);
      offset += bytes;
    }
  }
  GstOvBatchMeta *meta = try_get_ov_batch_meta(buffer.get());
  for (size_t k = 0; k < heights.size(); ++k) {
    VideoFrameData f;
    f.stream_id = "s" + std::to_string(k);
    f.frame_id = static_cast<uint32_t>(k);
    f.width = static_cast<uint32_t>(w);
    f.height = static_cast<uint32_t>(heights[k]);
    f.channels = 3;
    meta->batch.frames.push_back(f);
  }
  GST_BUFFER_PTS(buffer.get()) = 42 * GST_MSECOND;
  return buffer;
}

const float *tensor_floats(GstBuffer *tensor, std::vector<float> &storage) {
  ov::BufferMap map(tensor, GST_MAP_READ);
  storage.resize(map.size() / 4);
  std::memcpy(storage.data(), map.data(), map.size());
  return storage.data();
}

TEST_F(OvrtElement, BatchTwoWithThreeFramesFeedsTwoWarnsOnceAndPushesOneList) {
  start(bgr_caps(8, 24));
  set("model", engine("identity_8x8.onnx", {3, 8, 8}, 2).c_str());
  set("batch", "2");
  set("mean", "0 0 0");
  LogCapture log("ovTSRT", GST_LEVEL_DEBUG);
  BufferPtr in = batch_buffer(8, {8, 8, 8});
  GstBuffer *raw = in.get();
  ASSERT_EQ(push(std::move(in)), GST_FLOW_OK);

  EXPECT_TRUE(log.has(GST_LEVEL_DEBUG, "Try to init TensorTSRT engine"));
  EXPECT_TRUE(log.has(GST_LEVEL_INFO, "Update 0-th TensorRT input data"));
  EXPECT_TRUE(log.has(GST_LEVEL_INFO, "Update 1-th TensorRT input data"));
  EXPECT_FALSE(log.has(GST_LEVEL_INFO, "Update 2-th TensorRT input data"));
  EXPECT_EQ(log.count_containing("Skip "), 1u);
  EXPECT_TRUE(log.has(GST_LEVEL_WARNING,
                      "Skip 2-th to update TensorRT input data, becasue of batch size only 2"));
  EXPECT_EQ(log.count_containing("Resize"), 0u);

  ASSERT_EQ(captured_.lists.size(), 1u);
  EXPECT_TRUE(captured_.buffers.empty());
  GstBufferList *list = captured_.lists[0].get();
  ASSERT_EQ(gst_buffer_list_length(list), 2u);
  GstBuffer *frame = gst_buffer_list_get(list, 0);
  EXPECT_EQ(frame, raw) << "buffer 0 is the incoming buffer itself";
  EXPECT_EQ(GST_BUFFER_PTS(frame), 42 * GST_MSECOND);
  GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(frame);
  ASSERT_NE(meta, nullptr);
  EXPECT_EQ(meta->batch.frames.size(), 3u);

  GstBuffer *tensor = gst_buffer_list_get(list, 1);
  EXPECT_EQ(gst_buffer_get_size(tensor), 2u * 3 * 8 * 8 * 4);
  EXPECT_EQ(gst_buffer_get_ov_batch_meta(tensor), nullptr);
  EXPECT_FALSE(GST_BUFFER_PTS_IS_VALID(tensor));
  std::vector<float> v;
  const float *f = tensor_floats(tensor, v);
  EXPECT_EQ(f[0], 10.f);          /* frame 0, blue */
  EXPECT_EQ(f[3 * 64 + 5], 20.f); /* frame 1 */
}

/* Warnings the element posted on `bus` so far (their debug texts). */
std::vector<std::string> posted_warnings(GstBus *bus) {
  std::vector<std::string> out;
  while (ov::MessagePtr msg{gst_bus_pop_filtered(bus, GST_MESSAGE_WARNING)}) {
    GError *err = nullptr;
    gchar *dbg = nullptr;
    gst_message_parse_warning(msg.get(), &err, &dbg);
    out.emplace_back(dbg ? dbg : "");
    g_clear_error(&err);
    g_free(dbg);
  }
  return out;
}

/* The engine keeps the batch it was made with: a larger "batch" later infers
 * that many frames per buffer and warns once, instead of failing buffers. */
TEST_F(OvrtElement, RaisingBatchAfterTheEngineExistsInfersTheEngineBatchAndWarnsOnce) {
  start(bgr_caps(8, 16));
  ov::BusPtr bus(gst_bus_new());
  gst_element_set_bus(element_.get(), bus.get());
  set("model", engine("identity_8x8.onnx", {3, 8, 8}, 2).c_str());
  set("mean", "0 0 0");
  ASSERT_EQ(push(batch_buffer(8, {8, 8})), GST_FLOW_OK);
  // two frames with the default batch of 1: the second frame gets nothing
  std::vector<std::string> below = posted_warnings(bus.get());
  ASSERT_EQ(below.size(), 1u);
  EXPECT_NE(below[0].find("property \"batch\" is 1 but the batch image holds 2 frames"),
            std::string::npos) << below[0];
  EXPECT_NE(below[0].find("set batch=2"), std::string::npos) << below[0];

  set("batch", "2");
  LogCapture log("ovTSRT", GST_LEVEL_DEBUG);
  ASSERT_EQ(push(batch_buffer(8, {8, 8})), GST_FLOW_OK);
  ASSERT_EQ(push(batch_buffer(8, {8, 8})), GST_FLOW_OK);
  EXPECT_EQ(log.count_containing("Update 1-th"), 0u);
  std::vector<std::string> warnings = posted_warnings(bus.get());
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("property \"batch\" is 2"), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[0].find("created with batch 1"), std::string::npos) << warnings[0];

  ASSERT_EQ(captured_.lists.size(), 3u);
  GstBuffer *tensor = gst_buffer_list_get(captured_.lists[2].get(), 1);
  EXPECT_EQ(gst_buffer_get_size(tensor), 3u * 8 * 8 * 4) << "one image slot: the engine's batch";
  std::vector<float> v;
  EXPECT_EQ(tensor_floats(tensor, v)[0], 10.f);
  gst_element_set_bus(element_.get(), nullptr);
}

/* Downstream learns the engine's shapes before its first tensor. */
TEST_F(OvrtElement, TellsDownstreamTheEngineShapesBeforeTheFirstTensor) {
  start(bgr_caps(8, 16));
  set("model", engine("identity_8x8.onnx", {3, 8, 8}, 2).c_str());
  set("mean", "0 0 0");
  set("batch", "2");
  ASSERT_EQ(push(batch_buffer(8, {8, 8})), GST_FLOW_OK);
  ov::TensorShapes shapes;
  {
    ov::EventPtr event(gst_pad_get_sticky_event(capture_.get(),
                                                GST_EVENT_CUSTOM_DOWNSTREAM_STICKY, 0));
    ASSERT_TRUE(ov::tensor_shapes_from_event(event.get(), shapes));
  }
  EXPECT_EQ(shapes.input_width, 8);
  EXPECT_EQ(shapes.input_height, 8);
  EXPECT_EQ(shapes.batch, 2);
  ASSERT_EQ(shapes.outputs.size(), 1u);
  EXPECT_EQ(shapes.outputs[0], (std::vector<int64_t>{2, 3, 8, 8}));
  ASSERT_EQ(shapes.names.size(), 1u);
  EXPECT_EQ(shapes.names[0], "out");
  GstBuffer *tensor = gst_buffer_list_get(captured_.lists[0].get(), 1);
  EXPECT_EQ(gst_buffer_get_size(tensor), 2u * 3 * 8 * 8 * 4) << "the shapes describe the tensor";
}

TEST_F(OvrtElement, ListBuffersArriveWithTheirOnlyReferenceAndAreDrawnIntoWithoutCopy) {
  start(bgr_caps(8, 16));
  set("model", engine("identity_8x8.onnx", {3, 8, 8}, 2).c_str());
  set("batch", "2");
  ovtest::LogCapture copies("GST_PERFORMANCE", GST_LEVEL_LOG);
  for (int i = 0; i < 2; ++i) {
    BufferPtr in = batch_buffer(8, {8, 8});
    const guint8 *pixels = nullptr;
    {
      ov::BufferMap map(in.get(), GST_MAP_READ);
      pixels = map.data();
    }
    ASSERT_EQ(push(std::move(in)), GST_FLOW_OK);
    ASSERT_EQ(captured_.lists.size(), size_t(i + 1));
    EXPECT_EQ(captured_.refcounts[i], std::vector<int>({1, 1}))
        << "the element kept a reference to a buffer it handed on";
    // Downstream owns the frame buffer alone: its pixels can be written in
    // place, as the drawer does.
    GstBuffer *frame = gst_buffer_list_get(captured_.lists[i].get(), 0);
    ov::BufferMap write(frame, GST_MAP_WRITE);
    ASSERT_TRUE(write.ok());
    EXPECT_EQ(write.data(), pixels) << "writing needed a copy of the image";
  }
  EXPECT_EQ(copies.messages(), std::vector<std::string>());
}

TEST_F(OvrtElement, TensorSizeDoesNotDependOnTheFrameCount) {
  start(bgr_caps(8, 8));
  set("model", engine("identity_8x8.onnx", {3, 8, 8}, 4).c_str());
  set("batch", "4");
  ASSERT_EQ(push(batch_buffer(8, {8})), GST_FLOW_OK);
  ASSERT_EQ(push(batch_buffer(8, {8})), GST_FLOW_OK);
  ASSERT_EQ(captured_.lists.size(), 2u);
  for (auto &l : captured_.lists)
    EXPECT_EQ(gst_buffer_get_size(gst_buffer_list_get(l.get(), 1)), 4u * 3 * 8 * 8 * 4);
  /* Slots without a frame hold zeros. */
  std::vector<float> v;
  const float *f = tensor_floats(gst_buffer_list_get(captured_.lists[1].get(), 1), v);
  for (size_t i = 192; i < v.size(); ++i)
    ASSERT_EQ(f[i], 0.f) << i;
}

TEST_F(OvrtElement, LargeFrameWithoutRecordsIsResizedWithItsMessage) {
  start(bgr_caps(1280, 720));
  set("model", engine("identity_608x608.onnx", {3, 608, 608}, 1).c_str());
  LogCapture log("ovTSRT", GST_LEVEL_DEBUG);
  ASSERT_EQ(push(ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 1280, 720, 255)), GST_FLOW_OK);
  EXPECT_TRUE(log.has(GST_LEVEL_DEBUG, "Resize 0-th image from (W:H) (1280,720) to (608,608)\n"))
      << testing::PrintToString(log.messages());
  ASSERT_EQ(captured_.lists.size(), 1u);
  EXPECT_EQ(gst_buffer_get_size(gst_buffer_list_get(captured_.lists[0].get(), 1)),
            3u * 608 * 608 * 4);
}

TEST_F(OvrtElement, FrameAtNetworkSizeLogsNoResize) {
  start(bgr_caps(608, 608));
  set("model", engine("identity_608x608.onnx", {3, 608, 608}, 1).c_str());
  LogCapture log("ovTSRT", GST_LEVEL_DEBUG);
  ASSERT_EQ(push(ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 608, 608, 1)), GST_FLOW_OK);
  EXPECT_EQ(log.count_containing("Resize"), 0u);
  EXPECT_TRUE(log.has(GST_LEVEL_INFO, "Update 0-th TensorRT input data"));
}

TEST_F(OvrtElement, DownstreamWithoutListChainGetsTwoBuffersInOrder) {
  start(bgr_caps(8, 8), /*with_list_chain=*/false);
  set("model", engine("identity_8x8.onnx", {3, 8, 8}, 1).c_str());
  BufferPtr in = batch_buffer(8, {8});
  GstBuffer *raw = in.get();
  ASSERT_EQ(push(std::move(in)), GST_FLOW_OK);
  ASSERT_EQ(captured_.buffers.size(), 2u);
  EXPECT_EQ(captured_.buffers[0].get(), raw);
  EXPECT_EQ(gst_buffer_get_size(captured_.buffers[1].get()), 3u * 8 * 8 * 4);
}

TEST_F(OvrtElement, MeanAndScaleChangesAfterTheFirstBufferChangeNothing) {
  start(bgr_caps(8, 8));
  set("model", engine("identity_8x8.onnx", {3, 8, 8}, 1).c_str());
  ASSERT_EQ(push(ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 8, 8, 255)), GST_FLOW_OK);
  set("mean", "0 0 0");
  set("scale", "0.5");
  ASSERT_EQ(push(ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 8, 8, 255)), GST_FLOW_OK);
  ASSERT_EQ(captured_.lists.size(), 2u);
  std::vector<float> a, b;
  tensor_floats(gst_buffer_list_get(captured_.lists[0].get(), 1), a);
  tensor_floats(gst_buffer_list_get(captured_.lists[1].get(), 1), b);
  EXPECT_NEAR(a[0], 151.06f, 1e-3);
  EXPECT_EQ(a, b);
}

TEST_F(OvrtElement, BadMeanTextFailsTheBufferWithTheUpdateMessage) {
  start(bgr_caps(8, 8));
  set("model", engine("identity_8x8.onnx", {3, 8, 8}, 1).c_str());
  set("mean", "1 2");
  LogCapture log("ovTSRT", GST_LEVEL_DEBUG);
  testing::internal::CaptureStderr();
  EXPECT_EQ(push(ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 8, 8, 1)), GST_FLOW_ERROR);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(log.has(GST_LEVEL_DEBUG, "Update TensorRT input data failed"));
  EXPECT_TRUE(captured_.lists.empty());
}

TEST_F(OvrtElement, BatchAboveTheEngineMaximumFailsInference) {
  start(bgr_caps(8, 8));
  set("model", engine("identity_8x8.onnx", {3, 8, 8}, 1).c_str());
  set("batch", "2");
  LogCapture log("ovTSRT", GST_LEVEL_DEBUG);
  EXPECT_EQ(push(ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 8, 8, 1)), GST_FLOW_ERROR);
  EXPECT_TRUE(log.has(GST_LEVEL_DEBUG, "Update TensorTSRT input data failed"));
  EXPECT_TRUE(captured_.lists.empty());
}

/* After a failed load no frame reaches the engine and the file is not read
 * again: even once a valid engine appears at the path, buffers fail at once. */
TEST_F(OvrtElement, FailedLoadFailsEveryLaterBufferWithoutReloading) {
  start(bgr_caps(8, 8));
  std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                     "/ovrt-late-" + std::to_string(getpid()) + ".engine";
  std::remove(path.c_str());
  files_.push_back(path);
  set("model", path.c_str());
  LogCapture log("ovTSRT", GST_LEVEL_DEBUG);
  testing::internal::CaptureStdout();
  EXPECT_EQ(push(ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 8, 8, 1)), GST_FLOW_ERROR);
  EXPECT_TRUE(log.has(GST_LEVEL_ERROR, "Load TensorTSRT engine failed"));
  ovtest::write_file(path, ovtest::engine_bytes(ovtest::onnx_engine(
                               "identity_8x8.onnx", {3, 8, 8}, {{"out", {3, 8, 8}}}, 1)));
  log.clear();
  EXPECT_EQ(push(ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 8, 8, 1)), GST_FLOW_ERROR);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(log.has(GST_LEVEL_ERROR, "Load TensorTSRT engine failed"));
  EXPECT_EQ(log.count_containing("Try to init"), 0u);
  EXPECT_EQ(log.count_containing("Update"), 0u);
  EXPECT_EQ(out.find("deserializing"), std::string::npos) << out;
  EXPECT_TRUE(captured_.lists.empty());
}

TEST_F(OvrtElement, CorruptEngineFileFailsTheLoad) {
  start(bgr_caps(8, 8));
  std::string bytes = ovtest::engine_bytes(
      ovtest::onnx_engine("identity_8x8.onnx", {3, 8, 8}, {{"out", {3, 8, 8}}}, 1));
  bytes.resize(bytes.size() - 9);
  std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                     "/ovrt-short-" + std::to_string(getpid()) + ".engine";
  ovtest::write_file(path, bytes);
  files_.push_back(path);
  set("model", path.c_str());
  LogCapture log("ovTSRT", GST_LEVEL_DEBUG);
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  EXPECT_EQ(push(ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 8, 8, 1)), GST_FLOW_ERROR);
  testing::internal::GetCapturedStdout();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("ERROR: "), std::string::npos);
  EXPECT_TRUE(log.has(GST_LEVEL_ERROR, "Load TensorTSRT engine failed"));
}

/* A pipeline that cannot go on ends with an error naming the cause. */
TEST(OvrtErrors, PipelineFailuresPostAnErrorNamingTheCause) {
  struct Case {
    std::string props;
    GQuark domain;
    int code;
    std::string names;
  } cases[] = {
      {"model=/nonexistent/yolo.engine", GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_NOT_FOUND,
       "/nonexistent/yolo.engine"},
      {"", GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_NOT_FOUND, "property \"model\""},
  };
  for (const auto &c : cases) {
    testing::internal::CaptureStdout();
    ovtest::PipelineRun run = ovtest::run_pipeline(
        "videotestsrc num-buffers=2 ! video/x-raw,format=BGR,width=8,height=8 ! ovrt name=rt " +
        c.props + " ! fakesink");
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(run.ok) << c.props;
    EXPECT_EQ(run.error_source, "rt") << c.props;
    EXPECT_EQ(run.error_domain, c.domain) << c.props;
    EXPECT_EQ(run.error_code, c.code) << c.props;
    EXPECT_NE(run.error_debug.find(c.names), std::string::npos) << run.error_debug;
  }
}

TEST_F(OvrtElement, UnloadableEngineAndUnusableMeanPostErrorsNamingFileAndProperty) {
  start(bgr_caps(8, 8));
  ov::BusPtr bus(gst_bus_new());
  gst_element_set_bus(element_.get(), bus.get());
  const std::string path = engine("identity_8x8.onnx", {3, 8, 8}, 1);
  set("model", path.c_str());
  set("mean", "1 2");
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  EXPECT_EQ(push(ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 8, 8, 1)), GST_FLOW_ERROR);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  ov::MessagePtr msg(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
  ASSERT_TRUE(msg);
  GError *err = nullptr;
  gchar *dbg = nullptr;
  gst_message_parse_error(msg.get(), &err, &dbg);
  EXPECT_EQ(err->domain, GST_LIBRARY_ERROR);
  const std::string debug = dbg ? dbg : "";
  EXPECT_NE(debug.find(path), std::string::npos) << debug;
  EXPECT_NE(debug.find("property \"mean\" is \"1 2\""), std::string::npos) << debug;
  g_clear_error(&err);
  g_free(dbg);
  gst_element_set_bus(element_.get(), nullptr);
}

TEST(OvrtProperties, DefaultsRangesAndTexts) {
  ElementPtr e(gst_element_factory_make("ovrt", nullptr));
  ASSERT_NE(e, nullptr);
  gst_object_ref_sink(e.get());
  GObjectClass *klass = G_OBJECT_GET_CLASS(e.get());
  struct Case {
    const char *name, *nick, *blurb;
  } cases[] = {
      {"norm", "Norm", "Whether to normalized image"},
      {"model", "Model_Name", "Deep learning model_name"},
      {"device", "Device", "NVIDIA GPU Device, Default is Auto assign"},
      {"batch", "Batch", "Batch size"},
      {"scale", "Scale", "Rescale"},
      {"mean", "Mean", "Mean vector in form {x y z} "},
  };
  for (const auto &c : cases) {
    GParamSpec *p = g_object_class_find_property(klass, c.name);
    ASSERT_NE(p, nullptr) << c.name;
    EXPECT_STREQ(g_param_spec_get_nick(p), c.nick);
    EXPECT_STREQ(g_param_spec_get_blurb(p), c.blurb);
    EXPECT_TRUE(p->flags & G_PARAM_READWRITE);
  }
  EXPECT_TRUE(g_object_class_find_property(klass, "model")->flags & GST_PARAM_CONTROLLABLE);
  auto *dev = G_PARAM_SPEC_INT(g_object_class_find_property(klass, "device"));
  EXPECT_EQ(dev->minimum, -1);
  EXPECT_EQ(dev->maximum, 255);
  auto *batch = G_PARAM_SPEC_INT(g_object_class_find_property(klass, "batch"));
  EXPECT_EQ(batch->minimum, 1);
  EXPECT_EQ(batch->maximum, 128);
  auto *scale = G_PARAM_SPEC_FLOAT(g_object_class_find_property(klass, "scale"));
  EXPECT_EQ(scale->minimum, 0.f);
  EXPECT_EQ(scale->maximum, 1.f);
  EXPECT_STREQ(G_PARAM_SPEC_STRING(g_object_class_find_property(klass, "mean"))->default_value, "");

  gboolean norm = TRUE;
  gchar *model = nullptr, *mean = nullptr;
  gint device = 0, b = 0;
  gfloat s = 0;
  g_object_get(e.get(), "norm", &norm, "model", &model, "device", &device, "batch", &b, "scale",
               &s, "mean", &mean, nullptr);
  EXPECT_FALSE(norm);
  EXPECT_STREQ(model, "");
  EXPECT_EQ(device, -1);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(s, 1.0f);
  EXPECT_STREQ(mean, "103.94 116.78 123.68");
  g_free(model);
  g_free(mean);
  g_object_set(e.get(), "mean", "1 2 3", "norm", TRUE, nullptr);
  g_object_get(e.get(), "mean", &mean, "norm", &norm, nullptr);
  EXPECT_STREQ(mean, "1 2 3");
  EXPECT_TRUE(norm);
  g_free(mean);

  GstElementFactory *f = gst_element_get_factory(e.get());
  EXPECT_STREQ(gst_element_factory_get_metadata(f, GST_ELEMENT_METADATA_LONGNAME), "ovTSRT element");
  EXPECT_STREQ(gst_element_factory_get_metadata(f, GST_ELEMENT_METADATA_KLASS), "Video/AI");
  EXPECT_STREQ(gst_element_factory_get_metadata(f, GST_ELEMENT_METADATA_DESCRIPTION),
               "orvane TensorTSRT inference");
  ov::CapsPtr tmpl(gst_pad_template_get_caps(
      gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(e.get()), "src")));
  ov::CapsPtr expected(gst_caps_from_string(
      "video/x-raw, format = (string) { BGR }, width = (int) [ 1, max ], height = (int) [ 1, max "
      "], framerate = (fraction) [ 0, max ]"));
  EXPECT_TRUE(gst_caps_is_equal(tmpl.get(), expected.get()));
}

TEST(OvrtPlugin, RegistersOvrtAndTheStaticInitRegistersOvTSRT) {
  ov::GCharPtr path(g_strdup(OV_OVRT_PLUGIN_FILE));
  GstPlugin *plugin = gst_plugin_load_file(path.get(), nullptr);
  ASSERT_NE(plugin, nullptr) << path.get();
  EXPECT_STREQ(gst_plugin_get_name(plugin), "ovrt");
  EXPECT_STREQ(gst_plugin_get_description(plugin), "Orvane TensorRT inference plugin");
  EXPECT_STREQ(gst_plugin_get_version(plugin), "2.3.1");
  EXPECT_STREQ(gst_plugin_get_license(plugin), "LGPL");
  gst_object_unref(plugin);

  void *lib = dlopen(path.get(), RTLD_NOW);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto init = reinterpret_cast<gboolean (*)(GstPlugin *)>(dlsym(lib, "ov_TSRT_plugin_init"));
  ASSERT_NE(init, nullptr);
  ASSERT_TRUE(gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "ovtsrtstatic",
                                         "static registration", init, "2.3.1", "LGPL", "ovrt",
                                         "ovrt", "https://orvane.invalid"));
  ElementPtr e(gst_element_factory_make("ovTSRT", nullptr));
  EXPECT_NE(e, nullptr);
  if (e)
    gst_object_ref_sink(e.get());
}

}  // namespace
