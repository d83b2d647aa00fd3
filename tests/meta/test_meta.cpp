// The two metadata types: registration, lookup, and what buffer copies carry.
#include <gtest/gtest.h>

#include "gstovmeta.h"
#include "ov_test.h"

namespace {

GstOvBatchMeta *add_batch_meta(GstBuffer *buf) {
  return reinterpret_cast<GstOvBatchMeta *>(
      gst_buffer_add_meta(buf, gst_ov_batch_meta_get_info(), nullptr));
}

void fill_record(OvBatch &batch, int devices, int frames) {
  for (int i = 0; i < devices; ++i) {
    DeviceInfoData d;
    d.stream_id = "cam" + std::to_string(i);
    d.port = 8000 + i;
    batch.devices.push_back(d);
  }
  for (int i = 0; i < frames; ++i) {
    VideoFrameData f;
    f.frame_id = 10 + i;
    f.width = 640;
    f.height = 480;
    f.device_idx = i % (devices ? devices : 1);
    orvane::ai::DetectionBoxResult b;
    b.obj_label = "car" + std::to_string(i);
    f.box_results.push_back(b);
    f.seg_results.assign(2, std::vector<orvane::ai::SegmentResult>(2));
    f.seg_results[1][1].label = "cell";
    batch.frames.push_back(f);
  }
}

}  // namespace

TEST(Meta, RegistrationNamesAndTags) {
  EXPECT_STREQ(g_type_name(gst_ov_meta_api_get_type()), "GstOvMetaAPI");
  EXPECT_STREQ(g_type_name(gst_ov_batch_meta_api_get_type()), "GstOvBatchMetaAPI");
  EXPECT_EQ(gst_ov_meta_get_info(), gst_ov_meta_get_info());
  EXPECT_EQ(gst_ov_batch_meta_get_info()->api, gst_ov_batch_meta_api_get_type());
  EXPECT_EQ(gst_ov_batch_meta_get_info()->size, sizeof(GstOvBatchMeta));
  EXPECT_TRUE(gst_meta_api_type_has_tag(gst_ov_batch_meta_api_get_type(),
                                        g_quark_from_string("batch")));
  EXPECT_TRUE(gst_meta_api_type_has_tag(gst_ov_meta_api_get_type(),
                                        g_quark_from_string("gstovmeta")));
  EXPECT_FALSE(gst_meta_api_type_has_tag(gst_ov_meta_api_get_type(),
                                         g_quark_from_string("batch")));
}

TEST(Meta, LookupNeverConfusesTheTwoTypes) {
  ovtest::BufferPtr buf = ovtest::make_buffer(16);
  EXPECT_EQ(gst_buffer_get_ov_batch_meta(buf.get()), nullptr);
  EXPECT_EQ(gst_buffer_get_ov_meta(buf.get()), nullptr);

  auto *single = reinterpret_cast<GstOvMeta *>(
      gst_buffer_add_meta(buf.get(), gst_ov_meta_get_info(), nullptr));
  ASSERT_NE(single, nullptr);
  EXPECT_EQ(single->meta_type, 0);
  EXPECT_EQ(gst_buffer_get_ov_meta(buf.get()), single);
  EXPECT_EQ(gst_buffer_get_ov_batch_meta(buf.get()), nullptr);

  GstOvBatchMeta *batch = add_batch_meta(buf.get());
  ASSERT_NE(batch, nullptr);
  EXPECT_EQ(batch->meta_type, 1);
  EXPECT_TRUE(batch->batch.devices.empty() && batch->batch.frames.empty());
  EXPECT_EQ(gst_buffer_get_ov_batch_meta(buf.get()), batch);
  EXPECT_EQ(gst_buffer_get_ov_meta(buf.get()), single);
  EXPECT_EQ(gst_buffer_get_ov_batch_meta(nullptr), nullptr);
}

TEST(Meta, FullCopyIsDeepRegionCopyCarriesNothing) {
  ovtest::BufferPtr buf = ovtest::make_buffer(64);
  GstOvBatchMeta *src = add_batch_meta(buf.get());
  fill_record(src->batch, 2, 3);
  gst_buffer_add_meta(buf.get(), gst_ov_meta_get_info(), nullptr);

  ovtest::BufferPtr copy(gst_buffer_copy(buf.get()));
  GstOvBatchMeta *dst = gst_buffer_get_ov_batch_meta(copy.get());
  ASSERT_NE(dst, nullptr);
  ASSERT_NE(dst, src);
  EXPECT_NE(gst_buffer_get_ov_meta(copy.get()), nullptr);
  ASSERT_EQ(dst->batch.devices.size(), 2u);
  ASSERT_EQ(dst->batch.frames.size(), 3u);
  EXPECT_EQ(dst->batch.devices[1].stream_id, "cam1");
  EXPECT_EQ(dst->batch.devices[1].port, 8001u);
  EXPECT_EQ(dst->batch.frames[2].frame_id, 12u);
  EXPECT_EQ(dst->batch.frames[2].box_results[0].obj_label, "car2");
  EXPECT_EQ(dst->batch.frames[2].seg_results[1][1].label, "cell");

  dst->batch.frames[0].box_results[0].obj_label = "bus";
  dst->batch.frames[0].width = 1;
  dst->batch.devices.clear();
  EXPECT_EQ(src->batch.frames[0].box_results[0].obj_label, "car0");
  EXPECT_EQ(src->batch.frames[0].width, 640u);
  EXPECT_EQ(src->batch.devices.size(), 2u);

  ovtest::BufferPtr region(gst_buffer_copy_region(buf.get(), GST_BUFFER_COPY_ALL, 0, 32));
  EXPECT_EQ(gst_buffer_get_ov_batch_meta(region.get()), nullptr);
  EXPECT_EQ(gst_buffer_get_ov_meta(region.get()), nullptr);
}

TEST(Meta, MakeWritableCopiesTheRecordAlong) {
  ovtest::BufferPtr buf = ovtest::make_buffer(8);
  fill_record(add_batch_meta(buf.get())->batch, 1, 1);
  GstBuffer *extra = gst_buffer_ref(buf.get());
  GstBuffer *writable = gst_buffer_make_writable(extra);  // copies: refcount was 2
  ASSERT_NE(writable, buf.get());
  GstOvBatchMeta *m = gst_buffer_get_ov_batch_meta(writable);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->batch.frames.size(), 1u);
  gst_buffer_unref(writable);
}
