/* Frame/matrix conversion.  Messages of gst_pad_and_buffer_to_cv_mat go to
 * GStreamer's default debug category; the others report through GError. */
#include "gstopencvutils.h"

#include <cstring>

#include "ov_gst_ptr.h"

namespace {

struct FormatType {
  GstVideoFormat format;
  int cv_type;
};

const FormatType kFormatTypes[] = {
    {GST_VIDEO_FORMAT_RGBx, CV_8UC4},      {GST_VIDEO_FORMAT_BGRx, CV_8UC4},
    {GST_VIDEO_FORMAT_xRGB, CV_8UC4},      {GST_VIDEO_FORMAT_xBGR, CV_8UC4},
    {GST_VIDEO_FORMAT_RGBA, CV_8UC4},      {GST_VIDEO_FORMAT_BGRA, CV_8UC4},
    {GST_VIDEO_FORMAT_ARGB, CV_8UC4},      {GST_VIDEO_FORMAT_ABGR, CV_8UC4},
    {GST_VIDEO_FORMAT_RGB, CV_8UC3},       {GST_VIDEO_FORMAT_BGR, CV_8UC3},
    {GST_VIDEO_FORMAT_GRAY8, CV_8UC1},     {GST_VIDEO_FORMAT_GRAY16_BE, CV_16UC1},
    {GST_VIDEO_FORMAT_GRAY16_LE, CV_16UC1},
};

struct TypeFormats {
  int cv_type;
  const char *formats[8];
};

const TypeFormats kTypeFormats[] = {
    {CV_8UC1, {"GRAY8"}},
    {CV_8UC3, {"RGB", "BGR"}},
    {CV_8UC4, {"RGBx", "xRGB", "BGRx", "xBGR", "RGBA", "ARGB", "BGRA", "ABGR"}},
    {CV_16UC1, {"GRAY16_LE", "GRAY16_BE"}},
};

/* A format with the layout GStreamer gives frames of this OpenCV type. */
GstVideoFormat representative_format(int cv_type) {
  switch (cv_type) {
    case CV_8UC1: return GST_VIDEO_FORMAT_GRAY8;
    case CV_8UC3: return GST_VIDEO_FORMAT_BGR;
    case CV_8UC4: return GST_VIDEO_FORMAT_BGRx;
    case CV_16UC1: return GST_VIDEO_FORMAT_GRAY16_LE;
    default: return GST_VIDEO_FORMAT_UNKNOWN;
  }
}

void set_negotiation_error(GError **err, const char *fmt, const char *arg) {
  g_set_error(err, GST_CORE_ERROR, GST_CORE_ERROR_NEGOTIATION, fmt, arg);
}

void set_caps_error(GError **err, const GstCaps *caps) {
  ov::GCharPtr s(gst_caps_to_string(caps));
  set_negotiation_error(err, "Failed to get video info from caps %s", s ? s.get() : "(NULL)");
}

/* Builds a view of rows × cols over the buffer's first plane, starting at
 * `offset` with rows `stride` bytes apart.  Refuses a buffer that does not
 * hold every byte of the view, and a temporary (merged) mapping that would
 * not outlive the unmap. */
gboolean view_over_buffer(GstBuffer *buffer, int width, int height, int cv_type, gsize offset,
                          gsize stride, cv::Mat &mat) {
  if (!buffer || width <= 0 || height <= 0)
    return FALSE;
  const gsize row_bytes = gsize(width) * CV_ELEM_SIZE(cv_type);
  if (stride < row_bytes) {
    GST_WARNING("row stride %" G_GSIZE_FORMAT " shorter than a %d-pixel row", stride, width);
    return FALSE;
  }
  if (gst_buffer_n_memory(buffer) > 1 && !gst_buffer_is_writable(buffer)) {
    GST_WARNING("buffer %p spans %u memories and is not writable: no lasting view possible",
                buffer, gst_buffer_n_memory(buffer));
    return FALSE;
  }
  ov::BufferMap map(buffer, GST_MAP_READ);
  if (!map.ok()) {
    GST_WARNING("cannot map buffer %p for reading", buffer);
    return FALSE;
  }
  const gsize needed = offset + stride * gsize(height - 1) + row_bytes;
  if (map.size() < needed) {
    GST_WARNING("buffer of %" G_GSIZE_FORMAT " bytes is smaller than a %dx%d frame (%" G_GSIZE_FORMAT
                " bytes)",
                map.size(), width, height, needed);
    return FALSE;
  }
  mat = cv::Mat(height, width, cv_type, map.data() + offset, stride);
  return TRUE;
}

}  // namespace

size_t ov_default_stride_for_cv_type(int cv_type, int width) {
  if (width <= 0)
    return 0;
  GstVideoFormat format = representative_format(cv_type);
  if (format == GST_VIDEO_FORMAT_UNKNOWN)
    return size_t(width) * CV_ELEM_SIZE(cv_type);
  GstVideoInfo info;
  gst_video_info_init(&info);
  if (!gst_video_info_set_format(&info, format, guint(width), 1))
    return 0;
  return GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
}

