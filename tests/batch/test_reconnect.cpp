// When the camera source tries again: backoff, which errors are worth a
// retry, which streams end by themselves.
#include <vector>

#include <gtest/gtest.h>

#include "reconnect.h"

namespace {

using ovbatch::Backoff;

TEST(Backoff, DoublesUpToTheLongestAndStartsOverAfterFrames) {
  Backoff b(500 * GST_MSECOND, 3 * GST_SECOND);
  std::vector<GstClockTime> waits;
  for (int i = 0; i < 5; ++i)
    waits.push_back(b.next());
  EXPECT_EQ(waits, (std::vector<GstClockTime>{500 * GST_MSECOND, GST_SECOND, 2 * GST_SECOND,
                                              3 * GST_SECOND, 3 * GST_SECOND}));
  EXPECT_EQ(b.tries(), 5u);
  b.reset();
  EXPECT_EQ(b.next(), 500 * GST_MSECOND);
}

TEST(Backoff, ALongestBelowTheFirstIsTheFirst) {
  Backoff b(2 * GST_SECOND, GST_SECOND);
  EXPECT_EQ(b.next(), 2 * GST_SECOND);
  EXPECT_EQ(b.next(), 2 * GST_SECOND);
}

TEST(Backoff, ManyTriesDoNotOverflow) {
  Backoff b(GST_SECOND, 10 * GST_SECOND);
  for (int i = 0; i < 200; ++i)
    b.next();
  EXPECT_EQ(b.next(), 10 * GST_SECOND);
}

TEST(Reconnect, ALostCameraIsTriedAgainAMissingPieceIsNot) {
  using ovbatch::worth_a_retry;
  EXPECT_TRUE(worth_a_retry(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ));
  EXPECT_TRUE(worth_a_retry(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ_WRITE));
  EXPECT_TRUE(worth_a_retry(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_NOT_FOUND));
  EXPECT_TRUE(worth_a_retry(GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED));
  EXPECT_TRUE(worth_a_retry(GST_CORE_ERROR, GST_CORE_ERROR_FAILED));
  EXPECT_FALSE(worth_a_retry(GST_CORE_ERROR, GST_CORE_ERROR_MISSING_PLUGIN));
  EXPECT_FALSE(worth_a_retry(GST_CORE_ERROR, GST_CORE_ERROR_NEGOTIATION));
  EXPECT_FALSE(worth_a_retry(GST_STREAM_ERROR, GST_STREAM_ERROR_CODEC_NOT_FOUND));
  EXPECT_FALSE(worth_a_retry(GST_STREAM_ERROR, GST_STREAM_ERROR_WRONG_TYPE));
  EXPECT_FALSE(worth_a_retry(GST_URI_ERROR, GST_URI_ERROR_UNSUPPORTED_PROTOCOL));
}

TEST(Reconnect, OnlyAFileEndsByItself) {
  EXPECT_TRUE(ovbatch::ends_by_itself("file:///tmp/a.avi"));
  EXPECT_TRUE(ovbatch::ends_by_itself("FILE:///tmp/a.avi"));
  EXPECT_FALSE(ovbatch::ends_by_itself("rtsp://127.0.0.1:8554/cam"));
  EXPECT_FALSE(ovbatch::ends_by_itself("v4l2:///dev/video0"));
  EXPECT_FALSE(ovbatch::ends_by_itself("not a uri"));
  EXPECT_FALSE(ovbatch::ends_by_itself(nullptr));
}

}  // namespace
