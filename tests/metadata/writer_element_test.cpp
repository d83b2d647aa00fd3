// ovmetawriter through harnesses: the record it adds per buffer, the shared
// frame counter and the device file read for every buffer.
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>
#include <unistd.h>

#include "gstovmeta.h"
#include "ov_test.h"

namespace {

using ovtest::BufferPtr;
using ovtest::HarnessPtr;

std::vector<GstOvBatchMeta *> batch_metas(GstBuffer *buffer) {
  std::vector<GstOvBatchMeta *> out;
  gpointer state = nullptr;
  while (GstMeta *m = gst_buffer_iterate_meta_filtered(buffer, &state, GST_OV_BATCH_META_API_TYPE))
    out.push_back(reinterpret_cast<GstOvBatchMeta *>(m));
  return out;
}

class WriterTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (!path_.empty())
      std::remove(path_.c_str());
  }
  HarnessPtr writer(int width = 320, int height = 240) {
    HarnessPtr h = ovtest::make_harness("ovmetawriter", ovtest::video_caps("BGR", width, height));
    return h;
  }
  BufferPtr push_pull(GstHarness *h, BufferPtr in) {
    EXPECT_EQ(gst_harness_push(h, in.release()), GST_FLOW_OK);
    return BufferPtr(gst_harness_pull(h));
  }
  BufferPtr blank(guint64 offset = 0, int width = 320, int height = 240) {
    BufferPtr b = ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, width, height);
    GST_BUFFER_OFFSET(b.get()) = offset;
    return b;
  }
  /* The record the writer added (the last batch meta on the buffer). */
  static const OvBatch &added(GstBuffer *b) {
    std::vector<GstOvBatchMeta *> metas = batch_metas(b);
    EXPECT_FALSE(metas.empty());
    static const OvBatch empty;
    return metas.empty() ? empty : metas.back()->batch;
  }
  void write_devinfo(const std::string &text) {
    if (path_.empty()) {
      char name[] = "/tmp/ovwriterXXXXXX";
      int fd = mkstemp(name);
      ASSERT_GE(fd, 0);
      close(fd);
      path_ = name;
    }
    std::ofstream(path_) << text;
  }
  std::string path_;
};

TEST_F(WriterTest, CountFrameSharesOneSequenceAcrossWriters) {
  HarnessPtr a = writer(), b = writer();
  g_object_set(a->element, "count_frame", TRUE, nullptr);
  g_object_set(b->element, "count_frame", TRUE, nullptr);
  std::vector<uint32_t> ids;
  for (int i = 0; i < 6; ++i) {
    GstHarness *h = (i % 2 == 0) ? a.get() : b.get();
    BufferPtr out = push_pull(h, blank(1000 + i));
    ASSERT_TRUE(out);
    ASSERT_EQ(added(out.get()).frames.size(), 1u);
    ids.push_back(added(out.get()).frames[0].frame_id);
  }
  for (size_t i = 1; i < ids.size(); ++i)
    EXPECT_EQ(ids[i], ids[0] + i) << "frame " << i;
}

TEST_F(WriterTest, WithoutCountFrameTakesLow32BitsOfOffset) {
  HarnessPtr h = writer();
  for (guint64 offset : {guint64(0), guint64(77), (guint64(1) << 32) + 5}) {
    BufferPtr out = push_pull(h.get(), blank(offset));
    ASSERT_TRUE(out);
    EXPECT_EQ(added(out.get()).frames.at(0).frame_id, uint32_t(offset & 0xffffffffu));
  }
}

