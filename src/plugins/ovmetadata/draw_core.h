/* Drawing of inference results into BGR frame matrices: the primitives the
 * drawing element uses, its constants and the process-wide segmentation
 * colour table.  No GStreamer types here. */
#ifndef OVMETADATA_DRAW_CORE_H
#define OVMETADATA_DRAW_CORE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "ovbatch_records.h"

namespace ovmetadata {

/* Colours are B, G, R, A in the frame's channel order. */
extern const cv::Scalar box_colour;
extern const cv::Scalar text_colour;
extern const cv::Scalar text_background_colour;
constexpr int kFontFace = 1;  /* cv::FONT_HERSHEY_PLAIN */
constexpr double kFontScale = 2.0;
constexpr int kThickness = 2;
constexpr int kPointRadius = 5;
constexpr int kBannerX = 50;
constexpr int kBannerY = 50;

struct Color {
  uint8_t b = 0;
  uint8_t g = 0;
  uint8_t r = 0;
  bool operator==(const Color &o) const { return b == o.b && g == o.g && r == o.r; }
  bool operator!=(const Color &o) const { return !(*this == o); }
};

constexpr size_t kCityscapesColorCount = 21;
extern const std::array<Color, kCityscapesColorCount> CITYSCAPES_COLORS;

/* Colours by segmentation label id.  Starts with the 21 fixed colours and
 * grows with random colours when an id past its end shows up; colours once
 * added never change.  Growth stops at `max_size` entries: larger ids wrap
 * onto the table (id modulo max_size), so a hostile id cannot make it
 * allocate without bound and still always gets the same colour.  Ids are
 * taken as unsigned, so a negative id wraps too.  All members lock. */
class SegColorTable {
 public:
  static constexpr size_t kDefaultMaxSize = 4096;

  SegColorTable(uint32_t seed, size_t max_size = kDefaultMaxSize);

  /* The process-wide table, seeded from the wall clock (seconds) on first use. */
  static SegColorTable &instance();

  Color lookup(int32_t label_id);
  /* Fills `out` (8-bit, 3 channels, grid rows x first-row length) with the
   * colours of the grid's cells, under one lock for the whole grid. */
  void paint(const orvane::ai::SegmentGrid &grid, cv::Mat &out);

  size_t size() const;
  size_t max_size() const { return max_size_; }

 private:
  /* Call with lock_ held. */
  const Color &lookup_locked(int32_t label_id);

  const size_t max_size_;
  mutable std::mutex lock_;  /* guards colors_ and rng_ */
  std::vector<Color> colors_;
  std::mt19937 rng_;
};

/* Pixel coordinate of a normalised coordinate, in single precision, truncated
 * toward zero; clamped to +-2^20 (NaN gives 0) so any float converts. */
int to_pixel(float fraction, int extent);

void drawText(cv::Mat &mat, int x, int y, const std::string &text, double font_scale,
              int thickness);
void drawBox(cv::Mat &mat, float x1, float y1, float x2, float y2, const std::string &label,
             double font_scale, int thickness);
void drawLine(cv::Mat &mat, float x1, float y1, float x2, float y2, const std::string &label,
              double font_scale, int thickness);
void drawDot(cv::Mat &mat, float x1, float y1, const std::string &label, double font_scale,
             int thickness);
/* Colours the grid with the process-wide table and blends it over the frame
 * (overlay) or replaces the frame with it, enlarged bilinearly. */
void drawSegs(cv::Mat &mat, const orvane::ai::SegmentGrid &grid, bool overlay, float opacity);
void drawSegs(cv::Mat &mat, const orvane::ai::SegmentGrid &grid, bool overlay, float opacity,
              SegColorTable &table);

/* Where the labels of one frame go.  A label sits above the top-left corner
 * of what it names when there is room; otherwise below the box, then inside
 * it under its top edge, then further rows below and above.  It always
 * stays inside the frame (moved left from the right edge) and never covers a
 * label placed before it in the same frame. */
class LabelLayout {
 public:
  LabelLayout(int cols, int rows, double font_scale = kFontScale, int thickness = kThickness);

  /* Bottom-left corner of the text for `label` naming `anchor` (pixels; a
   * point for lines and dots), and the label's area marked as taken. */
  cv::Point place(const cv::Rect &anchor, const std::string &label);
  /* What the label drawn at `origin` covers: its background and descenders. */
  cv::Rect area(const cv::Point &origin, const std::string &label) const;

 private:
  bool fits(const cv::Rect &r) const;
  bool free(const cv::Rect &r) const;

  cv::Size frame_;
  double font_scale_;
  int thickness_;
  std::vector<cv::Rect> taken_;
};

/* The classification banner: "Classification: " and the label, at (50, 50). */
void draw_banner(cv::Mat &mat, const std::string &label);
/* One box: a rectangle, or for `meta` "pose" a line (corners differ) or a dot. */
void draw_box_result(cv::Mat &mat, const orvane::ai::DetectionBoxResult &box);
/* Every box of a frame: all shapes first, then their labels placed by one
 * LabelLayout, so no shape or label is drawn over a label. */
void draw_box_results(cv::Mat &mat, const std::vector<orvane::ai::DetectionBoxResult> &boxes);

}  // namespace ovmetadata

#endif /* OVMETADATA_DRAW_CORE_H */
