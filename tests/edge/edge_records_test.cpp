#include <gtest/gtest.h>

#include <regex>
#include <set>

#include <opencv2/imgcodecs.hpp>

#include "edge_records.h"
#include "meshapi/nvp_codec.h"
#include "record_samples.h"

using namespace VXCORE;
namespace iot = com::quillmark::iot;

namespace {

/* Through the wire format too, as a peer would see it. */
NVPSeq wire(const NVPSeq &s) {
  std::vector<uint8_t> b = iot::encode_payload(s);
  return iot::decode_payload(b.data(), b.size());
}

std::vector<std::pair<std::string, iot::IOT_KIND>> layout(const NVPSeq &s) {
  std::vector<std::pair<std::string, iot::IOT_KIND>> out;
  for (const IOT_NVP &p : s) out.emplace_back(p.name(), p.value().kind());
  return out;
}

using K = iot::IOT_KIND;

}  // namespace

TEST(EdgeRecords, FrameInfoPairsAndRoundTrip) {
  FrameInfo f = recordsamples::frame();
  NVPSeq s = f.Encode();
  EXPECT_EQ(layout(s), (std::vector<std::pair<std::string, K>>{
                           {"stream_id", K::STRING}, {"frame_id", K::UINT32}, {"timestamp", K::INT64},
                           {"data", K::BYTE_SEQ}, {"width", K::UINT32}, {"height", K::UINT32},
                           {"channels", K::UINT32}, {"size", K::UINT32}, {"format", K::STRING},
                           {"compression", K::STRING}, {"framerate", K::FLOAT32}}));
  FrameInfo back;
  back.Decode(wire(s));  // moves the bytes out
  EXPECT_EQ(back, f);
  FrameInfo copied;
  copied.Decode(s);
  EXPECT_EQ(copied, f);
  EXPECT_EQ(s[3].value().iotv_byte_seq(), f.data) << "decoding from a const sequence leaves it intact";
}

TEST(EdgeRecords, DeviceInfoPairsAndRoundTrip) {
  DeviceInfo d = recordsamples::device();
  NVPSeq s = d.Encode();
  ASSERT_EQ(s.size(), 13u);
  EXPECT_EQ(s[3].name(), "port");
  EXPECT_EQ(s[3].value().kind(), K::INT32);
  for (size_t i = 0; i < s.size(); ++i) {
    if (i != 3) {
      EXPECT_EQ(s[i].value().kind(), K::STRING) << s[i].name();
    }
  }
  DeviceInfo back;
  back.Decode(wire(s));
  EXPECT_EQ(back, d);
}

TEST(EdgeRecords, ThePublisherSequenceIsAddedLastAndOnlyWhenSet) {
  // Unset, a record encodes as it always did: peers that predate the tag
  // read it unchanged.  Set, it is one int64 pair after the others, which
  // decoders that do not know it skip.
  FrameInfo f = recordsamples::frame();
  const size_t plain = f.Encode().size();
  f.publish_seq = 1234567890123;
  NVPSeq s = f.Encode();
  ASSERT_EQ(s.size(), plain + 1);
  EXPECT_EQ(s.back().name(), "publish_seq");
  EXPECT_EQ(s.back().value().kind(), K::INT64);
  FrameInfo back;
  back.Decode(wire(s));
  EXPECT_EQ(back.publish_seq, 1234567890123);
  EXPECT_EQ(back, f);

  Information<DetectionBoxData> d;
  d.frame_id = 4;
  EXPECT_EQ(layout(d.Encode()).size(), 4u);
  d.publish_seq = 9;
  Information<DetectionBoxData> dback;
  dback.Decode(wire(d.Encode()));
  EXPECT_EQ(dback.publish_seq, 9);
  SegmentInfo g;
  g.publish_seq = 10;
  SegmentInfo gback;
  gback.Decode(wire(g.Encode()));
  EXPECT_EQ(gback.publish_seq, 10);
  DeviceInfo dev = recordsamples::device();
  dev.publish_seq = 11;
  ASSERT_EQ(dev.Encode().size(), 14u);
  DeviceInfo devback;
  devback.Decode(wire(dev.Encode()));
  EXPECT_EQ(devback, dev);
  EXPECT_NE(dev.GetString().find("publish_seq = 11"), std::string::npos);
  EXPECT_EQ(recordsamples::device().GetString().find("publish_seq"), std::string::npos);
}

