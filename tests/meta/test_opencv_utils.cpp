// Frame/matrix conversion: views over the buffer with the real row stride,
// refusal of buffers that cannot hold the frame, caps and type tables.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "gstopencvutils.h"
#include "ov_test.h"

namespace {

cv::Vec3b picture(int x, int y) { return cv::Vec3b(x % 251, y % 241, (x * 3 + y) % 256); }

/* A BGR buffer laid out as GStreamer lays it out (padded rows), holding the
 * test picture. */
ovtest::BufferPtr bgr_picture(int width, int height, GstVideoInfo *info_out = nullptr) {
  GstVideoInfo info;
  gst_video_info_set_format(&info, GST_VIDEO_FORMAT_BGR, width, height);
  ovtest::BufferPtr buf = ovtest::make_buffer(GST_VIDEO_INFO_SIZE(&info), 0xEE);
  ov::BufferMap map(buf.get(), GST_MAP_WRITE);
  const int stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      cv::Vec3b p = picture(x, y);
      for (int c = 0; c < 3; ++c)
        map.data()[y * stride + x * 3 + c] = p[c];
    }
  if (info_out)
    *info_out = info;
  return buf;
}

::testing::AssertionResult equals_picture(const cv::Mat &m, int width, int height) {
  if (m.cols != width || m.rows != height || m.type() != CV_8UC3)
    return ::testing::AssertionFailure() << "view is " << m.cols << "x" << m.rows << " type "
                                         << m.type();
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      if (m.at<cv::Vec3b>(y, x) != picture(x, y))
        return ::testing::AssertionFailure() << "pixel (" << x << "," << y << ") differs";
  return ::testing::AssertionSuccess();
}

struct UnmappableAllocator {
  GstAllocator parent;
};
struct UnmappableAllocatorClass {
  GstAllocatorClass parent_class;
};
G_DEFINE_TYPE(UnmappableAllocator, unmappable_allocator, GST_TYPE_ALLOCATOR)

gpointer refuse_map(GstMemory *, gsize, GstMapFlags) { return nullptr; }
void no_unmap(GstMemory *) {}
void free_memory(GstAllocator *, GstMemory *mem) { g_free(mem); }

void unmappable_allocator_class_init(UnmappableAllocatorClass *klass) {
  GST_ALLOCATOR_CLASS(klass)->free = free_memory;
}
void unmappable_allocator_init(UnmappableAllocator *self) {
  GstAllocator *a = GST_ALLOCATOR(self);
  a->mem_type = "unmappable";
  a->mem_map = refuse_map;
  a->mem_unmap = no_unmap;
}

}  // namespace

TEST(OpenCvUtils, PaddedRowsAreViewedWhereTheyAre) {
  // 642 BGR pixels are 1926 bytes, padded to 1928 per row.
  GstVideoInfo info;
  ovtest::BufferPtr buf = bgr_picture(642, 480, &info);
  ASSERT_EQ(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0), 1928);
  ovtest::PadPtr pad = ovtest::make_pad_with_caps("cam0", ovtest::video_caps("BGR", 642, 480));

  cv::Mat by_pad, by_buffer, by_frame;
  ASSERT_TRUE(gst_pad_and_buffer_to_cv_mat(pad.get(), buf.get(), by_pad));
  EXPECT_EQ(by_pad.step[0], 1928u);
  EXPECT_TRUE(equals_picture(by_pad, 642, 480));

  ASSERT_TRUE(gst_buffer_to_cv_mat(buf.get(), 642, 480, CV_8UC3, by_buffer));
  EXPECT_TRUE(equals_picture(by_buffer, 642, 480));

  GstVideoFrame frame;
  ASSERT_TRUE(gst_video_frame_map(&frame, &info, buf.get(), GST_MAP_READ));
  EXPECT_TRUE(gst_videoframe_to_cv_mat(&frame, by_frame));
  gst_video_frame_unmap(&frame);
  EXPECT_TRUE(equals_picture(by_frame, 642, 480));
}

