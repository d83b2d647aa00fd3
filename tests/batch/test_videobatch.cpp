// ovvideobatch in real pipelines: layout, records, pad naming and release,
// formats and conversion.  Timing lives in test_videobatch_timing.cpp.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "batch_rig.h"
#include "gstovmeta_utils.h"

namespace {

using namespace batchtest;
using ovtest::ElementPtr;
using ovtest::SamplePtr;

TEST(VideoBatch, StacksFramesTopToBottomAndClearsTheRest) {
  BatchRig rig({{"BGR", 640, 480}, {"BGR", 320, 240}});
  ASSERT_TRUE(rig.start());
  rig.push(0, 0x11, 0, kFrame30);
  rig.push(1, 0x22, 0, kFrame30);
  SamplePtr s = rig.pull();
  ASSERT_TRUE(s);
  CapsSize c = caps_size(s.get());
  EXPECT_EQ(c.width, 640);
  EXPECT_EQ(c.height, 720);
  EXPECT_EQ(gst_buffer_get_size(gst_sample_get_buffer(s.get())), gsize(640 * 720 * 3));
  BgrView v(s.get());
  EXPECT_TRUE(v.all(0, 480, 0, 640, 0x11));
  EXPECT_TRUE(v.all(480, 720, 0, 320, 0x22));
  EXPECT_TRUE(v.all(480, 720, 320, 640, 0x00));
  EXPECT_EQ(GST_BUFFER_PTS(gst_sample_get_buffer(s.get())), GstClockTime(0));
  EXPECT_EQ(GST_BUFFER_DURATION(gst_sample_get_buffer(s.get())), kFrame30);

  // The records cut the image exactly as it was built.
  GstOvBatchMeta *m = batch_of(s.get());
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->batch.frames.size(), 2u);
  EXPECT_EQ(m->batch.frames[1].width, 320u);
  EXPECT_EQ(m->batch.frames[1].height, 240u);
}

TEST(VideoBatch, MergesRecordsInPadOrderWithDeviceIndicesRebased) {
  const std::vector<Input> in = {{"BGR", 64, 48}, {"BGR", 64, 48}, {"BGR", 32, 16}};
  BatchRig rig(in);
  ASSERT_TRUE(rig.start());
  ovtest::LogCapture log("ovvideobatch");
  // Pushed out of order on purpose: pad order decides, not arrival.
  rig.push(2, 3, 0, kFrame30, tagged_buffer(in[2], 3, "c", 7));
  rig.push(0, 1, 0, kFrame30, tagged_buffer(in[0], 1, "a"));
  rig.push(1, 2, 0, kFrame30, tagged_buffer(in[1], 2, "b"));
  SamplePtr s = rig.pull();
  ASSERT_TRUE(s);
  GstOvBatchMeta *m = batch_of(s.get());
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->batch.frames.size(), 3u);
  ASSERT_EQ(m->batch.devices.size(), 3u);
  const char *ids[] = {"a", "b", "c"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(m->batch.frames[i].stream_id, ids[i]);
    EXPECT_EQ(m->batch.devices[i].stream_id, std::string("dev-") + ids[i]);
    ASSERT_EQ(m->batch.frames[i].class_results.size(), 1u);
    EXPECT_EQ(m->batch.frames[i].class_results[0].label, std::string("label-") + ids[i]);
  }
  // Each frame names its own input's device in the merged list; an index
  // that named no device of its input names none afterwards either.
  EXPECT_EQ(m->batch.frames[0].device_idx, 0u);
  EXPECT_EQ(m->batch.frames[1].device_idx, 1u);
  EXPECT_EQ(m->batch.frames[2].device_idx, UINT32_MAX);
  EXPECT_EQ(log.count_containing("Frame info added"), 3u);
  EXPECT_EQ(log.count_containing("Device info added"), 3u);
  EXPECT_EQ(log.count_containing("Can not find orvane batch metadata"), 0u);
}

/* Frames cut by adding up record heights must land on the rows the image
 * has them on, whatever the inputs brought. */
void expect_records_cut_image(GstSample *s, const std::vector<int> &heights,
                              const std::vector<std::string> &device_names) {
  GstOvBatchMeta *m = batch_of(s);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->batch.frames.size(), heights.size());
  ASSERT_EQ(m->batch.devices.size(), device_names.size());
  int sum = 0;
  for (size_t i = 0; i < heights.size(); ++i) {
    EXPECT_EQ(int(m->batch.frames[i].height), heights[i]) << "frame " << i;
    sum += int(m->batch.frames[i].height);
  }
  EXPECT_EQ(sum, caps_size(s).height);
  for (size_t i = 0; i < device_names.size(); ++i)
    EXPECT_EQ(m->batch.devices[i].stream_id, device_names[i]) << "device " << i;
}

