/* The three detection heads of the YOLO layer and its box record. */
#ifndef TRTNET_YOLO_CONFIGS_H
#define TRTNET_YOLO_CONFIGS_H

namespace Yolo {

static constexpr int CHECK_COUNT = 3;
static constexpr float IGNORE_THRESH = 0.5f;
static constexpr int CLASS_NUM = 80;

struct YoloKernel {
  int width;
  int height;
  float anchors[CHECK_COUNT * 2];
};

static constexpr YoloKernel yolo1 = {19, 19, {116, 90, 156, 198, 373, 326}};
static constexpr YoloKernel yolo2 = {38, 38, {30, 61, 62, 45, 59, 119}};
static constexpr YoloKernel yolo3 = {76, 76, {10, 13, 16, 30, 33, 23}};

struct alignas(float) Detection {
  float bbox[4]; /* x, y centre as fractions of the grid; w, h in input pixels */
  int classId;
  float prob;
};

static_assert(sizeof(YoloKernel) == 32, "serialized head layout");
static_assert(sizeof(Detection) == 24, "output record layout");

}  // namespace Yolo

#endif
