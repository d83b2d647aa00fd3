/* Publishers in their own processes, one subscriber here: every delivered
 * frame shows the picture of the frame its record names, carries that
 * frame's box and, once one has come, its publisher's device.  Several
 * publishers on one bus are each rejoined on their own. */
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gst/video/video.h>

#include "gstovmeta.h"
#include "bus_keys_support.h"
#include "mesh_test_support.h"
#include "ov_test.h"
#include "pair_picture.h"

namespace {

using ovtest::AppPipeline;
using ovtest::SamplePtr;

using meshtest::BusRoot;

struct Publisher {
  std::string stream, context;
  int mark = 0;
  int frames = 0;
  int fps = 0;
  bool heard = true;  /* false: the subscriber must never see it */
  std::string taggroups;  /* the publisher's, when not the default */
  std::string root;  /* its configuration tree, when not the subscriber's */
};

/* What the subscriber saw of one publisher. */
struct Seen {
  int samples = 0;       /* every frame, warm-up frames 0 too */
  int frames = 0;        /* numbered frames (warm-up frames 0 not counted) */
  int with_box = 0;
  int with_device = 0;
  int mispaired = 0;     /* picture of another frame, or a torn picture */
  int foreign_box = 0;   /* a box of another frame or publisher */
  int device_lost = 0;   /* no device on a frame after one had come */
  int foreign_device = 0;
  bool device_seen = false;
  uint32_t last = 0;
  int out_of_order = 0;
};

class Pairing {
 public:
  Pairing(const std::string &subscriber_props, std::vector<Publisher> pubs)
      : pubs_(std::move(pubs)),
        sub_("ovedgesrc " + subscriber_props +
             " ! video/x-raw,format=BGR ! appsink name=sink sync=false max-buffers=0") {}

  /* Runs the publishers to their end while taking every frame; true when
   * each published and the last frames were taken. */
  bool run() {
    if (!sub_.ok() ||
        gst_element_set_state(sub_.pipeline(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
      return false;
    const std::string go = root_.file("go");
    std::remove(go.c_str());
    for (const Publisher &p : pubs_) {
      std::vector<std::string> argv = {EDGE_PAIR_PUBLISHER, "--frames", std::to_string(p.frames),
                                       "--fps", std::to_string(p.fps), "--stream", p.stream,
                                       "--mark", std::to_string(p.mark), "--go", go};
      if (!p.taggroups.empty()) {
        argv.push_back("--taggroups");
        argv.push_back(p.taggroups);
      }
      if (!p.context.empty()) {
        argv.push_back("--context");
        argv.push_back(p.context);
      }
      const std::string subscriberRoot = std::getenv("VXA_ROOT") ? std::getenv("VXA_ROOT") : "";
      if (!p.root.empty()) setenv("VXA_ROOT", p.root.c_str(), 1);
      children_.push_back(std::make_unique<meshtest::Child>(argv));
      setenv("VXA_ROOT", subscriberRoot.c_str(), 1);
    }
    // Every publisher must have been heard before the numbered frames start.
    std::map<int, bool> heard;
    while (heard.size() < expected_marks()) {
      SamplePtr s = sub_.pull(30000);
      if (!s) return false;
      take(s, &heard);
    }
    FILE *f = std::fopen(go.c_str(), "w");
    if (f) std::fclose(f);
    int finished = 0;
    for (auto &c : children_) {
      // Frames keep coming while the publishers run: take them meanwhile.
      std::string line;
      bool published = false;
      for (;;) {
        if (c->read_line(line, 1)) {
          if (line.rfind("published", 0) == 0) published = true;
          continue;
        }
        if (SamplePtr s = sub_.pull(20)) take(s, nullptr);
        if (c->wait(1) >= 0) {
          while (c->read_line(line, 100))
            if (line.rfind("published", 0) == 0) published = true;
          break;
        }
      }
      if (published) ++finished;
    }
    // The tail: frames still in flight reach us within the synchronizer's
    // wait; stop once no frame has come for two seconds.
    while (SamplePtr s = sub_.pull(2000)) take(s, nullptr);
    // The warnings, before stopping flushes the bus.
    ov::BusPtr bus(gst_element_get_bus(sub_.pipeline()));
    while (GstMessage *m = gst_bus_pop_filtered(bus.get(), GST_MESSAGE_WARNING)) {
      GError *err = nullptr;
      gchar *debug = nullptr;
      gst_message_parse_warning(m, &err, &debug);
      warnings_.push_back(std::string(err ? err->message : "") + " | " + (debug ? debug : ""));
      g_clear_error(&err);
      g_free(debug);
      gst_message_unref(m);
    }
    sub_.stop();
    return finished == static_cast<int>(pubs_.size());
  }

  const Seen &seen(int mark) { return seen_[mark]; }
  /* The subscriber's bus configuration (set it before run()). */
  std::string config() const { return root_.file("config/TideMesh.xml"); }
  int strangers() const { return strangers_; }
  /* The subscriber's warnings, "message | debug text". */
  const std::vector<std::string> &warnings() const { return warnings_; }

 private:
  size_t expected_marks() const {
    std::map<int, bool> m;
    for (const Publisher &p : pubs_)
      if (p.heard) m[p.mark] = true;
    return m.size();
  }

  const Publisher *by_mark(int mark) const {
    for (const Publisher &p : pubs_)
      if (p.mark == mark) return &p;
    return nullptr;
  }

  void take(const SamplePtr &s, std::map<int, bool> *heard) {
    GstBuffer *buf = gst_sample_get_buffer(s.get());
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, gst_sample_get_caps(s.get()))) return;
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, buf, GST_MAP_READ)) return;
    uint32_t n = 0;
    uint8_t mark = 0;
    const bool whole = pairtest::read_picture(
        static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
        static_cast<size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0)), n, mark);
    gst_video_frame_unmap(&frame);
    const Publisher *p = whole ? by_mark(mark) : nullptr;
    if (!p) {
      ++strangers_;
      return;
    }
    Seen &v = seen_[mark];
    ++v.samples;
    const GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(buf);
    // A publisher is heard once its frames come with their box and device:
    // each tag group's topic is matched on its own, and what is written
    // before a match is lost.
    if (heard && meta && !meta->batch.frames.empty() &&
        !meta->batch.frames[0].box_results.empty() && !meta->batch.devices.empty() &&
        !meta->batch.devices[0].stream_id.empty())
      (*heard)[mark] = true;
    if (!meta || meta->batch.frames.size() != 1) {
      ++v.mispaired;
      return;
    }
    const VideoFrameData &rec = meta->batch.frames[0];
    if (rec.frame_id != n || rec.stream_id != p->stream) ++v.mispaired;
    if (n == 0) return;  // warm-up
    ++v.frames;
    if (rec.frame_id <= v.last) ++v.out_of_order;
    v.last = rec.frame_id;
    if (!rec.box_results.empty()) {
      ++v.with_box;
      if (rec.box_results.size() != 1 ||
          rec.box_results[0].obj_label !=
              p->stream + ":" + std::to_string(p->mark) + ":" + std::to_string(rec.frame_id))
        ++v.foreign_box;
    }
    const bool has_device = !meta->batch.devices.empty() && !meta->batch.devices[0].stream_id.empty();
    if (has_device) {
      ++v.with_device;
      v.device_seen = true;
      if (meta->batch.devices[0].stream_id != "dev-" + p->stream + "-" + std::to_string(p->mark))
        ++v.foreign_device;
    } else if (v.device_seen) {
      ++v.device_lost;
    }
  }

  BusRoot root_;
  std::vector<Publisher> pubs_;
  AppPipeline sub_;
  std::vector<std::unique_ptr<meshtest::Child>> children_;
  std::map<int, Seen> seen_;
  int strangers_ = 0;
  std::vector<std::string> warnings_;
};

