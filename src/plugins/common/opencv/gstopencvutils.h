/* Conversions between GStreamer raw-video descriptions and OpenCV matrices.
 *
 * A matrix made from a buffer is a view: a header over the buffer's memory with
 * the row stride of the negotiated layout.  It does not keep the buffer alive
 * and is valid while the caller holds the buffer; drawing into it changes the
 * buffer.  A buffer too small for the frame it must hold is refused.
 */
#ifndef GST_OPENCV_UTILS_H
#define GST_OPENCV_UTILS_H

#include <gst/gst.h>
#include <gst/video/video.h>
#include <opencv2/core.hpp>

#include "ovmeta_export.h"

extern "C" {

OV_OPENCV_API gboolean gst_width_height_from_caps(const GstCaps *caps, int *width, int *height,
                                                  GError **err);
OV_OPENCV_API gboolean gst_opencv_cv_image_type_from_video_format(GstVideoFormat format,
                                                                  int *cv_type, GError **err);
OV_OPENCV_API gboolean gst_cv_type_from_caps(const GstCaps *caps, int *cv_type, GError **err);
OV_OPENCV_API gboolean gst_opencv_cv_mat_params_from_video_info(GstVideoInfo *info, int *width,
                                                                int *height, int *cv_type,
                                                                GError **err);
OV_OPENCV_API gboolean gst_opencv_parse_cv_mat_params_from_caps(GstCaps *caps, int *width,
                                                                int *height, int *cv_type,
                                                                GError **err);
OV_OPENCV_API GstCaps *gst_opencv_caps_from_cv_image_type(int cv_type);


OV_OPENCV_API gboolean gst_videoframe_to_cv_mat(GstVideoFrame *frame, cv::Mat &mat);
OV_OPENCV_API gboolean gst_buffer_to_cv_mat(GstBuffer *buffer, int width, int height, int cv_type,
                                            cv::Mat &mat);
OV_OPENCV_API gboolean gst_pad_and_buffer_to_cv_mat(GstPad *pad, GstBuffer *buffer, cv::Mat &mat);
}

/* Row stride GStreamer uses by default for a packed frame of this OpenCV type
 * and width (rows padded to 4 bytes); tightly packed rows for a type without a
 * video format; 0 for a width below 1. */
OV_OPENCV_API size_t ov_default_stride_for_cv_type(int cv_type, int width);

#endif /* GST_OPENCV_UTILS_H */
