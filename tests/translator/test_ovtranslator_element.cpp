// The ovtranslator element: properties, label files, and what leaves the
// source pad for buffer lists of every shape.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <fstream>

#include <glib/gstdio.h>
#include <unistd.h>

#include "gstovmeta_utils.h"
#include "ov_test.h"

using namespace orvane::ai;
using ovtest::BufferPtr;
using ovtest::HarnessPtr;
using ovtest::LogCapture;

namespace {

const char *kCat = "ovtranslator";

class TempFile {
 public:
  explicit TempFile(const std::string &content) {
    gchar *name = nullptr;
    int fd = g_file_open_tmp("ovtranslator-XXXXXX.txt", &name, nullptr);
    path_ = name;
    g_free(name);
    close(fd);
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~TempFile() { g_unlink(path_.c_str()); }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

ov::ElementPtr make_translator() {
  GstElement *e = gst_element_factory_make("ovtranslator", nullptr);
  EXPECT_NE(e, nullptr);
  return ov::ElementPtr(GST_ELEMENT(gst_object_ref_sink(e)));
}

int get_int(GstElement *e, const char *name) {
  int v = -1;
  g_object_get(e, name, &v, nullptr);
  return v;
}

TEST(OvTranslatorProps, InputSizesBecomeSquareUntilBothSet) {
  ov::ElementPtr e = make_translator();
  g_object_set(e.get(), "input_width", 416, nullptr);
  EXPECT_EQ(get_int(e.get(), "input_width"), 416);
  EXPECT_EQ(get_int(e.get(), "input_height"), 416);
  g_object_set(e.get(), "input_height", 320, nullptr);
  EXPECT_EQ(get_int(e.get(), "input_width"), 416);
  EXPECT_EQ(get_int(e.get(), "input_height"), 320);

  ov::ElementPtr e2 = make_translator();
  g_object_set(e2.get(), "input_height", 300, nullptr);
  EXPECT_EQ(get_int(e2.get(), "input_width"), 300);
}

TEST(OvTranslatorProps, DefaultsAndEnumNicks) {
  ov::ElementPtr e = make_translator();
  gchar *label = reinterpret_cast<gchar *>(1), *dims = reinterpret_cast<gchar *>(1);
  int topology = -1, engine = -1;
  g_object_get(e.get(), "label", &label, "dims", &dims, "topology", &topology, "engine_type",
               &engine, nullptr);
  EXPECT_EQ(label, nullptr);
  EXPECT_EQ(dims, nullptr);
  EXPECT_EQ(topology, 0);
  EXPECT_EQ(engine, 0);

  gst_util_set_object_arg(G_OBJECT(e.get()), "topology", "fcn");
  gst_util_set_object_arg(G_OBJECT(e.get()), "engine_type", "tensorrt");
  g_object_get(e.get(), "topology", &topology, "engine_type", &engine, nullptr);
  EXPECT_EQ(topology, 6);
  EXPECT_EQ(engine, 2);

  GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(e.get()), "dims");
  ASSERT_NE(pspec, nullptr);
  EXPECT_STREQ(G_PARAM_SPEC_STRING(pspec)->default_value, "");
  EXPECT_STREQ(g_param_spec_get_blurb(pspec),
               "Dimensions of inference results, seperate by ,. 0 will be auto calculate size");
}

/* A batch image of `frames` BGR frames of w x h stacked top to bottom, with
 * its batch record. */
BufferPtr make_frame_buffer(int w, int h, int frames) {
  BufferPtr buf = ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, w, h * frames, 7);
  GstOvBatchMeta *meta = try_get_ov_batch_meta(buf.get());
  for (int i = 0; i < frames; ++i) {
    VideoFrameData f;
    f.stream_id = "s" + std::to_string(i);
    f.width = w;
    f.height = h;
    meta->batch.frames.push_back(f);
  }
  return buf;
}

BufferPtr make_tensor(const std::vector<float> &values) {
  GstBuffer *b = gst_buffer_new_allocate(nullptr, values.size() * sizeof(float), nullptr);
  gst_buffer_fill(b, 0, values.data(), values.size() * sizeof(float));
  return BufferPtr(b);
}

class OvTranslatorFlow : public testing::Test {
 protected:
  void SetUp() override {
    h_ = ovtest::make_harness("ovtranslator", ovtest::video_caps("BGR", 4, 2));
    ASSERT_TRUE(h_);
    element_ = h_->element;
  }

