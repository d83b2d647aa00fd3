/* Faults the bus survives.  Publishers (and the subscriber that is killed)
 * run as processes of their own; the surviving subscriber runs here:
 * - a publisher killed mid-stream and started again is delivered again,
 *   its frames with their own results, soon after it plays;
 * - a subscriber killed mid-stream neither stalls the publisher nor keeps a
 *   new subscriber from picking the stream up;
 * - a missing or broken configuration file fails the state change with an
 *   error naming the file and leaves no thread of the bus running. */
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gst/video/video.h>

#include "gstovmeta.h"
#include "mesh_test_support.h"
#include "ov_test.h"
#include "pair_picture.h"

namespace {

using Clock = std::chrono::steady_clock;
using meshtest::BusRoot;
using meshtest::Child;
using ovtest::AppPipeline;
using ovtest::SamplePtr;

const char *kSubscriber =
    "ovedgesrc taggroups=DetectionBoxData+DeviceInfoData ! video/x-raw,format=BGR "
    "! appsink name=sink sync=false max-buffers=0";

/* What one delivered frame shows of its publisher. */
struct Frame {
  bool whole = false;  /* the picture tells one number and mark */
  uint32_t n = 0;
  uint8_t mark = 0;
  bool paired = false;  /* the record names the picture's frame */
  bool own_box = false;
  bool own_device = false;
};

Frame inspect(const SamplePtr &s, const std::string &stream) {
  Frame f;
  GstBuffer *buf = gst_sample_get_buffer(s.get());
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, gst_sample_get_caps(s.get()))) return f;
  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, &info, buf, GST_MAP_READ)) return f;
  f.whole = pairtest::read_picture(
      static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
      static_cast<size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0)), f.n, f.mark);
  gst_video_frame_unmap(&frame);
  const GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(buf);
  if (!f.whole || !meta || meta->batch.frames.size() != 1) return f;
  const VideoFrameData &rec = meta->batch.frames[0];
  f.paired = rec.frame_id == f.n && rec.stream_id == stream;
  const std::string mark = std::to_string(f.mark);
  f.own_box = rec.box_results.size() == 1 &&
              rec.box_results[0].obj_label == stream + ":" + mark + ":" + std::to_string(f.n);
  f.own_device = !meta->batch.devices.empty() &&
                 meta->batch.devices[0].stream_id == "dev-" + stream + "-" + mark;
  return f;
}

std::unique_ptr<Child> publisher(const std::string &stream, int mark, int frames, int fps,
                                 const std::string &go) {
  return std::make_unique<Child>(std::vector<std::string>{
      EDGE_PAIR_PUBLISHER, "--frames", std::to_string(frames), "--fps", std::to_string(fps),
      "--stream", stream, "--mark", std::to_string(mark), "--go", go});
}

void touch(const std::string &path) {
  std::ofstream(path) << "go\n";
}

/* Pulls until a frame of `mark` with its own box and device comes (true) or
 * `ms` pass without one. */
bool wait_for_own_frame(AppPipeline &sub, const std::string &stream, int mark, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    SamplePtr s = sub.pull(200);
    if (!s) continue;
    const Frame f = inspect(s, stream);
    if (f.whole && f.mark == mark && f.paired && f.own_box && f.own_device) return true;
  }
  return false;
}

/* "published N max-gap-ms G elapsed-ms E" of a publisher, read to its end. */
struct Published {
  bool seen = false;
  long frames = 0, max_gap_ms = 0, elapsed_ms = 0;
};

Published read_published(const std::string &line) {
  Published p;
  p.seen = std::sscanf(line.c_str(), "published %ld max-gap-ms %ld elapsed-ms %ld", &p.frames,
                       &p.max_gap_ms, &p.elapsed_ms) == 3;
  return p;
}

int thread_count() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/task")) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

}  // namespace

/* A publisher killed with SIGKILL and started again (numbering from the
 * start again, under a new writer) is delivered again within two seconds of
 * playing, every frame after that with its own box and device. */
