#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "meshapi/nvp_codec.h"

using namespace com::quillmark::iot;

namespace {

IOT_NVP pair(const std::string &name, IOT_VALUE v) { return IOT_NVP(name, std::move(v)); }

template <typename F>
IOT_VALUE make(F f) {
  IOT_VALUE v;
  f(v);
  return v;
}

IOT_NVP_SEQ every_kind() {
  IOT_NVP_SEQ inner = {pair("x", make([](IOT_VALUE &v) { v.iotv_int32(-5); }))};
  IOT_NVP element;  // unnamed, as list elements are
  element.value(make([&](IOT_VALUE &v) { v.iotv_nvp_seq(inner); }));
  return {
      pair("s", make([](IOT_VALUE &v) { v.iotv_string(std::string("a\0b", 3)); })),
      pair("u", make([](IOT_VALUE &v) { v.iotv_uint32(0xffffffffu); })),
      pair("i", make([](IOT_VALUE &v) { v.iotv_int32(std::numeric_limits<int32_t>::min()); })),
      pair("l", make([](IOT_VALUE &v) { v.iotv_int64(-1234567890123456789LL); })),
      pair("f", make([](IOT_VALUE &v) { v.iotv_float32(-0.125f); })),
      pair("b", make([](IOT_VALUE &v) { v.iotv_byte_seq({0, 255, 7}); })),
      pair("n", make([&](IOT_VALUE &v) { v.iotv_nvp_seq({element, element}); })),
      pair("", IOT_VALUE()),
  };
}

}  // namespace

TEST(IotValue, GetterOfAnotherKindThrowsNamingBothKinds) {
  IOT_VALUE v;
  v.iotv_int32(-3);
  EXPECT_EQ(v.iotv_int32(), -3);
  try {
    v.iotv_uint32();
    FAIL() << "no exception";
  } catch (const std::exception &e) {
    EXPECT_STREQ(e.what(), "IOT_VALUE holds int32, not uint32");
  }
  EXPECT_THROW(IOT_VALUE().iotv_string(), IotException);
  v.iotv_string("now a string");
  EXPECT_EQ(v.kind(), IOT_KIND::STRING);
  EXPECT_THROW(v.iotv_int32(), IotException);
}

TEST(NvpCodec, EveryKindRoundTripsExactly) {
  IOT_NVP_SEQ seq = every_kind();
  std::vector<uint8_t> bytes = encode_payload(seq);
  EXPECT_EQ(bytes.size(), encoded_size(seq));
  EXPECT_EQ(bytes[0], kPayloadVersion);
  EXPECT_EQ(decode_payload(bytes.data(), bytes.size()), seq);
}

TEST(NvpCodec, NumbersAreLittleEndianOnTheWire) {
  IOT_NVP_SEQ seq = {pair("u", make([](IOT_VALUE &v) { v.iotv_uint32(0x01020304u); }))};
  std::vector<uint8_t> expect = {0x01, 0x01, 0x01, 'u', 0x02, 0x04, 0x03, 0x02, 0x01};
  EXPECT_EQ(encode_payload(seq), expect);
}