extern "C" {

gboolean gst_width_height_from_caps(const GstCaps *caps, int *width, int *height, GError **err) {
  if (!width) {
    set_negotiation_error(err, "%s", "Width pointer shoud not be NULL");
    return FALSE;
  }
  if (!height) {
    set_negotiation_error(err, "%s", "Height pointer shoud not be NULL");
    return FALSE;
  }
  GstVideoInfo info;
  if (!caps || !gst_video_info_from_caps(&info, caps)) {
    set_caps_error(err, caps);
    return FALSE;
  }
  *width = GST_VIDEO_INFO_WIDTH(&info);
  *height = GST_VIDEO_INFO_HEIGHT(&info);
  return TRUE;
}

gboolean gst_opencv_cv_image_type_from_video_format(GstVideoFormat format, int *cv_type,
                                                    GError **err) {
  for (const FormatType &ft : kFormatTypes) {
    if (ft.format == format) {
      if (cv_type)
        *cv_type = ft.cv_type;
      return TRUE;
    }
  }
  set_negotiation_error(err, "Unsupported video format %s", gst_video_format_to_string(format));
  return FALSE;
}

gboolean gst_cv_type_from_caps(const GstCaps *caps, int *cv_type, GError **err) {
  if (!cv_type) {
    set_negotiation_error(err, "%s", "Type pointer shoud not be NULL");
    return FALSE;
  }
  GstVideoInfo info;
  if (!caps || !gst_video_info_from_caps(&info, caps)) {
    set_caps_error(err, caps);
    return FALSE;
  }
  return gst_opencv_cv_image_type_from_video_format(GST_VIDEO_INFO_FORMAT(&info), cv_type, err);
}

gboolean gst_opencv_cv_mat_params_from_video_info(GstVideoInfo *info, int *width, int *height,
                                                  int *cv_type, GError **err) {
  if (!info)
    return FALSE;
  if (!gst_opencv_cv_image_type_from_video_format(GST_VIDEO_INFO_FORMAT(info), cv_type, err))
    return FALSE;
  if (width)
    *width = GST_VIDEO_INFO_WIDTH(info);
  if (height)
    *height = GST_VIDEO_INFO_HEIGHT(info);
  return TRUE;
}

gboolean gst_opencv_parse_cv_mat_params_from_caps(GstCaps *caps, int *width, int *height,
                                                  int *cv_type, GError **err) {
  GstVideoInfo info;
  if (!caps || !gst_video_info_from_caps(&info, caps)) {
    set_caps_error(err, caps);
    return FALSE;
  }
  return gst_opencv_cv_mat_params_from_video_info(&info, width, height, cv_type, err);
}

GstCaps *gst_opencv_caps_from_cv_image_type(int cv_type) {
  GstCaps *caps = gst_caps_new_empty();
  for (const TypeFormats &tf : kTypeFormats) {
    if (tf.cv_type != cv_type)
      continue;
    for (const char *format : tf.formats) {
      if (!format)
        break;
      gchar *s = g_strdup_printf(
          "video/x-raw, format = (string) %s, width = (int) [ 1, max ], height = (int) [ 1, "
          "max ], framerate = (fraction) [ 0, max ]",
          format);
      gst_caps_append(caps, gst_caps_from_string(s));
      g_free(s);
    }
  }
  return caps;
}

gboolean gst_videoframe_to_cv_mat(GstVideoFrame *frame, cv::Mat &mat) {
  if (!frame || !frame->buffer)
    return FALSE;
  int width = 0, height = 0, cv_type = 0;
  if (!gst_opencv_cv_mat_params_from_video_info(&frame->info, &width, &height, &cv_type, nullptr))
    return FALSE;
  return view_over_buffer(frame->buffer, width, height, cv_type,
                          GST_VIDEO_INFO_PLANE_OFFSET(&frame->info, 0),
                          GST_VIDEO_INFO_PLANE_STRIDE(&frame->info, 0), mat);
}

gboolean gst_buffer_to_cv_mat(GstBuffer *buffer, int width, int height, int cv_type,
                              cv::Mat &mat) {
  return view_over_buffer(buffer, width, height, cv_type, 0,
                          ov_default_stride_for_cv_type(cv_type, width), mat);
}

gboolean gst_pad_and_buffer_to_cv_mat(GstPad *pad, GstBuffer *buffer, cv::Mat &mat) {
  if (!pad || !buffer)
    return FALSE;
  ov::CapsPtr caps(gst_pad_has_current_caps(pad) ? gst_pad_get_current_caps(pad)
                                                 : gst_pad_query_caps(pad, nullptr));
  if (!caps || gst_caps_get_size(caps.get()) == 0) {
    GST_ERROR("Format %s undefine", "(none)");
    return FALSE;
  }
  const GstStructure *s = gst_caps_get_structure(caps.get(), 0);
  int width = 0, height = 0;
  gst_structure_get_int(s, "width", &width);
  gst_structure_get_int(s, "height", &height);
  const gchar *name = gst_structure_get_string(s, "format");
  GstVideoFormat format = name ? gst_video_format_from_string(name) : GST_VIDEO_FORMAT_UNKNOWN;
  if (format == GST_VIDEO_FORMAT_UNKNOWN) {
    GST_ERROR("Format %s undefine", name ? name : "(NULL)");
    return FALSE;
  }
  int cv_type = 0;
  GError *err = nullptr;
  if (!gst_opencv_cv_image_type_from_video_format(format, &cv_type, &err) || err) {
    GST_ERROR("Get cv image type from format %s failed: %s", name, err ? err->message : "");
    if (err)
      g_error_free(err);
    return FALSE;
  }

  // A video meta describes the buffer's real layout (strides, plane offset).
  GstVideoMeta *vmeta = gst_buffer_get_video_meta(buffer);
  gboolean ok;
  if (vmeta && int(vmeta->width) == width && int(vmeta->height) == height)
    ok = view_over_buffer(buffer, width, height, cv_type, vmeta->offset[0], vmeta->stride[0], mat);
  else
    ok = gst_buffer_to_cv_mat(buffer, width, height, cv_type, mat);
  if (!ok) {
    GST_ERROR("Gst buffer to cv mat failed with %d %d %d", width, height, cv_type);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
