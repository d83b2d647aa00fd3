/* edge-source-publisher: the publishing process of the real-source bus
 * tests.  Its pipelines are the ones users write: frames come from an
 * appsrc that sets no buffer offsets, from a decoded file, from an RTSP
 * camera, or as a batch of two cameras of different sizes; ovmetawriter
 * describes each frame, and a probe on the writer's source pad plays the
 * inference: it reads the code picture (code_picture.h) from the frame's own
 * pixels and gives the frame one box labelled "<mark>:<number>".
 *
 *   edge-source-publisher --source appsrc|file|rtsp|batch --dir DIR --go FILE
 *       [--frames N] [--fps F] [--mark M] [--mark2 M2] [--codec jpeg|vp8]
 *       [--url URL] [--taggroups T]
 *
 * Pictures of number 0 are warm-up pictures; the subscriber creates FILE
 * once it has seen them (the bus has matched: what is written before is
 * lost), and only then do frames 1..N go out.
 *   appsrc  one 320x240 camera of mark M: warm-up pictures every 50 ms until
 *           FILE exists, then 1..N at F per second (0: as fast as they go).
 *   batch   cameras M (320x240) and M2 (256x192) the same way, batched by
 *           ovvideobatch and published with all-frames=true.
 *   file    writes DIR/camera.avi (JPEG, --codec jpeg) or DIR/camera.webm
 *           (VP8): 10 warm-up pictures then 1..N at 30/1; publishes it
 *           through decodebin at full speed (F = 0, sink sync=false) or at
 *           its own pace (sync=true).  Until FILE exists the numbered frames
 *           are held back before the writer and the file is played again
 *           from its start.
 *   rtsp    publishes the camera at URL (rtsp_camera.py, which watches FILE
 *           itself) until it shows warm-up pictures again after numbered
 *           ones.
 * Each camera has a device file DIR/camera-<mark>.txt naming its stream
 * "cam-<mark>" and its serial "SN-CAM-<mark>".
 *
 * Prints "playing", then per camera "published <mark> <frames> last <number>
 * unreadable <pictures>": the numbered frames that reached ovedgesink, the
 * last number among them and the pictures the probe could not read; then
 * "done elapsed-ms <ms from FILE to the end>". */
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "code_picture.h"
#include "gstovmeta.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFileWarmup = 10;
constexpr GstClockTime kFrameTime = GST_SECOND / 30;
constexpr auto kGiveUp = std::chrono::seconds(60);

bool exists(const std::string &path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

struct Camera {
  int mark = 0;
  int width = 320, height = 240;
  std::string devinfo;
  GstElement *src = nullptr;  /* the camera's appsrc, when it has one */
  std::atomic<int> unreadable{0};
};

/* What reached ovedgesink, per mark: written by the sink's streaming thread
 * only (through its pad probe), read after the end. */
struct Published {
  std::mutex m;
  std::map<int, int> frames;
  std::map<int, int> last;
  std::atomic<bool> tail{false};  /* a warm-up picture after numbered ones */
};

std::optional<codepic::Code> read_code(GstPad *pad, GstBuffer *buf) {
  GstCaps *caps = gst_pad_get_current_caps(pad);
  GstVideoInfo info;
  const bool ok = caps && gst_video_info_from_caps(&info, caps) &&
                  GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_BGR;
  if (caps) gst_caps_unref(caps);
  GstVideoFrame f;
  if (!ok || !gst_video_frame_map(&f, &info, buf, GST_MAP_READ)) return std::nullopt;
  std::optional<codepic::Code> c = codepic::read_bgr(
      static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&f, 0)), GST_VIDEO_FRAME_WIDTH(&f),
      GST_VIDEO_FRAME_HEIGHT(&f), static_cast<size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&f, 0)));
  gst_video_frame_unmap(&f);
  return c;
}

/* The inference: one box on frame 0 of the batch record, labelled with the
 * code the frame's own pixels show. */
