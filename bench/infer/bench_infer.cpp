/* Inference benchmarks, each against its peer measured in the same run:
 *
 *   bench_infer pipeline ENGINE CFG WEIGHTS LAYERS BATCH ITERATIONS
 *     frames/s of videotestsrc ! ovrt ! fakesink (BATCH frames stacked in one
 *     buffer, with frame records) against a bare OpenCV DNN forward of the
 *     same network, layers and batch.  The bare forward is measured before
 *     and after the pipeline and averaged.
 *   bench_infer preprocess ENGINE ITERATIONS
 *     ms per 4-frame batch of 640x480 BGR into 4x3xHxW float through resize +
 *     TensorRT::Update, against cv::dnn::blobFromImages.
 *
 * Prints "RESULT: what | value | peer | ratio" lines.
 */
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <gst/gst.h>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "TensorRT.h"
#include "gstovmeta.h"
#include "gstovmeta_utils.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::vector<std::string> split(const std::string &s) {
  std::vector<std::string> out;
  std::stringstream ss(s);
  std::string item;
  while (std::getline(ss, item, ','))
    out.push_back(item);
  return out;
}

/* frames/s of a bare forward over `iterations` runs (after one warm-up). */
double bare_fps(cv::dnn::Net &net, const cv::Mat &blob, const std::vector<std::string> &layers,
                int batch, int iterations) {
  std::vector<cv::Mat> outs;
  net.setInput(blob);
  net.forward(outs, layers);
  auto t0 = Clock::now();
  for (int i = 0; i < iterations; ++i) {
    net.setInput(blob);
    net.forward(outs, layers);
  }
  return batch * iterations / seconds_since(t0);
}

struct Timing {
  int batch = 1;
  int height = 0, width = 0;
  std::vector<Clock::time_point> arrivals;
};

/* Gives each stacked image its frame record, as the batch element would. */
GstPadProbeReturn add_frames(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *t = static_cast<Timing *>(data);
  GstBuffer *buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  GstOvBatchMeta *meta = try_get_ov_batch_meta(buffer);
  for (int k = 0; meta && k < t->batch; ++k) {
    VideoFrameData f;
    f.frame_id = static_cast<uint32_t>(k);
    f.width = static_cast<uint32_t>(t->width);
    f.height = static_cast<uint32_t>(t->height);
    f.channels = 3;
    meta->batch.frames.push_back(f);
  }
  return GST_PAD_PROBE_OK;
}

void on_handoff(GstElement *, GstBuffer *, GstPad *, gpointer data) {
  static_cast<Timing *>(data)->arrivals.push_back(Clock::now());
}

double pipeline_fps(const std::string &engine, int width, int height, int batch, int iterations) {
  Timing timing;
  timing.batch = batch;
  timing.width = width;
  timing.height = height;
  /* A cheap pattern: the source's drawing time is not the element's.  Batches
   * come from ovvideobatch over `batch` sources when it is there, else from
   * one source of stacked frames given their records by a probe. */
  const std::string buffers = std::to_string(iterations + 1);
  const std::string caps = "video/x-raw,format=BGR,width=" + std::to_string(width) + ",height=";
  const std::string tail = "ovrt name=rt model=" + engine + " batch=" + std::to_string(batch) +
                           " ! fakesink name=sink sync=false signal-handoffs=true";
  GstElementFactory *batcher = gst_element_factory_find("ovvideobatch");
  const bool use_batcher = batch > 1 && batcher != nullptr;
  if (batcher)
    gst_object_unref(batcher);
  std::string launch;
  if (use_batcher) {
    launch = "ovvideobatch name=b ! " + tail;
    for (int k = 0; k < batch; ++k)
      launch += " videotestsrc pattern=black num-buffers=" + buffers + " ! " + caps +
                std::to_string(height) + ",framerate=30/1 ! b.";
  } else {
    launch = "videotestsrc pattern=black num-buffers=" + buffers + " ! " + caps +
             std::to_string(height * batch) + " ! " + tail;
  }
  std::printf("pipeline: %s\n", launch.c_str());
  GError *err = nullptr;
  GstElement *pipeline = gst_parse_launch(launch.c_str(), &err);
  if (!pipeline) {
    std::cerr << "bench_infer: " << (err ? err->message : "cannot build the pipeline") << "\n";
    return 0;
  }
  if (!use_batcher && batch > 1) {
    GstElement *rt = gst_bin_get_by_name(GST_BIN(pipeline), "rt");
    GstPad *sink = gst_element_get_static_pad(rt, "sink");
    gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_BUFFER, add_frames, &timing, nullptr);
    gst_object_unref(sink);
    gst_object_unref(rt);
  }
  GstElement *fakesink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  g_signal_connect(fakesink, "handoff", G_CALLBACK(on_handoff), &timing);
  gst_object_unref(fakesink);

  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus *bus = gst_element_get_bus(pipeline);
  GstMessage *msg = gst_bus_timed_pop_filtered(bus, GST_CLOCK_TIME_NONE,
                                               GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  bool ok = msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
  if (!ok)
    std::cerr << "bench_infer: the pipeline failed\n";
  if (msg)
    gst_message_unref(msg);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  /* Each handoff delivers one list's frame buffer and its tensor buffer. */
  std::vector<Clock::time_point> frames;
  for (size_t i = 0; i < timing.arrivals.size(); i += 2)
    frames.push_back(timing.arrivals[i]);
  if (!ok || frames.size() < 2)
    return 0;
  double span = std::chrono::duration<double>(frames.back() - frames.front()).count();
  return batch * static_cast<double>(frames.size() - 1) / span;
}

