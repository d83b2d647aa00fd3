/* What the bus source makes of one matched frame: the batch record of the
 * pushed buffer (frame with its results, device) and the picture written into
 * the planes of the negotiated output frame. */
#ifndef OVEDGE_SRC_EXTRACT_H
#define OVEDGE_SRC_EXTRACT_H

#include <cstddef>
#include <string>
#include <vector>

#include <gst/video/video.h>
#include <opencv2/core.hpp>

#include "edge_records.h"
#include "ovbatch_records.h"

namespace ovedge {

/* Grid cells a received segmentation may expand to (a 1920 x 1080 grid fits). */
constexpr size_t kMaxSegmentCells = 1u << 21;

/* Rebuilds the label grid from row-major runs.  The grid is the first
 * entry's width x height (at most `max_cells` cells): runs fill rows of
 * exactly that width, a run longer than the rest of its row continues on the
 * next one, and whatever does not fit is dropped.  A width or height of 0
 * gives an empty grid. */
orvane::ai::SegmentGrid expand_segment_runs(const std::vector<VXCORE::SegmentationData> &runs,
                                            size_t max_cells = kMaxSegmentCells);

VideoFrameData frame_data_from(const VXCORE::FrameInfo &frame,
                               const VXCORE::Information<VXCORE::ClassificationData> &cls,
                               const VXCORE::Information<VXCORE::DetectionBoxData> &det,
                               const VXCORE::SegmentInfo &seg);
DeviceInfoData device_data_from(const VXCORE::DeviceInfo &device);

/* Multi-line text of the devices and frames of a batch record. */
std::string batch_meta_string(const OvBatch &batch);

/* Size a received image is resized to for an output of width x height:
 * width rounded up to a multiple of 4, height to an even number. */
cv::Size resize_target(int width, int height);

/* The picture a received frame carries, as 8-bit B, G, R: a view of the
 * record's own bytes when they are raw (no copy), else decoded into
 * `scratch`.  Empty when the record carries no picture (no data, a zero size,
 * an unknown compression): such a record is no frame to show.  Throws
 * std::out_of_range when the data is shorter than the size it states. */
cv::Mat received_picture(const VXCORE::FrameInfo &frame, cv::Mat &scratch);

/* Writes `image` (8-bit B, G, R) into the frame.  An image of another size is
 * resized to resize_target() of the frame and only its top-left frame-sized
 * part is used, so nothing beyond the frame's planes is written.  False for
 * an output format other than I420, NV12 and BGR (the frame is untouched). */
bool write_image_to_frame(const cv::Mat &image, GstVideoFrame *frame);

/* Copies the received encoded bytes held at the start of `image` into the
 * buffer: at most `encoded_size` bytes, never more than the image or the
 * buffer holds; the buffer is cut to the bytes copied.  Returns that count. */
size_t copy_encoded_bytes(const cv::Mat &image, size_t encoded_size, GstBuffer *buffer);

}  // namespace ovedge

#endif