TEST(EdgeRecords, ResultRecordsRoundTripWithTheirIdKinds) {
  Information<DetectionBoxData> det;
  det.engine_id = "engine";
  det.stream_id = "cam";
  det.frame_id = 12;
  DetectionBoxData b;
  b.obj_id = -7;
  b.class_id = -1;
  b.obj_label = "person";
  b.class_label = "X";
  b.x1 = 1, b.y1 = 2, b.x2 = 3, b.y2 = 4;
  b.probability = 0.25f;
  b.meta = "{}";
  det.data = {b, b};
  NVPSeq s = det.Encode();
  EXPECT_EQ(layout(s), (std::vector<std::pair<std::string, K>>{
                           {"engine_id", K::STRING}, {"stream_id", K::STRING},
                           {"frame_id", K::UINT32}, {"data", K::NVP_SEQ}}));
  const IOT_NVP &element = s[3].value().iotv_nvp_seq()[0];
  EXPECT_EQ(element.name(), "");
  EXPECT_EQ(layout(element.value().iotv_nvp_seq()),
            (std::vector<std::pair<std::string, K>>{
                {"obj_id", K::INT32}, {"obj_label", K::STRING}, {"class_id", K::INT32},
                {"class_label", K::STRING}, {"x1", K::FLOAT32}, {"y1", K::FLOAT32},
                {"x2", K::FLOAT32}, {"y2", K::FLOAT32}, {"probability", K::FLOAT32},
                {"meta", K::STRING}}));
  Information<DetectionBoxData> det2;
  det2.Decode(wire(s));
  EXPECT_EQ(det2, det);
  EXPECT_EQ(det2.data[0].obj_id, -7);

  Information<ClassificationData> cls;
  cls.frame_id = 3;
  ClassificationData c;
  c.index = -2;
  c.label = "dog";
  c.probability = 0.75f;
  cls.data = {c};
  NVPSeq cs = cls.Encode();
  EXPECT_EQ(layout(cs[3].value().iotv_nvp_seq()[0].value().iotv_nvp_seq()),
            (std::vector<std::pair<std::string, K>>{{"index", K::INT32}, {"output", K::STRING},
                                                   {"label", K::STRING}, {"probability", K::FLOAT32}}));
  Information<ClassificationData> cls2;
  cls2.Decode(wire(cs));
  EXPECT_EQ(cls2, cls);

  SegmentInfo seg;
  seg.frame_id = 5;
  seg.inference_id = 2;
  SegmentationData sd;
  sd.id = 1, sd.repeat = 2, sd.width = 3, sd.label = "car", sd.data = {1, 2, 3};
  seg.data = {sd};
  NVPSeq ss = seg.Encode();
  EXPECT_EQ(ss.size(), 5u);
  EXPECT_EQ(ss[3].name(), "inference_id");
  SegmentInfo seg2;
  seg2.Decode(wire(ss));
  EXPECT_EQ(seg2, seg);
}

TEST(EdgeRecords, VxaIdsAreUnsignedOnTheWire) {
  VXA_DetectionBoxData d;
  d.obj_id = 4000000000u;
  NVPSeq s = d.Encode();
  EXPECT_EQ(layout(s)[1], std::make_pair(std::string("obj_id"), K::UINT32));
  EXPECT_EQ(layout(s)[3], std::make_pair(std::string("class_id"), K::UINT32));
  EXPECT_EQ(s[1].value().iotv_uint32(), 4000000000u);
  // A signed detection id cannot be read as an unsigned one, and back.
  DetectionBoxData signed_box;
  signed_box.obj_id = -1;
  NVPSeq ss;
  signed_box.Encode(ss);
  VXA_DetectionBoxData wrong;
  EXPECT_THROW(wrong.Decode(ss), iot::IotException);
  DetectionBoxData wrong2;
  EXPECT_THROW(wrong2.Decode(s), iot::IotException);
  EXPECT_EQ(VXA_ClassificationData().Encode()[1].value().kind(), K::UINT32);
}

