/* The bus elements across processes: gst-launch-1.0 publishers with
 * ovedgesink, subscribers with ovedgesrc in this process (which time every
 * frame), 640x480 BGR, at 30 fps and at full speed, with 1 and 4 streams,
 * per tag group (VideoFrameData+DetectionBoxData) and combined ("uni").
 * Measured next to ddsperf at 921,600-byte samples and shmsink/shmsrc moving
 * the same frames, all on the same loopback configuration.
 *
 *   bench_bus [frames-at-30fps] [frames-at-full-speed]
 *   bench_bus --security [frames-at-30fps] [frames-at-full-speed (3000)]
 *       only the secured bus (keys made by bus-keys, frames encrypted) next
 *       to the plain one, one stream each, back to back
 */
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include "gstovmeta.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string g_root;      /* configuration tree of this run */
int g_domain = 0;

/* Local time in milliseconds since the epoch, the scale of the digit time
 * stamps the sink gives fabricated frames (YYYYMMDDhhmmssmmm, local). */
int64_t digit_to_ms(uint64_t digits) {
  std::tm tm{};
  tm.tm_year = static_cast<int>(digits / 10000000000000ull) - 1900;
  tm.tm_mon = static_cast<int>(digits / 100000000000ull % 100) - 1;
  tm.tm_mday = static_cast<int>(digits / 1000000000ull % 100);
  tm.tm_hour = static_cast<int>(digits / 10000000ull % 100);
  tm.tm_min = static_cast<int>(digits / 100000ull % 100);
  tm.tm_sec = static_cast<int>(digits / 1000ull % 100);
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm)) * 1000 + static_cast<int64_t>(digits % 1000);
}

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

pid_t spawn(const std::string &command) {
  gchar **argv = nullptr;
  GError *err = nullptr;
  if (!g_shell_parse_argv(command.c_str(), nullptr, &argv, &err)) {
    std::fprintf(stderr, "bad command %s: %s\n", command.c_str(), err->message);
    g_error_free(err);
    return -1;
  }
  GPid pid = -1;
  if (!g_spawn_async(nullptr, argv, nullptr,
                     static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                              G_SPAWN_STDOUT_TO_DEV_NULL),
                     nullptr, nullptr, &pid, &err)) {
    std::fprintf(stderr, "cannot start %s: %s\n", command.c_str(), err->message);
    g_error_free(err);
  }
  g_strfreev(argv);
  return pid;
}

bool exited(pid_t pid) {
  int status = 0;
  return pid <= 0 || waitpid(pid, &status, WNOHANG) == pid;
}

struct Stream {
  GstElement *pipeline = nullptr;
  GstElement *sink = nullptr;
  std::set<uint32_t> ids;
  std::vector<double> latency_ms;
  Clock::time_point first, last;
  size_t frames = 0;
};

struct Outcome {
  double fps = 0;  /* per stream, first to last arrival */
  double p50 = 0, p99 = 0;
  long lost = 0;   /* gaps between the first and last frame ids, all streams */
  size_t frames = 0;
  double stop_ms = 0;  /* the slowest PLAYING -> NULL of a subscriber */
  double cpu_pct = 0;  /* this process (the subscribers), % of one core */
};

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

/* Subscribers first (one per stream, told apart by context id), then the
 * publishers (run in the configuration tree pub_root, when given); frames are
 * taken until the publishers are done and the bus has been quiet for a
 * second. */
