#include "draw_core.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include <opencv2/imgproc.hpp>

namespace ovmetadata {

const cv::Scalar box_colour(147, 20, 255, 0);
const cv::Scalar text_colour(204, 102, 0, 0);
const cv::Scalar text_background_colour(255, 255, 255, 0);

static_assert(kFontFace == cv::FONT_HERSHEY_PLAIN, "plain Hershey font");

const std::array<Color, kCityscapesColorCount> CITYSCAPES_COLORS = {{
    {128, 64, 128}, {232, 35, 244}, {70, 70, 70},    {156, 102, 102}, {153, 153, 190},
    {153, 153, 153}, {30, 170, 250}, {0, 220, 220},  {35, 142, 107},  {152, 251, 152},
    {180, 130, 70}, {60, 20, 220},   {0, 0, 255},    {142, 0, 0},     {70, 0, 0},
    {100, 60, 0},   {90, 0, 0},      {230, 0, 0},    {32, 11, 119},   {0, 74, 111},
    {81, 0, 81},
}};

SegColorTable::SegColorTable(uint32_t seed, size_t max_size)
    : max_size_(std::max(max_size, kCityscapesColorCount)),
      colors_(CITYSCAPES_COLORS.begin(), CITYSCAPES_COLORS.end()),
      rng_(seed) {}

SegColorTable &SegColorTable::instance() {
  static SegColorTable table(static_cast<uint32_t>(time(nullptr)));
  return table;
}

const Color &SegColorTable::lookup_locked(int32_t label_id) {
  size_t index = static_cast<uint32_t>(label_id);
  if (index >= max_size_)
    index %= max_size_;
  if (index >= colors_.size()) {
    std::uniform_int_distribution<int> channel(0, 255);
    colors_.reserve(index + 1);
    while (colors_.size() <= index) {
      Color c;
      c.b = static_cast<uint8_t>(channel(rng_));
      c.g = static_cast<uint8_t>(channel(rng_));
      c.r = static_cast<uint8_t>(channel(rng_));
      colors_.push_back(c);
    }
  }
  return colors_[index];
}

Color SegColorTable::lookup(int32_t label_id) {
  std::lock_guard<std::mutex> guard(lock_);
  return lookup_locked(label_id);
}

void SegColorTable::paint(const orvane::ai::SegmentGrid &grid, cv::Mat &out) {
  const int rows = static_cast<int>(grid.size());
  const int cols = rows > 0 ? static_cast<int>(grid[0].size()) : 0;
  out = cv::Mat::zeros(rows, cols, CV_8UC3);
  std::lock_guard<std::mutex> guard(lock_);
  for (int r = 0; r < rows; ++r) {
    const auto &row = grid[r];
    const int n = std::min(cols, static_cast<int>(row.size()));
    auto *px = out.ptr<cv::Vec3b>(r);
    for (int c = 0; c < n; ++c) {
      const Color &colour = lookup_locked(row[c].label_id);
      px[c] = cv::Vec3b(colour.b, colour.g, colour.r);
    }
  }
}

size_t SegColorTable::size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return colors_.size();
}

int to_pixel(float fraction, int extent) {
  float v = fraction * static_cast<float>(extent);
  // Coordinates from a network or the bus may be anything; converting a
  // float outside int's range is undefined.  OpenCV clips what is drawn.
  constexpr float kLimit = 1 << 20;
  if (std::isnan(v))
    return 0;
  v = std::min(std::max(v, -kLimit), kLimit);
  return static_cast<int>(v);
}

void drawText(cv::Mat &mat, int x, int y, const std::string &text, double font_scale,
              int thickness) {
  int baseline = 0;
  cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_PLAIN, font_scale, thickness, &baseline);
  cv::rectangle(mat, cv::Point(x, y), cv::Point(x + size.width, y - size.height - thickness),
                text_background_colour, cv::FILLED, cv::LINE_8);
  cv::putText(mat, text, cv::Point(x, y), cv::FONT_HERSHEY_PLAIN, font_scale, text_colour,
              thickness, cv::LINE_AA);
}

/* The pixel of the fractional position (x, y) of `mat`. */
static cv::Point pixel(const cv::Mat &mat, float x, float y) {
  return cv::Point(to_pixel(x, mat.cols), to_pixel(y, mat.rows));
}

static void draw_label(cv::Mat &mat, float x1, float y1, const std::string &label,
                       double font_scale, int thickness) {
  if (!label.empty())
    drawText(mat, to_pixel(x1, mat.cols), to_pixel(y1, mat.rows), label, font_scale, thickness);
}

void drawBox(cv::Mat &mat, float x1, float y1, float x2, float y2, const std::string &label,
             double font_scale, int thickness) {
  cv::rectangle(mat, pixel(mat, x1, y1), pixel(mat, x2, y2), box_colour, thickness, cv::LINE_8);
  draw_label(mat, x1, y1, label, font_scale, thickness);
}

void drawLine(cv::Mat &mat, float x1, float y1, float x2, float y2, const std::string &label,
              double font_scale, int thickness) {
  cv::line(mat, pixel(mat, x1, y1), pixel(mat, x2, y2), box_colour, thickness, cv::LINE_8);
  draw_label(mat, x1, y1, label, font_scale, thickness);
}

void drawDot(cv::Mat &mat, float x1, float y1, const std::string &label, double font_scale,
             int thickness) {
  cv::circle(mat, pixel(mat, x1, y1), kPointRadius, box_colour, thickness, cv::LINE_8);
  draw_label(mat, x1, y1, label, font_scale, thickness);
}