const char *kAll = "taggroups=DetectionBoxData+DeviceInfoData";

/* Every frame of each publisher came, with its own box and device, in order. */
void expect_each_rejoined(Pairing &run, std::initializer_list<int> marks, int frames) {
  for (int mark : marks) {
    const Seen &v = run.seen(mark);
    EXPECT_EQ(v.frames, frames) << "publisher " << mark;
    EXPECT_EQ(v.with_box, frames) << "publisher " << mark;
    EXPECT_EQ(v.mispaired, 0) << "publisher " << mark;
    EXPECT_EQ(v.foreign_box, 0) << "publisher " << mark;
    EXPECT_EQ(v.foreign_device, 0) << "each frame has its own publisher's device";
    EXPECT_EQ(v.device_lost, 0) << "publisher " << mark;
    EXPECT_EQ(v.out_of_order, 0) << "publisher " << mark;
  }
}

}  // namespace

TEST(EdgePairing, AtFullSpeedEveryFrameIsWholeAndItsOwn) {
  Pairing run(kAll, {{"s", "", 0x5a, 1500, 0}});
  ASSERT_TRUE(run.run());
  const Seen &v = run.seen(0x5a);
  std::printf("full speed: %d of 1500 frames delivered, %d with their box, %d with a device\n",
              v.frames, v.with_box, v.with_device);
  EXPECT_GT(v.frames, 0);
  EXPECT_EQ(v.mispaired, 0) << "pixels of another frame than the record's";
  EXPECT_EQ(v.foreign_box, 0);
  EXPECT_EQ(v.device_lost, 0) << "a frame after the first device came without one";
  EXPECT_EQ(v.foreign_device, 0);
  EXPECT_EQ(v.out_of_order, 0);
  EXPECT_EQ(run.strangers(), 0) << "torn or unknown pictures";
}

TEST(EdgePairing, CombinedRecordsAtFullSpeedArePairedToo) {
  Publisher p{"s", "", 0x5a, 1500, 0};
  p.taggroups = "uni";
  Pairing run("taggroups=uni", {p});
  ASSERT_TRUE(run.run());
  const Seen &v = run.seen(0x5a);
  std::printf("combined, full speed: %d of 1500 frames delivered, %d with their box\n", v.frames,
              v.with_box);
  EXPECT_GT(v.frames, 0);
  EXPECT_EQ(v.with_box, v.frames) << "a combined record carries its own box";
  EXPECT_EQ(v.mispaired, 0);
  EXPECT_EQ(v.foreign_box, 0);
  EXPECT_EQ(v.device_lost, 0);
  EXPECT_EQ(run.strangers(), 0);
}

