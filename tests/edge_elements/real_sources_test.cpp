/* Real sources on the bus, frame by frame: an appsrc that sets no buffer
 * offsets, a decoded file, an RTSP camera and a batch of two cameras of
 * different sizes publish code pictures (code_picture.h) through
 * ovmetawriter and ovedgesink in a process of their own; each frame carries
 * one box naming the code its own pixels show.  The subscribers here read
 * the code of every delivered frame from its pixels and check that its
 * record is that frame's: one frame, its own box, its own camera's device,
 * numbers rising per camera; at 30 frames a second every published frame
 * comes. */
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gst/video/video.h>

#include "code_picture.h"
#include "gstovmeta.h"
#include "mesh_test_support.h"
#include "ov_test.h"

namespace {

using Clock = std::chrono::steady_clock;
using ovtest::AppPipeline;
using ovtest::SamplePtr;

struct CameraSpec {
  int mark;
  int width;
  int height;
};

const CameraSpec kCamA{0x5a, 320, 240};
const CameraSpec kCamB{0xa5, 256, 192};

/* What one subscriber saw of one camera (warm-up pictures not counted). */
struct Seen {
  int frames = 0;
  int with_box = 0;        /* the one box naming this very picture */
  int without_box = 0;
  std::vector<int> boxless;  /* the first numbers of those, to be quoted */
  int foreign = 0;         /* the results of another frame or camera */
  int with_device = 0;     /* its own camera's device */
  int foreign_device = 0;  /* another camera's device */
  int out_of_order = 0;    /* a number not above the one before */
  int wrong_size = 0;      /* not at its camera's own size */
  int last = 0;
  std::set<std::string> streams;  /* stream ids its records name */
};

/* One subscribing pipeline: ovedgesrc [stream=...] ! BGR ! appsink. */
class Subscriber {
 public:
  Subscriber(const std::string &name, const std::string &props, std::vector<CameraSpec> cams,
             bool own_size)
      : name_(name),
        cams_(std::move(cams)),
        own_size_(own_size),
        pipeline_("ovedgesrc taggroups=DetectionBoxData+DeviceInfoData " + props +
                  " ! video/x-raw,format=BGR ! appsink name=sink sync=false max-buffers=0") {}

  bool start() {
    return pipeline_.ok() && gst_element_set_state(pipeline_.pipeline(), GST_STATE_PLAYING) !=
                                 GST_STATE_CHANGE_FAILURE;
  }
  void stop() { pipeline_.stop(); }

  /* Takes the next frame if one comes within `ms`. */
  bool pull(int ms) {
    SamplePtr s = pipeline_.pull(ms);
    if (!s) return false;
    take(s);
    return true;
  }

  /* Each camera's frames came with their box and device: the subscriber
   * has been matched on every topic. */
  bool heard_all() const {
    for (const CameraSpec &c : cams_)
      if (!heard_.count(c.mark)) return false;
    return true;
  }
  /* Each camera's last published number has come. */
  bool has_last(const std::map<int, int> &last) const {
    for (const CameraSpec &c : cams_) {
      auto it = last.find(c.mark);
      if (it != last.end() && it->second > 0 && seen(c.mark).last < it->second) return false;
    }
    return true;
  }

  const std::string &name() const { return name_; }
  const std::vector<CameraSpec> &cameras() const { return cams_; }
  Seen seen(int mark) const {
    auto it = seen_.find(mark);
    return it == seen_.end() ? Seen() : it->second;
  }
  int unreadable() const { return unreadable_; }
  int not_one_frame() const { return not_one_frame_; }
  int strangers() const { return strangers_; }

 private:
  const CameraSpec *camera(int mark) const {
    for (const CameraSpec &c : cams_)
      if (c.mark == mark) return &c;
    return nullptr;
  }

