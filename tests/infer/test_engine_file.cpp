/* The engine file format: round trip, and refusal of every kind of broken
 * or hostile file. */
#include <gtest/gtest.h>

#include <cstring>

#include "engine_fixtures.h"
#include "ov_engine_file.h"

namespace {

using ovengine::EngineFile;

EngineFile sample_engine() {
  EngineFile e;
  e.maxBatch = 4;
  e.format = ovengine::ModelFormat::Darknet;
  e.blobs.push_back({ovengine::BlobKind::Config, "[net]\nwidth=8\n"});
  e.blobs.push_back({ovengine::BlobKind::Weights, std::string(40, '\x01')});
  e.expectedWeightsSize = 40;
  e.input = {"data", "", {3, 8, 8}, 0};
  ovengine::OutputBinding raw;
  raw.name = "conv_1";
  raw.layer = "conv_1";
  raw.dims = {255, 2, 2};
  ovengine::OutputBinding plugin;
  plugin.name = "yolo-det";
  plugin.source = ovengine::OutputSource::Plugin;
  plugin.dims = {7, 1, 1};
  plugin.pluginName = "yolo-det";
  plugin.pluginSerial = std::string("\0\1\2\3", 4);
  plugin.pluginInputs = {{"conv_1", {255, 2, 2}}};
  e.outputs = {raw, plugin};
  return e;
}

/* Overwrites a little-endian u32 and re-seals the trailing checksum, so the
 * parser's field checks (not the checksum) must refuse it. */
std::string patch_u32(std::string bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes[offset + i] = static_cast<char>(value >> (8 * i));
  uint32_t crc = ovengine::crc32(bytes.data(), bytes.size() - 4);
  for (int i = 0; i < 4; ++i)
    bytes[bytes.size() - 4 + i] = static_cast<char>(crc >> (8 * i));
  return bytes;
}

TEST(EngineFile, RoundTripKeepsEveryField) {
  EngineFile in = sample_engine();
  std::string bytes = ovtest::engine_bytes(in);
  EngineFile out;
  std::string error;
  ASSERT_TRUE(ovengine::parse(bytes.data(), bytes.size(), out, error)) << error;
  EXPECT_EQ(out.maxBatch, 4u);
  EXPECT_EQ(out.format, ovengine::ModelFormat::Darknet);
  ASSERT_EQ(out.blobs.size(), 2u);
  EXPECT_EQ(out.blob(ovengine::BlobKind::Config)->data, "[net]\nwidth=8\n");
  EXPECT_EQ(out.blob(ovengine::BlobKind::Weights)->data, std::string(40, '\x01'));
  EXPECT_EQ(out.expectedWeightsSize, 40u);
  EXPECT_EQ(out.input.name, "data");
  EXPECT_EQ(out.input.dims, (std::vector<int32_t>{3, 8, 8}));
  ASSERT_EQ(out.outputs.size(), 2u);
  EXPECT_EQ(out.outputs[0].layer, "conv_1");
  EXPECT_EQ(out.outputs[0].dims, (std::vector<int32_t>{255, 2, 2}));
  EXPECT_EQ(out.outputs[1].source, ovengine::OutputSource::Plugin);
  EXPECT_EQ(out.outputs[1].pluginSerial, std::string("\0\1\2\3", 4));
  ASSERT_EQ(out.outputs[1].pluginInputs.size(), 1u);
  EXPECT_EQ(out.outputs[1].pluginInputs[0].name, "conv_1");
}

/* One small engine file written out by hand, field by field (little-endian,
 * CRC-32 as zlib computes it). */
const std::string kGoldenEngine(
    "\x4f\x56\x54\x52\x54\x45\x4e\x47"  /* magic OVTRTENG */
    "\x01\x00\x00\x00"                  /* version 1 */
    "\x02\x00\x00\x00"                  /* max batch 2 */
    "\x01\x00\x00\x00"                  /* format onnx */
    "\x01\x00\x00\x00"                  /* one blob */
    "\x01\x00\x00\x00"                  /*   kind model */
    "\x03\x00\x00\x00\x00\x00\x00\x00"  /*   length 3 (u64) */
    "\xff\x15\xea\xf2"                  /*   crc32("net") */
    "\x6e\x65\x74"                      /*   "net" */
    "\x00\x00\x00\x00\x00\x00\x00\x00"  /* expected weights size 0 (u64) */
    "\x02\x00\x00\x00\x69\x6e"          /* input name "in" */
    "\x00\x00\x00\x00"                  /* model input "" */
    "\x03\x00\x00\x00"                  /* 3 dims: */
    "\x03\x00\x00\x00\x04\x00\x00\x00\x04\x00\x00\x00"  /* 3, 4, 4 */
    "\x00\x00\x00\x00"                  /* float */
    "\x01\x00\x00\x00"                  /* one output */
    "\x01\x00\x00\x00\x6f"              /*   name "o" */
    "\x00\x00\x00\x00"                  /*   from a layer */
    "\x01\x00\x00\x00\x02\x00\x00\x00"  /*   1 dim: 2 */
    "\x00\x00\x00\x00"                  /*   float */
    "\x01\x00\x00\x00\x4c"              /*   layer "L" */
    "\x61\x81\xb3\x4c",                 /* crc32 of all of the above */
    115);

EngineFile golden_description() {
  EngineFile e;
  e.maxBatch = 2;
  e.format = ovengine::ModelFormat::Onnx;
  e.blobs.push_back({ovengine::BlobKind::Model, "net"});
  e.input = {"in", "", {3, 4, 4}, 0};
  ovengine::OutputBinding o;
  o.name = "o";
  o.layer = "L";
  o.dims = {2};
  e.outputs = {o};
  return e;
}

TEST(EngineFile, WritesAndReadsTheGoldenBytes) {
  std::string bytes, error;
  ASSERT_TRUE(ovengine::serialize(golden_description(), bytes, error)) << error;
  EXPECT_EQ(bytes, kGoldenEngine);

  EngineFile out;
  ASSERT_TRUE(ovengine::parse(kGoldenEngine.data(), kGoldenEngine.size(), out, error)) << error;
  EXPECT_EQ(out.maxBatch, 2u);
  EXPECT_EQ(out.format, ovengine::ModelFormat::Onnx);
  ASSERT_EQ(out.blobs.size(), 1u);
  EXPECT_EQ(out.blobs[0].kind, ovengine::BlobKind::Model);
  EXPECT_EQ(out.blobs[0].data, "net");
  EXPECT_EQ(out.input.name, "in");
  EXPECT_EQ(out.input.modelInput, "");
  EXPECT_EQ(out.input.dims, (std::vector<int32_t>{3, 4, 4}));
  ASSERT_EQ(out.outputs.size(), 1u);
  EXPECT_EQ(out.outputs[0].name, "o");
  EXPECT_EQ(out.outputs[0].source, ovengine::OutputSource::Layer);
  EXPECT_EQ(out.outputs[0].dims, (std::vector<int32_t>{2}));
  EXPECT_EQ(out.outputs[0].layer, "L");
}

TEST(EngineFile, EveryTruncationIsRefused) {
  std::string bytes = ovtest::engine_bytes(sample_engine());
  for (size_t n = 0; n < bytes.size(); ++n) {
    EngineFile out;
    std::string error;
    EXPECT_FALSE(ovengine::parse(bytes.data(), n, out, error)) << "length " << n;
    EXPECT_FALSE(error.empty());
  }
}

TEST(EngineFile, EveryFlippedByteIsRefused) {
  std::string bytes = ovtest::engine_bytes(sample_engine());
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string bad = bytes;
    bad[i] = static_cast<char>(bad[i] ^ 0x5A);
    EngineFile out;
    std::string error;
    EXPECT_FALSE(ovengine::parse(bad.data(), bad.size(), out, error)) << "byte " << i;
  }
}