  // Lets push({frame, tensor}) hand owning pointers over in a braced list.
  struct Owned {
    mutable BufferPtr p;
    Owned(BufferPtr b) : p(std::move(b)) {}
    Owned(const Owned &o) : p(std::move(o.p)) {}
  };

  GstFlowReturn push(std::initializer_list<Owned> buffers) {
    GstBufferList *list = gst_buffer_list_new_sized(2);
    for (const Owned &b : buffers)
      gst_buffer_list_add(list, b.p.release());
    return gst_pad_push_list(h_->srcpad, list);
  }

  std::vector<BufferPtr> pull_all() {
    std::vector<BufferPtr> out;
    while (GstBuffer *b = gst_harness_try_pull(h_.get()))
      out.emplace_back(b);
    return out;
  }

  void set(const char *name, const char *value) {
    gst_util_set_object_arg(G_OBJECT(element_), name, value);
  }

  HarnessPtr h_;
  GstElement *element_ = nullptr;
};

const OvBatch &batch_of(GstBuffer *b) {
  GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(b);
  EXPECT_NE(meta, nullptr);
  static OvBatch empty;
  return meta ? meta->batch : empty;
}

TEST_F(OvTranslatorFlow, EmptyListIsAnError) {
  LogCapture log(kCat, GST_LEVEL_WARNING);
  EXPECT_EQ(push({}), GST_FLOW_ERROR);
  EXPECT_TRUE(log.has(GST_LEVEL_WARNING, "Translator buffer list only one buffer"));
  EXPECT_TRUE(pull_all().empty());
}

TEST_F(OvTranslatorFlow, OneBufferListPassesItUnchanged) {
  LogCapture log(kCat, GST_LEVEL_WARNING);
  BufferPtr frame = make_frame_buffer(4, 2, 1);
  GstBuffer *sent = frame.get();
  EXPECT_EQ(push({std::move(frame)}), GST_FLOW_OK);
  EXPECT_TRUE(log.has(GST_LEVEL_WARNING, "Translator buffer list only one buffer"));
  std::vector<BufferPtr> out = pull_all();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].get(), sent);
  EXPECT_TRUE(batch_of(out[0].get()).frames[0].class_results.empty());
}

TEST_F(OvTranslatorFlow, LoneBufferIsDropped) {
  EXPECT_EQ(gst_harness_push(h_.get(), make_frame_buffer(4, 2, 1).release()), GST_FLOW_OK);
  EXPECT_TRUE(pull_all().empty());
}

TEST_F(OvTranslatorFlow, NoTranslatorStillPushesTheFrame) {
  LogCapture log(kCat, GST_LEVEL_ERROR);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(push({make_frame_buffer(4, 2, 1), make_tensor({0.1f, 0.9f})}), GST_FLOW_OK);
  }
  EXPECT_EQ(log.count_containing("Can not find translator"), 2u);
  std::vector<BufferPtr> out = pull_all();
  ASSERT_EQ(out.size(), 2u);  // the frames, never the tensors
  for (BufferPtr &b : out) {
    EXPECT_EQ(gst_buffer_get_size(b.get()), 4u * 2u * 3u);
    EXPECT_TRUE(batch_of(b.get()).frames[0].class_results.empty());
  }
}

