/* ovedgesink and ovedgesrc in one process on a private loopback bus: what a
 * publisher pipeline sends, a subscriber pipeline pushes back out. */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <fstream>
#include <thread>

#include <gst/app/gstappsink.h>
#include <opencv2/imgproc.hpp>

#include "gstovmeta.h"
#include "gstovmeta_utils.h"
#include "bus_keys_support.h"
#include "mesh_test_support.h"
#include "ov_test.h"

namespace {

using ovtest::AppPipeline;
using ovtest::SamplePtr;

using meshtest::BusRoot;

struct FrameRecipe {
  uint32_t frame_id = 0;
  bool with_meta = true;
  std::vector<std::string> box_labels = {"car"};
  orvane::ai::SegmentGrid grid;
};

cv::Mat picture(int width, int height, int seed) {
  cv::Mat img(height, width, CV_8UC3);
  for (int r = 0; r < height; ++r)
    for (int c = 0; c < width; ++c)
      img.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<uint8_t>(c * 255 / width + seed),
                                          static_cast<uint8_t>(r * 255 / height),
                                          static_cast<uint8_t>(100 + seed));
  return img;
}

/* A BGR buffer in GStreamer's layout (rows padded to 4 bytes) with a batch
 * record: one frame with its boxes and grid, one device "cam-<stream>". */
ov::BufferPtr make_frame(const cv::Mat &img, const FrameRecipe &wanted, const std::string &stream) {
  const size_t stride = (img.cols * 3 + 3) / 4 * 4;
  ov::BufferPtr buf(gst_buffer_new_allocate(nullptr, stride * img.rows, nullptr));
  {
    ov::BufferMap map(buf.get(), GST_MAP_WRITE);
    for (int r = 0; r < img.rows; ++r) std::memcpy(map.data() + r * stride, img.ptr(r), img.cols * 3);
  }
  GST_BUFFER_OFFSET(buf.get()) = wanted.frame_id;
  if (wanted.with_meta) {
    GstOvBatchMeta *meta = try_get_ov_batch_meta(buf.get());
    DeviceInfoData dev;
    dev.stream_id = stream;
    dev.serial = "cam-" + stream;
    dev.port = 554;
    meta->batch.devices.push_back(dev);
    VideoFrameData f;
    f.stream_id = stream;
    f.frame_id = wanted.frame_id;
    f.width = img.cols;
    f.height = img.rows;
    f.channels = 3;
    for (size_t i = 0; i < wanted.box_labels.size(); ++i) {
      orvane::ai::DetectionBoxResult b;
      b.obj_id = static_cast<uint32_t>(i);
      b.obj_label = wanted.box_labels[i];
      b.class_label = wanted.box_labels[i];
      b.x1 = 0.25f;
      b.x2 = 0.75f;
      b.prob = 0.9f;
      f.box_results.push_back(b);
    }
    f.seg_results = wanted.grid;
    meta->batch.frames.push_back(f);
  }
  return buf;
}

const GstOvBatchMeta *meta_of(const SamplePtr &s) {
  return gst_buffer_get_ov_batch_meta(gst_sample_get_buffer(s.get()));
}

uint32_t frame_id_of(const SamplePtr &s) {
  const GstOvBatchMeta *m = meta_of(s);
  return m && !m->batch.frames.empty() ? m->batch.frames[0].frame_id : UINT32_MAX;
}

/* A live subscriber's sink waits for its first buffer: don't wait for the
 * state change to complete. */