TEST(EngineFile, RefusesBadMagicAndChecksumWithReasons) {
  std::string bytes = ovtest::engine_bytes(sample_engine());
  std::string error;
  EngineFile out;
  std::string bad = bytes;
  bad[0] = 'X';
  EXPECT_FALSE(ovengine::parse(bad.data(), bad.size(), out, error));
  EXPECT_NE(error.find("magic"), std::string::npos) << error;
  bad = bytes;
  bad[bad.size() - 10] ^= 1;
  EXPECT_FALSE(ovengine::parse(bad.data(), bad.size(), out, error));
  EXPECT_NE(error.find("checksum"), std::string::npos) << error;
  EXPECT_FALSE(ovengine::parse(nullptr, 100, out, error));
}

/* Layout offsets: magic 8, version 4, max batch 4, format 4, blob count 4,
 * first blob kind 4, length 8. */
TEST(EngineFile, RefusesAbsurdFieldsEvenWithAValidChecksum) {
  std::string bytes = ovtest::engine_bytes(sample_engine());
  struct Case {
    const char *what;
    size_t offset;
    uint32_t value;
  } cases[] = {
      {"version", 8, 2},
      {"max batch 0", 12, 0},
      {"max batch huge", 12, 1u << 30},
      {"format", 16, 9},
      {"blob count 0", 20, 0},
      {"blob count huge", 20, 0xFFFFFFFFu},
      {"blob kind", 24, 77},
      {"blob length low word", 28, 0xFFFFFFF0u},
      {"blob length high word", 32, 0x7FFFFFFFu},
  };
  for (const auto &c : cases) {
    std::string bad = patch_u32(bytes, c.offset, c.value);
    EngineFile out;
    std::string error;
    EXPECT_FALSE(ovengine::parse(bad.data(), bad.size(), out, error)) << c.what;
  }
}

TEST(EngineFile, ValidationRefusesBrokenDescriptions) {
  std::string out, error;
  EngineFile e = sample_engine();
  e.expectedWeightsSize = 41; /* weights shorter than the cfg needs */
  EXPECT_FALSE(ovengine::serialize(e, out, error));
  EXPECT_NE(error.find("weights"), std::string::npos) << error;

  e = sample_engine();
  e.input.dims = {3, 8};
  EXPECT_FALSE(ovengine::serialize(e, out, error));

  e = sample_engine();
  e.outputs[0].dims = {0, 2, 2};
  EXPECT_FALSE(ovengine::serialize(e, out, error));

  e = sample_engine();
  e.outputs[0].dims = {1 << 20, 1 << 20, 1};
  EXPECT_FALSE(ovengine::serialize(e, out, error));

  e = sample_engine();
  e.outputs.clear();
  EXPECT_FALSE(ovengine::serialize(e, out, error));

  e = sample_engine();
  e.blobs.pop_back();
  EXPECT_FALSE(ovengine::serialize(e, out, error));
}

TEST(EngineFile, Crc32MatchesTheStandardCheckValue) {
  EXPECT_EQ(ovengine::crc32("123456789", 9), 0xCBF43926u);
}

}  // namespace