TEST(OpenCvUtils, ViewSharesTheBufferMemory) {
  ovtest::BufferPtr buf = ovtest::make_video_buffer(GST_VIDEO_FORMAT_BGR, 640, 480);
  ASSERT_EQ(gst_buffer_get_size(buf.get()), 921600u);
  ovtest::PadPtr pad = ovtest::make_pad_with_caps("cam0", ovtest::video_caps("BGR", 640, 480));
  cv::Mat m;
  ASSERT_TRUE(gst_pad_and_buffer_to_cv_mat(pad.get(), buf.get(), m));
  EXPECT_EQ(m.rows, 480);
  EXPECT_EQ(m.cols, 640);
  EXPECT_EQ(m.type(), CV_8UC3);
  ov::BufferMap map(buf.get(), GST_MAP_READ);
  EXPECT_EQ(m.data, map.data());
  m.at<cv::Vec3b>(2, 1) = cv::Vec3b(1, 2, 3);
  EXPECT_EQ(map.data()[2 * 1920 + 3 + 2], 3);
}

TEST(OpenCvUtils, BuffersTooSmallForTheFrameAreRefused) {
  const cv::Mat untouched(2, 2, CV_8UC1, cv::Scalar(7));
  ovtest::PadPtr pad = ovtest::make_pad_with_caps("cam0", ovtest::video_caps("BGR", 642, 480));
  struct Case {
    const char *what;
    size_t size;
  } cases[] = {
      {"empty", 0},
      {"one byte short of the last padded row", 1928 * 479 + 1925},
      {"tightly packed rows", 642 * 3 * 480},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ovtest::BufferPtr buf = ovtest::make_buffer(c.size);
    cv::Mat m = untouched;
    EXPECT_FALSE(gst_buffer_to_cv_mat(buf.get(), 642, 480, CV_8UC3, m));
    EXPECT_FALSE(gst_pad_and_buffer_to_cv_mat(pad.get(), buf.get(), m));
    EXPECT_EQ(m.data, untouched.data);
  }
  // The last row needs no padding after it.
  ovtest::BufferPtr exact = ovtest::make_buffer(1928 * 479 + 1926);
  cv::Mat m;
  EXPECT_TRUE(gst_buffer_to_cv_mat(exact.get(), 642, 480, CV_8UC3, m));
}

TEST(OpenCvUtils, UnmappableOrTemporaryMappingsAreRefused) {
  // Memory whose allocator cannot map it.
  GstAllocator *alloc = GST_ALLOCATOR(g_object_new(unmappable_allocator_get_type(), nullptr));
  GstMemory *mem = g_new0(GstMemory, 1);
  gst_memory_init(mem, GstMemoryFlags(0), alloc, nullptr, 64, 0, 0, 64);
  ovtest::BufferPtr unmappable(gst_buffer_new());
  gst_buffer_append_memory(unmappable.get(), mem);
  cv::Mat m(1, 1, CV_8UC1);
  uchar *before = m.data;
  EXPECT_FALSE(gst_buffer_to_cv_mat(unmappable.get(), 4, 4, CV_8UC1, m));
  EXPECT_EQ(m.data, before);
  unmappable.reset();
  gst_object_unref(alloc);

  // Two memories of a shared buffer map to a merged copy that dies at unmap.
  ovtest::BufferPtr split(gst_buffer_new());
  gst_buffer_append(split.get(), gst_buffer_new_allocate(nullptr, 8, nullptr));
  gst_buffer_append_memory(split.get(), gst_allocator_alloc(nullptr, 8, nullptr));
  ovtest::BufferPtr extra_ref(gst_buffer_ref(split.get()));
  EXPECT_FALSE(gst_buffer_to_cv_mat(split.get(), 4, 4, CV_8UC1, m));
  extra_ref.reset();
  // Writable, the merge replaces the memories and the view stays valid.
  EXPECT_TRUE(gst_buffer_to_cv_mat(split.get(), 4, 4, CV_8UC1, m));
  EXPECT_EQ(gst_buffer_n_memory(split.get()), 1u);
}