TEST(VideoBatch, InputWithoutRecordStillGetsItsRowsRecorded) {
  const std::vector<Input> in = {{"BGR", 64, 48}, {"BGR", 32, 24}, {"BGR", 64, 16}};
  BatchRig rig(in);
  ASSERT_TRUE(rig.start());
  ovtest::LogCapture log("ovvideobatch");
  rig.push(0, 1, 0, kFrame30, tagged_buffer(in[0], 1, "a"));
  rig.push(1, 2, 0, kFrame30);  // no record
  rig.push(2, 3, 0, kFrame30, tagged_buffer(in[2], 3, "c"));
  SamplePtr s = rig.pull();
  ASSERT_TRUE(s);
  EXPECT_TRUE(log.has(GST_LEVEL_DEBUG, "Can not find orvane batch metadata"));
  expect_records_cut_image(s.get(), {48, 24, 16}, {"dev-a", "sink_1", "dev-c"});
  GstOvBatchMeta *m = batch_of(s.get());
  EXPECT_EQ(m->batch.frames[1].width, 32u);
  EXPECT_EQ(m->batch.frames[1].channels, 3u);
  EXPECT_EQ(m->batch.frames[2].stream_id, "c");
  // The pixels of the record-less input are still drawn.
  BgrView v(s.get());
  EXPECT_TRUE(v.all(48, 72, 0, 32, 2));

  // batch_image_to_mats cuts the third frame at its own rows.
  ovtest::PadPtr pad = ovtest::make_pad_with_caps("batchsrc", ovtest::video_caps("BGR", 64, 88));
  std::vector<cv::Mat> mats = batch_image_to_mats(gst_sample_get_buffer(s.get()), pad.get());
  ASSERT_EQ(mats.size(), 3u);
  EXPECT_EQ(mats[2].at<cv::Vec3b>(0, 0)[0], 3);
}

TEST(VideoBatch, InputWithoutBufferForTheIntervalStillGetsItsRowsRecorded) {
  const std::vector<Input> in = {{"BGR", 64, 48}, {"BGR", 64, 32}, {"BGR", 64, 16}};
  BatchRig rig(in);
  ASSERT_TRUE(rig.start());
  // Input 1 starts two frames late.
  for (int i = 0; i < 3; ++i) {
    rig.push(0, 1, at(i), span(i), tagged_buffer(in[0], 1, "a"));
    rig.push(2, 3, at(i), span(i), tagged_buffer(in[2], 3, "c"));
  }
  rig.push(1, 2, at(2), span(2), tagged_buffer(in[1], 2, "b"));
  for (size_t i = 0; i < in.size(); ++i)
    rig.end_of_stream(i);
  SamplePtr first = rig.pull();
  ASSERT_TRUE(first);
  expect_records_cut_image(first.get(), {48, 32, 16}, {"dev-a", "sink_1", "dev-c"});
  EXPECT_EQ(batch_of(first.get())->batch.frames[2].stream_id, "c");
  BgrView v(first.get());
  EXPECT_TRUE(v.all(48, 80, 0, 64, 0));  // its rows stay cleared
  EXPECT_TRUE(v.all(80, 96, 0, 64, 3));

  SamplePtr second = rig.pull();
  ASSERT_TRUE(second);
  SamplePtr third = rig.pull();
  ASSERT_TRUE(third);
  EXPECT_EQ(GST_BUFFER_PTS(gst_sample_get_buffer(third.get())), at(2));
  expect_records_cut_image(second.get(), {48, 32, 16}, {"dev-a", "sink_1", "dev-c"});
  expect_records_cut_image(third.get(), {48, 32, 16}, {"dev-a", "dev-b", "dev-c"});
  BgrView v3(third.get());
  EXPECT_TRUE(v3.all(48, 80, 0, 64, 2));
}