  void take(const SamplePtr &s) {
    GstBuffer *buf = gst_sample_get_buffer(s.get());
    GstVideoInfo info;
    GstVideoFrame frame;
    if (!gst_video_info_from_caps(&info, gst_sample_get_caps(s.get())) ||
        !gst_video_frame_map(&frame, &info, buf, GST_MAP_READ)) {
      ++unreadable_;
      return;
    }
    const std::optional<codepic::Code> code = codepic::read_bgr(
        static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
        GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info),
        static_cast<size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0)));
    gst_video_frame_unmap(&frame);
    if (!code) {
      ++unreadable_;  // a torn or mixed picture
      return;
    }
    const CameraSpec *cam = camera(code->mark);
    if (!cam) {
      ++strangers_;  // a camera this subscriber must not see
      return;
    }
    const GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(buf);
    if (!meta || meta->batch.frames.size() != 1) {
      ++not_one_frame_;
      return;
    }
    const VideoFrameData &rec = meta->batch.frames[0];
    const DeviceInfoData *dev =
        meta->batch.devices.empty()
            ? nullptr
            : &meta->batch.devices[rec.device_idx < meta->batch.devices.size() ? rec.device_idx : 0];
    const bool has_device = dev && !dev->serial.empty() && dev->serial != "Not Set";
    // Each tag group's topic is matched on its own: a camera is heard once
    // its frames come with their box and device.
    if (!rec.box_results.empty() && has_device) heard_.insert(code->mark);
    if (code->number == 0) return;  // warm-up

    Seen &v = seen_[code->mark];
    ++v.frames;
    if (code->number <= v.last) ++v.out_of_order;
    v.last = code->number;
    v.streams.insert(rec.stream_id);
    if (rec.box_results.empty()) {
      if (++v.without_box <= 8) v.boxless.push_back(code->number);
    }
    else if (rec.box_results.size() == 1 && rec.box_results[0].obj_label == codepic::label(*code))
      ++v.with_box;
    else
      ++v.foreign;
    if (has_device) {
      if (dev->serial == codepic::camera_serial(code->mark)) ++v.with_device;
      else ++v.foreign_device;
    }
    if (own_size_ && (GST_VIDEO_INFO_WIDTH(&info) != cam->width ||
                      GST_VIDEO_INFO_HEIGHT(&info) != cam->height))
      ++v.wrong_size;
  }

  std::string name_;
  std::vector<CameraSpec> cams_;
  bool own_size_;
  AppPipeline pipeline_;
  std::set<int> heard_;
  std::map<int, Seen> seen_;
  int unreadable_ = 0, not_one_frame_ = 0, strangers_ = 0;
};

/* What the publisher says it published of one camera. */
struct Published {
  int frames = -1, last = 0, unreadable = 0;
};

struct Case {
  std::string title;
  std::string source;  /* appsrc, file, rtsp, batch */
  int frames;
  int fps;
  std::string codec;  /* file: jpeg or vp8 */
};

/* One publisher (and, for rtsp, its camera) and the subscribers. */
class RealSourceRun {
 public:
  explicit RealSourceRun(Case c) : case_(std::move(c)) {}

  Subscriber &subscribe(const std::string &name, const std::string &props,
                        std::vector<CameraSpec> cams, bool own_size = false) {
    subs_.push_back(std::make_unique<Subscriber>(name, props, std::move(cams), own_size));
    return *subs_.back();
  }