GstPadProbeReturn label_frame(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
  auto *cam = static_cast<Camera *>(data);
  GstBuffer *buf = GST_PAD_PROBE_INFO_BUFFER(info);
  const std::optional<codepic::Code> code = read_code(pad, buf);
  if (!code) ++cam->unreadable;
  buf = gst_buffer_make_writable(buf);
  GST_PAD_PROBE_INFO_DATA(info) = buf;
  GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(buf);
  if (!meta || meta->batch.frames.empty()) return GST_PAD_PROBE_OK;
  orvane::ai::DetectionBoxResult b;
  b.obj_label = b.class_label = code ? codepic::label(*code) : "unreadable";
  b.x1 = 0.25f;
  b.y1 = 0.25f;
  b.x2 = 0.75f;
  b.y2 = 0.75f;
  b.prob = 0.9f;
  meta->batch.frames[0].box_results.push_back(b);
  return GST_PAD_PROBE_OK;
}

/* Counts the frames reaching the sink by the labels of their records. */
GstPadProbeReturn count_published(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *pub = static_cast<Published *>(data);
  GstBuffer *buf = GST_PAD_PROBE_INFO_BUFFER(info);
  GstOvBatchMeta *meta = buf ? gst_buffer_get_ov_batch_meta(buf) : nullptr;
  if (!meta) return GST_PAD_PROBE_OK;
  std::lock_guard<std::mutex> lock(pub->m);
  for (const VideoFrameData &f : meta->batch.frames) {
    int mark = 0, number = 0;
    if (f.box_results.empty() ||
        std::sscanf(f.box_results[0].obj_label.c_str(), "%d:%d", &mark, &number) != 2)
      continue;
    if (number == 0) {
      if (pub->frames[mark] > 0) pub->tail = true;
      continue;
    }
    ++pub->frames[mark];
    pub->last[mark] = number;
  }
  return GST_PAD_PROBE_OK;
}

/* File mode: numbered frames are held back until the subscriber has heard
 * the warm-up pictures; each time they come too early the main thread plays
 * the file again from its start. */
struct FileGate {
  std::string go;
  std::atomic<bool> live{false};
  std::atomic<bool> seek_wanted{false};
  bool held = false;  /* streaming thread: numbered frames dropped since the last warm-up */
};

GstPadProbeReturn gate_frame(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
  auto *g = static_cast<FileGate *>(data);
  if (g->live) return GST_PAD_PROBE_OK;
  const std::optional<codepic::Code> code = read_code(pad, GST_PAD_PROBE_INFO_BUFFER(info));
  if (code && code->number == 0) {
    g->held = false;
    if (exists(g->go)) g->live = true;
    return GST_PAD_PROBE_OK;
  }
  if (!g->held) {
    g->held = true;
    g->seek_wanted = true;
  }
  return GST_PAD_PROBE_DROP;
}

void add_probe(GstElement *pipeline, const char *element, const char *pad_name,
               GstPadProbeCallback cb, gpointer data) {
  GstElement *e = gst_bin_get_by_name(GST_BIN(pipeline), element);
  GstPad *pad = gst_element_get_static_pad(e, pad_name);
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, cb, data, nullptr);
  gst_object_unref(pad);
  gst_object_unref(e);
}

std::string write_device_file(const std::string &dir, int mark, const std::string &protocol) {
  const std::string path = dir + "/camera-" + std::to_string(mark) + ".txt";
  std::ofstream out(path);
  out << codepic::camera_stream(mark) << "\n"          // stream_id
      << "02:00:00:00:00:" << std::hex << (mark & 0xff) << std::dec << "\n"  // mac
      << "127.0.0.1\n"                                  // ip
      << 8554 << "\n"                                   // port
      << "rtsp://127.0.0.1/" << codepic::camera_stream(mark) << "\n"  // uri
      << "test maker\n"                                 // manufacturer
      << "code-picture camera\n"                        // model
      << codepic::camera_serial(mark) << "\n"           // serial
      << "1.0\n"                                        // fw_version
      << "dev-" << mark << "\n"                         // dev_id
      << "online\n"                                     // status
      << "camera\n"                                     // kind
      << protocol << "\n";                              // protocol
  return path;
}

