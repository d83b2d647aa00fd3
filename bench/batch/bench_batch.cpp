// Stacking 4 live-like streams into one image: ovvideobatch against
// compositor with the same layout, both against memcpy bandwidth, in one run.
//
//   bench_batch [frames-per-run] [runs]
//
// Inputs are pictures of videotestsrc pattern=ball (a new picture every
// frame), BGR, drawn once beforehand and fed through appsrc, so that the
// sources' drawing does not dominate what is measured.  Each input cycles
// through its own 8 pictures: more bytes than any cache holds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

namespace {

constexpr int kInputs = 4;
constexpr int kPictures = 8;

struct Size {
  int width, height;
};

std::string caps_of(Size s) {
  return "video/x-raw,format=BGR,width=" + std::to_string(s.width) +
         ",height=" + std::to_string(s.height) + ",framerate=30/1";
}

/* kInputs × kPictures distinct ball pictures. */
std::vector<GstBuffer *> draw_pictures(Size s) {
  std::vector<GstBuffer *> out;
  const std::string d = "videotestsrc pattern=ball num-buffers=" +
                        std::to_string(kInputs * kPictures) + " ! " + caps_of(s) +
                        " ! appsink name=out sync=false";
  GstElement *p = gst_parse_launch(d.c_str(), nullptr);
  if (!p)
    return out;
  GstElement *sink = gst_bin_get_by_name(GST_BIN(p), "out");
  gst_element_set_state(p, GST_STATE_PLAYING);
  while (GstSample *smp = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
    out.push_back(gst_buffer_ref(gst_sample_get_buffer(smp)));
    gst_sample_unref(smp);
  }
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(p);
  return out;
}

std::string source(int i, Size s) {
  const size_t frame = size_t(GST_ROUND_UP_4(s.width * 3)) * s.height;
  return "appsrc name=in" + std::to_string(i) + " format=time block=true max-bytes=" +
         std::to_string(3 * frame) + " caps=\"" + caps_of(s) + "\" ! ";
}

std::string batch_pipeline(Size s) {
  std::string d = "ovvideobatch name=mix ! fakesink name=out sync=false ";
  for (int i = 0; i < kInputs; ++i)
    d += source(i, s) + "mix.sink_" + std::to_string(i) + " ";
  return d;
}

std::string compositor_pipeline(Size s) {
  std::string d = "compositor name=mix background=black";
  for (int i = 0; i < kInputs; ++i)
    d += " sink_" + std::to_string(i) + "::xpos=0 sink_" + std::to_string(i) +
         "::ypos=" + std::to_string(i * s.height);
  d += " ! video/x-raw,format=BGR,width=" + std::to_string(s.width) +
       ",height=" + std::to_string(kInputs * s.height) + " ! fakesink name=out sync=false ";
  for (int i = 0; i < kInputs; ++i)
    d += source(i, s) + "mix.sink_" + std::to_string(i) + " ";
  return d;
}

void feed(GstElement *src, const std::vector<GstBuffer *> &pictures, int input, int frames) {
  for (int n = 0; n < frames; ++n) {
    // A new buffer object over the drawn picture's memory: no pixel copy here.
    GstBuffer *b = gst_buffer_copy(pictures[input * kPictures + n % kPictures]);
    GST_BUFFER_PTS(b) = gst_util_uint64_scale(n, GST_SECOND, 30);
    GST_BUFFER_DURATION(b) = gst_util_uint64_scale(n + 1, GST_SECOND, 30) - GST_BUFFER_PTS(b);
    if (gst_app_src_push_buffer(GST_APP_SRC(src), b) != GST_FLOW_OK)
      return;
  }
  gst_app_src_end_of_stream(GST_APP_SRC(src));
}

struct Count {
  guint64 buffers = 0;
  guint64 bytes = 0;
};

GstPadProbeReturn count_buffer(GstPad *, GstPadProbeInfo *info, gpointer data) {
  Count *c = static_cast<Count *>(data);
  c->buffers++;
  c->bytes += gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info));
  return GST_PAD_PROBE_OK;
}

/* Seconds from PLAYING to EOS; negative on failure or when not every frame
 * came out whole. */