void drawSegs(cv::Mat &mat, const orvane::ai::SegmentGrid &grid, bool overlay, float opacity,
              SegColorTable &table) {
  if (grid.empty() || grid[0].empty() || mat.empty())
    return;
  // Resizing or blending into a matrix of another type would reallocate it
  // and the drawing would never reach the frame.
  if (mat.type() != CV_8UC3)
    return;
  cv::Mat colours;
  table.paint(grid, colours);
  if (overlay) {
    cv::Mat enlarged;
    cv::resize(colours, enlarged, mat.size(), 0, 0, cv::INTER_LINEAR);
    cv::addWeighted(mat, 1.0 - opacity, enlarged, opacity, 0.0, mat);
  } else {
    cv::resize(colours, mat, mat.size(), 0, 0, cv::INTER_LINEAR);
  }
}

void drawSegs(cv::Mat &mat, const orvane::ai::SegmentGrid &grid, bool overlay, float opacity) {
  drawSegs(mat, grid, overlay, opacity, SegColorTable::instance());
}

void draw_banner(cv::Mat &mat, const std::string &label) {
  drawText(mat, kBannerX, kBannerY, "Classification: " + label, kFontScale, kThickness);
}

LabelLayout::LabelLayout(int cols, int rows, double font_scale, int thickness)
    : frame_(cols, rows), font_scale_(font_scale), thickness_(thickness) {}

cv::Rect LabelLayout::area(const cv::Point &origin, const std::string &label) const {
  int baseline = 0;
  const cv::Size text =
      cv::getTextSize(label, cv::FONT_HERSHEY_PLAIN, font_scale_, thickness_, &baseline);
  // drawText fills both corners of its background: one column and one row
  // more than the text's size; descenders reach `baseline` below the origin.
  const int top = origin.y - text.height - thickness_;
  return cv::Rect(origin.x, top, text.width + 1, origin.y + std::max(baseline, 1) - top);
}

bool LabelLayout::fits(const cv::Rect &r) const {
  return r.x >= 0 && r.y >= 0 && r.x + r.width <= frame_.width && r.y + r.height <= frame_.height;
}

bool LabelLayout::free(const cv::Rect &r) const {
  for (const cv::Rect &t : taken_)
    if ((r & t).area() > 0)
      return false;
  return true;
}

cv::Point LabelLayout::place(const cv::Rect &anchor, const std::string &label) {
  const cv::Rect probe = area(cv::Point(0, 0), label);  // y from -(height - descent)
  const int above = -probe.y;                           // origin to the label's top
  const int row = probe.height;
  const int x = std::max(0, std::min(anchor.x, frame_.width - probe.width));
  const int top = anchor.y, bottom = anchor.y + anchor.height;

  // Candidate text origins (their y), in order of preference.
  std::vector<int> ys = {top, bottom + thickness_ + above, top + thickness_ + above};
  const int rows = frame_.height / std::max(row, 1) + 1;
  for (int k = 1; k <= rows; ++k) {
    ys.push_back(bottom + thickness_ + above + k * row);
    ys.push_back(top - k * row);
  }
  const cv::Point *chosen = nullptr;
  std::vector<cv::Point> origins;
  origins.reserve(ys.size());
  for (int y : ys)
    origins.emplace_back(x, y);
  for (const cv::Point &o : origins)
    if (fits(area(o, label)) && free(area(o, label))) {
      chosen = &o;
      break;
    }
  if (!chosen)  // crowded: stay inside the frame at least
    for (const cv::Point &o : origins)
      if (fits(area(o, label))) {
        chosen = &o;
        break;
      }
  const cv::Point origin = chosen ? *chosen : origins.front();
  taken_.push_back(area(origin, label));
  return origin;
}

void draw_box_result(cv::Mat &mat, const orvane::ai::DetectionBoxResult &box) {
  draw_box_results(mat, {box});
}

void draw_box_results(cv::Mat &mat, const std::vector<orvane::ai::DetectionBoxResult> &boxes) {
  for (const auto &box : boxes) {
    if (box.meta != "pose")
      drawBox(mat, box.x1, box.y1, box.x2, box.y2, "", kFontScale, kThickness);
    else if (box.x1 != box.x2 || box.y1 != box.y2)
      drawLine(mat, box.x1, box.y1, box.x2, box.y2, "", kFontScale, kThickness);
    else
      drawDot(mat, box.x1, box.y1, "", kFontScale, kThickness);
  }
  LabelLayout layout(mat.cols, mat.rows);
  for (const auto &box : boxes) {
    if (box.obj_label.empty())
      continue;
    const int x1 = to_pixel(box.x1, mat.cols), y1 = to_pixel(box.y1, mat.rows);
    // A line or a dot is named at its first point; a box spans its corners.
    const bool spans = box.meta != "pose";
    const int x2 = spans ? to_pixel(box.x2, mat.cols) : x1;
    const int y2 = spans ? to_pixel(box.y2, mat.rows) : y1;
    const cv::Rect anchor(cv::Point(std::min(x1, x2), std::min(y1, y2)),
                          cv::Point(std::max(x1, x2), std::max(y1, y2)));
    const cv::Point origin = layout.place(anchor, box.obj_label);
    drawText(mat, origin.x, origin.y, box.obj_label, kFontScale, kThickness);
  }
}

}  // namespace ovmetadata
