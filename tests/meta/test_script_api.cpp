// The plain C script API: counts, getters handing out independent copies,
// setters placing results on the named frame.
#include <cstring>

#include <gtest/gtest.h>

#include "gstovmeta_python_wrapper.h"
#include "gstovmeta_utils.h"
#include "ov_test.h"

extern "C" int c_api_roundtrip(GstBuffer *buffer, GstPad *pad);

namespace {

struct ScriptApi : ::testing::Test {
  ovtest::BufferPtr buf = ovtest::make_buffer(32);
  ovtest::PadPtr pad = ovtest::make_pad_with_caps("cam3", ovtest::video_caps("BGR", 320, 240));

  GstOvBatchMeta *record(int frames) {
    GstOvBatchMeta *m = try_get_ov_batch_meta(buf.get());
    m->batch.frames.resize(frames);
    return m;
  }
};

C_ClassificationResult cls(int index, const char *label, float prob) {
  C_ClassificationResult c{};
  c.index = index;
  c.output = const_cast<char *>("out");
  c.label = const_cast<char *>(label);
  c.prob = prob;
  return c;
}

}  // namespace

TEST_F(ScriptApi, FrameCount) {
  ovtest::LogCapture log("ovmeta", GST_LEVEL_INFO);
  EXPECT_EQ(gst_metadata_frames(buf.get()), 0);
  EXPECT_TRUE(log.has(GST_LEVEL_INFO, "GstOvBatchMeata is NULL pointer"));
  GstOvBatchMeta *m = record(2);
  EXPECT_EQ(gst_metadata_frames(buf.get()), 2);
  EXPECT_EQ(metadata_frames(m), 2);
  EXPECT_EQ(metadata_frames(nullptr), 0);
}

TEST_F(ScriptApi, GettersReturnNothingWhereThereIsNothing) {
  unsigned count = 99;
  EXPECT_EQ(gst_metadata_get_classification(buf.get(), 0, &count), nullptr);
  EXPECT_EQ(count, 0u);
  record(2);
  count = 99;
  EXPECT_EQ(gst_metadata_get_classification(buf.get(), 2, &count), nullptr);  // out of range
  EXPECT_EQ(count, 0u);
  count = 99;
  EXPECT_EQ(gst_metadata_get_detection_box(buf.get(), 1, &count), nullptr);  // no boxes
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(gst_metadata_get_detection_box(buf.get(), 1, nullptr), nullptr);
}

TEST_F(ScriptApi, GettersCopyEveryString) {
  GstOvBatchMeta *m = record(1);
  for (int i = 0; i < 3; ++i) {
    orvane::ai::DetectionBoxResult b;
    b.obj_id = i;
    b.obj_label = "obj" + std::to_string(i);
    b.class_label = "cls";
    b.meta = "m";
    b.x1 = 0.1f * i;
    b.prob = 0.5f;
    m->batch.frames[0].box_results.push_back(b);
  }
  unsigned count = 0;
  C_DetectionBoxResult *a = gst_metadata_get_detection_box(buf.get(), 0, &count);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(count, 3u);
  unsigned count2 = 0;
  C_DetectionBoxResult *b = gst_metadata_get_detection_box(buf.get(), 0, &count2);
  for (unsigned i = 0; i < 3; ++i) {
    EXPECT_EQ(a[i].obj_id, int(i));
    EXPECT_FLOAT_EQ(a[i].x1, 0.1f * i);
    EXPECT_STREQ(a[i].obj_label, ("obj" + std::to_string(i)).c_str());
    EXPECT_NE(a[i].obj_label, b[i].obj_label);
    EXPECT_NE(a[i].class_label, a[(i + 1) % 3].class_label);
  }
  m->batch.frames[0].box_results[0].obj_label = "changed";
  m->batch.frames[0].box_results.clear();
  EXPECT_STREQ(a[0].obj_label, "obj0");
  a[1].meta[0] = 'X';
  EXPECT_STREQ(b[1].meta, "m");
  gst_metadata_free_detection_box(a, count);
  gst_metadata_free_detection_box(b, count2);
  gst_metadata_free_detection_box(nullptr, 3);
}