double run_seconds(const std::string &description, const std::vector<GstBuffer *> &pictures,
                   int frames, size_t expected_frame_bytes) {
  GError *err = nullptr;
  GstElement *p = gst_parse_launch(description.c_str(), &err);
  if (err) {
    std::fprintf(stderr, "cannot build pipeline: %s\n", err->message);
    g_error_free(err);
    if (p)
      gst_object_unref(p);
    return -1;
  }
  std::vector<GstElement *> srcs;
  for (int i = 0; i < kInputs; ++i)
    srcs.push_back(gst_bin_get_by_name(GST_BIN(p), ("in" + std::to_string(i)).c_str()));
  Count count;
  GstElement *out = gst_bin_get_by_name(GST_BIN(p), "out");
  GstPad *outpad = gst_element_get_static_pad(out, "sink");
  gst_pad_add_probe(outpad, GST_PAD_PROBE_TYPE_BUFFER, count_buffer, &count, nullptr);
  gst_object_unref(outpad);
  gst_object_unref(out);
  gst_element_set_state(p, GST_STATE_PLAYING);
  auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> feeders;
  for (int i = 0; i < kInputs; ++i)
    feeders.emplace_back(feed, srcs[i], std::cref(pictures), i, frames);
  GstBus *bus = gst_element_get_bus(p);
  GstMessage *msg = gst_bus_timed_pop_filtered(
      bus, 120 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  auto t1 = std::chrono::steady_clock::now();
  double secs = std::chrono::duration<double>(t1 - t0).count();
  if (!msg || GST_MESSAGE_TYPE(msg) != GST_MESSAGE_EOS) {
    if (msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
      GError *e = nullptr;
      gst_message_parse_error(msg, &e, nullptr);
      std::fprintf(stderr, "pipeline error: %s\n", e ? e->message : "?");
      if (e)
        g_error_free(e);
    }
    secs = -1;
  }
  if (msg)
    gst_message_unref(msg);
  gst_object_unref(bus);
  // Stopping unblocks feeders still waiting in a full appsrc.
  gst_element_set_state(p, GST_STATE_NULL);
  for (auto &t : feeders)
    t.join();
  for (GstElement *e : srcs)
    gst_object_unref(e);
  gst_object_unref(p);
  const guint64 want = guint64(frames) * expected_frame_bytes;
  if (secs > 0 && (count.buffers != guint64(frames) || count.bytes != want)) {
    std::fprintf(stderr, "got %" G_GUINT64_FORMAT " frames, %" G_GUINT64_FORMAT
                 " bytes; wanted %d frames, %" G_GUINT64_FORMAT " bytes\n",
                 count.buffers, count.bytes, frames, want);
    secs = -1;
  }
  return secs;
}

/* Output frames a second that plain memcpy of the same bytes (4 inputs into
 * one image) reaches: the bound for a mixer that copies rows.  The sources
 * cycle through as many distinct pictures as the mixers' inputs do, so the
 * cache helps neither more nor less; the better of one copy per picture and
 * one per row is taken. */
double memcpy_fps(Size s, double seconds) {
  const size_t row = size_t(GST_ROUND_UP_4(s.width * 3));
  const size_t frame = row * s.height;
  std::vector<unsigned char> in(frame * kInputs * kPictures), out(frame * kInputs);
  for (size_t i = 0; i < in.size(); ++i)
    in[i] = (unsigned char)(i * 131);
  double best = 0;
  for (bool by_rows : {false, true}) {
    int n = 0;
    auto t0 = std::chrono::steady_clock::now();
    double secs = 0;
    do {
      for (int k = 0; k < kInputs; ++k) {
        const unsigned char *src = in.data() + (k * kPictures + n % kPictures) * frame;
        unsigned char *dst = out.data() + k * frame;
        if (!by_rows) {
          std::memcpy(dst, src, frame);
          continue;
        }
        for (int y = 0; y < s.height; ++y)
          std::memcpy(dst + y * row, src + y * row, row);
      }
      ++n;
      secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    } while (secs < seconds);
    volatile unsigned char sink = out[n % out.size()];
    (void)sink;
    best = std::max(best, n / secs);
  }
  return best;
}

}  // namespace

int main(int argc, char **argv) {
#ifdef OV_PLUGIN_DIR
  g_setenv("GST_PLUGIN_PATH", OV_PLUGIN_DIR, FALSE);
#endif
  gst_init(&argc, &argv);
  const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

  std::printf("%d inputs, BGR, pattern=ball pictures, %d frames per run, best of %d\n", kInputs,
              frames, runs);
  std::printf("%-10s %12s %12s %12s %9s %9s\n", "input", "ovbatch/s", "compositor/s",
              "memcpy/s", "ov/comp", "ov/memcpy");
  bool ok = true;
  for (Size s : {Size{640, 480}, Size{1280, 720}}) {
    std::vector<GstBuffer *> pictures = draw_pictures(s);
    if (pictures.size() != size_t(kInputs * kPictures)) {
      std::fprintf(stderr, "could not draw the input pictures\n");
      ok = false;
      break;
    }
    double best_ov = 1e9, best_comp = 1e9, mcpy = 0;
    for (int r = 0; r < runs && ok; ++r) {
      // Interleaved so that drifts in machine load hit both alike.
      const size_t bytes = size_t(GST_ROUND_UP_4(s.width * 3)) * s.height * kInputs;
      const double b = run_seconds(batch_pipeline(s), pictures, frames, bytes);
      const double c = run_seconds(compositor_pipeline(s), pictures, frames, bytes);
      ok = b > 0 && c > 0;
      best_ov = std::min(best_ov, b);
      best_comp = std::min(best_comp, c);
      mcpy = std::max(mcpy, memcpy_fps(s, 0.5));
    }
    for (GstBuffer *b : pictures)
      gst_buffer_unref(b);
    if (!ok)
      break;
    char label[32];
    std::snprintf(label, sizeof label, "%dx%d", s.width, s.height);
    std::printf("%-10s %12.1f %12.1f %12.1f %9.2f %9.2f\n", label, frames / best_ov,
                frames / best_comp, mcpy, best_comp / best_ov, (frames / best_ov) / mcpy);
    std::printf("RESULT: ovvideobatch 4x%s frames/s | %.1f | compositor %.1f (target ratio >= 1.2) "
                "| %.2f\n",
                label, frames / best_ov, frames / best_comp, best_comp / best_ov);
    std::printf("RESULT: ovvideobatch 4x%s share of memcpy | %.1f | memcpy bound %.1f frames/s | %.2f\n",
                label, frames / best_ov, mcpy, (frames / best_ov) / mcpy);
  }
  std::printf("ov/comp: output frames/s of ovvideobatch over compositor (target >= 1.2)\n"
              "ov/memcpy: share of memcpy bandwidth (copying the same bytes) reached\n");
  return ok ? 0 : 1;
}