TEST_F(OvTranslatorFlow, ClassifierResultsReachTheFrames) {
  TempFile labels("a\nb\nc\n");
  set("topology", "classifier");
  set("dims", "2,0");
  g_object_set(element_, "label", labels.path().c_str(), nullptr);
  LogCapture log(kCat, GST_LEVEL_DEBUG);
  // two frames, three extra buffers after the tensor are released with it
  EXPECT_EQ(push({make_frame_buffer(4, 1, 2), make_tensor({0.1f, 0.7f, 0.2f, 0.9f, 0, 0}),
                  ovtest::make_buffer(8), ovtest::make_buffer(8)}),
            GST_FLOW_OK);
  EXPECT_TRUE(log.has(GST_LEVEL_DEBUG, "Ready to translate inference result"));
  EXPECT_TRUE(log.has(GST_LEVEL_DEBUG, "Buffer size 6 with dims 2,3,"));
  std::vector<BufferPtr> out = pull_all();
  ASSERT_EQ(out.size(), 1u);
  const OvBatch &batch = batch_of(out[0].get());
  ASSERT_EQ(batch.frames.size(), 2u);
  ASSERT_EQ(batch.frames[0].class_results.size(), 1u);
  EXPECT_EQ(batch.frames[0].class_results[0].label, "b");
  EXPECT_FLOAT_EQ(batch.frames[0].class_results[0].prob, 0.7f);
  ASSERT_EQ(batch.frames[1].class_results.size(), 1u);
  EXPECT_EQ(batch.frames[1].class_results[0].label, "a");
}

TEST_F(OvTranslatorFlow, UnalignedTensorIsRead) {
  // A tensor wrapped at an odd address (UBSan flags misaligned float reads).
  set("topology", "classifier");
  set("dims", "1,0");
  static std::vector<uint8_t> storage(1 + 3 * sizeof(float));
  const float scores[3] = {0.1f, 0.2f, 0.7f};
  std::memcpy(storage.data() + 1, scores, sizeof(scores));
  BufferPtr tensor(gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, storage.data() + 1,
                                               sizeof(scores), 0, sizeof(scores), nullptr,
                                               nullptr));
  EXPECT_EQ(push({make_frame_buffer(4, 2, 1), std::move(tensor)}), GST_FLOW_OK);
  std::vector<BufferPtr> out = pull_all();
  ASSERT_EQ(out.size(), 1u);
  ASSERT_EQ(batch_of(out[0].get()).frames[0].class_results.size(), 1u);
  EXPECT_EQ(batch_of(out[0].get()).frames[0].class_results[0].label, "2");
}

TEST_F(OvTranslatorFlow, FrameOwnedByTheListGoesOnItselfWithOneReference) {
  set("topology", "classifier");
  set("dims", "1,0");
  BufferPtr frame = make_frame_buffer(4, 2, 1);
  GstBuffer *sent = frame.get();
  EXPECT_EQ(push({std::move(frame), make_tensor({0.2f, 0.8f})}), GST_FLOW_OK);
  std::vector<BufferPtr> out = pull_all();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].get(), sent) << "the frame was copied";
  EXPECT_EQ(GST_MINI_OBJECT_REFCOUNT_VALUE(out[0].get()), 1);
  EXPECT_EQ(batch_of(out[0].get()).frames[0].class_results.size(), 1u);
}

TEST_F(OvTranslatorFlow, SharedFrameIsCopiedNotChanged) {
  set("topology", "classifier");
  set("dims", "1,0");
  BufferPtr frame = make_frame_buffer(4, 2, 1);
  BufferPtr kept(gst_buffer_ref(frame.get()));
  EXPECT_EQ(push({std::move(frame), make_tensor({0.2f, 0.8f})}), GST_FLOW_OK);
  std::vector<BufferPtr> out = pull_all();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_NE(out[0].get(), kept.get());
  EXPECT_EQ(batch_of(out[0].get()).frames[0].class_results.size(), 1u);
  EXPECT_TRUE(batch_of(kept.get()).frames[0].class_results.empty());
}

struct FailCase {
  const char *name;
  const char *topology, *engine, *dims;
  int input_width;
  std::vector<float> tensor;
};

void PrintTo(const FailCase &c, std::ostream *os) { *os << c.name; }