TEST(EdgeRecords, FullUniInfoRoundTrips) {
  UniInfo u = recordsamples::uni();
  NVPSeq s = u.Encode();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].name(), "VideoList");
  EXPECT_EQ(s[1].name(), "DeviceList");
  NVPSeq video = s[0].value().iotv_nvp_seq()[0].value().iotv_nvp_seq();
  ASSERT_EQ(video.size(), 14u);
  EXPECT_EQ(video[11].name(), "ClassificationResult");
  EXPECT_EQ(video[12].name(), "DetectionResult");
  EXPECT_EQ(video[13].name(), "SegmentationResult");
  UniInfo back;
  com::quillmark::tidemesh::DataSample sample("t", "", "VideoFrameData", wire(s));
  back.Decode(sample);
  EXPECT_EQ(back, u);
  EXPECT_EQ(back.VideoList[0].DetectionResult[0].obj_id, 4000000001u);
  EXPECT_EQ(back.DeviceList[0].port, -554);

  // The moving decode reads the same records, with the pictures moved out.
  NVPSeq moved = wire(s);
  UniInfo by_move;
  by_move.Decode(std::move(moved));
  EXPECT_EQ(by_move, u);
  // A repeated list replaces the earlier one in both decodes.
  NVPSeq twice = wire(s);
  twice.push_back(twice[0]);
  twice.back().value().iotv_nvp_seq(NVPSeq(twice[0].value().iotv_nvp_seq().begin(),
                                           twice[0].value().iotv_nvp_seq().begin() + 1));
  UniInfo copied_twice, moved_twice;
  copied_twice.Decode(static_cast<const NVPSeq &>(twice));
  moved_twice.Decode(std::move(twice));
  ASSERT_EQ(copied_twice.VideoList.size(), 1u);
  EXPECT_EQ(moved_twice, copied_twice);
  // A list that is no list fails the same way.
  NVPSeq bad = wire(s);
  bad[0].value().iotv_uint32(7);
  UniInfo nope;
  EXPECT_THROW(nope.Decode(std::move(bad)), iot::IotException);
}

TEST(EdgeRecords, DecodingIgnoresUnknownKeepsDefaultsAndLastTagWins) {
  FrameInfo f = recordsamples::frame();
  NVPSeq s = f.Encode();
  s.pop_back();  // no framerate
  IOT_VALUE extra;
  extra.iotv_string("ignored");
  s.insert(s.begin() + 2, IOT_NVP("colour", extra));
  IOT_VALUE again;
  again.iotv_uint32(99);
  s.emplace_back("frame_id", again);
  FrameInfo back;
  back.Decode(s);
  EXPECT_EQ(back.framerate, 0.f);
  EXPECT_EQ(back.frame_id, 99u);
  back.frame_id = f.frame_id;
  back.framerate = f.framerate;
  EXPECT_EQ(back, f);

  // A repeated list tag replaces the earlier list.
  Information<ClassificationData> cls;
  cls.data.resize(3);
  NVPSeq cs = cls.Encode();
  cls.data.resize(1);
  cs.push_back(cls.Encode()[3]);
  Information<ClassificationData> cls2;
  cls2.Decode(cs);
  EXPECT_EQ(cls2.data.size(), 1u);

  FrameInfo empty;
  EXPECT_EQ(empty.Encode()[3].value().iotv_byte_seq().size(), 0u);
  EXPECT_EQ(empty.GetString(), "");
}

TEST(EdgeRecords, WrongKindThrowsTheLibraryException) {
  NVPSeq s = recordsamples::frame().Encode();
  s[1].value().iotv_int32(5);
  FrameInfo f;
  EXPECT_THROW(f.Decode(s), iot::IotException);
}

TEST(EdgeRecords, GetStringTexts) {
  const std::string stars = "************************************\n";
  Information<ClassificationData> cls;
  cls.engine_id = "e";
  cls.stream_id = "s";
  cls.frame_id = 3;
  EXPECT_EQ(cls.GetString(), stars + "EngineID = e\nStreamID = s\nFrameID = 3\nData content = \n" + stars);
  ClassificationData c;
  c.index = 1;
  c.output = "o";
  c.label = "cat";
  c.probability = 0.5f;
  cls.data = {c};
  EXPECT_EQ(cls.GetString(), stars + "EngineID = e\nStreamID = s\nFrameID = 3\nData content = \n"
                                     "[0]\n Index = 1\n Output = o\n Label = cat\n Probability = 0.5\n"
                                     " --------- \n" + stars);
  Information<DetectionBoxData> det;
  DetectionBoxData b;
  b.obj_id = 2;
  b.obj_label = "car";
  b.class_id = 5;
  b.class_label = "X";
  b.x1 = 0.5f, b.y1 = 1, b.x2 = 2, b.y2 = 3;
  b.probability = 1;
  det.data = {b};
  EXPECT_EQ(det.GetString(), stars + "EngineID = \nStreamID = \nFrameID = 0\nData content = \n[0]\n"
                                     " (ObjID, ObjLabel) = (2, car)\n (ClassID, ClassLabel) = (5, X)\n"
                                     " (X1, Y1, X2, Y2) = (0.5, 1, 2, 3)\n Probability = 1\n Meta = \n"
                                     " --------- \n" + stars);
  SegmentInfo seg;
  EXPECT_EQ(seg.GetString(), "");
  seg.engine_id = "e";
  seg.frame_id = 9;
  for (uint32_t i = 0; i < 12; ++i) {
    SegmentationData d;
    d.id = i;
    d.label = "l";
    d.width = 100;
    d.height = 50;
    seg.data.push_back(d);
  }
  std::string text = seg.GetString();
  const std::string head =
      stars + "engine_id = e\nstream_id = \nframe_id = 9\ninference_id = 0\ndata = \n0, l, 100, 50\n";
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_NE(text.find("9, l, 100, 50\n ... \n" + stars), std::string::npos);
  EXPECT_EQ(text.find("10, l"), std::string::npos) << "only the first 10 elements";
}

