/* Plane packing and colour conversion between bus images and I420 / NV12. */
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "edge_pixel.h"

namespace {

/* A picture 4:2:0 can carry well: smooth gradients plus flat blocks whose
 * edges fall on even columns and rows. */
cv::Mat smooth_picture(int width, int height) {
  cv::Mat img(height, width, CV_8UC3);
  for (int r = 0; r < height; ++r)
    for (int c = 0; c < width; ++c)
      img.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<uint8_t>(c * 255 / width),
                                          static_cast<uint8_t>(r * 255 / height),
                                          static_cast<uint8_t>(128 + (c - r) % 64));
  cv::rectangle(img, cv::Rect(width / 8 * 2, height / 8 * 2, width / 4 & ~1, height / 4 & ~1),
                cv::Scalar(0, 0, 200), cv::FILLED);
  cv::rectangle(img, cv::Rect(width / 8 * 4, height / 8 * 4, width / 4 & ~1, height / 4 & ~1),
                cv::Scalar(200, 40, 0), cv::FILLED);
  return img;
}

/* Planes of a frame with row strides wider than the picture; the padding
 * holds a marker that must never show up or change. */
struct Planes {
  int width, height, strideY, strideUV;
  std::vector<uint8_t> y, u, v;
  Planes(int w, int h, int padY, int padUV, uint8_t marker = 0xEE)
      : width(w), height(h), strideY(w + padY), strideUV(w / 2 + padUV),
        y(static_cast<size_t>(strideY) * h, marker),
        u(static_cast<size_t>(strideUV) * (h / 2), marker),
        v(static_cast<size_t>(strideUV) * (h / 2), marker) {}
};

/* Reference I420 of a B, G, R image, straight from OpenCV. */
cv::Mat reference_i420(const cv::Mat &bgr) {
  cv::Mat yuv;
  cv::cvtColor(bgr, yuv, cv::COLOR_BGR2YUV_I420);
  return yuv;
}

TEST(PixelPacking, I420PlanesWithStridesPackRowByRow) {
  Planes p(6, 4, 3, 5);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 6; ++c) p.y[r * p.strideY + c] = static_cast<uint8_t>(r * 10 + c);
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 3; ++c) {
      p.u[r * p.strideUV + c] = static_cast<uint8_t>(100 + r * 10 + c);
      p.v[r * p.strideUV + c] = static_cast<uint8_t>(200 + r * 10 + c);
    }
  cv::Mat packed = createYUVI420p(6, 4, p.y.data(), p.u.data(), p.v.data(), p.strideY, p.strideUV);
  ASSERT_EQ(packed.rows, 6);
  ASSERT_EQ(packed.cols, 6);
  ASSERT_EQ(packed.type(), CV_8UC1);
  const uint8_t *d = packed.data;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 6; ++c) EXPECT_EQ(d[r * 6 + c], r * 10 + c);
  const uint8_t expected_u[] = {100, 101, 102, 110, 111, 112};
  const uint8_t expected_v[] = {200, 201, 202, 210, 211, 212};
  EXPECT_EQ(0, std::memcmp(d + 24, expected_u, 6));
  EXPECT_EQ(0, std::memcmp(d + 30, expected_v, 6));
}