Outcome run_bus(const std::string &pub_groups, const std::string &sub_groups, int streams,
                int frames, bool live, const std::string &pub_root = "") {
  const double cpu0 = cpu_seconds();
  const auto wall0 = Clock::now();
  std::vector<Stream> subs(streams);
  for (int i = 0; i < streams; ++i) {
    std::string desc = "ovedgesrc context-id=s" + std::to_string(i) +
                       (sub_groups.empty() ? "" : " taggroups=" + sub_groups) +
                       " ! video/x-raw,format=BGR ! appsink name=sink sync=false";
    subs[i].pipeline = gst_parse_launch(desc.c_str(), nullptr);
    subs[i].sink = gst_bin_get_by_name(GST_BIN(subs[i].pipeline), "sink");
    gst_element_set_state(subs[i].pipeline, GST_STATE_PLAYING);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<pid_t> pubs;
  for (int i = 0; i < streams; ++i)
    pubs.push_back(spawn((pub_root.empty() ? std::string() : "env -C " + pub_root + " ") +
                         "gst-launch-1.0 -q videotestsrc pattern=black is-live=" +
                         (live ? "true" : "false") + " num-buffers=" + std::to_string(frames) +
                         " ! video/x-raw,format=BGR,width=640,height=480,framerate=30/1"
                         " ! ovedgesink sync=false context-id=s" + std::to_string(i) +
                         " taggroups=" + pub_groups));
  auto quiet_since = Clock::now();
  const auto deadline = Clock::now() + std::chrono::seconds(frames / 30 + 30);
  bool publishing = true;
  while (Clock::now() < deadline) {
    bool got = false;
    for (Stream &s : subs) {
      GstSample *sample = gst_app_sink_try_pull_sample(GST_APP_SINK(s.sink), 0);
      if (!sample) continue;
      got = true;
      const auto t = Clock::now();
      const int64_t wall = now_ms();
      GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(gst_sample_get_buffer(sample));
      if (meta && !meta->batch.frames.empty()) {
        const VideoFrameData &f = meta->batch.frames[0];
        if (s.frames == 0) s.first = t;
        s.last = t;
        ++s.frames;
        s.ids.insert(f.frame_id);
        s.latency_ms.push_back(static_cast<double>(wall - digit_to_ms(f.timestamp)));
      }
      gst_sample_unref(sample);
    }
    if (publishing) {
      publishing = false;
      for (pid_t p : pubs) publishing |= !exited(p);
      if (!publishing) pubs.clear();
    }
    if (got) quiet_since = Clock::now();
    else if (!publishing && Clock::now() - quiet_since > std::chrono::seconds(1)) break;
    else std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  for (pid_t p : pubs) {
    kill(p, SIGKILL);
    waitpid(p, nullptr, 0);
  }
  Outcome o;
  o.cpu_pct = 100.0 * (cpu_seconds() - cpu0) /
              std::chrono::duration<double>(Clock::now() - wall0).count();
  std::vector<double> all;
  double fps_sum = 0;
  for (Stream &s : subs) {
    const auto t0 = Clock::now();
    gst_element_set_state(s.pipeline, GST_STATE_NULL);
    o.stop_ms = std::max(o.stop_ms, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    gst_object_unref(s.sink);
    gst_object_unref(s.pipeline);
    o.frames += s.frames;
    if (s.frames > 1)
      fps_sum += (s.frames - 1) / std::chrono::duration<double>(s.last - s.first).count();
    if (!s.ids.empty())
      o.lost += static_cast<long>(*s.ids.rbegin() - *s.ids.begin() + 1) - static_cast<long>(s.ids.size());
    all.insert(all.end(), s.latency_ms.begin(), s.latency_ms.end());
  }
  o.fps = streams ? fps_sum / streams : 0;
  o.p50 = percentile(all, 0.5);
  o.p99 = percentile(all, 0.99);
  return o;
}

/* ddsperf sub and pub at 921,600 bytes: the received rate averaged over the
 * seconds after the first. */
double run_ddsperf(const std::string &cyclone_xml) {
  const std::string xml = g_root + "/ddsperf.xml";
  std::ofstream(xml) << cyclone_xml;
  setenv("CYCLONEDDS_URI", ("file://" + xml).c_str(), 1);
  const std::string log = g_root + "/ddsperf-sub.log";
  const std::string dom = std::to_string(g_domain + 1);
  pid_t sub = spawn("sh -c \"exec ddsperf -i " + dom + " -D 7 sub > " + log + " 2>&1\"");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  pid_t pub = spawn("sh -c \"exec ddsperf -i " + dom + " -D 6 pub size 921600 > /dev/null 2>&1\"");
  waitpid(pub, nullptr, 0);
  waitpid(sub, nullptr, 0);
  unsetenv("CYCLONEDDS_URI");
  std::ifstream in(log);
  std::string line;
  std::vector<double> rates;
  const std::regex rate(R"(^\[\d+\]\s+([\d.]+)\s+size 921600 .* delta \d+ lost \d+ rate ([\d.]+) kS/s)");
  std::smatch m;
  while (std::getline(in, line))
    if (std::regex_search(line, m, rate) && std::stod(m[1]) > 1.5) rates.push_back(std::stod(m[2]) * 1000);
  if (rates.empty()) return 0;
  double sum = 0;
  for (double r : rates) sum += r;
  return sum / rates.size();
}

/* The same frames through shmsink / shmsrc. */
double run_shm(int frames) {
  for (const char *name : {"shmsrc", "shmsink"})
    if (GstElementFactory *f = gst_element_factory_find(name)) gst_object_unref(f);
    else return -1;
  const std::string socket = g_root + "/shm.sock";
  GstElement *p = gst_parse_launch(
      ("shmsrc socket-path=" + socket + " is-live=false ! video/x-raw,format=BGR,width=640,"
       "height=480,framerate=30/1 ! appsink name=sink sync=false").c_str(), nullptr);
  pid_t pub = spawn("gst-launch-1.0 -q videotestsrc pattern=black num-buffers=" +
                    std::to_string(frames) +
                    " ! video/x-raw,format=BGR,width=640,height=480,framerate=30/1 ! shmsink "
                    "socket-path=" + socket + " shm-size=40000000 wait-for-connection=true sync=false");
  for (int i = 0; i < 100 && !std::filesystem::exists(socket); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  GstElement *sink = gst_bin_get_by_name(GST_BIN(p), "sink");
  gst_element_set_state(p, GST_STATE_PLAYING);
  size_t n = 0;
  Clock::time_point first, last;
  while (GstSample *s = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), GST_SECOND)) {
    last = Clock::now();
    if (n++ == 0) first = last;
    gst_sample_unref(s);
  }
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(p);
  kill(pub, SIGKILL);
  waitpid(pub, nullptr, 0);
  return n > 1 ? (n - 1) / std::chrono::duration<double>(last - first).count() : 0;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

/* The shipped tree on this run's domain, authenticating as `node` of the
 * deployment in `keys`. */
bool secured_tree(const std::string &tree, const std::string &config, const std::string &keys,
                  const std::string &node, const std::string &dir) {
  std::filesystem::copy(tree, dir, std::filesystem::copy_options::recursive);
  std::ofstream(dir + "/config/TideMesh.xml") << config;
  const char *src = std::getenv("OV_SOURCE_DIR");
  const std::string cmd = std::string(src ? src : ".") + "/scripts/bus-keys --dir " + keys +
                          " --secure " + node + " " + dir + "/config/TideMesh.xml > /dev/null";
  return std::system(cmd.c_str()) == 0;
}

/* Plain and secured (frames encrypted), one stream of 640x480 BGR frames
 * (921,600 bytes) per tag group, at full speed and at 30 fps. */
int run_security(const std::string &tree, const std::string &config, int frames_live,
                 int frames_fast) {
  const char *src = std::getenv("OV_SOURCE_DIR");
  const std::string keys = g_root + "/keys";
  const std::string make = std::string(src ? src : ".") + "/scripts/bus-keys --dir " + keys +
                           " camera:publish viewer:subscribe > /dev/null";
  if (std::system(make.c_str()) != 0 ||
      !secured_tree(tree, config, keys, "viewer", g_root + "/viewer") ||
      !secured_tree(tree, config, keys, "camera", g_root + "/camera")) {
    std::fprintf(stderr, "bench_bus: could not make the keys of the secured bus\n");
    return 1;
  }
  // The configuration tree is the working folder ("." is searched before
  // any other root): this run's plain tree, or the viewer's for the
  // subscribers and the camera's for the publishers.  A secured publisher
  // is heard only after its handshake (a few hundred ms): what it writes
  // before is lost, so full speed takes more frames.  Full speed is run
  // three times each way, alternately, and the median taken: the machine's
  // other load moves single runs by half.
  const char *groups = "VideoFrameData+DetectionBoxData";
  const std::string plain_dir = g_root, viewer_dir = g_root + "/viewer", camera_dir = g_root + "/camera";
  auto run_in = [&](bool secured, int frames, bool live) {
    if (chdir((secured ? viewer_dir : plain_dir).c_str()) != 0) return Outcome();
    return run_bus(groups, "DetectionBoxData", 1, frames, live, secured ? camera_dir : plain_dir);
  };
  std::vector<double> plain_rates, sec_rates;
  Outcome plain_fast, sec_fast;
  for (int round = 0; round < 3; ++round) {
    plain_fast = run_in(false, frames_fast, false);
    sec_fast = run_in(true, frames_fast, false);
    plain_rates.push_back(plain_fast.fps);
    sec_rates.push_back(sec_fast.fps);
  }
  plain_fast.fps = percentile(plain_rates, 0.5);
  sec_fast.fps = percentile(sec_rates, 0.5);
  const Outcome plain_live = run_in(false, frames_live, true);
  const Outcome sec_live = run_in(true, frames_live, true);
  if (chdir("/") != 0) return 1;
  std::printf("full speed frames/s, three runs each: plain %.0f %.0f %.0f, secured %.0f %.0f %.0f\n",
              plain_rates[0], plain_rates[1], plain_rates[2], sec_rates[0], sec_rates[1], sec_rates[2]);
  std::printf("plain: full speed (median) %.1f frames/s, 30 fps %zu frames %ld lost p50 %.1f ms p99 %.1f ms "
              "subscriber CPU %.0f %%\n", plain_fast.fps, plain_live.frames, plain_live.lost,
              plain_live.p50, plain_live.p99, plain_live.cpu_pct);
  std::printf("secured: full speed (median) %.1f frames/s, 30 fps %zu frames %ld lost p50 %.1f ms p99 %.1f ms "
              "subscriber CPU %.0f %%\n", sec_fast.fps, sec_live.frames, sec_live.lost,
              sec_live.p50, sec_live.p99, sec_live.cpu_pct);
  const std::string what = std::string(groups) + " x1 secured";
  std::printf("RESULT: %s full-speed frames/s (median of 3) | %.1f | plain %.1f | %.2f\n", what.c_str(),
              sec_fast.fps, plain_fast.fps, plain_fast.fps > 0 ? sec_fast.fps / plain_fast.fps : 0);
  std::printf("RESULT: %s 30 fps frames / lost | %zu / %ld | plain %zu / %ld, limit 0 lost | -\n",
              what.c_str(), sec_live.frames, sec_live.lost, plain_live.frames, plain_live.lost);
  std::printf("RESULT: %s 30 fps p50 / p99 latency ms | %.1f / %.1f | plain %.1f / %.1f | %.2f\n",
              what.c_str(), sec_live.p50, sec_live.p99, plain_live.p50, plain_live.p99,
              plain_live.p50 > 0 ? sec_live.p50 / plain_live.p50 : 0);
  std::printf("RESULT: %s 30 fps subscriber CPU %% of a core | %.0f | plain %.0f | %.2f\n",
              what.c_str(), sec_live.cpu_pct, plain_live.cpu_pct,
              plain_live.cpu_pct > 0 ? sec_live.cpu_pct / plain_live.cpu_pct : 0);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const bool security = argc > 1 && std::strcmp(argv[1], "--security") == 0;
  if (security) {
    --argc;
    ++argv;
  }
  const int frames_live = argc > 1 ? std::atoi(argv[1]) : 150;
  const int frames_fast = argc > 2 ? std::atoi(argv[2]) : security ? 3000 : 600;
  gst_init(nullptr, nullptr);

  const char *src = std::getenv("OV_SOURCE_DIR");
  const std::string tree = std::string(src ? src : ".") + "/common/data_model";
  char tmpl[] = "/tmp/bench-bus-XXXXXX";
  g_root = mkdtemp(tmpl);
  std::filesystem::copy(tree, g_root, std::filesystem::copy_options::recursive);
  g_domain = 210 + getpid() % 10;
  std::string config = read_file(tree + "/config/TideMesh.loopback.xml");
  config.replace(config.find("<Domain id=\"any\">"), std::strlen("<Domain id=\"any\">"),
                 "<Domain id=\"" + std::to_string(g_domain) + "\">");
  std::ofstream(g_root + "/config/TideMesh.xml") << config;
  setenv("VXA_ROOT", g_root.c_str(), 1);
  const size_t a = config.find("<CycloneDDS xmlns"), b = config.find("</CycloneDDS>");
  std::string cyclone = config.substr(a, b + std::strlen("</CycloneDDS>") - a);
  cyclone.replace(cyclone.find("<Domain id=\"" + std::to_string(g_domain) + "\">"),
                  std::strlen("<Domain id=\"\">") + std::to_string(g_domain).size(),
                  "<Domain id=\"any\">");

  if (security) {
    const int rc = run_security(tree, config, frames_live, frames_fast);
    std::filesystem::remove_all(g_root);
    return rc;
  }

  const double dds = run_ddsperf(cyclone);
  const double shm = run_shm(frames_fast);
  std::printf("ddsperf 921600 B: %.0f samples/s; shmsink/shmsrc: %s\n", dds,
              shm < 0 ? "not installed (GStreamer's shm plug-in)" : std::to_string(shm).c_str());

  struct Mode { const char *name, *pub, *sub; };
  const Mode modes[] = {{"VideoFrameData+DetectionBoxData", "VideoFrameData+DetectionBoxData",
                         "DetectionBoxData"},
                        {"uni", "uni", "uni"}};
  for (const Mode &m : modes) {
    for (int streams : {1, 4}) {
      const Outcome live = run_bus(m.pub, m.sub, streams, frames_live, true);
      const Outcome fast = run_bus(m.pub, m.sub, streams, frames_fast, false);
      std::printf("%s, %d stream(s): 30 fps: %zu frames, %ld lost, p50 %.1f ms, p99 %.1f ms;"
                  " full speed: %.1f frames/s per stream, p50 %.1f ms, p99 %.1f ms\n",
                  m.name, streams, live.frames, live.lost, live.p50, live.p99, fast.fps, fast.p50,
                  fast.p99);
      const std::string what = std::string(m.name) + " x" + std::to_string(streams);
      std::printf("RESULT: %s full-speed frames/s (all streams) | %.1f | ddsperf %.0f | %.2f\n",
                  what.c_str(), fast.fps * streams, dds, dds > 0 ? fast.fps * streams / dds : 0);
      if (shm > 0)
        std::printf("RESULT: %s full-speed frames/s (all streams) | %.1f | shmsink/shmsrc %.0f | %.2f\n",
                    what.c_str(), fast.fps * streams, shm, fast.fps * streams / shm);
      std::printf("RESULT: %s 30 fps lost frames | %ld | limit 0 | -\n", what.c_str(), live.lost);
      std::printf("RESULT: %s 30 fps p50 / p99 latency ms | %.1f / %.1f | limit p50 10 | %.2f\n",
                  what.c_str(), live.p50, live.p99, live.p50 / 10.0);
      std::printf("RESULT: %s subscriber PLAYING -> NULL ms (slowest) | %.0f | limit 200 | %.2f\n",
                  what.c_str(), std::max(live.stop_ms, fast.stop_ms),
                  std::max(live.stop_ms, fast.stop_ms) / 200.0);
    }
  }
  std::filesystem::remove_all(g_root);
  return 0;
}