TEST(EdgeRecords, ToMatRawRowsAndShortData) {
  FrameInfo f = recordsamples::frame();
  cv::Mat m;
  f.ToMat(m);
  ASSERT_EQ(m.rows, 2);
  ASSERT_EQ(m.cols, 2);
  EXPECT_EQ(m.type(), CV_8UC3);
  EXPECT_EQ(std::vector<uint8_t>(m.data, m.data + 12), f.data);
  f.data.pop_back();
  EXPECT_THROW(f.ToMat(m), std::out_of_range);
  cv::Mat untouched(3, 3, CV_8UC1, cv::Scalar(7));
  FrameInfo none;
  none.ToMat(untouched);
  EXPECT_EQ(untouched.rows, 3) << "empty data leaves the matrix alone";
}

TEST(EdgeRecords, ToMatEncodedNeverCopiesPastDataOrImage) {
  FrameInfo f;
  f.width = 2;
  f.height = 2;
  f.compression = "com.vision.models.COMPRESSION_KIND_GST_ENCODED";
  f.data = {1, 2, 3, 4, 5};
  f.size = 5;
  cv::Mat m;
  f.ToMat(m);
  EXPECT_EQ(std::vector<uint8_t>(m.data, m.data + 5), f.data);
  f.size = 6;  // more than data has
  EXPECT_THROW(f.ToMat(m), std::out_of_range);
  f.data.assign(13, 1);
  f.size = 13;  // more than a 2x2x3 image holds
  EXPECT_THROW(f.ToMat(m), std::out_of_range);
}

TEST(EdgeRecords, ToMatJpegAndUnknownCompression) {
  cv::Mat img(8, 16, CV_8UC3, cv::Scalar(10, 200, 30));
  std::vector<uint8_t> jpg;
  ASSERT_TRUE(cv::imencode(".jpg", img, jpg));
  VXA_VideoFrameData v;
  v.width = 16;
  v.height = 8;
  v.data = jpg;
  v.compression = "com.vision.models.COMPRESSION_KIND_JPG";
  cv::Mat m;
  v.ToMat(m);
  ASSERT_EQ(m.size(), img.size());
  EXPECT_NEAR(m.at<cv::Vec3b>(4, 8)[1], 200, 4);

  v.compression = "com.vision.models.COMPRESSION_KIND_H264";
  cv::Mat keep(8, 16, CV_8UC3, cv::Scalar(1, 2, 3));
  testing::internal::CaptureStderr();
  v.ToMat(keep);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Unsupport image format: com.vision.models.COMPRESSION_KIND_H264\n");
  EXPECT_EQ(keep.at<cv::Vec3b>(0, 0), cv::Vec3b(1, 2, 3));
}

/* A peer's header alone must not make the receiver allocate: sizes are
 * checked against the data (and a bound) before the image is made. */
