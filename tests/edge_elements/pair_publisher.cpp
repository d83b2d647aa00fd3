/* edge-pair-publisher: the publishing process of the bus pairing tests.
 * Publishes 320x240 BGR frames through ovedgesink whose pixels tell their
 * own number and publisher, each with a batch record: frame id = number,
 * one box labelled "<stream>:<mark>:<number>", one device
 * "dev-<stream>-<mark>".
 *
 *   edge-pair-publisher --frames N --stream S [--fps F] [--context C]
 *                       [--go FILE] [--taggroups T] [--mark M]
 *
 * Once playing it prints "playing".  Until FILE exists it repeats frame 0
 * every 50 ms (the subscriber creates FILE once it sees one: the bus has
 * matched), then publishes frames 1..N, at F per second (0: as fast as it
 * can), ends the stream and prints "published N max-gap-ms G elapsed-ms E":
 * the longest time between two numbered frames reaching the sink (a write
 * that blocks shows here) and the time from the first numbered frame to the
 * end of the stream. */
#include <gst/gst.h>
#include <gst/app/gstappsrc.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "gstovmeta.h"
#include "gstovmeta_utils.h"
#include "pair_picture.h"

namespace {

bool exists(const std::string &path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

GstBuffer *make_frame(uint32_t n, const std::string &stream, uint8_t mark) {
  GstBuffer *buf = gst_buffer_new_allocate(nullptr, pairtest::kBytes, nullptr);
  GstMapInfo map;
  gst_buffer_map(buf, &map, GST_MAP_WRITE);
  pairtest::paint(map.data, n, mark);
  gst_buffer_unmap(buf, &map);
  GST_BUFFER_OFFSET(buf) = n;
  GstOvBatchMeta *meta = try_get_ov_batch_meta(buf);
  DeviceInfoData dev;
  dev.stream_id = "dev-" + stream + "-" + std::to_string(mark);
  dev.serial = "SN-" + stream;
  meta->batch.devices.push_back(dev);
  VideoFrameData f;
  f.stream_id = stream;
  f.frame_id = n;
  f.width = pairtest::kWidth;
  f.height = pairtest::kHeight;
  f.channels = 3;
  f.device_idx = 0;
  orvane::ai::DetectionBoxResult b;
  b.obj_label = b.class_label = stream + ":" + std::to_string(mark) + ":" + std::to_string(n);
  b.x1 = 0.1f;
  b.y1 = 0.2f;
  b.x2 = 0.5f;
  b.y2 = 0.6f;
  b.prob = 0.9f;
  f.box_results.push_back(b);
  meta->batch.frames.push_back(f);
  return buf;
}

using Clock = std::chrono::steady_clock;

/* When numbered frames reach the sink: the longest gap between two and the
 * first one's time.  Written by the streaming thread only, read after the
 * end of stream. */
struct SinkTimes {
  Clock::time_point first{}, previous{};
  std::atomic<int64_t> max_gap_us{0};
  bool started = false;
};

GstPadProbeReturn time_frame(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *t = static_cast<SinkTimes *>(data);
  GstBuffer *buf = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!buf || GST_BUFFER_OFFSET(buf) == 0) return GST_PAD_PROBE_OK;
  const Clock::time_point now = Clock::now();
  if (t->started) {
    const int64_t gap =
        std::chrono::duration_cast<std::chrono::microseconds>(now - t->previous).count();
    t->max_gap_us = std::max<int64_t>(t->max_gap_us, gap);
  } else {
    t->first = now;
    t->started = true;
  }
  t->previous = now;
  return GST_PAD_PROBE_OK;
}

}  // namespace

int main(int argc, char **argv) {
  gst_init(&argc, &argv);
  int frames = 100, fps = 0, mark = 0x5a;
  std::string stream = "s", context, go, taggroups = "VideoFrameData+DetectionBoxData+DeviceInfoData";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i], v = argv[i + 1];
    if (k == "--frames") frames = std::atoi(v.c_str());
    else if (k == "--fps") fps = std::atoi(v.c_str());
    else if (k == "--stream") stream = v;
    else if (k == "--context") context = v;
    else if (k == "--go") go = v;
    else if (k == "--taggroups") taggroups = v;
    else if (k == "--mark") mark = std::atoi(v.c_str());
  }
  std::string launch = "appsrc name=src format=time caps=video/x-raw,format=BGR,width=" +
                       std::to_string(pairtest::kWidth) + ",height=" +
                       std::to_string(pairtest::kHeight) +
                       ",framerate=30/1 ! ovedgesink name=sink sync=false taggroups=" + taggroups;
  if (!context.empty()) launch += " context-id=" + context;
  GError *err = nullptr;
  GstElement *pipeline = gst_parse_launch(launch.c_str(), &err);
  if (!pipeline) {
    std::fprintf(stderr, "pipeline: %s\n", err ? err->message : "?");
    return 2;
  }
  GstElement *src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
  SinkTimes times;
  {
    GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    GstPad *pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, time_frame, &times, nullptr);
    gst_object_unref(pad);
    gst_object_unref(sink);
  }
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    std::fprintf(stderr, "cannot start the publisher\n");
    return 2;
  }
  std::printf("playing\n");
  std::fflush(stdout);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!go.empty() && !exists(go)) {
    if (std::chrono::steady_clock::now() > give_up) {
      std::fprintf(stderr, "no subscriber saw a frame\n");
      return 3;
    }
    gst_app_src_push_buffer(GST_APP_SRC(src), make_frame(0, stream, static_cast<uint8_t>(mark)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const auto start = std::chrono::steady_clock::now();
  for (int n = 1; n <= frames; ++n) {
    if (fps > 0) std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * n / fps));
    if (gst_app_src_push_buffer(GST_APP_SRC(src),
                                make_frame(static_cast<uint32_t>(n), stream,
                                           static_cast<uint8_t>(mark))) != GST_FLOW_OK) {
      std::fprintf(stderr, "push of frame %d failed\n", n);
      return 4;
    }
  }
  gst_app_src_end_of_stream(GST_APP_SRC(src));
  GstBus *bus = gst_element_get_bus(pipeline);
  GstMessage *msg = gst_bus_timed_pop_filtered(bus, 60 * GST_SECOND,
                                               static_cast<GstMessageType>(GST_MESSAGE_EOS |
                                                                           GST_MESSAGE_ERROR));
  const bool ok = msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      Clock::now() - (times.started ? times.first : Clock::now()));
  if (msg) gst_message_unref(msg);
  gst_object_unref(bus);
  gst_object_unref(src);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  std::printf("published %d max-gap-ms %lld elapsed-ms %lld\n", frames,
              static_cast<long long>(times.max_gap_us / 1000),
              static_cast<long long>(elapsed.count()));
  std::fflush(stdout);
  return ok ? 0 : 5;
}