  /* Runs the publisher to its end while taking every frame; false (with a
   * failure) when something could not run. */
  bool run() {
    for (auto &s : subs_)
      if (!s->start()) {
        ADD_FAILURE() << "subscriber " << s->name() << " cannot start";
        return false;
      }
    const std::string go = root_.file("go");
    std::remove(go.c_str());
    std::string url;
    if (case_.source == "rtsp") {
      camera_ = std::make_unique<meshtest::Child>(std::vector<std::string>{
          "/usr/bin/python3", RTSP_CAMERA, "--go", go, "--frames", std::to_string(case_.frames),
          "--mark", std::to_string(kCamA.mark)});
      std::vector<std::string> lines = camera_->lines_until("url ", 30000);
      if (lines.empty() || lines.back().rfind("url ", 0) != 0) {
        ADD_FAILURE() << "the RTSP camera did not start";
        return false;
      }
      url = lines.back().substr(4);
    }
    publisher_ = std::make_unique<meshtest::Child>(std::vector<std::string>{
        EDGE_SOURCE_PUBLISHER, "--source", case_.source, "--dir", root_.file("pub"), "--go", go,
        "--frames", std::to_string(case_.frames), "--fps", std::to_string(case_.fps), "--mark",
        std::to_string(kCamA.mark), "--mark2", std::to_string(kCamB.mark), "--codec",
        case_.codec.empty() ? "jpeg" : case_.codec, "--url", url});
    const auto start = Clock::now();

    // Numbered frames start once every subscriber has heard every camera.
    const auto give_up = start + std::chrono::seconds(90);
    while (!std::all_of(subs_.begin(), subs_.end(), [](auto &s) { return s->heard_all(); })) {
      for (auto &s : subs_) s->pull(20);
      if (publisher_->wait(1) >= 0 || Clock::now() > give_up) {
        status_ = publisher_->wait(1);
        ADD_FAILURE() << "the subscribers never heard the publisher (its status: " << status_
                      << ")";
        return false;
      }
    }
    FILE *f = std::fopen(go.c_str(), "w");
    if (f) std::fclose(f);
    const auto go_time = Clock::now();

    // Frames keep coming while the publisher runs: take them meanwhile.
    std::string line;
    int status = -1;
    const auto deadline = go_time + std::chrono::seconds(200);
    for (;;) {
      while (publisher_->read_line(line, 1)) parse(line);
      for (auto &s : subs_)
        while (s->pull(0)) {
        }
      status = publisher_->wait(1);
      if (status >= 0) break;
      subs_.front()->pull(20);
      if (Clock::now() > deadline) {
        ADD_FAILURE() << "the publisher did not end";
        return false;
      }
    }
    while (publisher_->read_line(line, 100)) parse(line);
    // The tail: until each camera's last frame has come to every
    // subscriber (frames delivered before it are in already), or nothing
    // came for five seconds.
    std::map<int, int> last;
    for (auto &p : published_) last[p.first] = p.second.last;
    auto quiet_since = Clock::now();
    while (!std::all_of(subs_.begin(), subs_.end(), [&](auto &s) { return s->has_last(last); }) &&
           Clock::now() - quiet_since < std::chrono::seconds(5)) {
      for (auto &s : subs_)
        if (s->pull(20)) quiet_since = Clock::now();
    }
    for (auto &s : subs_)
      while (s->pull(0)) {
      }
    wall_ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    status_ = status;
    for (auto &s : subs_) s->stop();
    if (status != 0) {
      ADD_FAILURE() << "the publisher ended with status " << status;
      return false;
    }
    return true;
  }

  Published published(int mark) const {
    auto it = published_.find(mark);
    return it == published_.end() ? Published() : it->second;
  }

  /* The figures of every subscriber and camera, to be quoted. */
  void print() const {
    for (const auto &s : subs_) {
      std::printf("%s, subscriber %s: unreadable pictures %d, records without exactly one frame "
                  "%d, frames of a camera it must not see %d\n",
                  case_.title.c_str(), s->name().c_str(), s->unreadable(), s->not_one_frame(),
                  s->strangers());
      for (const CameraSpec &c : s->cameras()) {
        const Seen v = s->seen(c.mark);
        const Published p = published(c.mark);
        std::string streams, boxless;
        for (const std::string &id : v.streams) streams += (streams.empty() ? "" : ",") + id;
        for (int n : v.boxless) boxless += (boxless.empty() ? "" : ",") + std::to_string(n);
        std::printf("  camera %d (%dx%d): published %d (unreadable at the publisher %d), "
                    "delivered %d, with their own box %d, without a box %d [%s], with another frame's "
                    "results %d, out of order %d, with their device %d, with another camera's "
                    "device %d, not at the camera's size %d, stream ids [%s]\n",
                    c.mark, c.width, c.height, p.frames, p.unreadable, v.frames, v.with_box,
                    v.without_box, boxless.c_str(), v.foreign, v.out_of_order, v.with_device, v.foreign_device,
                    v.wrong_size, streams.c_str());
      }
    }
    std::printf("%s: publisher status %d, wall time %lld ms\n", case_.title.c_str(), status_,
                static_cast<long long>(wall_ms_));
    std::fflush(stdout);
  }

