/* The inference element's work without GStreamer: bring frames to the
 * network input size, feed at most `batch` of them, run the engine once and
 * hand back its output bytes; and the engine's lazy creation, which fails
 * for good after a failed load. */
#ifndef OVINFER_OVRT_CORE_H
#define OVINFER_OVRT_CORE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "BaseEngine.h"

namespace ovrt {

/* What the element reports while feeding (it owns the messages). */
struct FeedEvents {
  std::function<void(unsigned index, int cols, int rows, int width, int height)> resized;
  std::function<void(unsigned index, int batch)> skipped;
  std::function<void(unsigned index)> updating;
};

enum class FeedResult { Ok, UpdateFailed, InferFailed };

/* The channel order a network was trained on; frames arrive as BGR. */
enum class ChannelOrder { Bgr = 0, Rgb = 1 };

/* Feeds frames 0 .. batch-1 (resized into `resized` when not width × height;
 * for an RGB network, with blue and red swapped into `swapped`) and runs the
 * engine once. */
FeedResult feed_and_infer(BaseEngine &engine, const std::vector<cv::Mat> &frames, int batch,
                          int width, int height, cv::Mat &resized, const FeedEvents &events,
                          ChannelOrder order = ChannelOrder::Bgr, cv::Mat *swapped = nullptr);

/* The frames one buffer may feed: the `batch` property, but never more than
 * the batch the engine was created with (its input dims' first value). */
int frame_limit(const BaseEngine &engine, int batch);

/* The network input size from the engine's input dims [batch, C, H, W];
 * false for engines with fewer than four. */
bool input_size(const BaseEngine &engine, int &width, int &height);

struct EngineSettings {
  std::string model;
  float scale = 1.0f;
  std::string mean;
  int device = -1;
  int batch = 1;
  bool rgb = false; /* feed red, green, blue */
};

using EngineMaker = std::function<std::shared_ptr<BaseEngine>(const EngineSettings &)>;

/* Holds the element's engine: made and loaded by the first buffer; a load
 * that failed is not retried, so no frame ever reaches an engine that did not
 * load. */
class EngineSlot {
 public:
  enum class State { Ready, MakeFailed, LoadFailed };

  explicit EngineSlot(EngineMaker maker);
  /* Ready when an engine is loaded; `created` tells whether this call made it. */
  State ensure(const EngineSettings &settings, bool &created);
  BaseEngine *get() const { return engine_.get(); }
  /* Whether a first buffer already made (or failed to make) the engine. */
  bool attempted() const { return engine_ != nullptr || load_failed_; }
  void reset() {
    engine_.reset();
    load_failed_ = false;
  }

 private:
  EngineMaker maker_;
  std::shared_ptr<BaseEngine> engine_;
  bool load_failed_ = false;
};

}  // namespace ovrt

#endif /* OVINFER_OVRT_CORE_H */