GstBuffer *code_frame(const Camera &cam, uint16_t number, uint64_t index) {
  const size_t stride = static_cast<size_t>(GST_ROUND_UP_4(cam.width * 3));
  GstBuffer *buf = gst_buffer_new_allocate(nullptr, stride * cam.height, nullptr);
  GstMapInfo map;
  gst_buffer_map(buf, &map, GST_MAP_WRITE);
  codepic::paint_bgr(map.data, cam.width, cam.height, stride,
                     codepic::Code{number, static_cast<uint8_t>(cam.mark)});
  gst_buffer_unmap(buf, &map);
  // No offset: real sources carry none.
  GST_BUFFER_PTS(buf) = index * kFrameTime;
  GST_BUFFER_DURATION(buf) = kFrameTime;
  return buf;
}

std::string caps_of(const Camera &cam) {
  return "video/x-raw,format=BGR,width=" + std::to_string(cam.width) +
         ",height=" + std::to_string(cam.height) + ",framerate=30/1";
}

std::string appsrc_of(const Camera &cam, const std::string &name) {
  const size_t frame = static_cast<size_t>(GST_ROUND_UP_4(cam.width * 3)) * cam.height;
  return "appsrc name=" + name + " format=time block=true max-bytes=" + std::to_string(4 * frame) +
         " caps=\"" + caps_of(cam) + "\"";
}

