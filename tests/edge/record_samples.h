/* Records of every kind with each field set to a value other than its
 * default, for the records tests and the fuzz seeds.  The golden tests pin
 * the bytes and texts of exactly these values. */
#ifndef EDGE_RECORD_SAMPLES_H
#define EDGE_RECORD_SAMPLES_H

#include "edge_records.h"

namespace recordsamples {

using namespace VXCORE;

inline FrameInfo frame() {
  FrameInfo f;
  f.stream_id = "cam-7";
  f.frame_id = 3000000001u;
  f.timestamp = -1607400000123LL;
  f.data = {0, 1, 2, 127, 128, 200, 255, 7, 8, 9, 10, 11};
  f.width = 2;
  f.height = 2;
  f.channels = 3;
  f.size = 12;
  f.format = "BGR8";
  f.compression = "NONE";
  f.framerate = 12.5f;
  return f;
}

inline DeviceInfo device() {
  DeviceInfo d;
  d.stream_id = "cam-7";
  d.mac_address = "00:11:22:33:44:55";
  d.ip_address = "10.1.2.3";
  d.port = -554;
  d.uri = "rtsp://10.1.2.3/s";
  d.manufacturer = "maker";
  d.model = "m1";
  d.serial = "sn9";
  d.fw_version = "2.0";
  d.dev_id = "dev";
  d.status = "up";
  d.kind = "camera";
  d.protocol = "rtsp";
  return d;
}

inline ClassificationData cls(int32_t index, const char *label) {
  ClassificationData c;
  c.index = index;
  c.output = "prob";
  c.label = label;
  c.probability = 0.75f;
  return c;
}

inline DetectionBoxData box(int32_t obj, int32_t klass) {
  DetectionBoxData b;
  b.obj_id = obj;
  b.class_id = klass;
  b.obj_label = "car";
  b.class_label = "vehicle";
  b.x1 = 0.125f;
  b.y1 = 0.25f;
  b.x2 = 0.5f;
  b.y2 = 1.5f;
  b.probability = 0.875f;
  b.meta = "{\"k\":1}";
  return b;
}

inline SegmentationData run(uint32_t id) {
  SegmentationData s;
  s.id = id;
  s.repeat = 4;
  s.width = 6;
  s.height = 5;
  s.size = 3;
  s.channels = 1;
  s.color = 0xff8000;
  s.label = "road";
  s.probability = 0.5f;
  s.data = {3, 2, 1};
  return s;
}

inline VXA_VideoFrameData video() {
  VXA_VideoFrameData v;
  v.stream_id = "cam-8";
  v.frame_id = 77;
  v.timestamp = 1607400000123LL;
  v.data = {9, 8, 7};
  v.width = 1;
  v.height = 1;
  v.channels = 3;
  v.size = 3;
  v.format = "RGB8";
  v.compression = "JPG";
  v.framerate = 30.f;
  VXA_ClassificationData c;
  c.engine_id = "eng";
  c.index = 4000000000u;
  c.output = "out";
  c.label = "dog";
  c.probability = 0.25f;
  v.ClassificationResult = {c, c};
  v.ClassificationResult[1].index = 1;
  VXA_DetectionBoxData d;
  d.engine_id = "eng";
  d.obj_id = 4000000001u;
  d.class_id = 2;
  d.obj_label = "ball";
  d.class_label = "toy";
  d.x1 = 1.f;
  d.y1 = 2.f;
  d.x2 = 3.f;
  d.y2 = 4.f;
  d.probability = 0.625f;
  d.meta = "m";
  v.DetectionResult = {d};
  v.SegmentationResult = {run(1)};
  return v;
}

inline UniInfo uni() {
  UniInfo u;
  u.VideoList.push_back(video());
  VXA_VideoFrameData bare;  // empty picture and lists
  bare.stream_id = "cam-9";
  bare.frame_id = 1;
  u.VideoList.push_back(bare);
  VXA_DeviceInfoData d;
  static_cast<DeviceInfo &>(d) = device();
  u.DeviceList = {d};
  return u;
}

}  // namespace recordsamples

#endif