TEST(VideoBatch, RequestedNumberRaisesTheNextPadNumber) {
  ElementPtr e(gst_element_factory_make("ovvideobatch", nullptr));
  ASSERT_TRUE(e);
  struct Req {
    const char *name;
    const char *want;
  } reqs[] = {{nullptr, "sink_0"}, {"sink_5", "sink_5"}, {nullptr, "sink_6"}, {"sink_2", "sink_2"},
              {nullptr, "sink_7"}};
  std::vector<GstPad *> pads;
  for (const Req &r : reqs) {
    GstPad *p = gst_element_request_pad_simple(e.get(), r.name ? r.name : "sink_%u");
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(GST_PAD_NAME(p), r.want);
    pads.push_back(p);
  }
  EXPECT_EQ(gst_child_proxy_get_children_count(GST_CHILD_PROXY(e.get())), 5u);
  GObject *first = gst_child_proxy_get_child_by_index(GST_CHILD_PROXY(e.get()), 0);
  EXPECT_EQ(first, G_OBJECT(pads[0]));
  g_object_unref(first);
  for (GstPad *p : pads) {
    gst_element_release_request_pad(e.get(), p);
    gst_object_unref(p);
  }
  EXPECT_EQ(gst_child_proxy_get_children_count(GST_CHILD_PROXY(e.get())), 0u);
  EXPECT_EQ(GST_OBJECT_REFCOUNT(e.get()), 1);
}

TEST(VideoBatch, LaterRequestTakesTheFreedPlaceInTheStack) {
  ElementPtr e(gst_element_factory_make("ovvideobatch", nullptr));
  ASSERT_TRUE(e);
  GstPad *a = gst_element_request_pad_simple(e.get(), "sink_%u");
  GstPad *b = gst_element_request_pad_simple(e.get(), "sink_%u");
  GstPad *c = gst_element_request_pad_simple(e.get(), "sink_%u");
  gst_element_release_request_pad(e.get(), a);
  gst_object_unref(a);
  // Two pads left, so the new one gets z-order 2 and goes before sink_2.
  GstPad *d = gst_element_request_pad_simple(e.get(), "sink_%u");
  std::vector<std::string> order;
  GstChildProxy *proxy = GST_CHILD_PROXY(e.get());
  for (guint i = 0; i < gst_child_proxy_get_children_count(proxy); ++i) {
    GObject *child = gst_child_proxy_get_child_by_index(proxy, i);
    order.push_back(GST_OBJECT_NAME(child));
    g_object_unref(child);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"sink_1", "sink_3", "sink_2"}));
  for (GstPad *p : {b, c, d}) {
    gst_element_release_request_pad(e.get(), p);
    gst_object_unref(p);
  }
}

TEST(VideoBatch, HasOnlyTheLiveDeadlineProperty) {
  ElementPtr e(gst_element_factory_make("ovvideobatch", nullptr));
  ASSERT_TRUE(e);
  guint n = 0;
  GParamSpec **props = g_object_class_list_properties(G_OBJECT_GET_CLASS(e.get()), &n);
  int own = 0;
  for (guint i = 0; i < n; ++i) {
    if (props[i]->owner_type == GST_TYPE_OBJECT)
      continue;
    ++own;
    EXPECT_STREQ(props[i]->name, "live-deadline");
  }
  EXPECT_EQ(own, 1);
  g_free(props);
  guint64 deadline = 1;
  g_object_get(e.get(), "live-deadline", &deadline, nullptr);
  EXPECT_EQ(deadline, 0u) << "derived from the inputs' rates by default";
  GstPad *p = gst_element_request_pad_simple(e.get(), "sink_%u");
  ASSERT_NE(p, nullptr);
  props = g_object_class_list_properties(G_OBJECT_GET_CLASS(p), &n);
  for (guint i = 0; i < n; ++i)
    EXPECT_TRUE(props[i]->owner_type == GST_TYPE_OBJECT || props[i]->owner_type == GST_TYPE_PAD)
        << props[i]->name;
  g_free(props);
  gst_element_release_request_pad(e.get(), p);
  gst_object_unref(p);
}

TEST(VideoBatch, ReleasingAPadShrinksTheImage) {
  BatchRig rig({{"BGR", 32, 16}, {"BGR", 32, 24}});
  ASSERT_TRUE(rig.start());
  rig.push_all(1, 0, kFrame30);
  SamplePtr s = rig.pull();
  ASSERT_TRUE(s);
  EXPECT_EQ(caps_size(s.get()).height, 40);

  // Detach input 1 and give its pad back.
  ovtest::PadPtr srcpad(gst_element_get_static_pad(rig.src(1), "src"));
  ovtest::PadPtr peer(gst_pad_get_peer(srcpad.get()));
  ASSERT_TRUE(peer);
  gst_pad_unlink(srcpad.get(), peer.get());
  gst_element_release_request_pad(rig.batch(), peer.get());

  rig.push(0, 5, kFrame30, kFrame30);
  SamplePtr after = rig.pull();
  ASSERT_TRUE(after);
  EXPECT_EQ(caps_size(after.get()).height, 16);
  EXPECT_EQ(gst_buffer_get_size(gst_sample_get_buffer(after.get())), gsize(32 * 3 * 16));
  ASSERT_NE(batch_of(after.get()), nullptr);
  EXPECT_EQ(batch_of(after.get())->batch.frames.size(), 1u);
}

