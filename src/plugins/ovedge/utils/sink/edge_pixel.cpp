#include "edge_pixel.h"

#include <cstring>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace {

/* OpenCV conversion codes, by number so the choice is explicit. */
constexpr int kI420ToBGR = 101;  /* cv::COLOR_YUV2BGR_I420 */
constexpr int kNV12ToBGR = 91;   /* cv::COLOR_YUV2BGR_NV12 */
/* Bus images hold B, G, R bytes (whatever their format text says), so the
 * B, G, R variant gives true luma and U / V in plane order. */
constexpr int kBGRToI420 = 128;  /* cv::COLOR_BGR2YUV_I420 */
constexpr int kBGRToYV12 = 132;  /* cv::COLOR_BGR2YUV_YV12 */

int even_up(int n) { return n + (n & 1); }

/* Chroma sample (cx, cy) of a plane with `cw` x `ch` samples, repeating the
 * last one beyond; neutral grey when the plane is empty (width or height 1). */
uint8_t chroma_at(const uint8_t *plane, int stride, int cw, int ch, int cx, int cy, int step = 1,
                  int offset = 0) {
  if (cw <= 0 || ch <= 0)
    return 128;
  cx = cx < cw ? cx : cw - 1;
  cy = cy < ch ? cy : ch - 1;
  return plane[static_cast<size_t>(cy) * stride + static_cast<size_t>(cx) * step + offset];
}

/* An even-sized packed I420 matrix for an odd-sized frame: the last luma
 * column / row and the missing chroma samples repeat their neighbours. */
cv::Mat pack_even_i420(int width, int height, const uint8_t *y, int strideY,
                       const uint8_t *u, const uint8_t *v, int strideUV, bool interleaved) {
  const int W = even_up(width), H = even_up(height);
  const int cw = width / 2, ch = height / 2;
  cv::Mat packed(H + H / 2, W, CV_8UC1);
  uint8_t *dst = packed.data;
  for (int r = 0; r < H; ++r) {
    const uint8_t *src = y + static_cast<size_t>(r < height ? r : height - 1) * strideY;
    std::memcpy(dst, src, width);
    if (W > width)
      dst[width] = src[width - 1];
    dst += W;
  }
  uint8_t *du = packed.data + static_cast<size_t>(W) * H;
  uint8_t *dv = du + static_cast<size_t>(W / 2) * (H / 2);
  for (int cy = 0; cy < H / 2; ++cy) {
    for (int cx = 0; cx < W / 2; ++cx) {
      const size_t i = static_cast<size_t>(cy) * (W / 2) + cx;
      if (interleaved) {
        du[i] = chroma_at(u, strideUV, cw, ch, cx, cy, 2, 0);
        dv[i] = chroma_at(u, strideUV, cw, ch, cx, cy, 2, 1);
      } else {
        du[i] = chroma_at(u, strideUV, cw, ch, cx, cy);
        dv[i] = chroma_at(v, strideUV, cw, ch, cx, cy);
      }
    }
  }
  return packed;
}

cv::Mat odd_to_bgr(int width, int height, const uint8_t *y, int strideY, const uint8_t *u,
                   const uint8_t *v, int strideUV, bool interleaved) {
  cv::Mat packed = pack_even_i420(width, height, y, strideY, u, v, strideUV, interleaved);
  cv::Mat bgr;
  cv::cvtColor(packed, bgr, kI420ToBGR);
  return bgr(cv::Rect(0, 0, width, height)).clone();
}

/* OpenCV wants even sizes for 4:2:0 output: odd images grow by one repeated
 * column / row, of which only the image's own samples are written out. */
cv::Mat even_image(const cv::Mat &image) {
  if (image.empty() || image.type() != CV_8UC3)
    throw std::invalid_argument("expected an 8-bit, 3-channel image");
  if (image.cols % 2 == 0 && image.rows % 2 == 0)
    return image;
  cv::Mat grown;
  cv::copyMakeBorder(image, grown, 0, image.rows % 2, 0, image.cols % 2,
                     cv::BORDER_REPLICATE | cv::BORDER_ISOLATED);
  return grown;
}

/* The chroma planes of a planar 4:2:0 image, `stride` samples a row. */
struct Chroma {
  const uint8_t *u, *v;
  size_t stride;
};

/* Converts the image (made even-sized) to planar 4:2:0 in `yuv` with `code`,
 * writes its luma rows to `y` and returns its chroma planes; `v_first` for a
 * conversion that stores V before U. */
Chroma write_luma(const cv::Mat &image, int code, bool v_first, uint8_t *y, int strideY,
                  cv::Mat &yuv) {
  cv::Mat even = even_image(image);
  cv::cvtColor(even, yuv, code);
  const size_t W = static_cast<size_t>(even.cols), H = static_cast<size_t>(even.rows);
  const uint8_t *first = yuv.data + W * H;
  const uint8_t *second = first + (W / 2) * (H / 2);
  for (int r = 0; r < image.rows; ++r)
    std::memcpy(y + static_cast<size_t>(r) * strideY, yuv.data + r * W, image.cols);
  return v_first ? Chroma{second, first, W / 2} : Chroma{first, second, W / 2};
}

}  // namespace