TEST(EdgeFaults, APublisherKilledAndStartedAgainIsDeliveredAgainWithinTwoSeconds) {
  BusRoot root;
  AppPipeline sub(kSubscriber);
  ASSERT_TRUE(sub.ok());
  ASSERT_TRUE(sub.start());
  const std::string go = root.file("go");
  auto first = publisher("cam", 0x11, 100000, 30, go);
  ASSERT_TRUE(wait_for_own_frame(sub, "cam", 0x11, 60000)) << "the first publisher was not heard";
  touch(go);
  int numbered = 0;
  const auto until = Clock::now() + std::chrono::seconds(60);
  while (numbered < 30 && Clock::now() < until) {
    if (SamplePtr s = sub.pull(200)) {
      const Frame f = inspect(s, "cam");
      if (f.whole && f.mark == 0x11 && f.n > 0) ++numbered;
    }
  }
  ASSERT_EQ(numbered, 30);
  first->kill_now();

  const int kFrames = 90;
  auto second = publisher("cam", 0x22, kFrames, 30, go);
  ASSERT_FALSE(second->lines_until("playing", 30000).empty());
  const auto playing = Clock::now();
  std::optional<Clock::time_point> first_whole;
  uint32_t first_n = 0, last_n = 0;
  int delivered = 0, not_own = 0, out_of_order = 0, strangers = 0;
  Published done;
  std::string line;
  auto take = [&](const SamplePtr &s) {
    const Frame f = inspect(s, "cam");
    if (!f.whole || (f.mark != 0x11 && f.mark != 0x22)) {
      ++strangers;
      return;
    }
    if (f.mark != 0x22 || f.n == 0) return;  // the killed one's last frames
    if (!f.paired || !f.own_box || !f.own_device) {
      if (first_whole) ++not_own;
      return;
    }
    if (!first_whole) {
      first_whole = Clock::now();
      first_n = f.n;
    } else if (f.n <= last_n) {
      ++out_of_order;
    }
    last_n = f.n;
    ++delivered;
  };
  while (!done.seen) {
    if (second->read_line(line, 1)) {
      if (line.rfind("published", 0) == 0) done = read_published(line);
      continue;
    }
    if (SamplePtr s = sub.pull(20)) take(s);
    if (second->wait(1) >= 0) {
      while (second->read_line(line, 100))
        if (line.rfind("published", 0) == 0) done = read_published(line);
      break;
    }
  }
  while (SamplePtr s = sub.pull(2000)) take(s);
  sub.stop();
  ASSERT_TRUE(done.seen) << "the second publisher did not finish";
  ASSERT_TRUE(first_whole.has_value()) << "no frame of the second publisher came whole";
  const auto after =
      std::chrono::duration_cast<std::chrono::milliseconds>(*first_whole - playing).count();
  std::printf("restarted publisher: first whole frame %u, %lld ms after it played; %d frames\n",
              first_n, static_cast<long long>(after), delivered);
  EXPECT_LT(after, 2000) << "ms from playing to the first frame with its own results";
  EXPECT_EQ(delivered, kFrames - static_cast<int>(first_n) + 1)
      << "every frame after the first whole one, with its own box and device";
  EXPECT_EQ(not_own, 0);
  EXPECT_EQ(out_of_order, 0);
  EXPECT_EQ(strangers, 0) << "torn or unknown pictures";
}

/* A subscriber killed with SIGKILL mid-stream: the publisher's writes never
 * block much longer than the writer's limit (100 ms) per frame, it keeps its
 * rate, and a subscriber started afterwards gets its frames whole. */
TEST(EdgeFaults, ASubscriberKilledNeitherStallsThePublisherNorStopsANewOne) {
  BusRoot root;
  const std::string go = root.file("go");
  touch(go);
  Child doomed({GST_LAUNCH, "-v", "ovedgesrc", "taggroups=DetectionBoxData+DeviceInfoData", "!",
                "fakesink", "silent=false"});
  // Long enough for both subscribers to start and match on a busy machine.
  const int kFrames = 450, kFps = 30;
  auto pub = publisher("cam", 0x33, kFrames, kFps, go);
  // The doomed subscriber has taken frames (fakesink says so per buffer).
  bool took = false;
  std::string line;
  for (const auto end = Clock::now() + std::chrono::seconds(60); !took && Clock::now() < end;)
    if (doomed.read_line(line, 200) && line.find("last-message = chain") != std::string::npos)
      took = true;
  ASSERT_TRUE(took) << "the first subscriber never took a frame";
  doomed.kill_now();

  AppPipeline sub(kSubscriber);
  ASSERT_TRUE(sub.ok());
  ASSERT_TRUE(sub.start());
  EXPECT_TRUE(wait_for_own_frame(sub, "cam", 0x33, 30000)) << "the new subscriber got nothing";
  sub.stop();

  Published done;
  for (const std::string &l : pub->lines_until("published", 60000))
    if (l.rfind("published", 0) == 0) done = read_published(l);
  ASSERT_TRUE(done.seen) << "the publisher did not finish";
  std::printf("publisher with a killed subscriber: %ld frames in %ld ms, longest gap %ld ms\n",
              done.frames, done.elapsed_ms, done.max_gap_ms);
  // One frame's interval plus the writer's blocking limit, and room for a
  // busy machine's scheduling; a writer blocked until the dead reader's
  // lease ends would show seconds.
  EXPECT_LT(done.max_gap_ms, 1000 / kFps + 100 + 400);
  // The rate holds: the frames take their own time and at most a second more.
  EXPECT_LT(done.elapsed_ms, 1000L * kFrames / kFps + 1000);
}