bool start_live(AppPipeline &p) {
  return p.ok() && gst_element_set_state(p.pipeline(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

std::string publisher(const std::string &props, int width = 64, int height = 48) {
  return "appsrc name=src format=time caps=video/x-raw,format=BGR,width=" + std::to_string(width) +
         ",height=" + std::to_string(height) + ",framerate=30/1 ! ovedgesink sync=false " + props;
}

/* Publishes frame 0 until the subscriber shows it (discovery takes a moment),
 * then frames 1..count at about 30 per second; returns what arrived after
 * the warm-up frames, stopping at `count` samples or a time-out. */
using FrameMaker = std::function<ov::BufferPtr(uint32_t)>;

std::vector<SamplePtr> exchange(AppPipeline &pub, AppPipeline &sub, int count,
                                const FrameMaker &make) {
  std::vector<SamplePtr> got;
  SamplePtr first;
  for (int i = 0; i < 100 && !first; ++i) {
    EXPECT_EQ(pub.push(make(0)), GST_FLOW_OK);
    first = sub.pull(50);
  }
  EXPECT_TRUE(first) << "no frame crossed the bus";
  if (!first) return got;
  std::thread feeder([&] {
    for (int i = 1; i <= count; ++i) {
      pub.push(make(static_cast<uint32_t>(i)));
      std::this_thread::sleep_for(std::chrono::milliseconds(33));
    }
  });
  while (static_cast<int>(got.size()) < count) {
    SamplePtr s = sub.pull(3000);
    if (!s) break;
    if (frame_id_of(s) != 0) got.push_back(std::move(s));
  }
  feeder.join();
  return got;
}

/* Frame `id` of `stream`: `recipe` with that frame id over `pic`. */
FrameMaker frames_of(const std::string &stream, const cv::Mat &pic, FrameRecipe recipe = FrameRecipe()) {
  return [=](uint32_t id) {
    FrameRecipe wanted = recipe;
    wanted.frame_id = id;
    return make_frame(pic, wanted, stream);
  };
}

std::string subscriber(const std::string &props) {
  return "ovedgesrc " + (props.empty() ? "" : props + " ") +
         "! video/x-raw,format=BGR ! appsink name=sink sync=false";
}

/* A subscriber and a publisher pipeline on this test's own bus. */
struct BusPair {
  BusPair(const std::string &sub_launch, const std::string &pub_props, int width = 64,
          int height = 48)
      : sub(sub_launch), pub(publisher(pub_props, width, height)) {}
  /* The subscriber (live) first, then the publisher. */
  ::testing::AssertionResult start() {
    if (!start_live(sub)) return ::testing::AssertionFailure() << "the subscriber did not start";
    if (!pub.start()) return ::testing::AssertionFailure() << "the publisher did not start";
    return ::testing::AssertionSuccess();
  }
  std::vector<SamplePtr> exchange(int count, const FrameMaker &make) {
    return ::exchange(pub, sub, count, make);
  }
  BusRoot root;
  AppPipeline sub;
  AppPipeline pub;
};

std::vector<uint32_t> ids(const std::vector<SamplePtr> &samples) {
  std::vector<uint32_t> out;
  for (const auto &s : samples) out.push_back(frame_id_of(s));
  return out;
}

std::vector<uint32_t> one_to(uint32_t n) {
  std::vector<uint32_t> v;
  for (uint32_t i = 1; i <= n; ++i) v.push_back(i);
  return v;
}

cv::Mat bgr_of(const SamplePtr &s) {
  GstVideoInfo info;
  EXPECT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(s.get())));
  GstVideoFrame frame;
  cv::Mat out;
  if (!gst_video_frame_map(&frame, &info, gst_sample_get_buffer(s.get()), GST_MAP_READ)) return out;
  const int w = GST_VIDEO_INFO_WIDTH(&info), h = GST_VIDEO_INFO_HEIGHT(&info);
  auto plane = [&](int i) { return static_cast<uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, i)); };
  auto stride = [&](int i) { return GST_VIDEO_FRAME_PLANE_STRIDE(&frame, i); };
  switch (GST_VIDEO_INFO_FORMAT(&info)) {
    case GST_VIDEO_FORMAT_BGR:
      out = cv::Mat(h, w, CV_8UC3, plane(0), stride(0)).clone();
      break;
    case GST_VIDEO_FORMAT_I420: {
      cv::Mat packed(h * 3 / 2, w, CV_8UC1);
      for (int r = 0; r < h; ++r) std::memcpy(packed.ptr(r), plane(0) + r * stride(0), w);
      uint8_t *u = packed.ptr(h), *v = u + (w / 2) * (h / 2);
      for (int r = 0; r < h / 2; ++r) {
        std::memcpy(u + r * (w / 2), plane(1) + r * stride(1), w / 2);
        std::memcpy(v + r * (w / 2), plane(2) + r * stride(2), w / 2);
      }
      cv::cvtColor(packed, out, cv::COLOR_YUV2BGR_I420);
      break;
    }
    case GST_VIDEO_FORMAT_NV12: {
      cv::Mat packed(h * 3 / 2, w, CV_8UC1);
      for (int r = 0; r < h; ++r) std::memcpy(packed.ptr(r), plane(0) + r * stride(0), w);
      for (int r = 0; r < h / 2; ++r) std::memcpy(packed.ptr(h + r), plane(1) + r * stride(1), w);
      cv::cvtColor(packed, out, cv::COLOR_YUV2BGR_NV12);
      break;
    }
    default:
      break;
  }
  gst_video_frame_unmap(&frame);
  return out;
}

TEST(EdgeElements, PerTagGroupFramesArriveWithTheirBoxesAndDevice) {
  BusPair bus(subscriber("taggroups=DetectionBoxData+DeviceInfoData"),
              "taggroups=VideoFrameData+DetectionBoxData+DeviceInfoData");
  ASSERT_TRUE(bus.start());
  const auto got = bus.exchange(20, [](uint32_t id) {
    FrameRecipe wanted;
    wanted.frame_id = id;
    return make_frame(picture(64, 48, static_cast<int>(id)), wanted, "s0");
  });
  EXPECT_EQ(ids(got), one_to(20));
  size_t with_device = 0;
  for (const auto &s : got) {
    const GstOvBatchMeta *m = meta_of(s);
    ASSERT_EQ(m->batch.frames.size(), 1u);
    ASSERT_EQ(m->batch.devices.size(), 1u);
    const VideoFrameData &f = m->batch.frames[0];
    ASSERT_EQ(f.box_results.size(), 1u) << "frame " << f.frame_id;
    EXPECT_EQ(f.box_results[0].obj_label, "car");
    EXPECT_FLOAT_EQ(f.box_results[0].x2, 0.75f);
    /* The worker hands the one queued device to the first frame of a pass
     * and empties the queue, so a frame may come without one; it is never
     * another's. */
    if (!m->batch.devices[0].serial.empty()) ++with_device;
    EXPECT_TRUE(m->batch.devices[0].serial.empty() || m->batch.devices[0].serial == "cam-s0");
    EXPECT_EQ(f.width, 64u);
    /* B, G, R crosses the bus exactly. */
    EXPECT_EQ(cv::norm(bgr_of(s), picture(64, 48, static_cast<int>(f.frame_id)), cv::NORM_INF), 0);
  }
  EXPECT_GT(with_device, got.size() / 2);
  EXPECT_EQ(bus.sub.error(), "");
  EXPECT_EQ(bus.pub.error(), "");
}