TEST(OpenCvUtils, VideoMetaStrideWins) {
  // A producer with 2000-byte rows describes them in a video meta.
  const int w = 642, h = 4, stride = 2000;
  ovtest::BufferPtr buf = ovtest::make_buffer(stride * h);
  {
    ov::BufferMap map(buf.get(), GST_MAP_WRITE);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
          map.data()[y * stride + x * 3 + c] = picture(x, y)[c];
  }
  gsize offsets[GST_VIDEO_MAX_PLANES] = {0};
  gint strides[GST_VIDEO_MAX_PLANES] = {stride};
  gst_buffer_add_video_meta_full(buf.get(), GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_BGR, w, h,
                                 1, offsets, strides);
  ovtest::PadPtr pad = ovtest::make_pad_with_caps("cam0", ovtest::video_caps("BGR", w, h));
  cv::Mat m;
  ASSERT_TRUE(gst_pad_and_buffer_to_cv_mat(pad.get(), buf.get(), m));
  EXPECT_TRUE(equals_picture(m, w, h));
}

TEST(OpenCvUtils, FormatAndTypeTables) {
  struct Row {
    GstVideoFormat format;
    int type;
  } rows[] = {
      {GST_VIDEO_FORMAT_BGRx, CV_8UC4},  {GST_VIDEO_FORMAT_ABGR, CV_8UC4},
      {GST_VIDEO_FORMAT_RGB, CV_8UC3},   {GST_VIDEO_FORMAT_BGR, CV_8UC3},
      {GST_VIDEO_FORMAT_GRAY8, CV_8UC1}, {GST_VIDEO_FORMAT_GRAY16_BE, CV_16UC1},
  };
  for (const Row &r : rows) {
    int type = -1;
    EXPECT_TRUE(gst_opencv_cv_image_type_from_video_format(r.format, &type, nullptr));
    EXPECT_EQ(type, r.type) << gst_video_format_to_string(r.format);
  }
  GError *err = nullptr;
  int type = -1;
  EXPECT_FALSE(gst_opencv_cv_image_type_from_video_format(GST_VIDEO_FORMAT_I420, &type, &err));
  ASSERT_NE(err, nullptr);
  EXPECT_TRUE(g_error_matches(err, GST_CORE_ERROR, GST_CORE_ERROR_NEGOTIATION));
  EXPECT_STREQ(err->message, "Unsupported video format I420");
  g_error_free(err);
}

TEST(OpenCvUtils, CapsFromTypeListFormatsInOrder) {
  ovtest::CapsPtr caps(gst_opencv_caps_from_cv_image_type(CV_8UC4));
  const char *expected[] = {"RGBx", "xRGB", "BGRx", "xBGR", "RGBA", "ARGB", "BGRA", "ABGR"};
  ASSERT_EQ(gst_caps_get_size(caps.get()), 8u);
  for (guint i = 0; i < 8; ++i) {
    const GstStructure *s = gst_caps_get_structure(caps.get(), i);
    EXPECT_STREQ(gst_structure_get_string(s, "format"), expected[i]);
    EXPECT_TRUE(gst_structure_has_field(s, "framerate"));
  }
  ovtest::CapsPtr gray16(gst_opencv_caps_from_cv_image_type(CV_16UC1));
  ASSERT_EQ(gst_caps_get_size(gray16.get()), 2u);
  EXPECT_STREQ(gst_structure_get_string(gst_caps_get_structure(gray16.get(), 0), "format"),
               "GRAY16_LE");
  ovtest::CapsPtr none(gst_opencv_caps_from_cv_image_type(CV_32FC1));
  EXPECT_TRUE(gst_caps_is_empty(none.get()));
}

