/* Conversions between the planes of I420/NV12 frames and packed 8-bit
 * three-channel images, as frames travel on the bus.  Plane pointers and row
 * strides are those GStreamer maps; chroma planes cover width / 2 by
 * height / 2 samples (integer division).  The colour arithmetic is OpenCV's.
 *
 * OpenCV refuses odd sizes for 4:2:0 conversions, so odd images are converted
 * through an even copy whose last column / row repeats its neighbour: the last
 * column or row of an odd image has no chroma sample of its own. */
#ifndef OVEDGE_EDGE_PIXEL_H
#define OVEDGE_EDGE_PIXEL_H

#include <cstdint>

#include <opencv2/core.hpp>

/* Packed I420 matrix, (height + height / 2) x width, one channel: the Y
 * plane, then U, then V, each chroma plane stored contiguously. */
cv::Mat createYUVI420p(int width, int height, const uint8_t *y, const uint8_t *u,
                       const uint8_t *v, int strideY, int strideUV);

/* height x width, 8-bit, 3 channels in B, G, R order. */
cv::Mat YUV420p2BGR888(int width, int height, const uint8_t *y, const uint8_t *u,
                       const uint8_t *v, int strideY, int strideUV);
cv::Mat YUVNV122BGR888(int width, int height, const uint8_t *y, const uint8_t *uv, int strideY,
                       int strideUV);

/* Write the planes of `image` (8-bit, B, G, R): rows x cols luma bytes and
 * rows / 2 x cols / 2 chroma samples per plane.  NV12 chroma is written as
 * contiguous U, V pairs from `uv` on, with no stride. */
void RGB8882YUVI420p(cv::Mat image, uint8_t *y, uint8_t *u, uint8_t *v, int &strideY,
                     int &strideUV);
void RGB8882YUVNV12(cv::Mat image, uint8_t *y, uint8_t *uv, int &strideY);

/* Where a packed three-colour format keeps its colours in a pixel of
 * `pstride` bytes (GStreamer's component pixel stride and offsets). */
struct PackedColours {
  int pstride, r, g, b;
  /* Plain B, G, R: rows are copied whole. */
  bool bgr() const { return pstride == 3 && b == 0 && g == 1 && r == 2; }
};

/* height rows of width pixels from a packed plane laid out as `colours`
 * (row stride `stride`) to tightly packed B, G, R bytes, and from B, G, R
 * rows `bgr_stride` apart to such a plane; bytes of the plane's pixels other
 * than the three colours are left as they are. */
void packed_to_bgr(const uint8_t *plane, size_t stride, PackedColours colours, int width,
                   int height, uint8_t *bgr);
void bgr_to_packed(const uint8_t *bgr, size_t bgr_stride, int width, int height,
                   PackedColours colours, uint8_t *plane, size_t stride);

#endif