/* "uni" set and then replaced: the sink publishes per tag group again. */
TEST(EdgeElements, ASinkLeavesCombinedModeWhenItsTagGroupsChange) {
  BusPair bus(subscriber("taggroups=DetectionBoxData+DeviceInfoData"),
              "taggroups=uni taggroups=VideoFrameData+DetectionBoxData+DeviceInfoData");
  ASSERT_TRUE(bus.start());
  const auto got = bus.exchange(10, frames_of("s2", picture(64, 48, 5), FrameRecipe()));
  EXPECT_EQ(ids(got), one_to(10));
  for (const auto &s : got) {
    const GstOvBatchMeta *m = meta_of(s);
    ASSERT_EQ(m->batch.frames.size(), 1u);
    EXPECT_EQ(m->batch.frames[0].box_results.size(), 1u) << "frame " << frame_id_of(s);
  }
}

/* Tag groups changed while the sink publishes take effect at its next
 * start: until then it goes on publishing what it opened the bus for. */
TEST(EdgeElements, TagGroupsChangedWhilePublishingWaitForTheNextStart) {
  BusPair bus(subscriber("taggroups=DetectionBoxData+DeviceInfoData"),
              "taggroups=VideoFrameData+DetectionBoxData+DeviceInfoData");
  ASSERT_TRUE(bus.start());
  GstElement *sink = nullptr;
  {
    GstIterator *it = gst_bin_iterate_sinks(GST_BIN(bus.pub.pipeline()));
    GValue item = G_VALUE_INIT;
    if (gst_iterator_next(it, &item) == GST_ITERATOR_OK)
      sink = GST_ELEMENT(g_value_get_object(&item));
    g_value_unset(&item);
    gst_iterator_free(it);
  }
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(ids(bus.exchange(5, frames_of("s3", picture(64, 48, 6)))), one_to(5));
  g_object_set(sink, "taggroups", "uni", nullptr);
  const auto got = bus.exchange(10, frames_of("s3", picture(64, 48, 6)));
  ASSERT_FALSE(got.empty());
  for (const auto &s : got) {
    const GstOvBatchMeta *m = meta_of(s);
    ASSERT_EQ(m->batch.frames.size(), 1u);
    EXPECT_EQ(m->batch.frames[0].box_results.size(), 1u) << "frame " << frame_id_of(s);
  }
  EXPECT_EQ(bus.pub.error(), "");
}

TEST(EdgeElements, CombinedModeCarriesTheSameInOneSample) {
  BusPair bus(subscriber("taggroups=uni"), "taggroups=uni");
  ASSERT_TRUE(bus.start());
  FrameRecipe two_boxes;
  two_boxes.box_labels = {"car", "bus"};
  const auto got = bus.exchange(10, frames_of("s1", picture(64, 48, 3), two_boxes));
  EXPECT_EQ(ids(got), one_to(10));
  for (const auto &s : got) {
    const GstOvBatchMeta *m = meta_of(s);
    ASSERT_EQ(m->batch.frames[0].box_results.size(), 2u);
    EXPECT_EQ(m->batch.frames[0].box_results[1].class_label, "bus");
    EXPECT_EQ(m->batch.devices[0].serial, "cam-s1");
    EXPECT_EQ(cv::norm(bgr_of(s), picture(64, 48, 3), cv::NORM_INF), 0);
  }
}

TEST(EdgeElements, SubscriberWithoutTagGroupsGetsFramesOnly) {
  BusPair bus(subscriber(""), "taggroups=VideoFrameData+DetectionBoxData+DeviceInfoData");
  ASSERT_TRUE(bus.start());
  const auto got = bus.exchange(8, frames_of("s2", picture(64, 48, 1)));
  EXPECT_EQ(ids(got), one_to(8));
  for (const auto &s : got) {
    EXPECT_TRUE(meta_of(s)->batch.frames[0].box_results.empty());
    EXPECT_EQ(meta_of(s)->batch.devices[0].serial, "");
  }
}

TEST(EdgeElements, BuffersWithoutBatchRecordPublishFabricatedRecords) {
  BusPair bus(subscriber("taggroups=DetectionBoxData+DeviceInfoData"),
              "taggroups=VideoFrameData+DetectionBoxData+DeviceInfoData");
  ASSERT_TRUE(bus.start());
  FrameRecipe bare;  // the buffer offset gives the frame number
  bare.with_meta = false;
  const auto got = bus.exchange(5, frames_of("", picture(64, 48, 0), bare));
  EXPECT_EQ(ids(got), one_to(5));
  for (const auto &s : got) {
    const auto &batch = meta_of(s)->batch;
    EXPECT_EQ(batch.frames[0].stream_id, "b5d84236-a23d-49fc-a574-e0cd944490bb");
    ASSERT_EQ(batch.frames[0].box_results.size(), 3u);
    EXPECT_EQ(batch.frames[0].box_results[2].obj_label, "[fake] test detection label string");
    EXPECT_EQ(batch.devices[0].manufacturer, "ORVANE");
  }
}

