/* Bus benchmark: 640x480 BGR frames (921,600 bytes) encoded as FrameInfo
 * records go Thing::write -> Selector::read between two processes on the
 * loopback configuration, next to ddsperf at the same size and configuration.
 *
 *   edge-bus-bench [SECONDS]     runs everything and prints the table
 *   edge-bus-bench sub DIR COUNT (internal: the subscribing process)
 *
 * Latency is taken from the steady clock (system-wide on Linux), written
 * into the record's timestamp by the publisher. */
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "edge_records.h"
#include "meshapi/tidemesh.h"

namespace mesh = com::quillmark::tidemesh;
using VXCORE::FrameInfo;

namespace {

constexpr uint32_t kWidth = 640, kHeight = 480;
const std::string kTree = OV_EDGE_SOURCE_DIR "/common/data_model/";

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct Setup {
  std::string dir, config, cyclone;
  int domain = 0;
};

Setup make_setup() {
  Setup s;
  char tmpl[] = "/tmp/edge-bus-bench-XXXXXX";
  s.dir = mkdtemp(tmpl);
  s.domain = 201 + static_cast<int>(getpid() % 29);
  std::string text = slurp(kTree + "config/TideMesh.loopback.xml");
  const std::string any = "<Domain id=\"any\">";
  text.replace(text.find(any), any.size(), "<Domain id=\"" + std::to_string(s.domain) + "\">");
  s.config = s.dir + "/TideMesh.xml";
  std::ofstream(s.config) << text;
  s.cyclone = s.dir + "/cyclonedds.xml";
  std::ofstream(s.cyclone) << mesh::parse_bus_config(text, s.config).cyclone_xml;
  return s;
}

mesh::Thing make_thing(mesh::TideMesh &bus, const std::string &dir) {
  mesh::JSonTagGroupRegistry tg;
  tg.registerTagGroupsFromURI("file://" + kTree + "definitions/TagGroup/com.vision.data/VideoFrameTagGroup.json");
  bus.addTagGroupRegistry(tg);
  mesh::JSonThingClassRegistry cls;
  cls.registerThingClassesFromURI("file://" + kTree + "definitions/ThingClass/com.vision.data/VideoFrameThing" + dir + "Class.json");
  bus.addThingClassRegistry(cls);
  mesh::JSonThingProperties props;
  props.readPropertiesFromURI("file://" + kTree + "config/VideoFrameThing" + dir + "Properties.json");
  return bus.createThing(props);
}

/* The subscribing process: prints "ready", then one result line. */
int run_sub(const std::string &config, long count) {
  mesh::TideMesh bus = mesh::TideMesh::getInstance("config=file://" + config);
  mesh::Thing in = make_thing(bus, "In");
  mesh::Thing::Selector sel = in.select("VideoFrameData");
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (sel.matchedWriters() < 1 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::cout << "ready" << std::endl;
  std::vector<double> lat_us;
  int64_t first = 0, last = 0;
  long received = 0;
  int64_t idle_since = now_ns();
  while (received < count && now_ns() - idle_since < 3000000000LL) {
    for (mesh::DataSample &s : sel.read(200)) {
      FrameInfo f;
      f.Decode(s.takeNVPSeq());
      int64_t t = now_ns();
      if (f.data.size() != kWidth * kHeight * 3) {
        std::cerr << "bad frame of " << f.data.size() << " bytes" << std::endl;
        return 1;
      }
      lat_us.push_back((t - f.timestamp) / 1000.0);
      // As the bus source does: the picture's storage serves the next sample.
      com::quillmark::iot::byte_seq_pool::give(std::move(f.data));
      if (received == 0) first = t;
      last = t;
      ++received;
      idle_since = t;
    }
  }
  std::sort(lat_us.begin(), lat_us.end());
  auto pct = [&](double p) { return lat_us.empty() ? 0.0 : lat_us[static_cast<size_t>(p * (lat_us.size() - 1))]; };
  double secs = (last - first) / 1e9;
  double rate = received > 1 && secs > 0 ? (received - 1) / secs : 0.0;
  std::cout << "result " << received << " " << rate << " " << pct(0.5) << " " << pct(0.99) << std::endl;
  in.close();
  bus.close();
  return 0;
}

struct Result {
  long sent = 0;
  long received = 0;
  double rate = 0, p50 = 0, p99 = 0;
};

/* Publishes `count` frames at `hz`, or with hz 0 as fast as the bus takes
 * them for `seconds`. */
Result run_pub(const Setup &s, const std::string &self, long count, double hz, int seconds = 0) {
  std::string cmd = "'" + self + "' sub '" + s.config + "' " + std::to_string(count);
  FILE *sub = popen(cmd.c_str(), "r");
  if (!sub) throw std::runtime_error("cannot start the subscriber");
  char line[512];
  if (!fgets(line, sizeof line, sub)) throw std::runtime_error("subscriber died");
  mesh::TideMesh bus = mesh::TideMesh::getInstance("config=file://" + s.config);
  mesh::Thing out = make_thing(bus, "Out");
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (out.matchedReaders("VideoFrameData") < 1 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // both sides matched

  FrameInfo f;
  f.stream_id = "bench";
  f.width = kWidth;
  f.height = kHeight;
  f.channels = 3;
  f.data.assign(kWidth * kHeight * 3, 0x5a);
  f.size = static_cast<uint32_t>(f.data.size());
  f.format = "com.vision.models.PIXEL_FORMAT_BGR8";
  f.compression = "com.vision.models.COMPRESSION_KIND_NONE";
  f.framerate = static_cast<float>(hz);
  f.publish_seq = 1;  // the shipped frame tag group carries the publisher sequence
  // Encoded once; each sample only changes its frame id and time stamp, so
  // what is measured is Thing::write -> Selector::read.
  VXCORE::NVPSeq sample = f.Encode();
  auto t0 = std::chrono::steady_clock::now();
  auto stop = t0 + std::chrono::seconds(seconds);
  long sent = 0;
  for (long i = 0; i < count; ++i, ++sent) {
    if (hz <= 0 && std::chrono::steady_clock::now() >= stop) break;
    if (hz > 0) std::this_thread::sleep_until(t0 + std::chrono::microseconds(static_cast<long>(i * 1e6 / hz)));
    sample[1].value().iotv_uint32(static_cast<uint32_t>(i));
    sample[2].value().iotv_int64(now_ns());
    out.write("VideoFrameData", sample);
  }
  Result r;
  r.sent = sent;
  while (fgets(line, sizeof line, sub)) {
    std::istringstream in(line);
    std::string tag;
    in >> tag;
    if (tag == "result") in >> r.received >> r.rate >> r.p50 >> r.p99;
  }
  pclose(sub);
  if (out.writeTimeouts()) std::cerr << "write timeouts: " << out.writeTimeouts() << std::endl;
  out.close();
  bus.close();
  return r;
}

/* ddsperf pub/sub at the same size and configuration; received samples/s. */
double run_ddsperf(const Setup &s, int seconds) {
  std::string env = "CYCLONEDDS_URI=file://" + s.cyclone + " ";
  std::string domain = " -i " + std::to_string(s.domain);
  std::string sub_cmd = env + "ddsperf" + domain + " -D " + std::to_string(seconds + 3) + " sub 2>&1";
  FILE *sub = popen(sub_cmd.c_str(), "r");
  if (!sub) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::string pub_cmd = env + "ddsperf" + domain + " -D " + std::to_string(seconds) +
                        " pub size 921600 > /dev/null 2>&1";
  if (std::system(pub_cmd.c_str()) != 0) std::cerr << "ddsperf pub failed" << std::endl;
  // "[pid] T  size 921600 total N lost L delta D lost L rate R kS/s ..." once
  // a second: the mean rate of the seconds in which data came, less the
  // first and the last (partial) one.
  std::vector<double> rates;
  char line[1024];
  while (fgets(line, sizeof line, sub)) {
    std::string l(line);
    size_t d = l.find(" delta "), r = l.find(" rate ");
    if (l.find("size 921600") == std::string::npos || d == std::string::npos || r == std::string::npos)
      continue;
    if (std::atol(l.c_str() + d + 7) > 0) rates.push_back(std::atof(l.c_str() + r + 6) * 1000.0);
  }
  pclose(sub);
  if (rates.size() > 2) rates = std::vector<double>(rates.begin() + 1, rates.end() - 1);
  double sum = 0;
  for (double x : rates) sum += x;
  return rates.empty() ? 0.0 : sum / rates.size();
}

}  // namespace

int main(int argc, char **argv) {
  try {
    if (argc >= 4 && std::string(argv[1]) == "sub") return run_sub(argv[2], std::atol(argv[3]));
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    Setup s = make_setup();
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) throw std::runtime_error("cannot find this program");
    self[n] = '\0';

    // Two rounds, alternating, best of each: the machine is shared and noisy.
    double dds = 0;
    Result burst;
    for (int round = 0; round < 2; ++round) {
      double d = run_ddsperf(s, seconds);
      Result b = run_pub(s, self, 1000000, 0, seconds);
      std::printf("round %d: ddsperf %.0f/s, Thing::write -> Selector::read %.0f/s (%ld of %ld received)\n",
                  round + 1, d, b.rate, b.received, b.sent);
      dds = std::max(dds, d);
      if (b.rate > burst.rate) burst = b;
    }
    Result steady = run_pub(s, self, 300, 30);

    std::printf("bus benchmark: 921600-byte samples, reliable, loopback, two processes\n");
    std::printf("%-34s %12s %14s %10s %10s\n", "", "samples/s", "received", "p50 ms", "p99 ms");
    std::printf("%-34s %12.0f %14s %10s %10s\n", "ddsperf pub/sub", dds, "-", "-", "-");
    std::printf("%-34s %12.0f %6ld/%-7ld %10.2f %10.2f\n", "Thing::write -> Selector::read",
                burst.rate, burst.received, burst.sent, burst.p50 / 1000, burst.p99 / 1000);
    std::printf("%-34s %12.1f %6ld/%-7ld %10.2f %10.2f\n", "same at 30 samples/s", steady.rate,
                steady.received, steady.sent, steady.p50 / 1000, steady.p99 / 1000);
    double ratio = dds > 0 ? burst.rate / dds : 0.0;
    std::printf("ratio to ddsperf: %.2f (target >= 0.80)\n", ratio);
    bool ok = ratio >= 0.8 && steady.received == 300 && steady.p50 / 1000 <= 5.0;
    std::printf("30 samples/s: %s loss, p50 %.2f ms (target: no loss, <= 5 ms)\n",
                steady.received == 300 ? "no" : "SOME", steady.p50 / 1000);
    std::printf("%s\n", ok ? "targets met" : "targets NOT met");
    std::printf("RESULT: Thing::write -> Selector::read 921600 B samples/s | %.0f | ddsperf %.0f "
                "(target ratio >= 0.8) | %.2f\n", burst.rate, dds, ratio);
    std::printf("RESULT: same at 30 samples/s, p50 latency ms | %.2f | %ld/%ld received "
                "(target: none lost, <= 5 ms) | -\n", steady.p50 / 1000, steady.received, steady.sent);
    std::system(("rm -rf '" + s.dir + "'").c_str());
    return 0;
  } catch (const std::exception &e) {
    std::cerr << "edge-bus-bench: " << e.what() << std::endl;
    return 1;
  }
}
