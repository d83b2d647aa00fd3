// The batch record travels with its buffer through ordinary elements, and a
// tee's shared buffer is copied (record included) before it is changed.
#include <gtest/gtest.h>

#include "gstovmeta_utils.h"
#include "ov_test.h"

TEST(MetaPipeline, RecordSurvivesElementsAndCopies) {
  ovtest::AppPipeline p("appsrc name=src format=time caps=" + ovtest::video_caps("BGR", 8, 4) +
                        " ! identity ! tee name=t t. ! queue ! appsink name=sink"
                        " t. ! queue ! fakesink");
  ASSERT_TRUE(p.ok());
  ASSERT_TRUE(p.start());
  for (int i = 0; i < 3; ++i) {
    ovtest::BufferPtr buf = ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 8, 4);
    GST_BUFFER_PTS(buf.get()) = i * GST_SECOND / 30;
    GstOvBatchMeta *m = try_get_ov_batch_meta(buf.get());
    VideoFrameData f;
    f.frame_id = 100 + i;
    f.width = 8;
    f.height = 4;
    m->batch.frames.push_back(f);
    ASSERT_EQ(p.push(std::move(buf)), GST_FLOW_OK);
  }
  p.end_of_stream();
  std::vector<ovtest::SamplePtr> samples = p.pull_all();
  ASSERT_EQ(samples.size(), 3u) << p.error();
  for (int i = 0; i < 3; ++i) {
    GstBuffer *b = gst_sample_get_buffer(samples[i].get());
    GstOvBatchMeta *m = gst_buffer_get_ov_batch_meta(b);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->batch.frames.size(), 1u);
    EXPECT_EQ(m->batch.frames[0].frame_id, unsigned(100 + i));
    // The tee shares the buffer: making it writable copies the record along.
    ovtest::BufferPtr mine(gst_buffer_copy(b));
    gst_buffer_get_ov_batch_meta(mine.get())->batch.frames[0].frame_id = 0;
    EXPECT_EQ(m->batch.frames[0].frame_id, unsigned(100 + i));
  }
  EXPECT_EQ(p.error(), "");
}