class OvTranslatorFails : public OvTranslatorFlow,
                          public testing::WithParamInterface<FailCase> {};

TEST_P(OvTranslatorFails, TranslateFailedFrameGoesOn) {
  const FailCase &c = GetParam();
  set("topology", c.topology);
  set("engine_type", c.engine);
  if (c.dims)
    set("dims", c.dims);
  if (c.input_width)
    g_object_set(element_, "input_width", c.input_width, nullptr);
  LogCapture log(kCat, GST_LEVEL_ERROR);
  EXPECT_EQ(push({make_frame_buffer(4, 2, 1), make_tensor(c.tensor)}), GST_FLOW_OK);
  EXPECT_TRUE(log.has(GST_LEVEL_ERROR, "Translate failed"));
  std::vector<BufferPtr> out = pull_all();
  ASSERT_EQ(out.size(), 1u);
  const VideoFrameData &f = batch_of(out[0].get()).frames[0];
  EXPECT_TRUE(f.class_results.empty());
  EXPECT_TRUE(f.box_results.empty());
  EXPECT_TRUE(f.seg_results.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OvTranslatorFails,
    testing::Values(
        // four frames of 1000 classes over one frame's worth of floats
        FailCase{"DimsBeyondTensor", "classifier", "none", "4,1000", 0,
                 std::vector<float>(1000, 0.5f)},
        FailCase{"DimsUnset", "classifier", "none", nullptr, 0, {0.5f}},
        FailCase{"NegativeDims", "classifier", "none", "-1,0", 0, {0.5f}},
        FailCase{"OverflowingDims", "classifier", "none", "65536,65536", 0, {0.5f}},
        // would give every one of 2^31 frames an entry (and the record a frame)
        FailCase{"HugeBatch", "classifier", "none", "2147483647,0", 0, {0.5f}},
        FailCase{"SsdMaxCountBeyondTensor", "ssd", "none", "1,1,100000,7", 0,
                 std::vector<float>(14, 0.0f)},
        FailCase{"HugeSegmentGrid", "fcn", "none", "1,0,100000,100000,1,1,1", 0, {0.5f}},
        // the decoder's non-square error is caught
        FailCase{"YoloNonSquare", "yolov3", "openvino", "1,18,1,2", 416,
                 std::vector<float>(36, 0.0f)},
        FailCase{"YoloNoInputSize", "yolov3", "tensorrt", "1,18,1,1", 0,
                 std::vector<float>(18, 0.0f)}),
    [](const testing::TestParamInfo<FailCase> &i) { return std::string(i.param.name); });

TEST_F(OvTranslatorFlow, DimsWarningsAndElementCount) {
  set("topology", "classifier");
  LogCapture log(kCat, GST_LEVEL_DEBUG);
  set("dims", "2,2");
  push({make_frame_buffer(4, 2, 1), make_tensor(std::vector<float>(507, 0.0f))});
  EXPECT_TRUE(log.has(GST_LEVEL_WARNING, "Buffer size 507 may not auto divisible."));
  set("dims", "1,0,0,3");
  push({make_frame_buffer(4, 2, 1), make_tensor(std::vector<float>(507, 0.0f))});
  EXPECT_TRUE(log.has(GST_LEVEL_WARNING, "Only support one auto dim."));
  EXPECT_TRUE(log.has(GST_LEVEL_DEBUG, "Buffer size 507 with dims 1,169,3,"));
  // 10 bytes hold two whole floats
  set("dims", "");
  push({make_frame_buffer(4, 2, 1), ovtest::make_buffer(10)});
  EXPECT_TRUE(log.has(GST_LEVEL_DEBUG, "Buffer size 2 with dims 2,"));
  EXPECT_EQ(pull_all().size(), 3u);
}

TEST_F(OvTranslatorFlow, YoloWithOneInputSizeAttachesBoxes) {
  set("topology", "yolov3");
  set("engine_type", "tensorrt");
  set("dims", "1,18,1,1");
  g_object_set(element_, "input_width", 416, nullptr);
  std::vector<float> head(18, -100.0f);
  head[4] = 100.0f;  // anchor 0 objectness
  head[5] = 100.0f;  // class 0
  head[0] = head[1] = head[2] = head[3] = 0.0f;
  EXPECT_EQ(push({make_frame_buffer(4, 2, 1), make_tensor(head)}), GST_FLOW_OK);
  std::vector<BufferPtr> out = pull_all();
  ASSERT_EQ(out.size(), 1u);
  const VideoFrameData &f = batch_of(out[0].get()).frames[0];
  ASSERT_EQ(f.box_results.size(), 1u);
  EXPECT_EQ(f.box_results[0].obj_label, "0");
  EXPECT_NEAR(f.box_results[0].x1, 0.5 - 116.0 / 832.0, 1e-6);
}

TEST_F(OvTranslatorFlow, SegmentationGridOnFrameWithoutRecord) {
  set("topology", "segment");
  set("dims", "1,2,2");
  // A frame buffer without a batch record: attaching adds one from the caps.
  BufferPtr frame = ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 4, 2);
  EXPECT_EQ(push({std::move(frame), make_tensor({0, 1, 2, 1})}), GST_FLOW_OK);
  std::vector<BufferPtr> out = pull_all();
  ASSERT_EQ(out.size(), 1u);
  const OvBatch &batch = batch_of(out[0].get());
  ASSERT_EQ(batch.frames.size(), 1u);
  ASSERT_EQ(batch.frames[0].seg_results.size(), 2u);
  EXPECT_EQ(batch.frames[0].seg_results[1][0].label_id, 2);
}