TEST_F(WriterTest, BuffersWithoutOffsetAreNumberedPerWriterFromZero) {
  // Decoded files, network cameras and application sources set no offset.
  HarnessPtr a = writer(), b = writer();
  ovtest::LogCapture log("ovmetawriter", GST_LEVEL_INFO);
  std::vector<uint32_t> ids_a, ids_b;
  for (int i = 0; i < 3; ++i) {
    ids_a.push_back(added(push_pull(a.get(), blank(GST_BUFFER_OFFSET_NONE)).get()).frames.at(0).frame_id);
    ids_b.push_back(added(push_pull(b.get(), blank(GST_BUFFER_OFFSET_NONE)).get()).frames.at(0).frame_id);
  }
  EXPECT_EQ(ids_a, (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(ids_b, (std::vector<uint32_t>{0, 1, 2})) << "each writer its own count";
  EXPECT_EQ(log.count_containing("carry no offset"), 2u) << "said once per writer";
  // Offsets keep their meaning where a buffer has one.
  EXPECT_EQ(added(push_pull(a.get(), blank(77)).get()).frames.at(0).frame_id, 77u);
}

TEST_F(WriterTest, FrameFromCapsAndEmptyDeviceWithoutFile) {
  HarnessPtr h = writer(1280, 720);
  BufferPtr out = push_pull(h.get(), blank(0, 1280, 720));
  ASSERT_TRUE(out);
  ASSERT_EQ(batch_metas(out.get()).size(), 1u);
  const OvBatch &batch = added(out.get());
  ASSERT_EQ(batch.frames.size(), 1u);
  const VideoFrameData &f = batch.frames[0];
  EXPECT_EQ(f.stream_id, " ");
  EXPECT_EQ(f.width, 1280u);
  EXPECT_EQ(f.height, 720u);
  EXPECT_EQ(f.depth, 0u);
  EXPECT_EQ(f.channels, 3u);
  EXPECT_EQ(f.device_idx, 0u);
  EXPECT_EQ(f.timestamp, 0);
  EXPECT_FALSE(f.is_compress);
  ASSERT_EQ(batch.devices.size(), 1u);
  EXPECT_EQ(batch.devices[0].stream_id, "");
  EXPECT_EQ(batch.devices[0].port, 0u);
  EXPECT_EQ(batch.devices[0].protocol, "");
}

TEST_F(WriterTest, DeviceFileReadForEveryBuffer) {
  write_devinfo("cam-1\naa:bb\n10.1.1.1\n8080\nrtsp://x\nmk\nmd\nsn\nfw\nid\nok\nipcam\nrtsp\n");
  HarnessPtr h = writer();
  g_object_set(h->element, "devinfo", path_.c_str(), nullptr);
  BufferPtr first = push_pull(h.get(), blank());
  ASSERT_TRUE(first);
  const DeviceInfoData &d = added(first.get()).devices.at(0);
  EXPECT_EQ(d.stream_id, "cam-1");
  EXPECT_EQ(d.ip_address, "10.1.1.1");
  EXPECT_EQ(d.port, 8080u);
  EXPECT_EQ(d.kind, "ipcam");
  EXPECT_EQ(d.protocol, "rtsp");

  // A short file with a port that is no number: port 0, the rest as read.
  write_devinfo("cam-2\naa:bb\n");
  BufferPtr second = push_pull(h.get(), blank());
  ASSERT_TRUE(second);
  EXPECT_EQ(added(second.get()).devices.at(0).stream_id, "cam-2");
  EXPECT_EQ(added(second.get()).devices.at(0).port, 0u);
  write_devinfo("cam-3\naa:bb\nip\nnot-a-port\nuri\n");
  BufferPtr third = push_pull(h.get(), blank());
  ASSERT_TRUE(third);
  EXPECT_EQ(added(third.get()).devices.at(0).port, 0u);
  EXPECT_EQ(added(third.get()).devices.at(0).uri, "uri");

  gchar *devinfo = nullptr;
  g_object_get(h->element, "devinfo", &devinfo, nullptr);
  EXPECT_STREQ(devinfo, path_.c_str());
  g_free(devinfo);
}

TEST_F(WriterTest, SecondRecordWhenBufferAlreadyHasOne) {
  HarnessPtr h = writer();
  BufferPtr in = blank(5);
  auto *old = reinterpret_cast<GstOvBatchMeta *>(
      gst_buffer_add_meta(in.get(), gst_ov_batch_meta_get_info(), nullptr));
  old->batch.devices.resize(3);
  BufferPtr out = push_pull(h.get(), std::move(in));
  ASSERT_TRUE(out);
  std::vector<GstOvBatchMeta *> metas = batch_metas(out.get());
  ASSERT_EQ(metas.size(), 2u);
  GstOvBatchMeta *found = gst_buffer_get_ov_batch_meta(out.get());
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->batch.devices.size(), 3u) << "lookup must find the older record";
  EXPECT_TRUE(found->batch.frames.empty());
  EXPECT_EQ(metas.back()->batch.frames.size(), 1u);
  EXPECT_EQ(metas.back()->batch.frames[0].frame_id, 5u);
}

TEST_F(WriterTest, WithoutCapsRecordStaysEmpty) {
  HarnessPtr h(gst_harness_new("ovmetawriter"));
  ASSERT_TRUE(h);
  ovtest::LogCapture log("ovmetawriter", GST_LEVEL_ERROR);
  BufferPtr out = push_pull(h.get(), blank());
  ASSERT_TRUE(out);
  ASSERT_EQ(batch_metas(out.get()).size(), 1u);
  EXPECT_TRUE(added(out.get()).frames.empty());
  EXPECT_TRUE(added(out.get()).devices.empty());
  EXPECT_TRUE(log.has(GST_LEVEL_ERROR, "Get current caps failed"));
}

TEST_F(WriterTest, SharedBufferStillTagged) {
  HarnessPtr h = writer();
  BufferPtr in = blank();
  BufferPtr kept(gst_buffer_ref(in.get()));
  BufferPtr out = push_pull(h.get(), std::move(in));
  ASSERT_TRUE(out);
  EXPECT_EQ(batch_metas(out.get()).size(), 1u);
  EXPECT_TRUE(batch_metas(kept.get()).empty()) << "the other holder's buffer changed";
}

TEST(WriterProperties, Defaults) {
  ovtest::ElementPtr e(gst_element_factory_make("ovmetawriter", nullptr));
  ASSERT_TRUE(e);
  gst_object_ref_sink(e.get());
  gchar *devinfo = reinterpret_cast<gchar *>(0x1);
  gboolean count = TRUE;
  g_object_get(e.get(), "devinfo", &devinfo, "count_frame", &count, nullptr);
  EXPECT_EQ(devinfo, nullptr);
  EXPECT_FALSE(count);
  GstElementFactory *f = gst_element_get_factory(e.get());
  EXPECT_EQ(gst_plugin_feature_get_rank(GST_PLUGIN_FEATURE(f)), guint(GST_RANK_PRIMARY));
  EXPECT_STREQ(G_OBJECT_TYPE_NAME(e.get()), "OvMetaWriter");
}

}  // namespace
