#include "ovrt_core.h"

#include <opencv2/imgproc.hpp>

namespace ovrt {

FeedResult feed_and_infer(BaseEngine &engine, const std::vector<cv::Mat> &frames, int batch,
                          int width, int height, cv::Mat &resized, const FeedEvents &events,
                          ChannelOrder order, cv::Mat *swapped) {
  cv::Mat own;
  if (swapped == nullptr)
    swapped = &own;
  for (unsigned i = 0; i < frames.size(); ++i) {
    const cv::Mat *frame = &frames[i];
    if (frame->rows != height || frame->cols != width) {
      cv::resize(*frame, resized, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
      if (events.resized)
        events.resized(i, frame->cols, frame->rows, width, height);
      frame = &resized;
    }
    if (static_cast<int>(i) > batch - 1) {
      if (events.skipped)
        events.skipped(i, batch);
      break;
    }
    if (order == ChannelOrder::Rgb) {
      cv::cvtColor(*frame, *swapped, cv::COLOR_BGR2RGB);
      frame = swapped;
    }
    if (events.updating)
      events.updating(i);
    if (!engine.Update(*frame, static_cast<int>(i)))
      return FeedResult::UpdateFailed;
  }
  return engine.Infer() ? FeedResult::Ok : FeedResult::InferFailed;
}

int frame_limit(const BaseEngine &engine, int batch) {
  if (engine.inputDims.empty() || engine.inputDims[0] < 1)
    return batch;
  return batch > engine.inputDims[0] ? static_cast<int>(engine.inputDims[0]) : batch;
}

bool input_size(const BaseEngine &engine, int &width, int &height) {
  if (engine.inputDims.size() < 4 || engine.inputDims[2] < 1 || engine.inputDims[3] < 1)
    return false;
  height = static_cast<int>(engine.inputDims[2]);
  width = static_cast<int>(engine.inputDims[3]);
  return true;
}

EngineSlot::EngineSlot(EngineMaker maker) : maker_(std::move(maker)) {}

EngineSlot::State EngineSlot::ensure(const EngineSettings &settings, bool &created) {
  created = false;
  if (load_failed_)
    return State::LoadFailed;
  if (engine_)
    return State::Ready;
  std::shared_ptr<BaseEngine> engine = maker_(settings);
  if (!engine)
    return State::MakeFailed;
  created = true;
  if (!engine->Load()) {
    load_failed_ = true;
    return State::LoadFailed;
  }
  engine_ = std::move(engine);
  return State::Ready;
}

}  // namespace ovrt