TEST(EdgePairing, At30FpsNothingIsLost) {
  Pairing run(kAll, {{"s", "", 0x5a, 150, 30}});
  ASSERT_TRUE(run.run());
  const Seen &v = run.seen(0x5a);
  EXPECT_EQ(v.frames, 150);
  EXPECT_EQ(v.with_box, 150);
  EXPECT_EQ(v.mispaired, 0);
  EXPECT_EQ(v.foreign_box, 0);
  EXPECT_EQ(v.device_lost, 0);
  EXPECT_EQ(v.with_device, 150) << "every frame after the first device record carries one";
  EXPECT_EQ(v.out_of_order, 0);
}

TEST(EdgePairing, TwoPublishersInTwoContextsAreEachRejoined) {
  // Camera A runs in its own context, camera B in the default one; a
  // subscriber without a context reads both.
  Pairing run(kAll, {{"a", "camA", 0x11, 90, 30}, {"b", "", 0x22, 90, 30}});
  ASSERT_TRUE(run.run());
  expect_each_rejoined(run, {0x11, 0x22}, 90);
}

TEST(EdgePairing, TwoPublishersInOneContextAreToldApartByStream) {
  Pairing run(kAll, {{"left", "", 0x33, 90, 30}, {"right", "", 0x44, 90, 30}});
  ASSERT_TRUE(run.run());
  expect_each_rejoined(run, {0x33, 0x44}, 90);
}

TEST(EdgePairing, TwoPublishersTaggedAlikeInOneContextAreToldApartByWriter) {
  // Both cameras' records name the same stream and number from 1.
  Pairing run(kAll, {{"cam", "", 0x55, 90, 30}, {"cam", "", 0x66, 90, 30}});
  ASSERT_TRUE(run.run());
  expect_each_rejoined(run, {0x55, 0x66}, 90);
}

TEST(EdgePairing, ASubscriberOfOneContextSeesOnlyIt) {
  Pairing run(std::string(kAll) + " context-id=camA",
              {{"a", "camA", 0x11, 60, 30}, {"b", "camB", 0x22, 60, 30, false}});
  ASSERT_TRUE(run.run());
  EXPECT_EQ(run.seen(0x11).frames, 60);
  EXPECT_EQ(run.seen(0x11).with_box, 60);
  EXPECT_EQ(run.seen(0x22).frames, 0) << "frames of another context";
  EXPECT_EQ(run.strangers(), 0);
}

/* A copy of the shipped configuration tree on this process's loopback
 * domain, authenticating as `node` of `keys` (unsecured without keys). */
std::string publisher_tree(const meshtest::TempDir &dir, const meshtest::Deployment *keys,
                           const std::string &node) {
  std::filesystem::copy(meshtest::source_file("common/data_model"), dir.path(),
                        std::filesystem::copy_options::recursive |
                            std::filesystem::copy_options::overwrite_existing);
  const std::string config = meshtest::write_loopback_config(dir, "config/TideMesh.xml");
  if (keys) meshtest::bus_keys("--dir " + keys->dir() + " --secure " + node + " " + config);
  return dir.path();
}

TEST(EdgePairing, SecuredNodesPairEveryFrameAndNoOtherNodeGetsThrough) {
  meshtest::Deployment keys("camera:publish viewer:subscribe"), other("stranger:publish");
  meshtest::TempDir cameraTree, plainTree, strangerTree;
  Publisher camera{"cam", "", 0x11, 90, 30}, plain{"plain", "", 0x22, 90, 30, false},
      stranger{"stranger", "", 0x33, 90, 30, false};
  camera.root = publisher_tree(cameraTree, &keys, "camera");
  plain.root = publisher_tree(plainTree, nullptr, "");
  stranger.root = publisher_tree(strangerTree, &other, "stranger");
  Pairing run(kAll, {camera, plain, stranger});
  meshtest::bus_keys("--dir " + keys.dir() + " --secure viewer " + run.config());
  ASSERT_TRUE(run.run());
  expect_each_rejoined(run, {0x11}, 90);
  EXPECT_EQ(run.seen(0x11).with_device, 90);
  EXPECT_EQ(run.seen(0x22).samples, 0) << "frames of a publisher without security";
  EXPECT_EQ(run.seen(0x33).samples, 0) << "frames of a publisher of another authority";
  EXPECT_EQ(run.strangers(), 0);
  // The refused stranger is said once, naming it and the fix, not left an
  // empty stream.
  int refused = 0;
  for (const std::string &w : run.warnings())
    if (w.find("The bus security of this node refused a peer.") != std::string::npos) {
      ++refused;
      EXPECT_NE(w.find("CN=stranger"), std::string::npos) << w;
      EXPECT_NE(w.find("./ov bus-keys --node NAME"), std::string::npos) << w;
    }
  EXPECT_EQ(refused, 1) << ::testing::PrintToString(run.warnings());
}