TEST_F(ScriptApi, ClassificationSetterTakesTheFirstElement) {
  record(1);
  C_ClassificationResult in[3] = {cls(4, "red", 0.9f), cls(5, "green", 0.1f), cls(6, "b", 0)};
  ASSERT_TRUE(gst_metadata_set_classification(buf.get(), pad.get(), 0, in, 3));
  unsigned count = 0;
  C_ClassificationResult *out = gst_metadata_get_classification(buf.get(), 0, &count);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(out[0].index, 4);
  EXPECT_STREQ(out[0].label, "red");
  EXPECT_STREQ(out[0].output, "out");
  EXPECT_FLOAT_EQ(out[0].prob, 0.9f);
  gst_metadata_free_classification(out, count);
}

TEST_F(ScriptApi, SettersLandOnTheNamedFrame) {
  record(1);
  C_ClassificationResult c = cls(1, "blue", 0.7f);
  ASSERT_TRUE(gst_metadata_set_classification(buf.get(), pad.get(), 2, &c, 1));
  GstOvBatchMeta *m = gst_buffer_get_ov_batch_meta(buf.get());
  ASSERT_EQ(m->batch.frames.size(), 3u);
  EXPECT_TRUE(m->batch.frames[0].class_results.empty());
  EXPECT_TRUE(m->batch.frames[1].class_results.empty());
  ASSERT_EQ(m->batch.frames[2].class_results.size(), 1u);
  EXPECT_EQ(m->batch.frames[2].class_results[0].label, "blue");
  ASSERT_EQ(m->batch.devices.size(), 1u);
  EXPECT_EQ(m->batch.devices[0].stream_id, "cam3");
  EXPECT_EQ(m->batch.frames[1].width, 320u);
  EXPECT_EQ(m->batch.frames[2].device_idx, 0u);

  C_DetectionBoxResult box{};
  box.obj_label = const_cast<char *>("car");
  box.class_label = const_cast<char *>("");
  box.meta = const_cast<char *>("");
  ASSERT_TRUE(gst_metadata_set_detection_box(buf.get(), pad.get(), 1, &box, 1));
  EXPECT_TRUE(m->batch.frames[0].box_results.empty());
  ASSERT_EQ(m->batch.frames[1].box_results.size(), 1u);
  EXPECT_EQ(m->batch.frames[1].box_results[0].obj_label, "car");
  EXPECT_EQ(m->batch.frames.size(), 3u);
  EXPECT_EQ(m->batch.devices.size(), 1u);  // no frame was missing
}

TEST_F(ScriptApi, BoxSetterCreatesTheRecord) {
  ASSERT_EQ(c_api_roundtrip(buf.get(), pad.get()), 0);
  GstOvBatchMeta *m = gst_buffer_get_ov_batch_meta(buf.get());
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->batch.frames.size(), 1u);
  EXPECT_EQ(m->batch.frames[0].box_results.size(), 2u);
  EXPECT_EQ(m->batch.frames[0].height, 240u);
  EXPECT_EQ(m->batch.devices.at(0).stream_id, "cam3");
}

TEST_F(ScriptApi, SettersRefuseBadArguments) {
  ovtest::LogCapture log("ovmeta", GST_LEVEL_ERROR);
  C_ClassificationResult c = cls(0, "x", 0);
  EXPECT_FALSE(gst_metadata_set_classification(buf.get(), pad.get(), 0, &c, 0));
  EXPECT_TRUE(log.has(GST_LEVEL_ERROR, "Set result size should bigger than zero"));
  EXPECT_FALSE(gst_metadata_set_classification(buf.get(), pad.get(), 0x7fffffff, &c, 1));
  EXPECT_EQ(gst_metadata_frames(buf.get()), 0);

  ovtest::BufferPtr shared(gst_buffer_ref(buf.get()));
  EXPECT_FALSE(gst_metadata_set_classification(buf.get(), pad.get(), 0, &c, 1));

  // A pad without caps cannot describe the missing frame.
  shared.reset();
  ovtest::PadPtr bare(gst_pad_new("bare", GST_PAD_SRC));
  gst_object_ref_sink(bare.get());
  EXPECT_FALSE(gst_metadata_set_classification(buf.get(), bare.get(), 0, &c, 1));
}

