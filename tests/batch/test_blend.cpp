// Composite kernels and their pixel programs.  The program tests compare each
// ORC program with a scalar model of its formula on random data.  The file is
// built twice: the second binary (OV_ORC_BACKUP) sets ORC_CODE=backup before
// ORC starts, so the C fallbacks are checked too.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <orc/orc.h>

#include "blend.h"
#include "blendorc.h"
#include "ov_test.h"

namespace {

#ifdef OV_ORC_BACKUP
// Before main: ORC reads the variable once, when it starts.
const bool kBackupMode = [] { return g_setenv("ORC_CODE", "backup", TRUE); }();
#endif

void no_op(OrcExecutor *) {}

TEST(OrcMode, ProgramsRunTheExpectedCode) {
  orc_init();
  OrcProgram *p = orc_program_new_ds(4, 4);
  orc_program_append_ds_str(p, "copyl", "d1", "s1");
  orc_program_set_backup_function(p, no_op);
  orc_program_compile(p);
  OrcCode *code = orc_program_take_code(p);
  ASSERT_NE(code, nullptr);
  const bool backup = code->exec == no_op;
#ifdef OV_ORC_BACKUP
  EXPECT_TRUE(backup) << "ORC_CODE=backup did not take";
#else
  if (orc_target_get_default() && std::string(orc_target_get_name(orc_target_get_default())) != "c")
    EXPECT_FALSE(backup) << "no code generated for " << orc_target_get_name(orc_target_get_default());
#endif
  orc_code_free(code);
  orc_program_free(p);
}

/* A mapped, writable frame with its own buffer. */
class Frame {
 public:
  Frame(GstVideoFormat format, int width, int height, uint8_t fill = 0) {
    gst_video_info_set_format(&info_, format, width, height);
    buffer_ = ovtest::make_buffer(GST_VIDEO_INFO_SIZE(&info_), fill);
    mapped_ = gst_video_frame_map(&frame_, &info_, buffer_.get(), GST_MAP_READWRITE);
    EXPECT_TRUE(mapped_);
  }
  ~Frame() {
    if (mapped_)
      gst_video_frame_unmap(&frame_);
  }
  Frame(const Frame &) = delete;
  Frame &operator=(const Frame &) = delete;

  GstVideoFrame *get() { return &frame_; }
  uint8_t *row(guint plane, int y) {
    return static_cast<uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame_, plane)) +
           y * GST_VIDEO_FRAME_PLANE_STRIDE(&frame_, plane);
  }
  int plane_height(guint plane) const { return GST_VIDEO_FRAME_COMP_HEIGHT(&frame_, plane); }
  int plane_width(guint plane) const { return GST_VIDEO_FRAME_COMP_WIDTH(&frame_, plane); }
  void fill_plane(guint plane, uint8_t v) {
    for (int y = 0; y < plane_height(plane); ++y)
      std::memset(row(plane, y), v, GST_VIDEO_FRAME_PLANE_STRIDE(&frame_, plane));
  }

 private:
  GstVideoInfo info_;
  ovtest::BufferPtr buffer_;
  GstVideoFrame frame_{};
  bool mapped_ = false;
};

const BlendKernels &kernels(GstVideoFormat format) {
  const BlendKernels *k = ov_blend_kernels_for(format);
  EXPECT_NE(k, nullptr) << gst_video_format_to_string(format);
  static const BlendKernels none{GST_VIDEO_FORMAT_UNKNOWN, nullptr, nullptr};
  return k ? *k : none;
}

// ---- scalar models of the pixel programs ----

uint16_t div255(uint16_t x) {
  uint16_t t = uint16_t(x + 128);
  return uint16_t(uint16_t(t + (t >> 8)) >> 8);
}

void model_blend_u8(uint8_t *d, const uint8_t *s, int alpha) {
  *d = uint8_t(uint16_t(*d * 256 + alpha * (*s - *d)) >> 8);
}

template <int A>
void model_blend_4(uint8_t *d, const uint8_t *s, int alpha) {
  uint16_t a = uint16_t(alpha * s[A]) >> 8;
  for (int c = 0; c < 4; ++c) {
    if (c == A)
      continue;
    uint16_t prod = uint16_t(int16_t(s[c] - d[c]) * int16_t(a));
    d[c] = uint8_t(d[c] + div255(prod));
  }
  d[A] = 255;
}