TEST(PixelPacking, WideStridesGiveTheSamePictureAsTightPlanes) {
  const cv::Mat src = smooth_picture(64, 32);
  const cv::Mat yuv = reference_i420(src);
  Planes tight(64, 32, 0, 0), wide(64, 32, 36, 20);
  for (Planes *p : {&tight, &wide}) {
    for (int r = 0; r < 32; ++r) std::memcpy(&p->y[r * p->strideY], yuv.data + r * 64, 64);
    for (int r = 0; r < 16; ++r) {
      std::memcpy(&p->u[r * p->strideUV], yuv.data + 64 * 32 + r * 32, 32);
      std::memcpy(&p->v[r * p->strideUV], yuv.data + 64 * 32 + 16 * 32 + r * 32, 32);
    }
  }
  cv::Mat a = YUV420p2BGR888(64, 32, tight.y.data(), tight.u.data(), tight.v.data(),
                             tight.strideY, tight.strideUV);
  cv::Mat b = YUV420p2BGR888(64, 32, wide.y.data(), wide.u.data(), wide.v.data(), wide.strideY,
                             wide.strideUV);
  ASSERT_EQ(a.size(), cv::Size(64, 32));
  EXPECT_EQ(0, cv::norm(a, b, cv::NORM_INF));
  EXPECT_GT(cv::PSNR(src, a), 35.0);

  /* The same picture as NV12 with a padded chroma stride. */
  Planes nv(64, 32, 12, 0);
  std::vector<uint8_t> uv(static_cast<size_t>(64 + 24) * 16, 0xEE);
  for (int r = 0; r < 32; ++r) std::memcpy(&nv.y[r * nv.strideY], yuv.data + r * 64, 64);
  for (int r = 0; r < 16; ++r)
    for (int c = 0; c < 32; ++c) {
      uv[r * 88 + 2 * c] = yuv.data[64 * 32 + r * 32 + c];
      uv[r * 88 + 2 * c + 1] = yuv.data[64 * 32 + 16 * 32 + r * 32 + c];
    }
  cv::Mat n = YUVNV122BGR888(64, 32, nv.y.data(), uv.data(), nv.strideY, 88);
  EXPECT_EQ(0, cv::norm(a, n, cv::NORM_INF));
}

/* Two pixels of an xRGB-like plane (4 bytes a pixel: pad, R, G, B) with a
 * wide row stride, to packed B, G, R and back into a plane whose pad bytes
 * stay as they were. */
TEST(PixelPacking, PackedFormatsGoToBGRByTheirColourOffsetsAndBack) {
  const PackedColours xrgb{4, 1, 2, 3};
  const uint8_t plane[2 * 10] = {0xee, 10, 20, 30, 0xee, 40, 50, 60, 0, 0,
                                 0xee, 70, 80, 90, 0xee, 100, 110, 120, 0, 0};
  uint8_t bgr[12];
  packed_to_bgr(plane, 10, xrgb, 2, 2, bgr);
  const uint8_t expected[12] = {30, 20, 10, 60, 50, 40, 90, 80, 70, 120, 110, 100};
  EXPECT_EQ(0, std::memcmp(bgr, expected, sizeof bgr));

  uint8_t back[2 * 10];
  std::memset(back, 0x77, sizeof back);
  bgr_to_packed(bgr, 6, 2, 2, xrgb, back, 10);
  for (int i = 0; i < 20; ++i) {
    const bool colour = i % 10 < 8 && (i % 10) % 4 != 0;
    EXPECT_EQ(back[i], colour ? plane[i] : 0x77) << "byte " << i;
  }

  // Plain BGR rows are copied whole, each from its own stride.
  const PackedColours bgr_layout{3, 2, 1, 0};
  ASSERT_TRUE(bgr_layout.bgr());
  uint8_t wide[2 * 8];
  std::memset(wide, 0x55, sizeof wide);
  bgr_to_packed(expected, 6, 2, 2, bgr_layout, wide, 8);
  EXPECT_EQ(0, std::memcmp(wide, expected, 6));
  EXPECT_EQ(0, std::memcmp(wide + 8, expected + 6, 6));
  EXPECT_EQ(wide[6], 0x55);
}

TEST(PixelConversion, I420OutputWritesTrueLumaAndChromaInPlaneOrder) {
  const cv::Mat src = smooth_picture(8, 4);
  const cv::Mat ref = reference_i420(src);
  Planes p(8, 4, 4, 2);
  int sy = p.strideY, suv = p.strideUV;
  RGB8882YUVI420p(src, p.y.data(), p.u.data(), p.v.data(), sy, suv);
  for (int r = 0; r < 4; ++r) {
    EXPECT_EQ(0, std::memcmp(&p.y[r * sy], ref.data + r * 8, 8)) << "luma row " << r;
    for (int c = 8; c < sy; ++c) EXPECT_EQ(p.y[r * sy + c], 0xEE);
  }
  for (int r = 0; r < 2; ++r) {
    EXPECT_EQ(0, std::memcmp(&p.u[r * suv], ref.data + 32 + r * 4, 4)) << "U row " << r;
    EXPECT_EQ(0, std::memcmp(&p.v[r * suv], ref.data + 40 + r * 4, 4)) << "V row " << r;
    for (int c = 4; c < suv; ++c) {
      EXPECT_EQ(p.u[r * suv + c], 0xEE);
      EXPECT_EQ(p.v[r * suv + c], 0xEE);
    }
  }
}