TEST_F(ScriptApi, SettersRefuseASharedBufferAndLeaveItsRecordAlone) {
  GstOvBatchMeta *m = record(1);
  m->batch.frames[0].box_results.resize(1);
  m->batch.frames[0].box_results[0].obj_label = "before";
  ovtest::BufferPtr other_holder(gst_buffer_ref(buf.get()));
  ovtest::LogCapture log("ovmeta", GST_LEVEL_ERROR);

  C_ClassificationResult c = cls(1, "late", 0.5f);
  C_DetectionBoxResult box{};
  box.obj_label = const_cast<char *>("late");
  box.class_label = const_cast<char *>("");
  box.meta = const_cast<char *>("");
  EXPECT_FALSE(gst_metadata_set_classification(buf.get(), pad.get(), 0, &c, 1));
  EXPECT_FALSE(gst_metadata_set_detection_box(buf.get(), pad.get(), 0, &box, 1));
  EXPECT_FALSE(gst_metadata_set_detection_box(buf.get(), pad.get(), 3, &box, 1));
  EXPECT_EQ(log.count_containing("refused: the buffer is shared (not writable)"), 3u);
  EXPECT_TRUE(m->batch.frames[0].class_results.empty());
  ASSERT_EQ(m->batch.frames.size(), 1u);  // no frame added either
  ASSERT_EQ(m->batch.frames[0].box_results.size(), 1u);
  EXPECT_EQ(m->batch.frames[0].box_results[0].obj_label, "before");

  other_holder.reset();  // sole holder again: the same call goes through
  EXPECT_TRUE(gst_metadata_set_detection_box(buf.get(), pad.get(), 0, &box, 1));
  EXPECT_EQ(m->batch.frames[0].box_results.size(), 2u);
  EXPECT_FALSE(gst_metadata_set_detection_box(nullptr, pad.get(), 0, &box, 1));
}

TEST_F(ScriptApi, DevicesAndFramesComeOutInRecordOrder) {
  unsigned count = 7;
  EXPECT_EQ(gst_metadata_get_devices(buf.get(), &count), nullptr);
  EXPECT_EQ(count, 0u);
  count = 7;
  EXPECT_EQ(gst_metadata_get_frame_info(buf.get(), &count), nullptr);
  EXPECT_EQ(count, 0u);

  GstOvBatchMeta *m = record(2);
  m->batch.devices.resize(2);
  m->batch.devices[0].stream_id = "cam0";
  m->batch.devices[1].stream_id = "cam1";
  m->batch.devices[1].ip_address = "10.0.0.7";
  m->batch.devices[1].port = 554;
  m->batch.devices[1].protocol = "rtsp";
  m->batch.frames[0] = VideoFrameData{"cam1", 41, -5, 320, 240, 0, 3, 1, false, {}, {}, {}};
  m->batch.frames[1] = VideoFrameData{"cam0", 7, 1234567890123LL, 160, 120, 2, 1, 9, true,
                                      {}, {}, {}};

  C_DeviceInfo *devices = gst_metadata_get_devices(buf.get(), &count);
  ASSERT_NE(devices, nullptr);
  ASSERT_EQ(count, 2u);
  EXPECT_STREQ(devices[0].stream_id, "cam0");
  EXPECT_STREQ(devices[0].ip_address, "");
  EXPECT_STREQ(devices[1].stream_id, "cam1");
  EXPECT_STREQ(devices[1].ip_address, "10.0.0.7");
  EXPECT_EQ(devices[1].port, 554u);
  EXPECT_STREQ(devices[1].protocol, "rtsp");
  m->batch.devices[1].ip_address = "changed";
  EXPECT_STREQ(devices[1].ip_address, "10.0.0.7");  // a copy
  gst_metadata_free_devices(devices, count);

  C_VideoFrameInfo *frames = gst_metadata_get_frame_info(buf.get(), &count);
  ASSERT_NE(frames, nullptr);
  ASSERT_EQ(count, 2u);
  EXPECT_STREQ(frames[0].stream_id, "cam1");
  EXPECT_EQ(frames[0].frame_id, 41u);
  EXPECT_EQ(frames[0].timestamp, -5);
  EXPECT_EQ(frames[0].width, 320u);
  EXPECT_EQ(frames[0].height, 240u);
  EXPECT_EQ(frames[0].channels, 3u);
  EXPECT_EQ(frames[0].device_idx, 1u);
  EXPECT_EQ(frames[0].is_compress, 0);
  EXPECT_EQ(frames[1].timestamp, 1234567890123LL);
  EXPECT_EQ(frames[1].depth, 2u);
  EXPECT_EQ(frames[1].device_idx, 9u);
  EXPECT_EQ(frames[1].is_compress, 1);
  gst_metadata_free_frame_info(frames, count);
  EXPECT_EQ(gst_metadata_get_frame_info(buf.get(), nullptr), nullptr);
}

