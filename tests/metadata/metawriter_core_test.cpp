#include "metawriter_core.h"

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

struct PortCase {
  const char *line;
  uint32_t port;
};

class ParsePort : public ::testing::TestWithParam<PortCase> {};

TEST_P(ParsePort, FollowsStoiOrZero) {
  EXPECT_EQ(ovmetadata::parse_port(GetParam().line), GetParam().port) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(Lines, ParsePort,
                         ::testing::Values(PortCase{"8080", 8080}, PortCase{"  554", 554},
                                           PortCase{"+7", 7}, PortCase{"1935 rtmp", 1935},
                                           PortCase{"2147483647", 2147483647u},
                                           PortCase{"", 0}, PortCase{"   ", 0},
                                           PortCase{"http", 0}, PortCase{"2147483648", 0},
                                           PortCase{"99999999999999999999", 0},
                                           PortCase{"\r", 0}));

const char *kFullFile =
    "cam-7\n"
    "00:11:22:33:44:55\n"
    "10.0.0.7\n"
    "8080\n"
    "rtsp://10.0.0.7/live\n"
    "Maker\n"
    "M-1\n"
    "SN123\n"
    "1.2.3\n"
    "dev-7\n"
    "online\n"
    "camera\n"
    "rtsp\n"
    "ignored extra line\n";

TEST(ParseDeviceInfo, ThirteenLinesInFieldOrder) {
  std::istringstream in(kFullFile);
  DeviceInfoData d = ovmetadata::parse_device_info(in);
  EXPECT_EQ(d.stream_id, "cam-7");
  EXPECT_EQ(d.mac_address, "00:11:22:33:44:55");
  EXPECT_EQ(d.ip_address, "10.0.0.7");
  EXPECT_EQ(d.port, 8080u);
  EXPECT_EQ(d.uri, "rtsp://10.0.0.7/live");
  EXPECT_EQ(d.manufacturer, "Maker");
  EXPECT_EQ(d.model, "M-1");
  EXPECT_EQ(d.serial, "SN123");
  EXPECT_EQ(d.fw_version, "1.2.3");
  EXPECT_EQ(d.dev_id, "dev-7");
  EXPECT_EQ(d.status, "online");
  EXPECT_EQ(d.kind, "camera");
  EXPECT_EQ(d.protocol, "rtsp");
}

struct ShortFileCase {
  const char *name;
  const char *text;
  const char *stream_id;
  const char *ip;
  uint32_t port;
  const char *uri;
};

class ShortDeviceFile : public ::testing::TestWithParam<ShortFileCase> {};

TEST_P(ShortDeviceFile, KeepsWhatWasReadAndPortZero) {
  std::istringstream in(GetParam().text);
  DeviceInfoData d = ovmetadata::parse_device_info(in);
  EXPECT_EQ(d.stream_id, GetParam().stream_id);
  EXPECT_EQ(d.ip_address, GetParam().ip);
  EXPECT_EQ(d.port, GetParam().port);
  EXPECT_EQ(d.uri, GetParam().uri);
  EXPECT_EQ(d.protocol, "");
}

INSTANTIATE_TEST_SUITE_P(
    Files, ShortDeviceFile,
    ::testing::Values(ShortFileCase{"empty", "", "", "", 0, ""},
                      ShortFileCase{"one_line_no_newline", "cam", "cam", "", 0, ""},
                      ShortFileCase{"three_lines", "cam\nmac\nip\n", "cam", "ip", 0, ""},
                      ShortFileCase{"empty_port", "cam\nmac\nip\n\nuri\n", "cam", "ip", 0, "uri"},
                      ShortFileCase{"word_port", "cam\nmac\nip\nhttp\nuri", "cam", "ip", 0, "uri"},
                      ShortFileCase{"huge_port", "cam\nmac\nip\n123456789012\nuri\n", "cam", "ip",
                                    0, "uri"},
                      ShortFileCase{"blank_lines", "\n\n\n\n\n", "", "", 0, ""}),
    [](const ::testing::TestParamInfo<ShortFileCase> &i) { return std::string(i.param.name); });

TEST(ParseDeviceInfo, LongLinesAndEndlessInputAreBounded) {
  std::string text(100000, 'x');
  text += "\nmac\n";
  std::istringstream in(text);
  DeviceInfoData d = ovmetadata::parse_device_info(in);
  EXPECT_EQ(d.stream_id.size(), 4096u);
  // 64 KiB are read at most, so the second line is never reached.
  EXPECT_EQ(d.mac_address, "");
}

class DeviceFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/ovdevinfoXXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = name;
  }
  void TearDown() override { std::remove(path_.c_str()); }
  void write(const std::string &text) { std::ofstream(path_) << text; }
  std::string path_;
};

TEST_F(DeviceFile, ReadFromDiskEachCall) {
  write(kFullFile);
  EXPECT_EQ(ovmetadata::read_device_info_file(path_.c_str()).port, 8080u);
  write("other\nmac\nip\n9090\n");
  DeviceInfoData d = ovmetadata::read_device_info_file(path_.c_str());
  EXPECT_EQ(d.stream_id, "other");
  EXPECT_EQ(d.port, 9090u);
}

TEST_F(DeviceFile, MissingFileOrNullGiveEmptyRecord) {
  for (const char *p : {static_cast<const char *>(nullptr), "/nonexistent/devinfo.txt", "/tmp"}) {
    DeviceInfoData d = ovmetadata::read_device_info_file(p);
    EXPECT_EQ(d.stream_id, "") << (p ? p : "NULL");
    EXPECT_EQ(d.port, 0u);
    EXPECT_EQ(d.protocol, "");
  }
}

TEST(FrameCounter, SharedAcrossThreadsWithoutDuplicates) {
  constexpr int kThreads = 4;
  constexpr int kEach = 5000;
  int32_t start = ovmetadata::number.load();
  std::vector<std::vector<int32_t>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&got, t] {
      for (int i = 0; i < kEach; ++i)
        got[t].push_back(ovmetadata::next_frame_number());
    });
  for (auto &th : threads)
    th.join();
  std::set<int32_t> all;
  for (const auto &v : got) {
    for (size_t i = 1; i < v.size(); ++i)
      EXPECT_LT(v[i - 1], v[i]) << "one thread sees increasing numbers";
    all.insert(v.begin(), v.end());
  }
  EXPECT_EQ(all.size(), size_t(kThreads * kEach));
  EXPECT_EQ(*all.begin(), start);
  EXPECT_EQ(*all.rbegin(), start + kThreads * kEach - 1);
  EXPECT_EQ(ovmetadata::number.load(), start + kThreads * kEach);
}

}  // namespace
