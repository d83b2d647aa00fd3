/* One detection box, classification or device in each of its forms: the
 * bus result records' (DetectionBoxData, ClassificationData: signed ids), the
 * combined record's (VXA_DetectionBoxData, VXA_ClassificationData: unsigned
 * ids and an engine id) and the batch metadata's (orvane::ai::
 * DetectionBoxResult and ClassificationResult, DeviceInfoData: unsigned, the
 * probability named `prob`).
 *
 * An id keeps its bits from one signedness to the other (-1 is 0xFFFFFFFF
 * and back).  An engine id is not carried: the forms that have one get it
 * from their caller. */
#ifndef OVEDGE_BOX_CONVERT_H
#define OVEDGE_BOX_CONVERT_H

#include <vector>

#include "edge_records.h"

namespace VXCORE {

namespace convert_detail {

template <typename T>
auto probability_of(T &r) -> decltype((r.probability)) {
  return r.probability;
}
template <typename T>
auto probability_of(T &r) -> decltype((r.prob)) {
  return r.prob;
}

template <typename To, typename From>
void assign(To &to, const From &from) {
  to = static_cast<To>(from);
}

}  // namespace convert_detail

template <typename To, typename From>
To convert_box(const From &from) {
  using convert_detail::assign;
  To to;
  assign(to.obj_id, from.obj_id);
  assign(to.class_id, from.class_id);
  to.obj_label = from.obj_label;
  to.class_label = from.class_label;
  to.x1 = from.x1;
  to.y1 = from.y1;
  to.x2 = from.x2;
  to.y2 = from.y2;
  convert_detail::probability_of(to) = convert_detail::probability_of(from);
  to.meta = from.meta;
  return to;
}

template <typename To, typename From>
To convert_classification(const From &from) {
  To to;
  convert_detail::assign(to.index, from.index);
  to.output = from.output;
  to.label = from.label;
  convert_detail::probability_of(to) = convert_detail::probability_of(from);
  return to;
}

/* Every string field passes through `text` (the sink writes "Not Set" for an
 * empty one). */
template <typename To, typename From, typename Text>
To convert_device(const From &from, Text &&text) {
  To to;
  to.stream_id = text(from.stream_id);
  to.mac_address = text(from.mac_address);
  to.ip_address = text(from.ip_address);
  convert_detail::assign(to.port, from.port);
  to.uri = text(from.uri);
  to.manufacturer = text(from.manufacturer);
  to.model = text(from.model);
  to.serial = text(from.serial);
  to.fw_version = text(from.fw_version);
  to.dev_id = text(from.dev_id);
  to.status = text(from.status);
  to.kind = text(from.kind);
  to.protocol = text(from.protocol);
  return to;
}
template <typename To, typename From>
To convert_device(const From &from) {
  return convert_device<To>(from, [](const std::string &s) -> const std::string & { return s; });
}

/* Appends `from`, converted, to `to`. */
template <typename To, typename From>
void append_boxes(std::vector<To> &to, const std::vector<From> &from) {
  to.reserve(to.size() + from.size());
  for (const From &f : from) to.push_back(convert_box<To>(f));
}
template <typename To, typename From>
void append_classifications(std::vector<To> &to, const std::vector<From> &from) {
  to.reserve(to.size() + from.size());
  for (const From &f : from) to.push_back(convert_classification<To>(f));
}

}  // namespace VXCORE

#endif