struct LabelFileCase {
  const char *content;
  std::vector<std::string> labels;
};

TEST_F(OvTranslatorFlow, LabelFileLines) {
  // Each label k is seen as the label of a classification won by class k.
  const LabelFileCase cases[] = {
      {"cat\ndog\n", {"cat", "dog", "2"}},
      {"cat\n\nbird", {"cat", "", "bird"}},
      {"a\r\nb\r\n", {"a\r", "b\r", "2"}},
  };
  set("topology", "classifier");
  set("dims", "1,3");
  for (const LabelFileCase &c : cases) {
    TempFile file(c.content);
    g_object_set(element_, "label", file.path().c_str(), nullptr);
    for (int k = 0; k < 3; ++k) {
      std::vector<float> scores(3, 0.0f);
      scores[size_t(k)] = 1.0f;
      push({make_frame_buffer(4, 2, 1), make_tensor(scores)});
      std::vector<BufferPtr> out = pull_all();
      ASSERT_EQ(out.size(), 1u);
      ASSERT_EQ(batch_of(out[0].get()).frames[0].class_results.size(), 1u);
      EXPECT_EQ(batch_of(out[0].get()).frames[0].class_results[0].label, c.labels[size_t(k)])
          << testing::PrintToString(c.content) << " class " << k;
    }
  }
}

TEST_F(OvTranslatorFlow, MissingLabelFileFallsBackToNumbers) {
  TempFile file("x\ny\n");
  g_object_set(element_, "label", file.path().c_str(), nullptr);
  LogCapture log(kCat, GST_LEVEL_ERROR);
  g_object_set(element_, "label", "/nonexistent/labels.txt", nullptr);
  EXPECT_TRUE(log.has(GST_LEVEL_ERROR, "Can not find labels file /nonexistent/labels.txt"));
  gchar *label = nullptr;
  g_object_get(element_, "label", &label, nullptr);
  EXPECT_STREQ(label, "/nonexistent/labels.txt");
  g_free(label);

  set("topology", "classifier");
  set("dims", "1,0");
  push({make_frame_buffer(4, 2, 1), make_tensor({0.2f, 0.8f})});
  std::vector<BufferPtr> out = pull_all();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(batch_of(out[0].get()).frames[0].class_results[0].label, "1");
}