/* The next batch, checked to be `format` and `height` rows high; its video
 * info in `info`. */
SamplePtr pull_batch_of(BatchRig &rig, GstVideoFormat format, int height, GstVideoInfo *info) {
  SamplePtr s = rig.pull();
  if (!s || !gst_video_info_from_caps(info, gst_sample_get_caps(s.get()))) {
    ADD_FAILURE() << "no batch with video caps";
    return nullptr;
  }
  EXPECT_EQ(GST_VIDEO_INFO_FORMAT(info), format);
  EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(info), height);
  return s;
}

TEST(VideoBatch, I420InputsStackInEveryPlane) {
  BatchRig rig({{"I420", 16, 8}, {"I420", 8, 4}});
  ASSERT_TRUE(rig.start());
  rig.push(0, 0x40, 0, kFrame30);
  rig.push(1, 0x80, 0, kFrame30);
  GstVideoInfo info;
  SamplePtr s = pull_batch_of(rig, GST_VIDEO_FORMAT_I420, 12, &info);
  ASSERT_TRUE(s);
  GstVideoFrame f;
  ASSERT_TRUE(gst_video_frame_map(&f, &info, gst_sample_get_buffer(s.get()), GST_MAP_READ));
  // Chroma row 4 (luma rows 8..9) belongs to the second input: 4 samples, then zeros.
  const uint8_t *u = static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&f, 1)) +
                     4 * GST_VIDEO_FRAME_PLANE_STRIDE(&f, 1);
  EXPECT_EQ(std::vector<int>(u, u + 8), (std::vector<int>{0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0}));
  const uint8_t *y = static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&f, 0));
  EXPECT_EQ(y[7 * GST_VIDEO_FRAME_PLANE_STRIDE(&f, 0) + 15], 0x40);
  gst_video_frame_unmap(&f);
}

TEST(VideoBatch, AlphaInputWithoutAlphaDownstreamFailsNegotiation) {
  BatchRig rig({{"BGRA", 32, 16}, {"BGR", 32, 16}}, "capsfilter caps=video/x-raw,format=BGR !");
  ASSERT_TRUE(rig.start());
  rig.push_all(1, 0, kFrame30);
  ov::MessagePtr msg = rig.wait_message(GST_MESSAGE_ERROR);
  ASSERT_TRUE(msg);
  std::string detail;
  EXPECT_EQ(error_text(msg.get(), &detail),
            "At least one of the input pads contains alpha, but downstream can't support alpha.");
  EXPECT_NE(detail.find("Either convert your inputs to not contain alpha or add a videoconvert "
                        "after the mixer"),
            std::string::npos)
      << detail;
}

TEST(VideoBatch, MinorityFormatIsConverted) {
  BatchRig rig({{"I420", 16, 8}, {"BGR", 16, 8}, {"BGR", 16, 8}});
  ASSERT_TRUE(rig.start());
  // Mid grey in I420 (Y 126 studio range, neutral chroma) converts to about 128.
  rig.push(0, 126, 0, kFrame30);
  rig.push(1, 0x20, 0, kFrame30);
  rig.push(2, 0x30, 0, kFrame30);
  GstVideoInfo info;
  SamplePtr s = pull_batch_of(rig, GST_VIDEO_FORMAT_BGR, 24, &info);
  ASSERT_TRUE(s);
  BgrView v(s.get());
  EXPECT_NEAR(v.at(3, 5, 1), 128, 6);
  EXPECT_TRUE(v.all(8, 16, 0, 16, 0x20));
  EXPECT_TRUE(v.all(16, 24, 0, 16, 0x30));
}

TEST(VideoBatch, FormatWithoutKernelsIsNotNegotiated) {
  BatchRig rig({{"GRAY8", 16, 8}});
  ASSERT_TRUE(rig.start());
  rig.push(0, 1, 0, kFrame30);
  EXPECT_FALSE(rig.pull(1000));
  EXPECT_TRUE(rig.wait_message(GST_MESSAGE_ERROR));
}

TEST(VideoBatch, DocumentedLaunchLineRuns) {
  // The line at the head of videomixer2.cpp.
  ovtest::PipelineRun run = ovtest::run_pipeline(two_stream_launch(30));
  EXPECT_TRUE(run.ok) << run.error;
}



}  // namespace