/* Writes the file of the file mode; false on failure. */
bool write_file(const Camera &cam, const std::string &path, const std::string &codec, int frames) {
  const std::string enc = codec == "vp8"
                              ? "vp8enc deadline=1 target-bitrate=4000000 ! webmmux"
                              : "jpegenc ! avimux";
  const std::string launch = appsrc_of(cam, "src") + " ! videoconvert ! video/x-raw,format=I420 ! " + enc +
                             " ! filesink location=\"" + path + "\"";
  GError *err = nullptr;
  GstElement *p = gst_parse_launch(launch.c_str(), &err);
  if (!p || err) {
    std::fprintf(stderr, "file pipeline: %s\n", err ? err->message : "?");
    return false;
  }
  GstElement *src = gst_bin_get_by_name(GST_BIN(p), "src");
  gst_element_set_state(p, GST_STATE_PLAYING);
  uint64_t index = 0;
  for (int n = 0; n < kFileWarmup + frames; ++n) {
    const uint16_t number = n < kFileWarmup ? 0 : static_cast<uint16_t>(n - kFileWarmup + 1);
    gst_app_src_push_buffer(GST_APP_SRC(src), code_frame(cam, number, index++));
  }
  gst_app_src_end_of_stream(GST_APP_SRC(src));
  GstBus *bus = gst_element_get_bus(p);
  GstMessage *msg = gst_bus_timed_pop_filtered(
      bus, 120 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  const bool ok = msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
  if (msg) gst_message_unref(msg);
  gst_object_unref(bus);
  gst_object_unref(src);
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(p);
  return ok;
}

/* Pops the next EOS or error within `ms`; an error is printed and ends the
 * program. */
bool pop_eos(GstElement *pipeline, int ms) {
  GstBus *bus = gst_element_get_bus(pipeline);
  GstMessage *msg = gst_bus_timed_pop_filtered(
      bus, static_cast<GstClockTime>(ms) * GST_MSECOND,
      static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  gst_object_unref(bus);
  if (!msg) return false;
  if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
    GError *e = nullptr;
    gchar *dbg = nullptr;
    gst_message_parse_error(msg, &e, &dbg);
    std::fprintf(stderr, "error from %s: %s (%s)\n", GST_OBJECT_NAME(GST_MESSAGE_SRC(msg)),
                 e ? e->message : "?", dbg ? dbg : "");
    std::fflush(stderr);
    std::_Exit(5);
  }
  gst_message_unref(msg);
  return true;
}

/* appsrc and batch modes: warm-up pictures on every camera until `go`
 * exists, then 1..frames at `fps` (0: as fast as they go), then the end of
 * stream.  Cameras are fed in turn with the same time stamps. */
bool feed(GstElement *pipeline, std::vector<std::unique_ptr<Camera>> &cams, const std::string &go,
          int frames, int fps, Clock::time_point &go_time) {
  uint64_t index = 0;
  const auto give_up = Clock::now() + kGiveUp;
  while (!go.empty() && !exists(go)) {
    if (Clock::now() > give_up) {
      std::fprintf(stderr, "no subscriber saw a frame\n");
      return false;
    }
    for (auto &c : cams) gst_app_src_push_buffer(GST_APP_SRC(c->src), code_frame(*c, 0, index));
    ++index;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  go_time = Clock::now();
  for (int n = 1; n <= frames; ++n, ++index) {
    if (fps > 0) std::this_thread::sleep_until(go_time + std::chrono::microseconds(1000000LL * n / fps));
    for (auto &c : cams)
      if (gst_app_src_push_buffer(GST_APP_SRC(c->src),
                                  code_frame(*c, static_cast<uint16_t>(n), index)) != GST_FLOW_OK) {
        std::fprintf(stderr, "push of frame %d failed\n", n);
        return false;
      }
  }
  for (auto &c : cams) gst_app_src_end_of_stream(GST_APP_SRC(c->src));
  return pop_eos(pipeline, 60000);
}

}  // namespace

int main(int argc, char **argv) {
  gst_init(&argc, &argv);
  int frames = 100, fps = 0, mark = 0x5a, mark2 = 0xa5;
  std::string source = "appsrc", dir = ".", go, codec = "jpeg", url,
              taggroups = "VideoFrameData+DetectionBoxData+DeviceInfoData";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i], v = argv[i + 1];
    if (k == "--source") source = v;
    else if (k == "--frames") frames = std::atoi(v.c_str());
    else if (k == "--fps") fps = std::atoi(v.c_str());
    else if (k == "--mark") mark = std::atoi(v.c_str());
    else if (k == "--mark2") mark2 = std::atoi(v.c_str());
    else if (k == "--dir") dir = v;
    else if (k == "--go") go = v;
    else if (k == "--codec") codec = v;
    else if (k == "--url") url = v;
    else if (k == "--taggroups") taggroups = v;
  }
  mkdir(dir.c_str(), 0700);

  std::vector<std::unique_ptr<Camera>> cams;
  cams.push_back(std::make_unique<Camera>());
  cams[0]->mark = mark;
  if (source == "batch") {
    cams.push_back(std::make_unique<Camera>());
    cams[1]->mark = mark2;
    cams[1]->width = 256;
    cams[1]->height = 192;
  }
  for (auto &c : cams) c->devinfo = write_device_file(dir, c->mark, source);

  const std::string sink = "ovedgesink name=sink taggroups=" + taggroups;
  const std::string writer = "ovmetawriter name=w0 devinfo=\"" + cams[0]->devinfo + "\"";
  const std::string decoded = " ! videoconvert ! video/x-raw,format=BGR ! " + writer + " ! ";
  std::string launch, video;
  if (source == "appsrc") {
    launch = appsrc_of(*cams[0], "src0") + " ! " + writer + " ! " + sink + " sync=false";
  } else if (source == "file") {
    video = dir + (codec == "vp8" ? "/camera.webm" : "/camera.avi");
    if (!write_file(*cams[0], video, codec, frames)) return 2;
    // At its own pace a late frame is still published: the counts must be
    // exact on a busy machine.
    launch = "filesrc location=\"" + video + "\" ! decodebin" + decoded + sink +
             (fps > 0 ? " sync=true max-lateness=-1" : " sync=false");
  } else if (source == "rtsp") {
    launch = "rtspsrc location=" + url + " latency=0 protocols=tcp ! decodebin" + decoded + sink +
             " sync=false";
  } else if (source == "batch") {
    launch = "ovvideobatch name=b ! " + sink + " all-frames=true sync=false ";
    for (size_t i = 0; i < cams.size(); ++i) {
      const std::string k = std::to_string(i);
      launch += " " + appsrc_of(*cams[i], "src" + k) + " ! ovmetawriter name=w" + k +
                " devinfo=\"" + cams[i]->devinfo + "\" ! b.sink_" + k;
    }
  } else {
    std::fprintf(stderr, "unknown source %s\n", source.c_str());
    return 2;
  }

  GError *err = nullptr;
  GstElement *pipeline = gst_parse_launch(launch.c_str(), &err);
  if (!pipeline || err) {
    std::fprintf(stderr, "pipeline: %s\n", err ? err->message : "?");
    return 2;
  }
  Published pub;
  FileGate gate;
  gate.go = go;
  for (size_t i = 0; i < cams.size(); ++i) {
    const std::string w = "w" + std::to_string(i);
    add_probe(pipeline, w.c_str(), "src", label_frame, cams[i].get());
    if (GstElement *s = gst_bin_get_by_name(GST_BIN(pipeline), ("src" + std::to_string(i)).c_str())) {
      cams[i]->src = s;
      gst_object_unref(s);  // the pipeline keeps it
    }
  }
  add_probe(pipeline, "sink", "sink", count_published, &pub);
  if (source == "file") add_probe(pipeline, "w0", "sink", gate_frame, &gate);

  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    std::fprintf(stderr, "cannot start the publisher\n");
    return 2;
  }
  std::printf("playing\n");
  std::fflush(stdout);

  Clock::time_point go_time = Clock::now();
  bool ok = true;
  if (source == "appsrc" || source == "batch") {
    ok = feed(pipeline, cams, go, frames, fps, go_time);
  } else if (source == "file") {
    const auto give_up = Clock::now() + kGiveUp;
    bool was_live = false;
    for (;;) {
      const bool eos = pop_eos(pipeline, 20);
      if (gate.live && !was_live) {
        was_live = true;
        go_time = Clock::now();
      }
      if (eos && gate.live) {
        // An end of stream from before the last replay does not count.
        std::lock_guard<std::mutex> lock(pub.m);
        if (pub.last[mark] == frames) break;
        continue;
      }
      if (!gate.live && Clock::now() > give_up) {
        std::fprintf(stderr, "no subscriber saw a frame\n");
        ok = false;
        break;
      }
      if ((eos || gate.seek_wanted) && !gate.live) {
        gate.seek_wanted = false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gst_element_seek_simple(pipeline, GST_FORMAT_TIME,
                                static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT),
                                0);
      }
    }
  } else {  // rtsp
    const auto give_up = Clock::now() + std::chrono::seconds(120);
    bool numbered = false;
    while (!pub.tail) {
      if (pop_eos(pipeline, 20)) {
        std::fprintf(stderr, "the camera's stream ended before its last frame\n");
        ok = false;
        break;
      }
      if (!numbered) {
        std::lock_guard<std::mutex> lock(pub.m);
        if (pub.frames[mark] > 0) {
          numbered = true;
          go_time = Clock::now();
        }
      }
      if (Clock::now() > give_up) {
        std::fprintf(stderr, "the camera never showed its last frame\n");
        ok = false;
        break;
      }
    }
    if (ok) {
      gst_element_send_event(pipeline, gst_event_new_eos());
      pop_eos(pipeline, 10000);
    }
  }
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - go_time).count();
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  {
    std::lock_guard<std::mutex> lock(pub.m);
    for (auto &c : cams)
      std::printf("published %d %d last %d unreadable %d\n", c->mark, pub.frames[c->mark],
                  pub.last[c->mark], c->unreadable.load());
  }
  std::printf("done elapsed-ms %lld\n", static_cast<long long>(elapsed));
  std::fflush(stdout);
  return ok ? 0 : 4;
}
