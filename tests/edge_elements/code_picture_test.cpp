/* The code pictures of the real-source tests: what a subscriber reads back
 * after lossy coding, colour conversion and resizing, and what it refuses. */
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <ostream>
#include <vector>

#include "code_picture.h"

namespace codepic {
void PrintTo(const Code &c, std::ostream *os) { *os << label(c); }
}  // namespace codepic

namespace {

using codepic::Code;

cv::Mat painted(int width, int height, Code c) {
  cv::Mat m(height, width, CV_8UC3, cv::Scalar(128, 128, 128));
  codepic::paint_bgr(m.data, width, height, m.step, c);
  return m;
}

std::optional<Code> read(const cv::Mat &m) {
  return codepic::read_bgr(m.data, m.cols, m.rows, m.step);
}

cv::Mat jpeg(const cv::Mat &m, int quality) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(cv::imencode(".jpg", m, bytes, {cv::IMWRITE_JPEG_QUALITY, quality}));
  return cv::imdecode(bytes, cv::IMREAD_COLOR);
}

const Code kCodes[] = {{0, 0}, {1, 0x5a}, {0x1234, 7}, {0xffff, 0xff}, {0x8000, 0x80}, {300, 1}};

TEST(CodePicture, PaintedPicturesReadBackAtEverySize) {
  for (const Code &c : kCodes)
    for (cv::Size s : {cv::Size(320, 240), cv::Size(256, 192), cv::Size(33, 17), cv::Size(641, 479)}) {
      std::optional<Code> got = read(painted(s.width, s.height, c));
      ASSERT_TRUE(got) << s << " code " << codepic::label(c);
      EXPECT_EQ(*got, c) << s;
    }
}

TEST(CodePicture, RowsWithPaddingReadBack) {
  // A buffer whose rows are longer than the picture (a 4-byte aligned stride).
  const int w = 257, h = 190;
  const size_t stride = (w * 3 + 3) / 4 * 4 + 16;
  std::vector<uint8_t> bytes(stride * h, 77);
  const Code c{4321, 0x33};
  codepic::paint_bgr(bytes.data(), w, h, stride, c);
  std::optional<Code> got = codepic::read_bgr(bytes.data(), w, h, stride);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, c);
}

TEST(CodePicture, SurvivesJpegColourConversionAndResizing) {
  for (const Code &c : kCodes) {
    const cv::Mat a = painted(320, 240, c), b = painted(256, 192, c);
    for (int q : {90, 50, 20}) {
      EXPECT_EQ(read(jpeg(a, q)), c) << "JPEG quality " << q;
      EXPECT_EQ(read(jpeg(b, q)), c) << "JPEG quality " << q;
    }
    // BGR -> I420 -> BGR, as videoconvert and the decoders do.
    cv::Mat yuv, back;
    cv::cvtColor(a, yuv, cv::COLOR_BGR2YUV_I420);
    cv::cvtColor(yuv, back, cv::COLOR_YUV2BGR_I420);
    EXPECT_EQ(read(back), c) << "through I420";
    // 320x240 shown at 256x192 and the reverse, after JPEG.
    for (int interp : {cv::INTER_LINEAR, cv::INTER_AREA, cv::INTER_NEAREST, cv::INTER_CUBIC}) {
      cv::Mat small, large;
      cv::resize(jpeg(a, 50), small, cv::Size(256, 192), 0, 0, interp);
      cv::resize(jpeg(b, 50), large, cv::Size(320, 240), 0, 0, interp);
      EXPECT_EQ(read(small), c) << "320x240 at 256x192, interpolation " << interp;
      EXPECT_EQ(read(large), c) << "256x192 at 320x240, interpolation " << interp;
    }
  }
}

