/* What the bus sink publishes for one buffer: the records built from the
 * first frame of its batch record (and that frame's device), or fabricated
 * ones when the buffer carries no batch record, and the packing of the
 * picture into B, G, R bytes. */
#ifndef OVEDGE_SINK_RECORDS_H
#define OVEDGE_SINK_RECORDS_H

#include <cstdint>
#include <string>
#include <vector>

#include <gst/video/video.h>

#include "edge_records.h"
#include "ovbatch_records.h"

namespace ovedge {

extern const char *const kFakeStreamId;
extern const char *const kNotSet;
extern const char *const kCompressionNone;
extern const char *const kCompressionJpg;
extern const char *const kCompressionEncoded;
extern const char *const kPixelFormatRGB8;

/* Frame fields (not the picture) from `frame`, or fabricated when null. */
void load_frame_info(VXCORE::FrameInfo &out, const VideoFrameData *frame, uint32_t frame_number,
                     uint32_t channels);
/* A copy of `device` with every empty string "Not Set", or fabricated. */
void load_device_info(VXCORE::DeviceInfo &out, const DeviceInfoData *device);
/* Appends the frame's results (or three fabricated entries) to `out`. */
void load_classification(VXCORE::Information<VXCORE::ClassificationData> &out,
                         const VideoFrameData *frame, const std::string &engine_id,
                         uint32_t frame_number);
void load_detection(VXCORE::Information<VXCORE::DetectionBoxData> &out,
                    const VideoFrameData *frame, const std::string &engine_id,
                    uint32_t frame_number);
void load_segmentation(VXCORE::SegmentInfo &out, const VideoFrameData *frame,
                       const std::string &engine_id, uint32_t frame_number);
/* One combined frame record (results as VXA_ entries) and its device. */
void load_combined(VXCORE::UniInfo &out, const VideoFrameData *frame,
                   const DeviceInfoData *device, const std::string &engine_id,
                   uint32_t frame_number, uint32_t channels);

/* Row-by-row run-length encoding of a label grid: one entry per maximal run
 * of equal label ids within a row. */
std::vector<VXCORE::SegmentationData> encode_segment_runs(const orvane::ai::SegmentGrid &grid);
/* The fabricated 100 x 100 grid, one entry per cell. */
std::vector<VXCORE::SegmentationData> fake_segment_cells();

enum class PackResult { Packed, UnsupportedFormat };

/* Writes the frame's picture as tightly packed B, G, R rows into `dst`,
 * which must hold width x height x 3 bytes (std::out_of_range otherwise).
 * Formats other than I420, NV12 and BGR leave `dst` untouched. */
PackResult pack_frame_bgr(const GstVideoFrame *frame, std::vector<uint8_t> &dst);

}  // namespace ovedge

#endif