TEST(PixelConversion, NV12OutputOfFourByTwoIsEightLumaAndFourChromaBytes) {
  const cv::Mat src = smooth_picture(4, 2);
  const cv::Mat ref = reference_i420(src); /* Y(8) U(2) V(2) */
  std::vector<uint8_t> y(16, 0xEE), uv(8, 0xEE);
  int sy = 8;
  RGB8882YUVNV12(src, y.data(), uv.data(), sy);
  EXPECT_EQ(0, std::memcmp(&y[0], ref.data, 4));
  EXPECT_EQ(0, std::memcmp(&y[8], ref.data + 4, 4));
  for (int i : {4, 5, 6, 7, 12, 13, 14, 15}) EXPECT_EQ(y[i], 0xEE) << i;
  const uint8_t expected[] = {ref.data[8], ref.data[10], ref.data[9], ref.data[11]};
  EXPECT_EQ(0, std::memcmp(uv.data(), expected, 4));
  for (int i = 4; i < 8; ++i) EXPECT_EQ(uv[i], 0xEE) << i;
}

TEST(PixelConversion, RoundTripsKeepThePictureAbove35dB) {
  const cv::Mat src = smooth_picture(640, 480);
  Planes p(640, 480, 0, 0);
  int sy = p.strideY, suv = p.strideUV;
  RGB8882YUVI420p(src, p.y.data(), p.u.data(), p.v.data(), sy, suv);
  cv::Mat back = YUV420p2BGR888(640, 480, p.y.data(), p.u.data(), p.v.data(), sy, suv);
  EXPECT_GT(cv::PSNR(src, back), 35.0);

  std::vector<uint8_t> uv(640 * 240);
  RGB8882YUVNV12(src, p.y.data(), uv.data(), sy);
  back = YUVNV122BGR888(640, 480, p.y.data(), uv.data(), sy, 640);
  EXPECT_GT(cv::PSNR(src, back), 35.0);

  /* Saturated colours keep their hue: red stays red, blue stays blue. */
  for (const cv::Vec3b &colour : {cv::Vec3b(0, 0, 200), cv::Vec3b(200, 0, 0)}) {
    cv::Mat flat(4, 4, CV_8UC3, cv::Scalar(colour[0], colour[1], colour[2]));
    Planes f(4, 4, 0, 0);
    int fy = 4, fuv = 2;
    RGB8882YUVI420p(flat, f.y.data(), f.u.data(), f.v.data(), fy, fuv);
    cv::Mat out = YUV420p2BGR888(4, 4, f.y.data(), f.u.data(), f.v.data(), fy, fuv);
    EXPECT_LE(cv::norm(flat, out, cv::NORM_INF), 3.0);
  }
}

TEST(PixelConversion, OddSizesShareTheNeighboursChroma) {
  /* 3 x 3 I420: one chroma sample, covering columns 0-1 and rows 0-1; the
   * last column and row have none of their own and repeat it. */
  Planes p(3, 3, 1, 3);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) p.y[r * p.strideY + c] = 120;
  p.u[0] = 90;
  p.v[0] = 180;
  cv::Mat bgr = YUV420p2BGR888(3, 3, p.y.data(), p.u.data(), p.v.data(), p.strideY, p.strideUV);
  ASSERT_EQ(bgr.size(), cv::Size(3, 3));
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_EQ(bgr.at<cv::Vec3b>(r, c), bgr.at<cv::Vec3b>(0, 0));
  std::vector<uint8_t> uv(4, 0);
  uv[0] = 90;
  uv[1] = 180;
  cv::Mat nv = YUVNV122BGR888(3, 3, p.y.data(), uv.data(), p.strideY, 4);
  EXPECT_EQ(0, cv::norm(bgr, nv, cv::NORM_INF));

  /* And back: nine luma bytes, one sample per chroma plane, nothing more. */
  cv::Mat img(3, 3, CV_8UC3, cv::Scalar(10, 200, 30));
  Planes out(3, 3, 1, 3);
  int sy = out.strideY, suv = out.strideUV;
  RGB8882YUVI420p(img, out.y.data(), out.u.data(), out.v.data(), sy, suv);
  const cv::Mat ref = reference_i420(cv::Mat(4, 4, CV_8UC3, cv::Scalar(10, 200, 30)));
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) EXPECT_EQ(out.y[r * sy + c], ref.data[0]);
    EXPECT_EQ(out.y[r * sy + 3], 0xEE);
  }
  EXPECT_EQ(out.u[0], ref.data[16]);
  EXPECT_EQ(out.v[0], ref.data[20]);
  for (int c = 1; c < suv; ++c) {
    EXPECT_EQ(out.u[c], 0xEE);
    EXPECT_EQ(out.v[c], 0xEE);
  }
}