TEST(EdgeElements, ContextIdKeepsTwoPublishersApart) {
  BusPair bus(subscriber("context-id=left taggroups=DeviceInfoData"),
              "context-id=left taggroups=VideoFrameData+DeviceInfoData");
  AppPipeline right(publisher("context-id=right taggroups=VideoFrameData+DeviceInfoData"));
  ASSERT_TRUE(bus.start());
  ASSERT_TRUE(right.start());
  const FrameMaker right_frames = frames_of("right", picture(64, 48, 9));
  std::thread noise([&] {
    for (uint32_t i = 0; i < 40; ++i) {
      right.push(right_frames(1000 + i));
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  });
  const auto got = bus.exchange(10, frames_of("left", picture(64, 48, 4)));
  noise.join();
  EXPECT_EQ(ids(got), one_to(10));
  for (const auto &s : got) EXPECT_NE(meta_of(s)->batch.devices[0].serial, "cam-right");
}

TEST(EdgeElements, TwoSourcesInOneProcessNeverWaitForEachOther) {
  // The right subscriber's consumer never takes a buffer: its streaming
  // thread blocks in the push and its pool overflows.  The left one, in the
  // same process, still gets every frame.
  BusPair bus(subscriber("context-id=left taggroups=DeviceInfoData"),
              "context-id=left taggroups=VideoFrameData+DeviceInfoData");
  AppPipeline right_sub(
      "ovedgesrc context-id=right taggroups=DeviceInfoData ! video/x-raw,format=BGR ! "
      "appsink name=stuck sync=false max-buffers=1 drop=false");
  AppPipeline right(publisher("context-id=right taggroups=VideoFrameData+DeviceInfoData"));
  ASSERT_TRUE(start_live(right_sub));
  ASSERT_TRUE(bus.start());
  ASSERT_TRUE(right.start());
  const FrameMaker right_frames = frames_of("right", picture(64, 48, 9));
  std::atomic<bool> done{false};
  std::thread flood([&] {
    for (uint32_t i = 1; !done.load() && i < 100000; ++i) {
      right.push(right_frames(i));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const auto got = bus.exchange(20, frames_of("left", picture(64, 48, 4)));
  done = true;
  flood.join();
  EXPECT_EQ(ids(got), one_to(20));
  for (const auto &s : got) EXPECT_EQ(meta_of(s)->batch.devices[0].serial, "cam-left");
}

TEST(EdgeElements, SegmentationRunsRebuildTheGrid) {
  BusPair bus(subscriber("taggroups=SegmentationData"), "taggroups=VideoFrameData+SegmentationData");
  ASSERT_TRUE(bus.start());
  orvane::ai::SegmentGrid grid(2);
  for (int id : {1, 1, 2, 2, 2}) grid[0].push_back({id, id == 1 ? "road" : "car"});
  for (int id : {3, 3, 3, 3, 3}) grid[1].push_back({id, "sky"});
  FrameRecipe with_grid;
  with_grid.grid = grid;
  const auto got = bus.exchange(3, frames_of("seg", picture(64, 48, 0), with_grid));
  ASSERT_EQ(ids(got), one_to(3));
  const auto &seg = meta_of(got[0])->batch.frames[0].seg_results;
  ASSERT_EQ(seg.size(), 2u);
  for (int r = 0; r < 2; ++r) {
    ASSERT_EQ(seg[r].size(), 5u);
    for (int c = 0; c < 5; ++c) {
      EXPECT_EQ(seg[r][c].label_id, grid[r][c].label_id);
      EXPECT_EQ(seg[r][c].label, grid[r][c].label);
    }
  }
}

class PixelOutput : public ::testing::TestWithParam<const char *> {};

TEST_P(PixelOutput, PlanarOutputMatchesTheSourcePicture) {
  BusPair bus(std::string("ovedgesrc ! video/x-raw,format=") + GetParam() +
                  " ! appsink name=sink sync=false",
              "taggroups=VideoFrameData", 320, 240);
  ASSERT_TRUE(bus.start());
  const cv::Mat pic = picture(320, 240, 0);
  const auto got = bus.exchange(2, frames_of("px", pic));
  ASSERT_EQ(got.size(), 2u);
  const cv::Mat out = bgr_of(got[1]);
  ASSERT_EQ(out.size(), pic.size());
  EXPECT_GT(cv::PSNR(out, pic), 35.0);
}

INSTANTIATE_TEST_SUITE_P(Formats, PixelOutput, ::testing::Values("I420", "NV12"));

TEST(EdgeElements, A642WideBGRFrameCrossesAsThePicture) {
  BusPair bus(subscriber(""), "taggroups=VideoFrameData", 642, 20);
  ASSERT_TRUE(bus.start());
  const cv::Mat pic = picture(642, 20, 5);
  const auto got = bus.exchange(2, frames_of("wide", pic));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(cv::norm(bgr_of(got[0]), pic, cv::NORM_INF), 0);
}

TEST(EdgeElements, EncodedFramesCrossUnchanged) {
  BusRoot root;
  AppPipeline sub("ovedgesrc ! image/jpeg ! appsink name=sink sync=false");
  ASSERT_TRUE(start_live(sub));
  AppPipeline pub(
      "appsrc name=src format=time caps=video/x-raw,format=I420,width=64,height=48,framerate=30/1 "
      "! jpegenc ! ovedgesink sync=false taggroups=VideoFrameData");
  ASSERT_TRUE(pub.start());
  std::vector<uint8_t> jpeg;
  /* The published bytes are jpegenc's output; read them back from an encoder of our own. */
  {
    AppPipeline enc(
        "appsrc name=src format=time caps=video/x-raw,format=I420,width=64,height=48,framerate=30/1 "
        "! jpegenc ! appsink name=sink");
    ASSERT_TRUE(enc.start());
    enc.push(ovtest::make_video_buffer(GST_VIDEO_FORMAT_I420, 64, 48, 90));
    SamplePtr s = enc.pull(3000);
    ASSERT_TRUE(s);
    ov::BufferMap map(gst_sample_get_buffer(s.get()), GST_MAP_READ);
    jpeg.assign(map.data(), map.data() + map.size());
  }
  SamplePtr got;
  for (int i = 0; i < 100 && !got; ++i) {
    pub.push(ovtest::make_video_buffer(GST_VIDEO_FORMAT_I420, 64, 48, 90));
    got = sub.pull(50);
  }
  ASSERT_TRUE(got);
  ov::BufferMap map(gst_sample_get_buffer(got.get()), GST_MAP_READ);
  ASSERT_EQ(map.size(), jpeg.size());
  EXPECT_EQ(0, std::memcmp(map.data(), jpeg.data(), jpeg.size()));
  EXPECT_TRUE(meta_of(got)->batch.frames[0].is_compress);
}

TEST(EdgeElements, PausingAndRestartingKeepsFramesComing) {
  BusPair bus(subscriber(""), "taggroups=VideoFrameData");
  ASSERT_TRUE(bus.start());
  AppPipeline &sub = bus.sub, &pub = bus.pub;
  const FrameMaker make = frames_of("p", picture(64, 48, 2));
  EXPECT_EQ(ids(bus.exchange(3, make)), one_to(3));

  /* A paused live source leaves its waiting fill; playing again resumes. */
  ASSERT_NE(gst_element_set_state(sub.pipeline(), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(start_live(sub));
  EXPECT_EQ(ids(bus.exchange(3, make)), one_to(3));

  /* Both ends closed and opened again: new things, the same stream. */
  gst_element_set_state(sub.pipeline(), GST_STATE_NULL);
  gst_element_set_state(pub.pipeline(), GST_STATE_NULL);
  ASSERT_TRUE(start_live(sub));
  ASSERT_TRUE(pub.start());
  EXPECT_EQ(ids(bus.exchange(3, make)), one_to(3));
  EXPECT_EQ(sub.error(), "");
  EXPECT_EQ(pub.error(), "");
}

TEST(EdgeElements, StoppingFromAnotherThreadEndsTheFirstFrameWait) {
  BusRoot root;
  AppPipeline sub("ovedgesrc ! fakesink");
  ASSERT_TRUE(start_live(sub));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto t0 = std::chrono::steady_clock::now();
  std::thread stopper([&] { gst_element_set_state(sub.pipeline(), GST_STATE_NULL); });
  stopper.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(seconds, 2.0);
  GstState state;
  gst_element_get_state(sub.pipeline(), &state, nullptr, 0);
  EXPECT_EQ(state, GST_STATE_NULL);
}

TEST(EdgeElements, SinkWithoutTagGroupsPublishesNothing) {
  BusRoot root;
  ovtest::LogCapture log("ovedgesink", GST_LEVEL_INFO);
  AppPipeline pub(publisher(""));
  ASSERT_TRUE(pub.start());
  for (uint32_t i = 0; i < 3; ++i) {
    FrameRecipe wanted;
    wanted.frame_id = i;
    EXPECT_EQ(pub.push(make_frame(picture(64, 48, 0), wanted, "x")), GST_FLOW_OK);
  }
  pub.end_of_stream();
  ov::BusPtr bus(gst_element_get_bus(pub.pipeline()));
  ov::MessagePtr eos(gst_bus_timed_pop_filtered(bus.get(), 5 * GST_SECOND, GST_MESSAGE_EOS));
  ASSERT_TRUE(eos);
  EXPECT_EQ(log.count_containing("Call paddingData in ov_edgesink_write_data"), 3u);
  EXPECT_EQ(log.count_containing("has wrote to mesh."), 0u);
}

TEST(EdgeElements, TagGroupPropertiesReadBackAsSet) {
  ov::ElementPtr sink(gst_element_factory_make("ovedgesink", nullptr));
  ov::ElementPtr src(gst_element_factory_make("ovedgesrc", nullptr));
  ASSERT_TRUE(sink && src);
  for (GstElement *e : {sink.get(), src.get()}) {
    g_object_set(e, "taggroups", "VideoFrameData++ClassificationData", "context-id", "ctx 1",
                 nullptr);
    gchar *tg = nullptr, *ctx = nullptr;
    g_object_get(e, "taggroups", &tg, "context-id", &ctx, nullptr);
    EXPECT_STREQ(tg, "VideoFrameData+ClassificationData");
    EXPECT_STREQ(ctx, "ctx 1");
    g_free(tg);
    g_free(ctx);
    g_object_set(e, "taggroups", "uni", nullptr);
    g_object_get(e, "taggroups", &tg, nullptr);
    EXPECT_STREQ(tg, "VideoFrameData+ClassificationData+uni");
    g_free(tg);
  }
}

TEST(EdgeElements, MissingConfigurationFailsTheStateChangeNamingTheFiles) {
  setenv("VXA_ROOT", "/nonexistent", 1);
  for (const char *launch : {"videotestsrc num-buffers=1 ! ovedgesink",
                             "ovedgesrc ! fakesink"}) {
    AppPipeline p(launch);
    ASSERT_TRUE(p.ok()) << launch;
    EXPECT_EQ(gst_element_set_state(p.pipeline(), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE)
        << launch;
    const std::string error = p.error();
    EXPECT_NE(error.find("Can not find all edge configuration files"), std::string::npos)
        << launch << ": " << error;
    EXPECT_NE(error.find("config/TideMesh.xml"), std::string::npos) << launch << ": " << error;
    gst_element_set_state(p.pipeline(), GST_STATE_NULL);
  }
  unsetenv("VXA_ROOT");
}

TEST(EdgeElements, ABrokenBusConfigurationEndsInAnErrorNamingIt) {
  BusRoot root;
  const char *vxa = std::getenv("VXA_ROOT");
  ASSERT_NE(vxa, nullptr);
  // A domain id the transport cannot have.
  const std::string config = std::string(vxa) + "/config/TideMesh.xml";
  std::string text;
  {
    std::ifstream in(config);
    std::stringstream ss;
    ss << in.rdbuf();
    text = ss.str();
  }
  const size_t at = text.find("<Domain id=\"");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, text.find('>', at) - at, "<Domain id=\"999\"");
  std::ofstream(config) << text;
  AppPipeline p("ovedgesrc ! fakesink");
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(gst_element_set_state(p.pipeline(), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  const std::string error = p.error();
  EXPECT_NE(error.find("Could not subscribe to the data bus"), std::string::npos) << error;
  EXPECT_NE(error.find("TideMesh.xml"), std::string::npos) << error;
  gst_element_set_state(p.pipeline(), GST_STATE_NULL);
}

TEST(EdgeElements, BusSecurityRefusalsFailTheStateChangeNamingTheFile) {
  BusRoot root;
  meshtest::Deployment keys("viewer:subscribe");
  meshtest::bus_keys("--dir " + keys.dir() + " --secure viewer " + root.file("config/TideMesh.xml"));
  struct Case {
    const char *launch;
    std::function<void()> before;
    std::vector<std::string> said;
  };
  const Case cases[] = {
      {"videotestsrc num-buffers=1 ! video/x-raw,format=BGR ! ovedgesink", [] {},
       {"Bus security refused to publish",
        "the permissions document " + keys.file("viewer_permissions.p7s") +
            " does not allow this node to publish tag group VideoFrameData"}},
      {"ovedgesrc ! fakesink", [&] { keys.expire_certificate("viewer"); },
       {"Bus security refused to subscribe",
        "identity certificate " + keys.file("viewer_cert.pem") + " has expired"}},
  };
  for (const Case &c : cases) {
    c.before();
    AppPipeline p(c.launch);
    ASSERT_TRUE(p.ok()) << c.launch;
    EXPECT_EQ(gst_element_set_state(p.pipeline(), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE)
        << c.launch;
    const std::string error = p.error();
    for (const std::string &s : c.said)
      EXPECT_NE(error.find(s), std::string::npos) << c.launch << ": " << error;
    gst_element_set_state(p.pipeline(), GST_STATE_NULL);
  }
}

/* ---- frame identity: batches frame by frame, repeated ids, one camera */

/* A batch image of two cameras, 64x48 over 32x24 (the narrower frame's
 * right part blank), each frame with its own box "<camera>:<n>" and device
 * (serial "SN-<camera>"); all frame ids are `id` and the offset is unset. */
ov::BufferPtr make_batch(uint32_t n, uint32_t id) {
  const cv::Mat a = picture(64, 48, static_cast<int>(n)), b = picture(32, 24, 100 + static_cast<int>(n));
  cv::Mat img(72, 64, CV_8UC3, cv::Scalar(0, 0, 0));
  a.copyTo(img(cv::Rect(0, 0, 64, 48)));
  b.copyTo(img(cv::Rect(0, 48, 32, 24)));
  FrameRecipe none;
  none.with_meta = false;
  ov::BufferPtr buf = make_frame(img, none, "");
  GST_BUFFER_OFFSET(buf.get()) = GST_BUFFER_OFFSET_NONE;
  GstOvBatchMeta *meta = try_get_ov_batch_meta(buf.get());
  const char *names[2] = {"a", "b"};
  const int sizes[2][2] = {{64, 48}, {32, 24}};
  for (int k = 0; k < 2; ++k) {
    DeviceInfoData dev;
    dev.stream_id = std::string("camera-") + names[k];
    dev.serial = std::string("SN-") + names[k];
    meta->batch.devices.push_back(dev);
    VideoFrameData f;
    f.stream_id = " ";  // what a writer puts there
    f.frame_id = id;
    f.width = sizes[k][0];
    f.height = sizes[k][1];
    f.channels = 3;
    f.device_idx = static_cast<uint32_t>(k);
    orvane::ai::DetectionBoxResult box;
    box.obj_label = box.class_label = std::string(names[k]) + ":" + std::to_string(n);
    box.x2 = box.y2 = 0.5f;
    box.prob = 0.9f;
    f.box_results.push_back(box);
    meta->batch.frames.push_back(f);
  }
  return buf;
}

/* The camera and number a received picture shows (by comparison with the
 * pictures make_batch paints); "" when it is none of them. */
std::string shown(const SamplePtr &s, uint32_t up_to) {
  const cv::Mat got = bgr_of(s);
  for (uint32_t n = 0; n <= up_to; ++n) {
    if (got.size() == cv::Size(64, 48) && cv::norm(got, picture(64, 48, int(n)), cv::NORM_INF) == 0)
      return "a:" + std::to_string(n);
    if (got.size() == cv::Size(32, 24) &&
        cv::norm(got, picture(32, 24, 100 + int(n)), cv::NORM_INF) == 0)
      return "b:" + std::to_string(n);
  }
  return "";
}

/* Publishes batch 0 until a frame arrives, then batches 1..count (every
 * frame id `id`); returns the samples that show a numbered picture. */
std::vector<SamplePtr> exchange_batches(BusPair &bus, int count, uint32_t id,
                                        std::vector<std::string> *pictures) {
  std::vector<SamplePtr> got;
  SamplePtr first;
  for (int i = 0; i < 100 && !first; ++i) {
    bus.pub.push(make_batch(0, id));
    first = bus.sub.pull(50);
  }
  EXPECT_TRUE(first) << "no frame crossed the bus";
  if (!first) return got;
  std::thread feeder([&] {
    for (int i = 1; i <= count; ++i) {
      bus.pub.push(make_batch(static_cast<uint32_t>(i), id));
      std::this_thread::sleep_for(std::chrono::milliseconds(33));
    }
  });
  while (SamplePtr s = bus.sub.pull(3000)) {
    const std::string what = shown(s, static_cast<uint32_t>(count));
    if (what.empty() || what.substr(what.find(':')) == ":0") continue;  // warm-up
    pictures->push_back(what);
    got.push_back(std::move(s));
  }
  feeder.join();
  return got;
}

/* Every delivered frame carries the box of its own picture and its own
 * camera's device. */
void expect_own_results(const std::vector<SamplePtr> &got, const std::vector<std::string> &pics) {
  for (size_t i = 0; i < got.size(); ++i) {
    const GstOvBatchMeta *m = meta_of(got[i]);
    ASSERT_EQ(m->batch.frames.size(), 1u);
    ASSERT_EQ(m->batch.frames[0].box_results.size(), 1u) << pics[i];
    EXPECT_EQ(m->batch.frames[0].box_results[0].obj_label, pics[i]);
    ASSERT_EQ(m->batch.devices.size(), 1u);
    if (!m->batch.devices[0].serial.empty())
      EXPECT_EQ(m->batch.devices[0].serial, "SN-" + pics[i].substr(0, 1)) << pics[i];
  }
}

TEST(EdgeIdentity, EveryFrameOfABatchIsPublishedAtItsOwnSizeUnderItsCamerasStream) {
  struct Case {
    const char *camera, *sub, *pub;
  } cases[] = {
      // Followed by serial (b) and by stream id (a, named after its device);
      // in combined samples too.
      {"SN-b", "DetectionBoxData+DeviceInfoData", "VideoFrameData+DetectionBoxData+DeviceInfoData"},
      {"camera-a", "DetectionBoxData+DeviceInfoData", "VideoFrameData+DetectionBoxData+DeviceInfoData"},
      {"SN-b", "uni", "uni"},
  };
  for (const Case &c : cases) {
    const std::string camera = c.camera;
    SCOPED_TRACE(camera + " " + c.pub);
    BusPair bus(subscriber(std::string("taggroups=") + c.sub + " stream=" + camera),
                std::string("all-frames=true taggroups=") + c.pub, 64, 72);
    ASSERT_TRUE(bus.start());
    std::vector<std::string> pics;
    const auto got = exchange_batches(bus, 15, 7, &pics);
    const std::string want = camera == "SN-b" ? "b" : "a";
    ASSERT_EQ(got.size(), 15u) << "every frame of the followed camera";
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(pics[i], want + ":" + std::to_string(i + 1)) << "in order, that camera only";
      EXPECT_EQ(meta_of(got[i])->batch.frames[0].stream_id, "camera-" + want);
    }
    expect_own_results(got, pics);
    EXPECT_EQ(bus.pub.error(), "");
  }
}

TEST(EdgeIdentity, ASubscriberOfEveryCameraGetsBothEachWithItsOwnResults) {
  BusPair bus(subscriber("taggroups=DetectionBoxData+DeviceInfoData"),
              "all-frames=true taggroups=VideoFrameData+DetectionBoxData+DeviceInfoData", 64, 72);
  ASSERT_TRUE(bus.start());
  std::vector<std::string> pics;
  // Camera b's frames are shown at the first frame's size (a's): compare
  // records, not pixels, for them.
  std::vector<SamplePtr> got;
  SamplePtr first;
  for (int i = 0; i < 100 && !first; ++i) {
    bus.pub.push(make_batch(0, 7));
    first = bus.sub.pull(50);
  }
  ASSERT_TRUE(first);
  for (int i = 1; i <= 10; ++i) {
    bus.pub.push(make_batch(static_cast<uint32_t>(i), 7));
    std::this_thread::sleep_for(std::chrono::milliseconds(33));
  }
  std::map<std::string, int> per_camera;
  while (SamplePtr s = bus.sub.pull(2000)) {
    const GstOvBatchMeta *m = meta_of(s);
    ASSERT_EQ(m->batch.frames.size(), 1u);
    const VideoFrameData &f = m->batch.frames[0];
    ASSERT_EQ(f.box_results.size(), 1u);
    const std::string label = f.box_results[0].obj_label;
    if (label.substr(label.find(':')) == ":0") continue;
    EXPECT_EQ("camera-" + label.substr(0, 1), f.stream_id) << "a box of the frame's own camera";
    EXPECT_EQ(f.width, label[0] == 'a' ? 64u : 32u) << "the frame's own size in its record";
    ++per_camera[f.stream_id];
  }
  EXPECT_EQ(per_camera["camera-a"], 10);
  EXPECT_EQ(per_camera["camera-b"], 10);
}

TEST(EdgeIdentity, WithoutAllFramesOnlyTheFirstFramesOwnRowsGoOutAndTheSinkSaysSo) {
  BusPair bus(subscriber("taggroups=DetectionBoxData"),
              "taggroups=VideoFrameData+DetectionBoxData", 64, 72);
  ASSERT_TRUE(bus.start());
  std::vector<std::string> pics;
  const auto got = exchange_batches(bus, 10, 7, &pics);
  ASSERT_EQ(got.size(), 10u);
  for (size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(pics[i], "a:" + std::to_string(i + 1)) << "frame 0 at 64x48, not the batch image";
  expect_own_results(got, pics);
  ov::BusPtr pbus(gst_element_get_bus(bus.pub.pipeline()));
  int warnings = 0;
  std::string text;
  while (ov::MessagePtr msg{gst_bus_pop_filtered(pbus.get(), GST_MESSAGE_WARNING)}) {
    GError *err = nullptr;
    gst_message_parse_warning(msg.get(), &err, nullptr);
    text = err ? err->message : "";
    if (err) g_error_free(err);
    ++warnings;
  }
  EXPECT_EQ(warnings, 1) << "said once";
  EXPECT_NE(text.find("only the first frame"), std::string::npos) << text;
}

TEST(EdgeIdentity, RepeatedFrameIdsNeverCarryAnotherFramesResults) {
  // A source that numbers nothing: every record says frame 4294967295.
  BusPair bus(subscriber("taggroups=DetectionBoxData+DeviceInfoData"),
              "taggroups=VideoFrameData+DetectionBoxData+DeviceInfoData");
  ASSERT_TRUE(bus.start());
  auto make = [](uint32_t n) {
    FrameRecipe wanted;
    wanted.frame_id = UINT32_MAX;
    wanted.box_labels = {"n" + std::to_string(n)};
    ov::BufferPtr buf = make_frame(picture(64, 48, static_cast<int>(n)), wanted, "s");
    GST_BUFFER_OFFSET(buf.get()) = GST_BUFFER_OFFSET_NONE;
    return buf;
  };
  SamplePtr first;
  for (int i = 0; i < 100 && !first; ++i) {
    bus.pub.push(make(0));
    first = bus.sub.pull(50);
  }
  ASSERT_TRUE(first);
  for (uint32_t n = 1; n <= 60; ++n) bus.pub.push(make(n));  // as fast as it goes
  int numbered = 0, mixed = 0, with_box = 0;
  while (SamplePtr s = bus.sub.pull(2000)) {
    const cv::Mat got = bgr_of(s);
    int n = -1;
    for (int k = 0; k <= 60 && n < 0; ++k)
      if (cv::norm(got, picture(64, 48, k), cv::NORM_INF) == 0) n = k;
    ASSERT_GE(n, 0) << "a picture that was never published";
    if (n == 0) continue;
    ++numbered;
    const auto &f = meta_of(s)->batch.frames[0];
    // At full speed the bus may lose a result: its frame comes without.
    if (f.box_results.empty()) continue;
    ++with_box;
    if (f.box_results.size() != 1 || f.box_results[0].obj_label != "n" + std::to_string(n)) ++mixed;
  }
  EXPECT_GT(numbered, 0);
  EXPECT_EQ(mixed, 0) << "frames with another frame's box";
  // Not dropped as ambiguous: the publisher sequence tells the frames apart.
  EXPECT_GT(with_box, numbered / 2) << with_box << " of " << numbered << " with their box";
}

TEST(EdgeIdentity, BusDefinitionsWithoutTheSequenceStillPublishAndSayWhy) {
  // Definitions installed before the publisher sequence existed.
  BusPair bus(subscriber("taggroups=DetectionBoxData"), "taggroups=VideoFrameData+DetectionBoxData");
  for (const char *group : {"VideoFrame", "DetectionBox"}) {
    const std::string path =
        bus.root.file(std::string("definitions/TagGroup/com.vision.data/") + group + "TagGroup.json");
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    const std::string old = std::regex_replace(
        text.str(), std::regex(R"(,\s*\{\s*"name":\s*"publish_seq",\s*"kind":\s*"int64"\s*\})"), "");
    ASSERT_NE(old, text.str()) << path;
    std::ofstream(path) << old;
  }
  ASSERT_TRUE(bus.start());
  const auto got = bus.exchange(5, frames_of("s", picture(64, 48, 3)));
  EXPECT_EQ(ids(got), one_to(5)) << "frames with distinct ids are joined by id";
  for (const auto &s : got) EXPECT_EQ(meta_of(s)->batch.frames[0].box_results.size(), 1u);
  ov::BusPtr pbus(gst_element_get_bus(bus.pub.pipeline()));
  std::string text;
  while (ov::MessagePtr msg{gst_bus_pop_filtered(pbus.get(), GST_MESSAGE_WARNING)}) {
    GError *err = nullptr;
    gchar *debug = nullptr;
    gst_message_parse_warning(msg.get(), &err, &debug);
    text += std::string(err ? err->message : "") + " (" + (debug ? debug : "") + ")";
    if (err) g_error_free(err);
    g_free(debug);
  }
  EXPECT_NE(text.find("predate the publisher sequence"), std::string::npos) << text;
  EXPECT_NE(text.find("publish_seq"), std::string::npos) << text;
  EXPECT_EQ(bus.pub.error(), "");  // (after the warnings: it discards them)
}

}  // namespace