TEST_F(ScriptApi, SegmentationMapRowByRowWithItsLabels) {
  GstOvBatchMeta *m = record(2);
  unsigned rows = 5, cols = 5, count = 5;
  EXPECT_EQ(gst_metadata_get_segmentation(buf.get(), 0, &rows, &cols), nullptr);
  EXPECT_EQ(rows, 0u);
  EXPECT_EQ(cols, 0u);
  EXPECT_EQ(gst_metadata_get_segmentation_labels(buf.get(), 0, &count), nullptr);
  EXPECT_EQ(count, 0u);

  using orvane::ai::SegmentResult;
  // Three rows, the last one short: its missing cell reads -1.
  m->batch.frames[1].seg_results = {
      {SegmentResult{0, "sky"}, SegmentResult{0, "sky"}, SegmentResult{7, "road"}},
      {SegmentResult{7, "road"}, SegmentResult{15, "person"}, SegmentResult{7, "road"}},
      {SegmentResult{15, "person"}, SegmentResult{0, "other text"}}};
  gint32 *ids = gst_metadata_get_segmentation(buf.get(), 1, &rows, &cols);
  ASSERT_NE(ids, nullptr);
  ASSERT_EQ(rows, 3u);
  ASSERT_EQ(cols, 3u);
  const gint32 want[] = {0, 0, 7, 7, 15, 7, 15, 0, -1};
  for (unsigned i = 0; i < 9; ++i)
    EXPECT_EQ(ids[i], want[i]) << "cell " << i;
  gst_metadata_free_segmentation(ids);

  C_SegmentLabel *labels = gst_metadata_get_segmentation_labels(buf.get(), 1, &count);
  ASSERT_NE(labels, nullptr);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(labels[0].label_id, 0);
  EXPECT_STREQ(labels[0].label, "sky");
  EXPECT_EQ(labels[1].label_id, 7);
  EXPECT_STREQ(labels[1].label, "road");
  EXPECT_EQ(labels[2].label_id, 15);
  EXPECT_STREQ(labels[2].label, "person");
  gst_metadata_free_segmentation_labels(labels, count);

  EXPECT_EQ(gst_metadata_get_segmentation(buf.get(), 2, &rows, &cols), nullptr);  // no frame 2
  EXPECT_EQ(gst_metadata_get_segmentation(buf.get(), 1, nullptr, &cols), nullptr);
  m->batch.frames[0].seg_results = {{}, {}};  // rows without cells: no map
  EXPECT_EQ(gst_metadata_get_segmentation(buf.get(), 0, &rows, &cols), nullptr);
}

TEST(ScriptApiStrings, CopyStrToChar) {
  char *out = nullptr;
  copy_str_to_char(std::string("ab\0c", 4), &out);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::memcmp(out, "ab\0c\0", 5), 0);
  free(out);
  copy_str_to_char("ignored", nullptr);  // must not crash
}