/* The wire bytes, written out: a change of the format shows here first. */
TEST(NvpCodec, GoldenBytesOfStringsFloatsVarintsAndNesting) {
  struct Golden {
    const char *what;
    IOT_NVP_SEQ seq;
    std::vector<uint8_t> bytes;
  };
  IOT_NVP element;
  element.value(make([](IOT_VALUE &v) {
    v.iotv_nvp_seq({pair("x", make([](IOT_VALUE &w) { w.iotv_int32(-5); }))});
  }));
  std::vector<uint8_t> long_bytes(300, 0x7f);
  std::vector<uint8_t> long_wire = {0x01, 0x01, 0x01, 'b', 0x06, 0xac, 0x02};  // 300 = ac 02
  long_wire.insert(long_wire.end(), long_bytes.begin(), long_bytes.end());
  const Golden cases[] = {
      {"string", {pair("s", make([](IOT_VALUE &v) { v.iotv_string("hi"); }))},
       {0x01, 0x01, 0x01, 's', 0x01, 0x02, 'h', 'i'}},
      {"float", {pair("f", make([](IOT_VALUE &v) { v.iotv_float32(-0.125f); }))},
       {0x01, 0x01, 0x01, 'f', 0x05, 0x00, 0x00, 0x00, 0xbe}},
      {"int64", {pair("l", make([](IOT_VALUE &v) { v.iotv_int64(-2); }))},
       {0x01, 0x01, 0x01, 'l', 0x04, 0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
      {"varint length", {pair("b", make([&](IOT_VALUE &v) { v.iotv_byte_seq(long_bytes); }))},
       long_wire},
      {"nesting", {pair("n", make([&](IOT_VALUE &v) { v.iotv_nvp_seq({element}); }))},
       {0x01, 0x01, 0x01, 'n', 0x07, 0x01, 0x00, 0x07, 0x01, 0x01, 'x', 0x03, 0xfb, 0xff, 0xff,
        0xff}},
      {"empty value", {pair("", IOT_VALUE())}, {0x01, 0x01, 0x00, 0x00}},
  };
  for (const Golden &g : cases) {
    EXPECT_EQ(encode_payload(g.seq), g.bytes) << g.what;
    EXPECT_EQ(decode_payload(g.bytes.data(), g.bytes.size()), g.seq) << g.what;
  }
}

TEST(NvpCodec, LargeFrameCostsLittleOverhead) {
  std::vector<uint8_t> frame(921600, 0x5a);
  IOT_NVP_SEQ seq = {pair("data", make([&](IOT_VALUE &v) { v.iotv_byte_seq(frame); }))};
  std::vector<uint8_t> bytes = encode_payload(seq);
  EXPECT_LT(bytes.size() - frame.size(), 32u);
  IOT_NVP_SEQ back = decode_payload(bytes.data(), bytes.size());
  EXPECT_EQ(back[0].value().iotv_byte_seq(), frame);
}

struct BadPayload {
  const char *what;
  std::vector<uint8_t> bytes;
  const char *reason;  // fragment of the message
};

class NvpCodecRejects : public ::testing::TestWithParam<BadPayload> {};

TEST_P(NvpCodecRejects, WithAClearMessage) {
  const BadPayload &b = GetParam();
  try {
    decode_payload(b.bytes.data(), b.bytes.size());
    FAIL() << b.what << " was accepted";
  } catch (const PayloadError &e) {
    EXPECT_NE(std::string(e.what()).find(b.reason), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, NvpCodecRejects,
    ::testing::Values(
        BadPayload{"empty", {}, "empty"},
        BadPayload{"wrong version", {0x02, 0x00}, "unsupported version 2"},
        BadPayload{"count beyond data", {0x01, 0x05, 0x00, 0x00}, "pair count 5 exceeds"},
        BadPayload{"huge count", {0x01, 0xff, 0xff, 0xff, 0xff, 0x0f}, "pair count"},
        BadPayload{"name longer than data", {0x01, 0x01, 0x09, 'a', 0x00}, "length 9 exceeds"},
        BadPayload{"unknown kind", {0x01, 0x01, 0x01, 'a', 0x08}, "unknown value kind 8"},
        BadPayload{"truncated uint32", {0x01, 0x01, 0x01, 'a', 0x02, 1, 2, 3}, "truncated number"},
        BadPayload{"truncated int64", {0x01, 0x01, 0x00, 0x04, 1, 2, 3, 4, 5, 6, 7}, "truncated number"},
        BadPayload{"string longer than data", {0x01, 0x01, 0x00, 0x01, 0x7f, 'x'}, "length 127 exceeds"},
        BadPayload{"byte seq longer than data",
                   {0x01, 0x01, 0x00, 0x06, 0x80, 0x80, 0x80, 0x80, 0x01, 0}, "exceeds"},
        BadPayload{"varint of 11 bytes",
                   {0x01, 0x01, 0x00, 0x06, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                    0x80, 0x01},
                   "varint"},
        BadPayload{"varint past 64 bits",
                   {0x01, 0x01, 0x00, 0x06, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                    0x02},
                   "overflows"},
        BadPayload{"trailing bytes", {0x01, 0x00, 0x00}, "1 trailing bytes"},
        BadPayload{"missing value", {0x01, 0x01, 0x01, 'a'}, "truncated"}),
    [](const ::testing::TestParamInfo<BadPayload> &i) {
      std::string n;
      for (const char *c = i.param.what; *c; ++c) n += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
      return n;
    });

TEST(NvpCodec, NestingDepthIsLimited) {
  auto nested = [](int depth) {
    // version, then `depth` sequences each holding one unnamed pair whose
    // value is the next sequence, ending in an empty one.
    std::vector<uint8_t> b = {0x01};
    for (int i = 0; i < depth; ++i) b.insert(b.end(), {0x01, 0x00, 0x07});
    b.push_back(0x00);
    return b;
  };
  std::vector<uint8_t> ok = nested(kMaxNesting);
  EXPECT_NO_THROW(decode_payload(ok.data(), ok.size()));
  std::vector<uint8_t> deep = nested(kMaxNesting + 1);
  EXPECT_THROW(decode_payload(deep.data(), deep.size()), PayloadError);
  std::vector<uint8_t> abusive = nested(100000);
  EXPECT_THROW(decode_payload(abusive.data(), abusive.size()), PayloadError);
}

TEST(NvpCodec, EveryTruncationOfAValidPayloadIsRejected) {
  std::vector<uint8_t> bytes = encode_payload(every_kind());
  for (size_t n = 0; n < bytes.size(); ++n)
    EXPECT_THROW(decode_payload(bytes.data(), n), PayloadError) << "prefix of " << n << " bytes";
}