  const std::vector<std::unique_ptr<Subscriber>> &subscribers() const { return subs_; }
  const Case &the_case() const { return case_; }

 private:
  void parse(const std::string &line) {
    int mark = 0;
    Published p;
    if (std::sscanf(line.c_str(), "published %d %d last %d unreadable %d", &mark, &p.frames,
                    &p.last, &p.unreadable) == 4)
      published_[mark] = p;
  }

  Case case_;
  meshtest::BusRoot root_;
  std::vector<std::unique_ptr<Subscriber>> subs_;
  std::unique_ptr<meshtest::Child> camera_;
  std::unique_ptr<meshtest::Child> publisher_;
  std::map<int, Published> published_;
  long long wall_ms_ = 0;
  int status_ = -1;  /* the publisher's exit status, -1 while unknown */
};

/* Never a torn picture, a record of several frames, a frame with another
 * frame's results or another camera's device, a camera it must not see, a
 * number out of order or a picture at another camera's size. */
void expect_never_mixed(const RealSourceRun &run) {
  for (const auto &s : run.subscribers()) {
    EXPECT_EQ(s->unreadable(), 0) << s->name() << ": torn or mixed pictures";
    EXPECT_EQ(s->not_one_frame(), 0) << s->name() << ": records without exactly one frame";
    EXPECT_EQ(s->strangers(), 0) << s->name() << ": frames of a camera it does not follow";
    for (const CameraSpec &c : s->cameras()) {
      const Seen v = s->seen(c.mark);
      const std::string who = s->name() + ", camera " + std::to_string(c.mark);
      EXPECT_GT(v.frames, 0) << who;
      EXPECT_EQ(v.foreign, 0) << who << ": frames with another frame's results";
      EXPECT_EQ(v.foreign_device, 0) << who << ": frames with another camera's device";
      EXPECT_EQ(v.out_of_order, 0) << who;
      EXPECT_EQ(v.wrong_size, 0) << who;
      EXPECT_GT(v.with_box, 0) << who;
      EXPECT_LE(v.frames, run.published(c.mark).frames) << who;
    }
  }
}

/* Every published frame came, each with its own box and device. */
void expect_all_delivered(const RealSourceRun &run) {
  for (const auto &s : run.subscribers())
    for (const CameraSpec &c : s->cameras()) {
      const Seen v = s->seen(c.mark);
      const int n = run.published(c.mark).frames;
      const std::string who = s->name() + ", camera " + std::to_string(c.mark);
      EXPECT_EQ(v.frames, n) << who;
      EXPECT_EQ(v.with_box, n) << who;
      EXPECT_EQ(v.with_device, n) << who;
    }
}

/* The publisher published every frame of every camera and read each one. */
void expect_all_published(const RealSourceRun &run, std::initializer_list<int> marks) {
  for (int mark : marks) {
    EXPECT_EQ(run.published(mark).frames, run.the_case().frames) << "camera " << mark;
    EXPECT_EQ(run.published(mark).unreadable, 0) << "camera " << mark;
  }
}

const std::string kNoStream;

/* One camera, one subscriber of every stream: never mixed; at 30 fps every
 * frame delivered with its own box and device. */