TEST(PixelConversion, RefusesImagesThatAreNotEightBitBGR) {
  std::vector<uint8_t> y(64), u(16), v(16);
  int sy = 8, suv = 4;
  EXPECT_THROW(RGB8882YUVI420p(cv::Mat(), y.data(), u.data(), v.data(), sy, suv),
               std::invalid_argument);
  EXPECT_THROW(RGB8882YUVNV12(cv::Mat(8, 8, CV_8UC1), y.data(), u.data(), sy),
               std::invalid_argument);
}

}  // namespace

/* Solid colours against their ITU-R BT.601 studio-range values (Y 16..235,
 * U and V 16..240 around 128): fixed numbers, not another conversion. */
struct KnownColour {
  const char *name;
  uint8_t b, g, r;
  uint8_t y, u, v;
};

class KnownColours : public ::testing::TestWithParam<KnownColour> {};

TEST_P(KnownColours, ConvertToTheirStandardLumaAndChromaAndBack) {
  const KnownColour k = GetParam();
  const cv::Mat solid(2, 2, CV_8UC3, cv::Scalar(k.b, k.g, k.r));
  uint8_t y[4], u[1], v[1];
  int sy = 2, suv = 1;
  RGB8882YUVI420p(solid, y, u, v, sy, suv);
  for (uint8_t l : y) EXPECT_NEAR(l, k.y, 1) << k.name << " luma";
  EXPECT_NEAR(u[0], k.u, 1) << k.name << " U";
  EXPECT_NEAR(v[0], k.v, 1) << k.name << " V";
  uint8_t ny[4], uv[2];
  RGB8882YUVNV12(solid, ny, uv, sy);
  EXPECT_NEAR(ny[0], k.y, 1) << k.name;
  EXPECT_NEAR(uv[0], k.u, 1) << k.name << " NV12 U first";
  EXPECT_NEAR(uv[1], k.v, 1) << k.name << " NV12 V second";

  // And back: the standard values give the colour again.
  uint8_t ky[4] = {k.y, k.y, k.y, k.y}, ku[1] = {k.u}, kv[1] = {k.v}, kuv[2] = {k.u, k.v};
  cv::Mat back = YUV420p2BGR888(2, 2, ky, ku, kv, 2, 1);
  cv::Mat back_nv = YUVNV122BGR888(2, 2, ky, kuv, 2, 2);
  for (const cv::Mat &m : {back, back_nv}) {
    const cv::Vec3b px = m.at<cv::Vec3b>(1, 1);
    EXPECT_NEAR(px[0], k.b, 3) << k.name << " blue";
    EXPECT_NEAR(px[1], k.g, 3) << k.name << " green";
    EXPECT_NEAR(px[2], k.r, 3) << k.name << " red";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bt601, KnownColours,
    ::testing::Values(KnownColour{"black", 0, 0, 0, 16, 128, 128},
                      KnownColour{"white", 255, 255, 255, 235, 128, 128},
                      KnownColour{"red", 0, 0, 255, 82, 90, 240},
                      KnownColour{"green", 0, 255, 0, 145, 54, 34},
                      KnownColour{"blue", 255, 0, 0, 41, 240, 110}),
    [](const ::testing::TestParamInfo<KnownColour> &i) { return std::string(i.param.name); });