cv::Mat createYUVI420p(int width, int height, const uint8_t *y, const uint8_t *u,
                       const uint8_t *v, int strideY, int strideUV) {
  cv::Mat packed(height + height / 2, width, CV_8UC1);
  uint8_t *dst = packed.data;
  for (int r = 0; r < height; ++r, dst += width)
    std::memcpy(dst, y + static_cast<size_t>(r) * strideY, width);
  const int cw = width / 2;
  uint8_t *du = dst;
  uint8_t *dv = du + static_cast<size_t>(cw) * (height / 2);
  for (int r = 0; r < height / 2; ++r, du += cw, dv += cw) {
    std::memcpy(du, u + static_cast<size_t>(r) * strideUV, cw);
    std::memcpy(dv, v + static_cast<size_t>(r) * strideUV, cw);
  }
  return packed;
}

cv::Mat YUV420p2BGR888(int width, int height, const uint8_t *y, const uint8_t *u,
                       const uint8_t *v, int strideY, int strideUV) {
  if (width % 2 || height % 2)
    return odd_to_bgr(width, height, y, strideY, u, v, strideUV, false);
  cv::Mat packed = createYUVI420p(width, height, y, u, v, strideY, strideUV);
  cv::Mat bgr;
  cv::cvtColor(packed, bgr, kI420ToBGR);
  return bgr;
}

cv::Mat YUVNV122BGR888(int width, int height, const uint8_t *y, const uint8_t *uv, int strideY,
                       int strideUV) {
  if (width % 2 || height % 2)
    return odd_to_bgr(width, height, y, strideY, uv, nullptr, strideUV, true);
  cv::Mat packed(height + height / 2, width, CV_8UC1);
  uint8_t *dst = packed.data;
  for (int r = 0; r < height; ++r, dst += width)
    std::memcpy(dst, y + static_cast<size_t>(r) * strideY, width);
  for (int r = 0; r < height / 2; ++r, dst += width)
    std::memcpy(dst, uv + static_cast<size_t>(r) * strideUV, width);
  cv::Mat bgr;
  cv::cvtColor(packed, bgr, kNV12ToBGR);
  return bgr;
}

void RGB8882YUVI420p(cv::Mat image, uint8_t *y, uint8_t *u, uint8_t *v, int &strideY,
                     int &strideUV) {
  cv::Mat yuv;
  const Chroma c = write_luma(image, kBGRToI420, false, y, strideY, yuv);
  const size_t cols = static_cast<size_t>(image.cols / 2);
  for (int r = 0; r < image.rows / 2; ++r) {
    std::memcpy(u + static_cast<size_t>(r) * strideUV, c.u + r * c.stride, cols);
    std::memcpy(v + static_cast<size_t>(r) * strideUV, c.v + r * c.stride, cols);
  }
}

void RGB8882YUVNV12(cv::Mat image, uint8_t *y, uint8_t *uv, int &strideY) {
  cv::Mat yuv;
  const Chroma c = write_luma(image, kBGRToYV12, true, y, strideY, yuv);
  size_t i = 0;
  for (int r = 0; r < image.rows / 2; ++r)
    for (int col = 0; col < image.cols / 2; ++col, ++i) {
      uv[2 * i] = c.u[r * c.stride + col];
      uv[2 * i + 1] = c.v[r * c.stride + col];
    }
}

void packed_to_bgr(const uint8_t *plane, size_t stride, PackedColours colours, int width,
                   int height, uint8_t *bgr) {
  const size_t row_bytes = static_cast<size_t>(width) * 3;
  for (int r = 0; r < height; ++r, bgr += row_bytes) {
    const uint8_t *p = plane + static_cast<size_t>(r) * stride;
    if (colours.bgr()) {
      std::memcpy(bgr, p, row_bytes);
      continue;
    }
    uint8_t *out = bgr;
    for (int c = 0; c < width; ++c, p += colours.pstride, out += 3) {
      out[0] = p[colours.b];
      out[1] = p[colours.g];
      out[2] = p[colours.r];
    }
  }
}

void bgr_to_packed(const uint8_t *bgr, size_t bgr_stride, int width, int height,
                   PackedColours colours, uint8_t *plane, size_t stride) {
  const size_t row_bytes = static_cast<size_t>(width) * 3;
  for (int r = 0; r < height; ++r, bgr += bgr_stride) {
    uint8_t *p = plane + static_cast<size_t>(r) * stride;
    if (colours.bgr()) {
      std::memcpy(p, bgr, row_bytes);
      continue;
    }
    const uint8_t *in = bgr;
    for (int c = 0; c < width; ++c, p += colours.pstride, in += 3) {
      p[colours.b] = in[0];
      p[colours.g] = in[1];
      p[colours.r] = in[2];
    }
  }
}
