/* Code pictures of the real-source bus tests: a frame's number (16 bits)
 * and its camera's mark (8 bits) painted over the whole picture as a grid
 * of large black and white cells, so that they survive lossy coding (JPEG,
 * VP8), colour conversion (BGR <-> I420) and resizing.
 *
 * The grid has 8 x 8 cells, each 1/8 of the width and of the height.  The
 * upper four rows hold 32 bits row by row, most significant first: the
 * number, the mark and a check byte (CRC-8 of the three bytes before); white
 * is 1.  The lower four rows hold the same bits inverted.  A cell is read
 * from the mean of its central half; a cell neither clearly black nor
 * clearly white, copies that disagree (a picture torn between two frames,
 * two pictures mixed into one) or a wrong check byte make the picture
 * unreadable.
 *
 * rtsp_camera.py paints the same grid. */
#ifndef CODE_PICTURE_H
#define CODE_PICTURE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace codepic {

constexpr int kCols = 8, kRows = 8;
constexpr int kBits = 32;  /* cells of one copy: kCols x kRows / 2 */
/* Mean channel values a cell must stay under (black) or above (white). */
constexpr int kBlackBelow = 96, kWhiteAbove = 160;

struct Code {
  uint16_t number = 0;
  uint8_t mark = 0;
  bool operator==(const Code &o) const { return number == o.number && mark == o.mark; }
  bool operator!=(const Code &o) const { return !(*this == o); }
};

/* CRC-8, polynomial x^8 + x^2 + x + 1, initial value 0. */
inline uint8_t crc8(const uint8_t *p, size_t n) {
  uint8_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc = static_cast<uint8_t>(crc ^ p[i]);
    for (int b = 0; b < 8; ++b)
      crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

inline uint8_t check_byte(const Code &c) {
  const uint8_t bytes[3] = {static_cast<uint8_t>(c.number >> 8),
                            static_cast<uint8_t>(c.number & 0xff), c.mark};
  return crc8(bytes, 3);
}

/* The 32 bits of the upper copy, bit 31 in the top-left cell. */
inline uint32_t word_of(const Code &c) {
  return (static_cast<uint32_t>(c.number) << 16) | (static_cast<uint32_t>(c.mark) << 8) |
         check_byte(c);
}

/* Cell (row, col) spans columns [x0, x1) and rows [y0, y1). */
struct Cell {
  int x0, x1, y0, y1;
};
inline Cell cell(int row, int col, int width, int height) {
  return {col * width / kCols, (col + 1) * width / kCols, row * height / kRows,
          (row + 1) * height / kRows};
}

/* Whether cell (row, col) is white in the picture of `c`. */
inline bool cell_white(uint32_t word, int row, int col) {
  const int copy_row = row % (kRows / 2);
  const bool bit = (word >> (kBits - 1 - (copy_row * kCols + col))) & 1u;
  return row < kRows / 2 ? bit : !bit;
}

/* Paints a packed-BGR picture; `stride` is the row length in bytes. */
inline void paint_bgr(uint8_t *bgr, int width, int height, size_t stride, const Code &c) {
  const uint32_t word = word_of(c);
  for (int row = 0; row < kRows; ++row)
    for (int col = 0; col < kCols; ++col) {
      const Cell k = cell(row, col, width, height);
      const uint8_t v = cell_white(word, row, col) ? 255 : 0;
      for (int y = k.y0; y < k.y1; ++y) {
        uint8_t *p = bgr + static_cast<size_t>(y) * stride + static_cast<size_t>(k.x0) * 3;
        for (int x = k.x0; x < k.x1; ++x, p += 3) p[0] = p[1] = p[2] = v;
      }
    }
}

/* The code a packed-BGR picture shows, or nothing when it is unreadable. */
inline std::optional<Code> read_bgr(const uint8_t *bgr, int width, int height, size_t stride) {
  if (width < 2 * kCols || height < 2 * kRows) return std::nullopt;
  uint32_t upper = 0, lower = 0;
  for (int row = 0; row < kRows; ++row)
    for (int col = 0; col < kCols; ++col) {
      const Cell k = cell(row, col, width, height);
      const int mx = (k.x1 - k.x0) / 4, my = (k.y1 - k.y0) / 4;
      uint64_t sum = 0, n = 0;
      for (int y = k.y0 + my; y < k.y1 - my; ++y) {
        const uint8_t *p = bgr + static_cast<size_t>(y) * stride + static_cast<size_t>(k.x0 + mx) * 3;
        for (int x = k.x0 + mx; x < k.x1 - mx; ++x, p += 3) {
          sum += static_cast<uint64_t>(p[0]) + p[1] + p[2];
          n += 3;
        }
      }
      const uint64_t mean = sum / n;
      bool white;
      if (mean < kBlackBelow) white = false;
      else if (mean > kWhiteAbove) white = true;
      else return std::nullopt;  // a cell neither black nor white
      uint32_t &word = row < kRows / 2 ? upper : lower;
      word = (word << 1) | (white ? 1u : 0u);
    }
  if (upper != ~lower) return std::nullopt;  // the copies disagree
  Code c;
  c.number = static_cast<uint16_t>(upper >> 16);
  c.mark = static_cast<uint8_t>((upper >> 8) & 0xff);
  if (check_byte(c) != (upper & 0xff)) return std::nullopt;
  return c;
}

/* The label of the one box a publisher gives a frame: "<mark>:<number>". */
inline std::string label(const Code &c) {
  return std::to_string(c.mark) + ":" + std::to_string(c.number);
}

/* The cameras of the real-source tests are named after their mark: the
 * stream id (first line of the device file) and the serial (eighth). */
inline std::string camera_stream(int mark) { return "cam-" + std::to_string(mark); }
inline std::string camera_serial(int mark) { return "SN-CAM-" + std::to_string(mark); }

}  // namespace codepic

#endif