void single_camera(const Case &c) {
  RealSourceRun run(c);
  run.subscribe("all", kNoStream, {kCamA});
  const bool ran = run.run();
  run.print();
  ASSERT_TRUE(ran);
  expect_all_published(run, {kCamA.mark});
  expect_never_mixed(run);
  if (c.fps) expect_all_delivered(run);
}

TEST(RealSources, AppsrcWithoutOffsetsAtFullSpeed) {
  single_camera({"appsrc, full speed", "appsrc", 1500, 0, ""});
}
TEST(RealSources, AppsrcWithoutOffsetsAt30Fps) { single_camera({"appsrc, 30 fps", "appsrc", 300, 30, ""}); }
TEST(RealSources, DecodedVp8FileAtFullSpeed) {
  single_camera({"VP8 file, full speed", "file", 1500, 0, "vp8"});
}
TEST(RealSources, DecodedJpegFileAt30Fps) {
  single_camera({"JPEG file, 30 fps", "file", 300, 30, "jpeg"});
}
TEST(RealSources, RtspCameraAt30Fps) { single_camera({"RTSP camera, 30 fps", "rtsp", 300, 30, ""}); }

/* Two cameras batched: one subscriber without a stream gets both, each
 * frame resized to the first frame's size; their stream ids differ. */
void batch_to_one_subscriber(int frames, int fps) {
  const std::string title =
      std::string("batch of two cameras, ") + (fps ? "30 fps" : "full speed") + ", one subscriber";
  RealSourceRun run({title, "batch", frames, fps, ""});
  Subscriber &all = run.subscribe("all", kNoStream, {kCamA, kCamB});
  const bool ran = run.run();
  run.print();
  ASSERT_TRUE(ran);
  expect_all_published(run, {kCamA.mark, kCamB.mark});
  expect_never_mixed(run);
  if (fps) expect_all_delivered(run);
  const Seen a = all.seen(kCamA.mark), b = all.seen(kCamB.mark);
  EXPECT_EQ(a.streams.size(), 1u) << "one stream id per camera";
  EXPECT_EQ(b.streams.size(), 1u) << "one stream id per camera";
  for (const std::string &id : a.streams)
    EXPECT_EQ(b.streams.count(id), 0u) << "both cameras' frames name stream " << id;
}

/* One subscriber per camera, following its device serial: only that camera,
 * at its own size. */
void batch_to_subscriber_per_camera(int frames, int fps) {
  const std::string title = std::string("batch of two cameras, ") +
                            (fps ? "30 fps" : "full speed") + ", a subscriber per camera";
  RealSourceRun run({title, "batch", frames, fps, ""});
  run.subscribe("stream=" + codepic::camera_serial(kCamA.mark),
                "stream=" + codepic::camera_serial(kCamA.mark), {kCamA}, true);
  run.subscribe("stream=" + codepic::camera_serial(kCamB.mark),
                "stream=" + codepic::camera_serial(kCamB.mark), {kCamB}, true);
  const bool ran = run.run();
  run.print();
  ASSERT_TRUE(ran);
  expect_all_published(run, {kCamA.mark, kCamB.mark});
  expect_never_mixed(run);
  if (fps) expect_all_delivered(run);
}

TEST(RealSources, BatchOfTwoCamerasAtFullSpeedToOneSubscriber) { batch_to_one_subscriber(1500, 0); }
TEST(RealSources, BatchOfTwoCamerasAt30FpsToOneSubscriber) { batch_to_one_subscriber(300, 30); }
TEST(RealSources, BatchOfTwoCamerasAtFullSpeedToASubscriberPerCamera) {
  batch_to_subscriber_per_camera(1500, 0);
}
TEST(RealSources, BatchOfTwoCamerasAt30FpsToASubscriberPerCamera) {
  batch_to_subscriber_per_camera(300, 30);
}

}  // namespace
