#include "sink_frames.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>

#include "sink_records.h"

namespace ovedge {

namespace {

std::string trimmed(const std::string &s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  const size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

const DeviceInfoData *device_of(const OvBatch &batch, const VideoFrameData &f) {
  return f.device_idx < batch.devices.size() ? &batch.devices[f.device_idx] : nullptr;
}

/* The stream ids of the published frames, distinct within the buffer. */
void name_streams(std::vector<FrameSlot> &slots, const std::vector<size_t> &index) {
  std::set<std::string> used;
  for (size_t i = 0; i < slots.size(); ++i) {
    FrameSlot &s = slots[i];
    std::string id = trimmed(s.frame->stream_id);
    if (id.empty() && s.device) id = trimmed(s.device->stream_id);
    if (id.empty()) id = "stream-" + std::to_string(index[i]);
    if (used.count(id)) id += "#" + std::to_string(index[i]);
    used.insert(id);
    s.stream_id = id;
  }
}

}  // namespace

FramePlan plan_frames(const OvBatch *batch, int width, int height, bool all_frames) {
  FramePlan plan;
  if (!batch || batch->frames.empty()) {
    FrameSlot s;
    s.stream_id = kFakeStreamId;
    plan.slots.push_back(s);
    return plan;
  }
  const std::vector<VideoFrameData> &frames = batch->frames;
  if (frames.size() == 1) {
    FrameSlot s;
    s.frame = &frames[0];
    s.device = device_of(*batch, frames[0]);
    s.stream_id = frames[0].stream_id;
    plan.slots.push_back(s);
    if (all_frames) name_streams(plan.slots, {0});
    return plan;
  }

  // Where each frame lies: one under the other, in record order.
  uint64_t y = 0;
  std::vector<FrameSlot> slots;
  std::vector<size_t> index;
  for (size_t k = 0; k < frames.size(); ++k) {
    const VideoFrameData &f = frames[k];
    if (f.width > static_cast<uint64_t>(width) || y + f.height > static_cast<uint64_t>(height)) {
      std::ostringstream why;
      why << "frame " << k << " of the batch record (" << f.width << "x" << f.height
          << " at row " << y << ") lies outside the " << width << "x" << height << " picture";
      plan.error = why.str();
      return plan;
    }
    FrameSlot s;
    s.frame = &f;
    s.device = device_of(*batch, f);
    s.stream_id = f.stream_id;
    s.whole = false;
    s.y = static_cast<int>(y);
    s.width = static_cast<int>(f.width);
    s.height = static_cast<int>(f.height);
    y += f.height;
    if (s.width == 0 || s.height == 0) continue;
    slots.push_back(s);
    index.push_back(k);
  }
  if (!all_frames && !slots.empty() && index.front() == 0) {
    plan.slots.push_back(slots.front());
    plan.left_out = frames.size() - 1;
    return plan;
  }
  if (!all_frames) {
    plan.left_out = frames.size();  // frame 0 has no pixels
    return plan;
  }
  plan.slots = std::move(slots);
  plan.left_out = frames.size() - plan.slots.size();
  name_streams(plan.slots, index);
  return plan;
}

void cut_bgr_rows(const std::vector<uint8_t> &image, int image_width, int y, int w, int h,
                  std::vector<uint8_t> &dst) {
  const size_t row = static_cast<size_t>(w) * 3;
  const size_t stride = static_cast<size_t>(image_width) * 3;
  dst.resize(row * static_cast<size_t>(h));
  for (int r = 0; r < h; ++r)
    std::memcpy(dst.data() + row * r, image.data() + stride * static_cast<size_t>(y + r), row);
}

bool FrameIdWatch::repeats(const std::string &stream, uint32_t id) {
  auto it = last_.find(stream);
  if (it == last_.end()) {
    if (last_.size() >= kStreams) last_.erase(last_.begin());
    last_.emplace(stream, id);
    return false;
  }
  const bool repeated = id <= it->second;
  it->second = id;
  return repeated;
}

}  // namespace ovedge