TEST(EdgeRecords, ToMatRefusesSizesItsDataCannotBack) {
  cv::Mat keep(2, 2, CV_8UC3, cv::Scalar(1, 2, 3));
  const uchar *before = keep.data;
  auto refused = [&](const FrameInfo &f) {
    EXPECT_THROW(f.ToMat(keep), std::out_of_range) << f.compression;
    EXPECT_EQ(keep.data, before) << f.compression << ": the image was replaced";
    EXPECT_EQ(keep.size(), cv::Size(2, 2)) << f.compression;
  };
  FrameInfo raw = recordsamples::frame();
  raw.width = raw.height = 60000;  // 10 GB of rows from 12 bytes
  refused(raw);

  // From a fuzzing run: 10 encoded bytes in a 4 x 1852007682 image.
  FrameInfo enc;
  enc.compression = "com.vision.models.COMPRESSION_KIND_GST_ENCODED";
  enc.width = 4;
  enc.height = 1852007682u;
  enc.data.assign(10, 7);
  enc.size = 10;
  refused(enc);

  // A small JPEG whose own header claims 30000 x 30000 pixels.
  std::vector<uint8_t> jpg;
  ASSERT_TRUE(cv::imencode(".jpg", cv::Mat(8, 16, CV_8UC3, cv::Scalar(9, 9, 9)), jpg));
  FrameInfo bomb;
  bomb.compression = "com.vision.models.COMPRESSION_KIND_JPG";
  bomb.width = 16;
  bomb.height = 8;
  bomb.data = jpg;
  size_t sof = 0;
  while (sof + 9 < jpg.size() && !(jpg[sof] == 0xFF && jpg[sof + 1] == 0xC0)) ++sof;
  ASSERT_LT(sof + 9, jpg.size()) << "no frame header in the encoded JPEG";
  for (size_t at : {sof + 5, sof + 7}) {
    bomb.data[at] = 30000 >> 8;
    bomb.data[at + 1] = 30000 & 0xFF;
  }
  refused(bomb);

  // Another picture format under the JPG kind is not decoded either.
  FrameInfo png = bomb;
  ASSERT_TRUE(cv::imencode(".png", cv::Mat(8, 16, CV_8UC3, cv::Scalar(9, 9, 9)), png.data));
  refused(png);

  // The unchanged JPEG still decodes to its own size.
  bomb.data = jpg;
  bomb.width = bomb.height = 1;
  cv::Mat m;
  bomb.ToMat(m);
  EXPECT_EQ(m.size(), cv::Size(16, 8));
}

TEST(EdgeRecords, CopyAppendsData) {
  FrameInfo src = recordsamples::frame();
  FrameInfo dst;
  dst.data = {42};
  dst.frame_id = 1;
  src.Copy(dst);
  EXPECT_EQ(dst.frame_id, src.frame_id);
  EXPECT_EQ(dst.framerate, src.framerate);
  ASSERT_EQ(dst.data.size(), 13u);
  EXPECT_EQ(dst.data[0], 42);
  EXPECT_EQ(std::vector<uint8_t>(dst.data.begin() + 1, dst.data.end()), src.data);
}

TEST(EdgeRecords, TimeTexts) {
  std::tm t{};
  t.tm_year = 120;
  t.tm_mon = 0;
  t.tm_mday = 2;
  t.tm_hour = 3;
  t.tm_min = 4;
  t.tm_sec = 5;
  EXPECT_EQ(digit_time(t, 7), 20200102030405007ULL);
  uint64_t now = FrameInfo::GetDigitUTCTime();
  EXPECT_EQ(std::to_string(now).size(), 17u);
  EXPECT_TRUE(std::regex_match(FrameInfo::GetUTCTime(),
                               std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{1,3})")));
  int64_t ms = FrameInfo::GetDigitTimeSince1970();
  EXPECT_GT(ms, 1600000000000LL);
}

TEST(EdgeRecords, ShowFpsAccumulatesThenReports) {
  FPSCalc calc;
  const double freq = cv::getTickFrequency();
  EXPECT_EQ(calc.showFPS(0), "accumulated 1 frame. <Base = 30>");
  for (int i = 1; i < 30; ++i) {
    std::string s = calc.showFPS(i * freq / 25.0);
    EXPECT_EQ(s, "accumulated " + std::to_string(i + 1) + " frame. <Base = 30>");
  }
  EXPECT_EQ(calc.showFPS(30 * freq / 25.0), "25.000000");
  // The window of 29 intervals slides: one slow interval lowers the rate.
  std::string slow = calc.showFPS(31 * freq / 25.0 + freq);
  EXPECT_EQ(slow, "25.000000") << "computed before the update";
  EXPECT_LT(std::stod(calc.showFPS(32 * freq / 25.0 + freq)), 25.0);
}

TEST(EdgeRecords, UuidPatternAndFreshness) {
  std::regex pattern("[0-9a-f]+-[0-9a-f]+-4[0-9a-f]{3}-[89a-f][0-9a-f]{3}-[0-9a-f]+");
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string id = generateUUID();
    EXPECT_TRUE(std::regex_match(id, pattern)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 100u) << "ids made within one millisecond must still differ";
}