namespace {

enum Reader { kBoth, kSinkOnly, kSourceOnly };

struct Breakage {
  const char *what;
  const char *file;     /* under the configuration root */
  const char *content;  /* nullptr: removed; "": a folder in its place */
  Reader readers;       /* the elements that read the file */
};

void apply(const BusRoot &root, const Breakage &b) {
  const std::string path = root.file(b.file);
  std::filesystem::remove_all(path);
  if (!b.content) return;
  if (!*b.content) {
    std::filesystem::create_directories(path);
    return;
  }
  std::ofstream(path) << b.content;
}

}  // namespace

/* Each element with a configuration that cannot be used: the state change
 * fails, the error names the file, and once the pipeline is gone no thread
 * of the bus is left (the transport's participant has threads of its own). */
TEST(EdgeFaults, ABrokenConfigurationFailsNamingTheFileAndLeavesNothingRunning) {
  const Breakage cases[] = {
      {"no bus configuration", "config/TideMesh.xml", nullptr, kBoth},
      {"unreadable thing properties", "config/DetectionBoxThingOutProperties.json", "",
       kSinkOnly},
      {"unreadable thing properties", "config/DetectionBoxThingInProperties.json", "",
       kSourceOnly},
      {"thing properties not JSON", "config/DeviceInfoThingInProperties.json", "{\"thingId\": ",
       kSourceOnly},
      {"tag group not JSON", "definitions/TagGroup/com.vision.data/DetectionBoxTagGroup.json",
       "<TagGroup/>", kBoth},
  };
  const char *launches[] = {
      "appsrc caps=video/x-raw,format=BGR,width=8,height=8,framerate=30/1 "
      "! ovedgesink taggroups=DetectionBoxData+DeviceInfoData",
      "ovedgesrc taggroups=DetectionBoxData+DeviceInfoData ! fakesink",
  };
  // Only the broken tree may be found: not a ./common/data_model of the
  // directory the test runs in.
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path("/");
  struct Back {
    std::filesystem::path to;
    ~Back() { std::filesystem::current_path(to); }
  } back{cwd};
  // A good configuration first: the subscriber's participant has threads of
  // its own while it lives, and they are gone once the pipeline is.
  int idle = 0;
  {
    BusRoot root;
    AppPipeline p(launches[1]);
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(gst_element_set_state(p.pipeline(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
    const int subscribed = thread_count();
    gst_element_set_state(p.pipeline(), GST_STATE_NULL);
    ASSERT_TRUE(meshtest::wait_for([&] { return thread_count() < subscribed; }, 10000))
        << "the bus's threads stay after the subscriber stopped";
    // Settled: the same count three times running.
    int same = 0;
    idle = thread_count();
    ASSERT_TRUE(meshtest::wait_for(
        [&] {
          const int now = thread_count();
          same = now == idle ? same + 1 : 0;
          idle = now;
          return same >= 3;
        },
        10000));
  }
  for (const Breakage &b : cases) {
    const std::string name = std::filesystem::path(b.file).filename();
    for (int i = 0; i < 2; ++i) {
      if ((i == 0 && b.readers == kSourceOnly) || (i == 1 && b.readers == kSinkOnly)) continue;
      const char *launch = launches[i];
      BusRoot root;
      apply(root, b);
      {
        AppPipeline p(launch);
        ASSERT_TRUE(p.ok()) << launch;
        EXPECT_EQ(gst_element_set_state(p.pipeline(), GST_STATE_PLAYING),
                  GST_STATE_CHANGE_FAILURE)
            << b.what << ": " << launch;
        const std::string error = p.error();
        EXPECT_NE(error.find(name), std::string::npos)
            << b.what << ": " << launch << ": " << error;
        gst_element_set_state(p.pipeline(), GST_STATE_NULL);
      }
      EXPECT_TRUE(meshtest::wait_for([&] { return thread_count() <= idle; }, 10000))
          << b.what << ": " << launch << ": " << thread_count() << " threads, " << idle
          << " when idle";
    }
  }
  // Found under a relative root (the directory the pipeline runs in): the
  // error names the file as it was read.
  {
    BusRoot root;
    apply(root, cases[3]);
    std::filesystem::current_path(std::filesystem::path(root.file("config")).parent_path());
    AppPipeline p(launches[1]);
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(gst_element_set_state(p.pipeline(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    const std::string error = p.error();
    EXPECT_NE(error.find("thing properties file ./config/DeviceInfoThingInProperties.json: "),
              std::string::npos)
        << error;
    gst_element_set_state(p.pipeline(), GST_STATE_NULL);
    std::filesystem::current_path("/");
  }
}