template <int A>
void model_overlay_4(uint8_t *d, const uint8_t *s, int alpha) {
  int sa = (alpha * s[A]) >> 8;
  int da = div255(uint16_t(d[A] * (255 - sa)));
  int total = sa + da;
  for (int c = 0; c < 4; ++c) {
    if (c == A)
      continue;
    d[c] = total == 0 ? 255 : uint8_t(std::min(255, (da * d[c] + sa * s[c]) / total));
  }
  d[A] = uint8_t(total);
}

using Program2D = void (*)(orc_uint8 *, int, const orc_uint8 *, int, int, int, int);
using PixelModel = void (*)(uint8_t *, const uint8_t *, int);

struct ProgramCase {
  const char *name;
  Program2D program;
  PixelModel model;
  int bytes_per_element;
  int max_alpha;
};

void PrintTo(const ProgramCase &c, std::ostream *os) { *os << c.name; }

class PixelProgramTest : public testing::TestWithParam<ProgramCase> {};

TEST_P(PixelProgramTest, MatchesScalarModelOnRandomData) {
  const ProgramCase &pc = GetParam();
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> byte(0, 255);
  // Odd widths and padded strides make sure the vector loops' tails and the
  // row steps are exercised.
  const struct {
    int width, height;
  } sizes[] = {{1, 1}, {7, 3}, {16, 2}, {33, 5}, {67, 4}};
  for (const auto &sz : sizes) {
    for (int alpha : {0, 1, 77, 128, 200, pc.max_alpha}) {
      const int row = sz.width * pc.bytes_per_element;
      const int sstride = row + 12, dstride = row + 20;
      std::vector<uint8_t> src(sstride * sz.height), dst(dstride * sz.height);
      for (auto &v : src)
        v = uint8_t(byte(rng));
      for (auto &v : dst)
        v = uint8_t(byte(rng));
      std::vector<uint8_t> want = dst;
      for (int y = 0; y < sz.height; ++y)
        for (int x = 0; x < sz.width; ++x)
          pc.model(&want[y * dstride + x * pc.bytes_per_element],
                   &src[y * sstride + x * pc.bytes_per_element], alpha);
      pc.program(dst.data(), dstride, src.data(), sstride, alpha, sz.width, sz.height);
      ASSERT_EQ(dst, want) << pc.name << " " << sz.width << "x" << sz.height << " alpha "
                           << alpha;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Programs, PixelProgramTest,
    testing::Values(ProgramCase{"blend_u8", video_mixer_orc_blend_u8, model_blend_u8, 1, 256},
                    ProgramCase{"blend_argb", video_mixer_orc_blend_argb, model_blend_4<0>, 4,
                                255},
                    ProgramCase{"blend_bgra", video_mixer_orc_blend_bgra, model_blend_4<3>, 4,
                                255},
                    ProgramCase{"overlay_argb", video_mixer_orc_overlay_argb,
                                model_overlay_4<0>, 4, 255},
                    ProgramCase{"overlay_bgra", video_mixer_orc_overlay_bgra,
                                model_overlay_4<3>, 4, 255}),
    [](const testing::TestParamInfo<ProgramCase> &i) { return std::string(i.param.name); });

TEST(PixelProgram, MemcpyU32CopiesExactlyNWords) {
  std::mt19937 rng(7);
  std::vector<orc_uint32> src(101), dst(104, 0xdeadbeef);
  for (auto &v : src)
    v = rng();
  video_mixer_orc_memcpy_u32(dst.data(), src.data(), 101);
  EXPECT_TRUE(std::equal(src.begin(), src.end(), dst.begin()));
  EXPECT_EQ(dst[101], 0xdeadbeefu);
}

TEST(PixelProgram, BlendU8KnownValues) {
  const struct {
    int alpha;
    uint8_t d, s, want;
  } cases[] = {{128, 0, 255, 127}, {256, 0, 255, 255}, {256, 200, 17, 17}, {0, 90, 3, 90}};
  for (const auto &c : cases) {
    uint8_t d = c.d;
    video_mixer_orc_blend_u8(&d, 1, &c.s, 1, c.alpha, 1, 1);
    EXPECT_EQ(d, c.want) << "alpha " << c.alpha << " d " << int(c.d) << " s " << int(c.s);
  }
}

// ---- composite kernels ----

TEST(BlendKernels, TableCoversTheListedFormatsOnly) {
  const GstVideoFormat with[] = {
      GST_VIDEO_FORMAT_I420, GST_VIDEO_FORMAT_YV12, GST_VIDEO_FORMAT_NV12, GST_VIDEO_FORMAT_NV21,
      GST_VIDEO_FORMAT_Y42B, GST_VIDEO_FORMAT_Y41B, GST_VIDEO_FORMAT_Y444, GST_VIDEO_FORMAT_YUY2,
      GST_VIDEO_FORMAT_UYVY, GST_VIDEO_FORMAT_YVYU, GST_VIDEO_FORMAT_RGB,  GST_VIDEO_FORMAT_BGR,
      GST_VIDEO_FORMAT_RGBx, GST_VIDEO_FORMAT_BGRx, GST_VIDEO_FORMAT_xRGB, GST_VIDEO_FORMAT_xBGR,
      GST_VIDEO_FORMAT_ARGB, GST_VIDEO_FORMAT_ABGR, GST_VIDEO_FORMAT_AYUV, GST_VIDEO_FORMAT_RGBA,
      GST_VIDEO_FORMAT_BGRA};
  for (GstVideoFormat f : with) {
    const BlendKernels *k = ov_blend_kernels_for(f);
    ASSERT_NE(k, nullptr) << gst_video_format_to_string(f);
    EXPECT_NE(k->blend, nullptr);
    EXPECT_EQ(k->blend == k->overlay, !GST_VIDEO_FORMAT_INFO_HAS_ALPHA(gst_video_format_get_info(f)))
        << gst_video_format_to_string(f);
  }
  for (GstVideoFormat f : {GST_VIDEO_FORMAT_GRAY8, GST_VIDEO_FORMAT_RGB16, GST_VIDEO_FORMAT_RGB15,
                           GST_VIDEO_FORMAT_GRAY16_LE, GST_VIDEO_FORMAT_GRAY16_BE})
    EXPECT_EQ(ov_blend_kernels_for(f), nullptr) << gst_video_format_to_string(f);
}

TEST(BlendKernels, BgrSourcePlacedAtRowOneFillsRowsOneAndTwo) {
  Frame src(GST_VIDEO_FORMAT_BGR, 2, 2);
  for (int y = 0; y < 2; ++y)
    for (int i = 0; i < 6; ++i)
      src.row(0, y)[i] = uint8_t(10 * y + i + 1);
  Frame dst(GST_VIDEO_FORMAT_BGR, 2, 4, 0xee);
  kernels(GST_VIDEO_FORMAT_BGR).overlay(src.get(), 0, 1, 1.0, dst.get());
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(dst.row(0, 0)[i], 0xee);
    EXPECT_EQ(dst.row(0, 1)[i], src.row(0, 0)[i]);
    EXPECT_EQ(dst.row(0, 2)[i], src.row(0, 1)[i]);
    EXPECT_EQ(dst.row(0, 3)[i], 0xee);
  }
}

TEST(BlendKernels, I420OffsetRoundsUpToEvenInEveryPlane) {
  Frame src(GST_VIDEO_FORMAT_I420, 4, 4, 0x55);
  Frame dst(GST_VIDEO_FORMAT_I420, 4, 12, 0);
  kernels(GST_VIDEO_FORMAT_I420).overlay(src.get(), 0, 3, 1.0, dst.get());
  // Luma rows 4..7 and chroma rows 2..3 carry the source; nothing else does.
  for (guint p = 0; p < 3; ++p) {
    const int first = p == 0 ? 4 : 2, count = p == 0 ? 4 : 2;
    for (int y = 0; y < dst.plane_height(p); ++y) {
      const bool inside = y >= first && y < first + count;
      for (int x = 0; x < dst.plane_width(p); ++x)
        ASSERT_EQ(dst.row(p, y)[x], inside ? 0x55 : 0) << "plane " << p << " row " << y;
    }
  }
}

TEST(BlendKernels, NegativeOffsetRoundsUpAndSkipsSourceColumns) {
  Frame src(GST_VIDEO_FORMAT_NV12, 8, 2);
  for (int x = 0; x < 8; ++x)
    src.row(0, 0)[x] = src.row(0, 1)[x] = uint8_t(x + 1);
  for (int x = 0; x < 8; ++x)
    src.row(1, 0)[x] = uint8_t(100 + x);
  Frame dst(GST_VIDEO_FORMAT_NV12, 8, 2, 0);
  // -3 rounds up to -2: source columns 2..7 land at columns 0..5.
  kernels(GST_VIDEO_FORMAT_NV12).overlay(src.get(), -3, 0, 1.0, dst.get());
  for (int x = 0; x < 8; ++x)
    EXPECT_EQ(dst.row(0, 0)[x], x < 6 ? x + 3 : 0) << x;
  // Interleaved chroma: pairs 1..3 land at pairs 0..2.
  for (int x = 0; x < 8; ++x)
    EXPECT_EQ(dst.row(1, 0)[x], x < 6 ? 100 + x + 2 : 0) << x;
}

TEST(BlendKernels, SourceWiderThanDestinationIsCutAtTheRightEdge) {
  for (GstVideoFormat f : {GST_VIDEO_FORMAT_BGR, GST_VIDEO_FORMAT_BGRx, GST_VIDEO_FORMAT_YUY2,
                           GST_VIDEO_FORMAT_I420}) {
    SCOPED_TRACE(gst_video_format_to_string(f));
    Frame src(f, 16, 4, 0x77);
    Frame dst(f, 10, 4, 0x11);
    kernels(f).overlay(src.get(), 4, 0, 1.0, dst.get());
    // Columns 0..3 unchanged, 4..9 copied; the stride padding untouched.
    const GstVideoFormatInfo *fi = gst_video_format_get_info(f);
    for (guint p = 0; p < GST_VIDEO_FRAME_N_PLANES(dst.get()); ++p) {
      const int pstride = GST_VIDEO_FORMAT_INFO_PSTRIDE(fi, p == 0 ? 0 : p);
      const int sub = p == 0 ? 0 : GST_VIDEO_FORMAT_INFO_W_SUB(fi, p);
      const int first = GST_VIDEO_SUB_SCALE(sub, 4) * pstride;
      const int end = GST_VIDEO_SUB_SCALE(sub, 10) * pstride;
      const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(dst.get(), p);
      for (int i = 0; i < stride; ++i)
        ASSERT_EQ(dst.row(p, 0)[i], i >= first && i < end ? 0x77 : 0x11)
            << "plane " << p << " byte " << i;
    }
  }
}

TEST(BlendKernels, OutsideDestinationDoesNothing) {
  Frame src(GST_VIDEO_FORMAT_BGR, 4, 4, 0x77);
  Frame dst(GST_VIDEO_FORMAT_BGR, 4, 4, 0x11);
  for (auto xy : {std::pair<int, int>{4, 0}, {0, 4}, {-4, 0}, {0, -4}})
    kernels(GST_VIDEO_FORMAT_BGR).overlay(src.get(), xy.first, xy.second, 1.0, dst.get());
  for (int y = 0; y < 4; ++y)
    for (int i = 0; i < 12; ++i)
      ASSERT_EQ(dst.row(0, y)[i], 0x11);
}

TEST(BlendKernels, OpaqueFormatsHonourAlpha) {
  Frame src(GST_VIDEO_FORMAT_BGR, 2, 1, 255);
  Frame dst(GST_VIDEO_FORMAT_BGR, 2, 1, 0);
  const BlendKernels &k = kernels(GST_VIDEO_FORMAT_BGR);
  ovtest::LogCapture log("videomixer_blend", GST_LEVEL_INFO);
  k.blend(src.get(), 0, 0, 0.0, dst.get());
  EXPECT_EQ(dst.row(0, 0)[0], 0);
  EXPECT_TRUE(log.has(GST_LEVEL_INFO, "Fast copy (alpha == 0.0)"));
  k.blend(src.get(), 0, 0, 0.5, dst.get());
  EXPECT_EQ(dst.row(0, 0)[5], 127);
  k.blend(src.get(), 0, 0, 1.0, dst.get());
  EXPECT_EQ(dst.row(0, 0)[5], 255);
  EXPECT_TRUE(log.has(GST_LEVEL_INFO, "Fast copy (alpha == 1.0)"));
}

TEST(BlendKernels, AlphaFirstOverlayOntoClearedFrame) {
  Frame src(GST_VIDEO_FORMAT_ARGB, 3, 1);
  const uint8_t opaque[4] = {255, 10, 20, 30}, clear[4] = {0, 1, 2, 3}, half[4] = {128, 40, 50, 60};
  std::memcpy(src.row(0, 0), opaque, 4);
  std::memcpy(src.row(0, 0) + 4, clear, 4);
  std::memcpy(src.row(0, 0) + 8, half, 4);
  Frame dst(GST_VIDEO_FORMAT_ARGB, 3, 1, 0);
  kernels(GST_VIDEO_FORMAT_ARGB).overlay(src.get(), 0, 0, 1.0, dst.get());
  const uint8_t *d = dst.row(0, 0);
  EXPECT_EQ(std::vector<int>(d, d + 4), (std::vector<int>{254, 10, 20, 30}));
  EXPECT_EQ(std::vector<int>(d + 4, d + 8), (std::vector<int>{0, 255, 255, 255}));
  EXPECT_EQ(std::vector<int>(d + 8, d + 12), (std::vector<int>{127, 40, 50, 60}));
}

TEST(BlendKernels, AlphaLastBlendIsOpaqueAndBelowOneIsNothing) {
  Frame src(GST_VIDEO_FORMAT_BGRA, 1, 1);
  const uint8_t px[4] = {200, 100, 50, 255};
  std::memcpy(src.row(0, 0), px, 4);
  Frame dst(GST_VIDEO_FORMAT_BGRA, 1, 1, 0);
  const BlendKernels &k = kernels(GST_VIDEO_FORMAT_BGRA);
  k.blend(src.get(), 0, 0, 0.001, dst.get());  // (int)(0.001 * 256) == 0
  EXPECT_EQ(dst.row(0, 0)[3], 0);
  k.blend(src.get(), 0, 0, 1.0, dst.get());
  uint8_t want[4] = {0, 0, 0, 0};
  model_blend_4<3>(want, px, 255);
  EXPECT_EQ(std::vector<int>(dst.row(0, 0), dst.row(0, 0) + 4),
            std::vector<int>(want, want + 4));
  EXPECT_EQ(dst.row(0, 0)[3], 255);
}

TEST(BlendKernels, FillZeroClearsVisibleBytesOnly) {
  for (GstVideoFormat f : {GST_VIDEO_FORMAT_BGR, GST_VIDEO_FORMAT_I420, GST_VIDEO_FORMAT_NV12,
                           GST_VIDEO_FORMAT_YUY2}) {
    SCOPED_TRACE(gst_video_format_to_string(f));
    Frame frame(f, 5, 3, 0xab);
    ov_blend_fill_zero(frame.get());
    const GstVideoFormatInfo *fi = gst_video_format_get_info(f);
    for (guint p = 0; p < GST_VIDEO_FRAME_N_PLANES(frame.get()); ++p) {
      int visible = 0;
      for (guint c = 0; c < GST_VIDEO_FORMAT_INFO_N_COMPONENTS(fi); ++c)
        if (GST_VIDEO_FORMAT_INFO_PLANE(fi, c) == p)
          visible = std::max(visible, GST_VIDEO_SUB_SCALE(GST_VIDEO_FORMAT_INFO_W_SUB(fi, c), 5) *
                                          GST_VIDEO_FORMAT_INFO_PSTRIDE(fi, c));
      const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(frame.get(), p);
      for (int y = 0; y < frame.plane_height(p); ++y)
        for (int i = 0; i < stride; ++i)
          ASSERT_EQ(frame.row(p, y)[i], i < visible ? 0 : 0xab)
              << "plane " << p << " row " << y << " byte " << i;
    }
  }
}

TEST(BlendKernels, FillBeyondClearsOnlyRightOfTheCoveredColumns) {
  const struct {
    GstVideoFormat format;
    bool partial;
  } formats[] = {{GST_VIDEO_FORMAT_BGR, true},   {GST_VIDEO_FORMAT_BGRx, true},
                 {GST_VIDEO_FORMAT_I420, false}, {GST_VIDEO_FORMAT_NV12, false},
                 {GST_VIDEO_FORMAT_YUY2, false}, {GST_VIDEO_FORMAT_BGRA, false},
                 {GST_VIDEO_FORMAT_AYUV, false}};
  for (const auto &f : formats) {
    GstVideoInfo info;
    gst_video_info_set_format(&info, f.format, 8, 4);
    EXPECT_EQ(ov_blend_can_fill_beyond(&info), f.partial) << gst_video_format_to_string(f.format);
  }

  Frame frame(GST_VIDEO_FORMAT_BGR, 5, 4, 0xab);
  const gint covered[4] = {0, 3, 5, 99};
  ov_blend_fill_zero_beyond(frame.get(), covered);
  const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(frame.get(), 0);
  for (int y = 0; y < 4; ++y) {
    const int keep = std::min(covered[y], 5) * 3;
    for (int i = 0; i < stride; ++i)
      ASSERT_EQ(frame.row(0, y)[i], i < keep || i >= 15 ? 0xab : 0) << "row " << y << " byte " << i;
  }
}

}  // namespace
