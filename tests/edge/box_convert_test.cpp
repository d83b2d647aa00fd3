#include <gtest/gtest.h>

#include "box_convert.h"
#include "ovbatch_records.h"
#include "record_samples.h"

using namespace VXCORE;

namespace {

orvane::ai::DetectionBoxResult meta_box() {
  orvane::ai::DetectionBoxResult b;
  b.obj_id = 0xFFFFFFFFu;
  b.obj_label = "car";
  b.class_id = 0x80000000u;
  b.class_label = "vehicle";
  b.x1 = 0.125f;
  b.y1 = 0.25f;
  b.x2 = 0.5f;
  b.y2 = 1.5f;
  b.prob = 0.875f;
  b.meta = "{\"k\":1}";
  return b;
}

/* The same box as a bus result element. */
DetectionBoxData record_box() { return recordsamples::box(-1, INT32_MIN); }

void expect_meta_box(const orvane::ai::DetectionBoxResult &b) {
  const orvane::ai::DetectionBoxResult want = meta_box();
  EXPECT_EQ(b.obj_id, want.obj_id);
  EXPECT_EQ(b.obj_label, want.obj_label);
  EXPECT_EQ(b.class_id, want.class_id);
  EXPECT_EQ(b.class_label, want.class_label);
  EXPECT_EQ(b.x1, want.x1);
  EXPECT_EQ(b.y1, want.y1);
  EXPECT_EQ(b.x2, want.x2);
  EXPECT_EQ(b.y2, want.y2);
  EXPECT_EQ(b.prob, want.prob);
  EXPECT_EQ(b.meta, want.meta);
}

}  // namespace

TEST(BoxConvert, DetectionBoxThroughEveryForm) {
  const DetectionBoxData plain = convert_box<DetectionBoxData>(meta_box());
  EXPECT_EQ(plain, record_box());

  const VXA_DetectionBoxData bus = convert_box<VXA_DetectionBoxData>(plain);
  VXA_DetectionBoxData want;
  want.obj_id = 0xFFFFFFFFu;
  want.class_id = 0x80000000u;
  want.obj_label = "car";
  want.class_label = "vehicle";
  want.x1 = 0.125f;
  want.y1 = 0.25f;
  want.x2 = 0.5f;
  want.y2 = 1.5f;
  want.probability = 0.875f;
  want.meta = "{\"k\":1}";
  EXPECT_EQ(bus, want) << "the engine id is the caller's";

  EXPECT_EQ(convert_box<DetectionBoxData>(bus), record_box());
  expect_meta_box(convert_box<orvane::ai::DetectionBoxResult>(plain));
  expect_meta_box(convert_box<orvane::ai::DetectionBoxResult>(bus));
}

TEST(BoxConvert, ClassificationThroughEveryForm) {
  orvane::ai::ClassificationResult meta;
  meta.index = 0xFFFFFFFEu;
  meta.output = "prob";
  meta.label = "cat";
  meta.prob = 0.625f;

  ClassificationData plain = convert_classification<ClassificationData>(meta);
  ClassificationData want;
  want.index = -2;
  want.output = "prob";
  want.label = "cat";
  want.probability = 0.625f;
  EXPECT_EQ(plain, want);

  VXA_ClassificationData bus = convert_classification<VXA_ClassificationData>(plain);
  EXPECT_EQ(bus.engine_id, "");
  EXPECT_EQ(bus.index, 0xFFFFFFFEu);
  EXPECT_EQ(bus.output, "prob");
  EXPECT_EQ(bus.label, "cat");
  EXPECT_EQ(bus.probability, 0.625f);

  const orvane::ai::ClassificationResult back =
      convert_classification<orvane::ai::ClassificationResult>(bus);
  EXPECT_EQ(back.index, 0xFFFFFFFEu);
  EXPECT_EQ(back.output, "prob");
  EXPECT_EQ(back.label, "cat");
  EXPECT_EQ(back.prob, 0.625f);
}

TEST(BoxConvert, AppendKeepsWhatTheListHeld) {
  std::vector<DetectionBoxData> boxes(1);
  append_boxes(boxes, std::vector<orvane::ai::DetectionBoxResult>{meta_box(), meta_box()});
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0], DetectionBoxData());
  EXPECT_EQ(boxes[2], record_box());

  std::vector<VXA_ClassificationData> cls;
  append_classifications(cls, std::vector<ClassificationData>(2));
  EXPECT_EQ(cls.size(), 2u);
}

TEST(BoxConvert, DeviceFieldsAndPort) {
  DeviceInfo d;
  d.stream_id = "cam";
  d.mac_address = "aa";
  d.port = -1;
  d.uri = "rtsp://x";
  d.manufacturer = "mk";
  d.model = "md";
  d.serial = "sn";
  d.fw_version = "fw";
  d.dev_id = "id";
  d.status = "st";
  d.kind = "kd";
  d.protocol = "pr";  // ip_address left empty

  const DeviceInfoData meta = convert_device<DeviceInfoData>(d);
  EXPECT_EQ(meta.port, 0xFFFFFFFFu);
  EXPECT_EQ(meta.ip_address, "");
  EXPECT_EQ(std::vector<std::string>({meta.stream_id, meta.mac_address, meta.uri,
                                      meta.manufacturer, meta.model, meta.serial, meta.fw_version,
                                      meta.dev_id, meta.status, meta.kind, meta.protocol}),
            std::vector<std::string>(
                {"cam", "aa", "rtsp://x", "mk", "md", "sn", "fw", "id", "st", "kd", "pr"}));

  // Back, with every string through a text function.
  const DeviceInfo back = convert_device<DeviceInfo>(
      meta, [](const std::string &s) { return s.empty() ? std::string("-") : s + "!"; });
  EXPECT_EQ(back.port, -1);
  EXPECT_EQ(back.ip_address, "-");
  EXPECT_EQ(back.stream_id, "cam!");
  EXPECT_EQ(back.protocol, "pr!");
  EXPECT_EQ(back.mac_address, "aa!");
}
