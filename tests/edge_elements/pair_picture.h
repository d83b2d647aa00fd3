/* The pictures of the bus pairing tests: a 320x240 BGR frame whose every
 * pixel tells the frame's number (blue = low byte, green = high byte) and its
 * publisher's mark (red). */
#ifndef PAIR_PICTURE_H
#define PAIR_PICTURE_H

#include <cstddef>
#include <cstdint>

namespace pairtest {

constexpr int kWidth = 320, kHeight = 240;
constexpr size_t kBytes = static_cast<size_t>(kWidth) * kHeight * 3;

inline void paint(uint8_t *bgr, uint32_t n, uint8_t mark) {
  for (size_t i = 0; i < kBytes; i += 3) {
    bgr[i] = static_cast<uint8_t>(n & 0xff);
    bgr[i + 1] = static_cast<uint8_t>((n >> 8) & 0xff);
    bgr[i + 2] = mark;
  }
}

/* The number and mark a picture shows; false when its pixels disagree (a
 * torn or mixed picture).  `stride` is the row length in bytes. */
inline bool read_picture(const uint8_t *bgr, size_t stride, uint32_t &n, uint8_t &mark) {
  const uint8_t b = bgr[0], g = bgr[1], r = bgr[2];
  for (int y = 0; y < kHeight; ++y) {
    const uint8_t *row = bgr + static_cast<size_t>(y) * stride;
    for (int x = 0; x < kWidth; ++x)
      if (row[3 * x] != b || row[3 * x + 1] != g || row[3 * x + 2] != r) return false;
  }
  n = static_cast<uint32_t>(b) | (static_cast<uint32_t>(g) << 8);
  mark = r;
  return true;
}

}  // namespace pairtest

#endif