TEST_F(OvTranslatorFlow, LabelReloadWhileStreaming) {
  TempFile one("a\nb\n"), two("x\ny\nz\n");
  set("topology", "classifier");
  set("dims", "1,0");
  g_object_set(element_, "label", one.path().c_str(), nullptr);
  std::atomic<bool> stop{false};
  std::thread setter([&] {
    for (int i = 0; !stop; ++i) {
      g_object_set(element_, "label", (i % 2 ? one : two).path().c_str(), nullptr);
      g_object_set(element_, "dims", i % 3 ? "1,0" : "1,2", nullptr);
    }
  });
  for (int i = 0; i < 300; ++i)
    ASSERT_EQ(push({make_frame_buffer(4, 2, 1), make_tensor({0.1f, 0.9f})}), GST_FLOW_OK);
  stop = true;
  setter.join();
  std::vector<BufferPtr> out = pull_all();
  ASSERT_EQ(out.size(), 300u);
  for (BufferPtr &b : out) {
    const auto &results = batch_of(b.get()).frames[0].class_results;
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].label == "b" || results[0].label == "y") << results[0].label;
  }
}

/* Every path on which frames go on without results tells the application
 * why, once, on the bus; an empty list stops the stream with an error. */
TEST_F(OvTranslatorFlow, ConditionsAUserCanFixArePostedNamingTheProperty) {
  ov::BusPtr bus(gst_bus_new());
  gst_element_set_bus(element_, bus.get());
  auto next = [&](GstMessageType type) {
    ov::MessagePtr msg(gst_bus_pop_filtered(bus.get(), type));
    std::string debug;
    if (msg) {
      GError *err = nullptr;
      gchar *dbg = nullptr;
      if (type == GST_MESSAGE_ERROR)
        gst_message_parse_error(msg.get(), &err, &dbg);
      else
        gst_message_parse_warning(msg.get(), &err, &dbg);
      debug = dbg ? dbg : "";
      g_clear_error(&err);
      g_free(dbg);
    }
    return debug;
  };

  for (int i = 0; i < 2; ++i)
    push({make_frame_buffer(4, 2, 1), make_tensor({0.1f, 0.9f})});
  EXPECT_NE(next(GST_MESSAGE_WARNING).find("properties \"topology\" 0 and \"engine_type\" 0"),
            std::string::npos);
  EXPECT_EQ(next(GST_MESSAGE_WARNING), "") << "posted once, not per buffer";

  set("topology", "yolov3");
  set("engine_type", "tensorrt");
  set("dims", "1,255,13,13");
  push({make_frame_buffer(4, 2, 1), make_tensor({0.1f, 0.9f})});
  // what the dims describe against what the tensor holds, then the failure
  const std::string mismatch = next(GST_MESSAGE_WARNING);
  EXPECT_NE(mismatch.find("\"1,255,13,13\" reads 43095 floats as the YOLO heads, but the "
                          "tensor holds 2"),
            std::string::npos) << mismatch;
  // one head under the built-in three-head anchors
  EXPECT_NE(next(GST_MESSAGE_WARNING).find("the tensor holds 1 heads"), std::string::npos);
  const std::string failed = next(GST_MESSAGE_WARNING);
  EXPECT_NE(failed.find("a tensor of 8 bytes (2 floats) does not fit dims 1,255,13,13 "
                        "(property \"dims\" \"1,255,13,13\")"),
            std::string::npos) << failed;

  g_object_set(element_, "label", "/nonexistent/labels.txt", nullptr);
  set("topology", "classifier");
  set("dims", "1,0");
  push({make_frame_buffer(4, 2, 1), make_tensor({0.1f, 0.9f})});
  EXPECT_NE(next(GST_MESSAGE_WARNING).find("cannot read /nonexistent/labels.txt"),
            std::string::npos);
  EXPECT_EQ(pull_all().size(), 4u) << "every frame went on";

  EXPECT_EQ(push({}), GST_FLOW_ERROR);
  EXPECT_NE(next(GST_MESSAGE_ERROR).find("a buffer list of 0 buffers"), std::string::npos);
  gst_element_set_bus(element_, nullptr);
}

}  // namespace
