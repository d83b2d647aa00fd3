/* The element's core with a recording engine: which frames are fed, when
 * they are resized, and the engine's lazy creation. */
#include <gtest/gtest.h>

#include "ovrt_core.h"

namespace {

struct FakeEngine final : BaseEngine {
  FakeEngine(int h, int w) { inputDims = {2, 3, h, w}; }
  void Clear() override {}
  bool Load() override { ++loads; return load_ok; }
  bool Update(const cv::Mat &image, int index) override {
    updates.push_back(index);
    data.push_back(image.data);
    sizes.push_back(image.size());
    return update_ok;
  }
  bool Infer() override { ++infers; return infer_ok; }
  void *OutputData() override { return nullptr; }
  uint64_t DataSize() override { return 0; }

  std::vector<int> updates;
  std::vector<const uchar *> data;
  std::vector<cv::Size> sizes;
  int loads = 0, infers = 0;
  bool load_ok = true, update_ok = true, infer_ok = true;
};

struct Events {
  std::vector<std::string> seen;
  ovrt::FeedEvents make() {
    ovrt::FeedEvents e;
    e.resized = [this](unsigned i, int c, int r, int w, int h) {
      seen.push_back("resize " + std::to_string(i) + " " + std::to_string(c) + "x" +
                     std::to_string(r) + "->" + std::to_string(w) + "x" + std::to_string(h));
    };
    e.skipped = [this](unsigned i, int b) {
      seen.push_back("skip " + std::to_string(i) + " " + std::to_string(b));
    };
    e.updating = [this](unsigned i) { seen.push_back("update " + std::to_string(i)); };
    return e;
  }
};

TEST(OvrtCore, FeedsUpToBatchFramesResizingOnlyThoseOfAnotherSize) {
  FakeEngine engine(4, 6);
  std::vector<cv::Mat> frames = {cv::Mat(4, 6, CV_8UC3, cv::Scalar(1)),
                                 cv::Mat(8, 8, CV_8UC3, cv::Scalar(2)),
                                 cv::Mat(4, 6, CV_8UC3, cv::Scalar(3))};
  cv::Mat resized;
  Events ev;
  EXPECT_EQ(ovrt::feed_and_infer(engine, frames, 2, 6, 4, resized, ev.make()), ovrt::FeedResult::Ok);
  EXPECT_EQ(engine.updates, (std::vector<int>{0, 1}));
  EXPECT_EQ(engine.data[0], frames[0].data) << "a frame at the network size is used without a copy";
  EXPECT_EQ(engine.data[1], resized.data);
  EXPECT_EQ(engine.sizes[1], cv::Size(6, 4));
  EXPECT_EQ(engine.infers, 1);
  EXPECT_EQ(ev.seen, (std::vector<std::string>{"update 0", "resize 1 8x8->6x4", "update 1", "skip 2 2"}));
}

TEST(OvrtCore, ReportsWhichStepFailed) {
  std::vector<cv::Mat> frames = {cv::Mat(4, 6, CV_8UC3, cv::Scalar(1))};
  cv::Mat resized;
  Events ev;
  FakeEngine bad_update(4, 6);
  bad_update.update_ok = false;
  EXPECT_EQ(ovrt::feed_and_infer(bad_update, frames, 1, 6, 4, resized, ev.make()),
            ovrt::FeedResult::UpdateFailed);
  EXPECT_EQ(bad_update.infers, 0);
  FakeEngine bad_infer(4, 6);
  bad_infer.infer_ok = false;
  EXPECT_EQ(ovrt::feed_and_infer(bad_infer, frames, 1, 6, 4, resized, ev.make()),
            ovrt::FeedResult::InferFailed);
}

TEST(OvrtCore, InputSizeNeedsFourDims) {
  FakeEngine engine(416, 608);
  int w = 0, h = 0;
  ASSERT_TRUE(ovrt::input_size(engine, w, h));
  EXPECT_EQ(w, 608);
  EXPECT_EQ(h, 416);
  engine.inputDims = {1, 3, 416};
  EXPECT_FALSE(ovrt::input_size(engine, w, h));
  engine.inputDims.clear();
  EXPECT_FALSE(ovrt::input_size(engine, w, h));
}

TEST(OvrtCore, EngineSlotMakesOnceAndNeverRetriesAFailedLoad) {
  int made = 0;
  std::shared_ptr<FakeEngine> last;
  bool load_ok = false;
  ovrt::EngineSlot slot([&](const ovrt::EngineSettings &s) {
    ++made;
    EXPECT_EQ(s.model, "m.engine");
    last = std::make_shared<FakeEngine>(4, 4);
    last->load_ok = load_ok;
    return std::shared_ptr<BaseEngine>(last);
  });
  ovrt::EngineSettings settings;
  settings.model = "m.engine";
  bool created = false;
  EXPECT_EQ(slot.ensure(settings, created), ovrt::EngineSlot::State::LoadFailed);
  EXPECT_TRUE(created);
  load_ok = true;
  EXPECT_EQ(slot.ensure(settings, created), ovrt::EngineSlot::State::LoadFailed);
  EXPECT_FALSE(created);
  EXPECT_EQ(made, 1);
  EXPECT_EQ(slot.get(), nullptr);

  ovrt::EngineSlot good([&](const ovrt::EngineSettings &) {
    ++made;
    return std::shared_ptr<BaseEngine>(std::make_shared<FakeEngine>(4, 4));
  });
  EXPECT_EQ(good.ensure(settings, created), ovrt::EngineSlot::State::Ready);
  EXPECT_TRUE(created);
  EXPECT_EQ(good.ensure(settings, created), ovrt::EngineSlot::State::Ready);
  EXPECT_FALSE(created);
  EXPECT_EQ(made, 2);

  ovrt::EngineSlot none([](const ovrt::EngineSettings &) { return std::shared_ptr<BaseEngine>(); });
  EXPECT_EQ(none.ensure(settings, created), ovrt::EngineSlot::State::MakeFailed);
}

}  // namespace