int run_pipeline(int argc, char **argv) {
  if (argc != 8) {
    std::cerr << "usage: bench_infer pipeline ENGINE CFG WEIGHTS LAYERS BATCH ITERATIONS\n";
    return 2;
  }
  std::string engine = argv[2], cfg = argv[3], weights = argv[4];
  std::vector<std::string> layers = split(argv[5]);
  int batch = std::atoi(argv[6]), iterations = std::atoi(argv[7]);
  cv::dnn::Net net = cv::dnn::readNetFromDarknet(cfg, weights);
  net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
  /* The input size the engine was built for comes from the cfg's [net]. */
  int width = 416, height = 416;
  {
    std::ifstream in(cfg);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("width=", 0) == 0)
        width = std::atoi(line.c_str() + 6);
      if (line.rfind("height=", 0) == 0)
        height = std::atoi(line.c_str() + 7);
      if (line.rfind("[conv", 0) == 0)
        break;
    }
  }
  if (const char *size = std::getenv("OV_BENCH_INPUT")) {
    width = height = std::atoi(size);
  }
  int shape[4] = {batch, 3, height, width};
  /* The same input the pipeline feeds: a black frame less the default means,
   * so both runs do the same arithmetic (values decide denormal slow paths). */
  cv::Mat blob(4, shape, CV_32F);
  const float means[3] = {103.94f, 116.78f, 123.68f};
  for (int b = 0; b < batch; ++b)
    for (int c = 0; c < 3; ++c) {
      cv::Mat plane(height, width, CV_32F, blob.ptr<float>(b, c));
      plane.setTo(-means[c]);
    }
  std::string name = cfg.substr(cfg.find_last_of("/") + 1);
  name = name.substr(0, name.rfind(".cfg"));
  double bare1 = bare_fps(net, blob, layers, batch, iterations);
  double ovrt = pipeline_fps(engine, width, height, batch, iterations);
  double bare2 = bare_fps(net, blob, layers, batch, iterations);
  double bare = (bare1 + bare2) / 2;
  if (ovrt <= 0)
    return 1;
  std::printf("bare forward %.3f and %.3f frames/s, ovrt pipeline %.3f frames/s (%d threads)\n",
              bare1, bare2, ovrt, cv::getNumThreads());
  std::printf("RESULT: %s %dx%d batch %d: ovrt frames/s | %.3f | bare OpenCV DNN %.3f | %.3f (target <= 1.03)\n",
              name.c_str(), width, height, batch, ovrt, bare, bare / ovrt);
  return 0;
}

int run_preprocess(int argc, char **argv) {
  if (argc != 4) {
    std::cerr << "usage: bench_infer preprocess ENGINE ITERATIONS\n";
    return 2;
  }
  const int iterations = std::atoi(argv[3]);
  auto engine = MakeTensorRT(argv[2], 1.0f, "103.94 116.78 123.68", -1, 4);
  if (!engine->Load() || engine->inputDims.size() < 4)
    return 1;
  const int h = static_cast<int>(engine->inputDims[2]), w = static_cast<int>(engine->inputDims[3]);
  std::vector<cv::Mat> frames(4);
  for (auto &f : frames) {
    f.create(480, 640, CV_8UC3);
    cv::randu(f, 0, 255);
  }
  cv::Mat resized, blob;
  std::vector<double> ours, peer;
  for (int it = 0; it < iterations; ++it) {
    auto t0 = Clock::now();
    for (int i = 0; i < 4; ++i) {
      cv::resize(frames[static_cast<size_t>(i)], resized, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
      engine->Update(resized, i);
    }
    ours.push_back(seconds_since(t0) * 1000);
    t0 = Clock::now();
    blob = cv::dnn::blobFromImages(frames, 1.0, cv::Size(w, h), cv::Scalar(103.94, 116.78, 123.68),
                                   false, false);
    peer.push_back(seconds_since(t0) * 1000);
  }
  std::sort(ours.begin(), ours.end());
  std::sort(peer.begin(), peer.end());
  double a = ours[ours.size() / 2], b = peer[peer.size() / 2];
  std::printf("RESULT: preprocess 4x640x480 BGR -> 4x3x%dx%d, ms per batch (median) | %.3f | blobFromImages %.3f | %.3f (target <= 1.0)\n",
              h, w, a, b, a / b);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  gst_init(&argc, &argv);
  if (argc >= 2 && std::string(argv[1]) == "pipeline")
    return run_pipeline(argc, argv);
  if (argc >= 2 && std::string(argv[1]) == "preprocess")
    return run_preprocess(argc, argv);
  std::cerr << "usage: bench_infer pipeline|preprocess ...\n";
  return 2;
}