TEST(OpenCvUtils, CapsParsingErrors) {
  ovtest::CapsPtr caps = ovtest::make_caps(ovtest::video_caps("GRAY16_LE", 320, 200));
  int w = 11, h = 22, type = 0;
  GError *err = nullptr;
  EXPECT_FALSE(gst_width_height_from_caps(caps.get(), &w, nullptr, &err));
  ASSERT_NE(err, nullptr);
  EXPECT_STREQ(err->message, "Height pointer shoud not be NULL");
  EXPECT_EQ(w, 11);
  g_clear_error(&err);
  EXPECT_FALSE(gst_width_height_from_caps(caps.get(), nullptr, &h, &err));
  EXPECT_STREQ(err->message, "Width pointer shoud not be NULL");
  g_clear_error(&err);

  EXPECT_TRUE(gst_opencv_parse_cv_mat_params_from_caps(caps.get(), &w, &h, &type, nullptr));
  EXPECT_EQ(w, 320);
  EXPECT_EQ(h, 200);
  EXPECT_EQ(type, CV_16UC1);

  ovtest::CapsPtr audio = ovtest::make_caps("audio/x-raw,format=S16LE,rate=8000,channels=1");
  EXPECT_FALSE(gst_cv_type_from_caps(audio.get(), &type, &err));
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(std::string(err->message).rfind("Failed to get video info from caps audio/x-raw", 0),
            0u);
  g_clear_error(&err);

  ovtest::CapsPtr i420 = ovtest::make_caps(ovtest::video_caps("I420", 8, 8));
  int keep_w = 5;
  EXPECT_FALSE(gst_opencv_parse_cv_mat_params_from_caps(i420.get(), &keep_w, &h, &type, &err));
  EXPECT_EQ(keep_w, 5);
  g_clear_error(&err);
}

TEST(OpenCvUtils, PadWithoutCurrentCapsIsAskedByQuery) {
  ovtest::CapsPtr tmpl_caps = ovtest::make_caps(ovtest::video_caps("GRAY8", 4, 2));
  GstPadTemplate *tmpl =
      gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, tmpl_caps.get());
  ovtest::PadPtr pad(gst_pad_new_from_template(tmpl, "src"));
  gst_object_ref_sink(pad.get());
  gst_object_unref(tmpl);
  ASSERT_FALSE(gst_pad_has_current_caps(pad.get()));

  ovtest::BufferPtr buf = ovtest::make_buffer(8, 5);  // 4 padded to 4: 2 rows of 4
  cv::Mat m;
  ASSERT_TRUE(gst_pad_and_buffer_to_cv_mat(pad.get(), buf.get(), m));
  EXPECT_EQ(m.cols, 4);
  EXPECT_EQ(m.rows, 2);
  EXPECT_EQ(m.at<uchar>(1, 3), 5);
}

TEST(OpenCvUtils, PadConversionFailuresAreLogged) {
  ovtest::LogCapture log("default", GST_LEVEL_ERROR);
  ovtest::BufferPtr buf = ovtest::make_buffer(64);
  cv::Mat m;
  ovtest::PadPtr i420 = ovtest::make_pad_with_caps("a", ovtest::video_caps("I420", 4, 4));
  EXPECT_FALSE(gst_pad_and_buffer_to_cv_mat(i420.get(), buf.get(), m));
  EXPECT_TRUE(log.has(GST_LEVEL_ERROR,
                      "Get cv image type from format I420 failed: Unsupported video format I420"));
  ovtest::PadPtr big = ovtest::make_pad_with_caps("b", ovtest::video_caps("GRAY8", 64, 64));
  EXPECT_FALSE(gst_pad_and_buffer_to_cv_mat(big.get(), buf.get(), m));
  EXPECT_TRUE(log.has(GST_LEVEL_ERROR, "Gst buffer to cv mat failed with 64 64 0"));
}