TEST(CodePicture, TornAndMixedPicturesAreRefused) {
  const Code a{1000, 0x11}, b{1001, 0x11};
  const cv::Mat pa = painted(320, 240, a), pb = painted(320, 240, b);
  // Upper half of one frame, lower half of the next: the copies disagree.
  cv::Mat torn = pa.clone();
  pb.rowRange(120, 240).copyTo(torn.rowRange(120, 240));
  EXPECT_FALSE(read(torn));
  // Torn inside a row of cells: the cells across the tear are refused or
  // the copies disagree, whichever frames meet.
  for (int n = 0; n < 64; ++n) {
    const Code x{static_cast<uint16_t>(n * 977), 0x22}, y{static_cast<uint16_t>(n * 977 + 1), 0x22};
    cv::Mat t = painted(320, 240, x);
    painted(320, 240, y).rowRange(75, 240).copyTo(t.rowRange(75, 240));
    EXPECT_FALSE(read(t)) << "torn between " << x.number << " and " << y.number;
  }
  // Two cameras' pictures stacked into one tall picture.
  cv::Mat tall(432, 320, CV_8UC3, cv::Scalar(0, 0, 0));
  pa.copyTo(tall.rowRange(0, 240));
  painted(256, 192, Code{1000, 0x22}).copyTo(tall(cv::Rect(0, 240, 256, 192)));
  EXPECT_FALSE(read(tall));
  // Two pictures blended half and half.
  cv::Mat blend;
  cv::addWeighted(pa, 0.5, painted(320, 240, Code{0x5555, 0x44}), 0.5, 0, blend);
  EXPECT_FALSE(read(blend));
}

TEST(CodePicture, GarbledPicturesAreRefused) {
  const Code c{0x0f0f, 0x5a};
  const uint32_t word = codepic::word_of(c);
  EXPECT_FALSE(read(cv::Mat(240, 320, CV_8UC3, cv::Scalar(255, 255, 255))));
  EXPECT_FALSE(read(cv::Mat(240, 320, CV_8UC3, cv::Scalar(0, 0, 0))));
  EXPECT_FALSE(read(cv::Mat(240, 320, CV_8UC3, cv::Scalar(128, 128, 128))));
  EXPECT_FALSE(read(cv::Mat(8, 8, CV_8UC3, cv::Scalar(0, 0, 0)))) << "too small to hold the grid";
  for (int bit = 0; bit < codepic::kBits; ++bit) {
    const int row = bit / codepic::kCols, col = bit % codepic::kCols;
    const codepic::Cell up = codepic::cell(row, col, 320, 240);
    const codepic::Cell low = codepic::cell(row + codepic::kRows / 2, col, 320, 240);
    const cv::Rect rup(up.x0, up.y0, up.x1 - up.x0, up.y1 - up.y0);
    const cv::Rect rlow(low.x0, low.y0, low.x1 - low.x0, low.y1 - low.y0);
    const bool white = (word >> (codepic::kBits - 1 - bit)) & 1u;
    // One cell of one copy flipped: the copies disagree.
    cv::Mat one = painted(320, 240, c);
    one(rup).setTo(cv::Scalar::all(white ? 0 : 255));
    EXPECT_FALSE(read(one)) << "bit " << bit << " flipped in the upper copy";
    // The same bit flipped in both copies: the check byte no longer fits.
    cv::Mat both = one.clone();
    both(rlow).setTo(cv::Scalar::all(white ? 255 : 0));
    EXPECT_FALSE(read(both)) << "bit " << bit << " flipped in both copies";
    // A grey cell.
    cv::Mat grey = painted(320, 240, c);
    grey(rlow).setTo(cv::Scalar::all(128));
    EXPECT_FALSE(read(grey)) << "cell of bit " << bit << " grey";
  }
}

TEST(CodePicture, CheckByteIsTheCrcOfNumberAndMark) {
  // The reference value of CRC-8 (x^8 + x^2 + x + 1) for "123456789".
  const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(codepic::crc8(text, sizeof text), 0xf4);
  EXPECT_EQ(codepic::label(Code{42, 7}), "7:42");
}

}  // namespace
