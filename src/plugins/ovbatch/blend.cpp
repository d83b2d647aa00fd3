/* Composite kernels, one per output format family, selected through a table.
 * Every kernel rounds the offsets for its chroma subsampling, clips the source
 * against the destination, and either copies rows (opacity 1.0), leaves the
 * destination alone (0.0) or runs an ORC pixel program over the clipped area. */
#include "blend.h"

#include <algorithm>
#include <cstring>

#include "blendorc.h"

GST_DEBUG_CATEGORY_STATIC(gst_videomixer_blend_debug);
#define GST_CAT_DEFAULT gst_videomixer_blend_debug

namespace {

/* The part of the source that lands inside the destination, in pixels. */
struct Region {
  gint src_x, src_y;
  gint dst_x, dst_y;
  gint width, height;
};

gint round_up(gint v, gint multiple) {
  return multiple > 1 ? (v + multiple - 1) & ~(multiple - 1) : v;
}

bool clip_axis(gint pos, gint src_len, gint dst_len, gint *src_start, gint *dst_start,
               gint *len) {
  gint skip = 0;
  gint n = src_len;
  if (pos < 0) {
    skip = -pos;
    n += pos;
    pos = 0;
  }
  if (pos + n > dst_len)
    n = dst_len - pos;
  if (n <= 0)
    return false;
  *src_start = skip;
  *dst_start = pos;
  *len = n;
  return true;
}

bool clip(const GstVideoFrame *src, gint x, gint y, const GstVideoFrame *dest, Region *r) {
  return clip_axis(x, GST_VIDEO_FRAME_WIDTH(src), GST_VIDEO_FRAME_WIDTH(dest), &r->src_x,
                   &r->dst_x, &r->width) &&
         clip_axis(y, GST_VIDEO_FRAME_HEIGHT(src), GST_VIDEO_FRAME_HEIGHT(dest), &r->src_y,
                   &r->dst_y, &r->height);
}

/* How pixel columns and rows map to bytes and rows of one plane. */
struct PlaneScale {
  const GstVideoFormatInfo *finfo;
  guint plane;

  /* Bytes that `n` pixels take in this plane (packed 4:2:2 counts whole pairs). */
  gint bytes(gint n) const {
    gint best = 0;
    for (guint c = 0; c < GST_VIDEO_FORMAT_INFO_N_COMPONENTS(finfo); ++c) {
      if (GST_VIDEO_FORMAT_INFO_PLANE(finfo, c) != plane)
        continue;
      gint b = GST_VIDEO_SUB_SCALE(GST_VIDEO_FORMAT_INFO_W_SUB(finfo, c), n) *
               GST_VIDEO_FORMAT_INFO_PSTRIDE(finfo, c);
      best = std::max(best, b);
    }
    return best;
  }
  gint rows(gint n) const {
    for (guint c = 0; c < GST_VIDEO_FORMAT_INFO_N_COMPONENTS(finfo); ++c)
      if (GST_VIDEO_FORMAT_INFO_PLANE(finfo, c) == plane)
        return GST_VIDEO_SUB_SCALE(GST_VIDEO_FORMAT_INFO_H_SUB(finfo, c), n);
    return 0;
  }
};

/* Formats without alpha: planar, semi-planar and packed alike. */
template <gint XAlign, gint YAlign, bool Words>
void composite_opaque(GstVideoFrame *src, gint xpos, gint ypos, gdouble src_alpha,
                      GstVideoFrame *dest) {
  Region r;
  if (!clip(src, round_up(xpos, XAlign), round_up(ypos, YAlign), dest, &r))
    return;
  if (src_alpha == 0.0) {
    GST_INFO("Fast copy (alpha == 0.0)");
    return;
  }
  const bool copy = src_alpha == 1.0;
  if (copy)
    GST_INFO("Fast copy (alpha == 1.0)");
  const gint b = std::clamp(static_cast<gint>(src_alpha * 256), 0, 256);

  for (guint p = 0; p < GST_VIDEO_FRAME_N_PLANES(dest); ++p) {
    const PlaneScale ps{dest->info.finfo, p};
    const gint sstride = GST_VIDEO_FRAME_PLANE_STRIDE(src, p);
    const gint dstride = GST_VIDEO_FRAME_PLANE_STRIDE(dest, p);
    const guint8 *s = static_cast<const guint8 *>(GST_VIDEO_FRAME_PLANE_DATA(src, p)) +
                      ps.rows(r.src_y) * sstride + ps.bytes(r.src_x);
    guint8 *d = static_cast<guint8 *>(GST_VIDEO_FRAME_PLANE_DATA(dest, p)) +
                ps.rows(r.dst_y) * dstride + ps.bytes(r.dst_x);
    const gint row_bytes = ps.bytes(r.width);
    const gint rows = ps.rows(r.height);
    if (row_bytes <= 0 || rows <= 0)
      continue;
    if (!copy) {
      video_mixer_orc_blend_u8(d, dstride, s, sstride, b, row_bytes, rows);
      continue;
    }
    for (gint i = 0; i < rows; ++i, s += sstride, d += dstride) {
      if (Words)
        video_mixer_orc_memcpy_u32(reinterpret_cast<orc_uint32 *>(d),
                                   reinterpret_cast<const orc_uint32 *>(s), r.width);
      else
        std::memcpy(d, s, row_bytes);
    }
  }
}

using PixelProgram = void (*)(orc_uint8 *, int, const orc_uint8 *, int, int, int, int);

/* Packed 32-bit formats with an alpha byte. */
template <PixelProgram Program>
void composite_alpha(GstVideoFrame *src, gint xpos, gint ypos, gdouble src_alpha,
                     GstVideoFrame *dest) {
  Region r;
  if (!clip(src, xpos, ypos, dest, &r))
    return;
  gint b = static_cast<gint>(src_alpha * 256);
  if (b < 1)
    return;
  b = std::min(b, 255);
  const gint sstride = GST_VIDEO_FRAME_PLANE_STRIDE(src, 0);
  const gint dstride = GST_VIDEO_FRAME_PLANE_STRIDE(dest, 0);
  const guint8 *s = static_cast<const guint8 *>(GST_VIDEO_FRAME_PLANE_DATA(src, 0)) +
                    r.src_y * sstride + r.src_x * 4;
  guint8 *d = static_cast<guint8 *>(GST_VIDEO_FRAME_PLANE_DATA(dest, 0)) + r.dst_y * dstride +
              r.dst_x * 4;
  Program(d, dstride, s, sstride, b, r.width, r.height);
}

constexpr BlendFunction planar_420 = composite_opaque<2, 2, false>;
constexpr BlendFunction planar_422 = composite_opaque<2, 1, false>;
constexpr BlendFunction planar_411 = composite_opaque<4, 1, false>;
constexpr BlendFunction planar_444 = composite_opaque<1, 1, false>;
constexpr BlendFunction packed_422 = composite_opaque<2, 1, false>;
constexpr BlendFunction packed_24 = composite_opaque<1, 1, false>;
constexpr BlendFunction packed_32 = composite_opaque<1, 1, true>;
constexpr BlendFunction blend_alpha_first = composite_alpha<video_mixer_orc_blend_argb>;
constexpr BlendFunction overlay_alpha_first = composite_alpha<video_mixer_orc_overlay_argb>;
constexpr BlendFunction blend_alpha_last = composite_alpha<video_mixer_orc_blend_bgra>;
constexpr BlendFunction overlay_alpha_last = composite_alpha<video_mixer_orc_overlay_bgra>;

const BlendKernels kKernels[] = {
    {GST_VIDEO_FORMAT_I420, planar_420, planar_420},
    {GST_VIDEO_FORMAT_YV12, planar_420, planar_420},
    {GST_VIDEO_FORMAT_NV12, planar_420, planar_420},
    {GST_VIDEO_FORMAT_NV21, planar_420, planar_420},
    {GST_VIDEO_FORMAT_Y42B, planar_422, planar_422},
    {GST_VIDEO_FORMAT_Y41B, planar_411, planar_411},
    {GST_VIDEO_FORMAT_Y444, planar_444, planar_444},
    {GST_VIDEO_FORMAT_YUY2, packed_422, packed_422},
    {GST_VIDEO_FORMAT_UYVY, packed_422, packed_422},
    {GST_VIDEO_FORMAT_YVYU, packed_422, packed_422},
    {GST_VIDEO_FORMAT_RGB, packed_24, packed_24},
    {GST_VIDEO_FORMAT_BGR, packed_24, packed_24},
    {GST_VIDEO_FORMAT_RGBx, packed_32, packed_32},
    {GST_VIDEO_FORMAT_BGRx, packed_32, packed_32},
    {GST_VIDEO_FORMAT_xRGB, packed_32, packed_32},
    {GST_VIDEO_FORMAT_xBGR, packed_32, packed_32},
    {GST_VIDEO_FORMAT_ARGB, blend_alpha_first, overlay_alpha_first},
    {GST_VIDEO_FORMAT_ABGR, blend_alpha_first, overlay_alpha_first},
    {GST_VIDEO_FORMAT_AYUV, blend_alpha_first, overlay_alpha_first},
    {GST_VIDEO_FORMAT_RGBA, blend_alpha_last, overlay_alpha_last},
    {GST_VIDEO_FORMAT_BGRA, blend_alpha_last, overlay_alpha_last},
};

}  // namespace

void gst_video_mixer_init_blend() {
  static gsize once = 0;
  if (g_once_init_enter(&once)) {
    GST_DEBUG_CATEGORY_INIT(gst_videomixer_blend_debug, "videomixer_blend", 0,
                            "video mixer blending functions");
    g_once_init_leave(&once, 1);
  }
}

const BlendKernels *ov_blend_kernels_for(GstVideoFormat format) {
  gst_video_mixer_init_blend();
  for (const BlendKernels &k : kKernels)
    if (k.format == format)
      return &k;
  return nullptr;
}

void ov_blend_fill_zero(GstVideoFrame *frame) {
  for (guint p = 0; p < GST_VIDEO_FRAME_N_PLANES(frame); ++p) {
    const PlaneScale ps{frame->info.finfo, p};
    const gint stride = GST_VIDEO_FRAME_PLANE_STRIDE(frame, p);
    const gint row_bytes = ps.bytes(GST_VIDEO_FRAME_WIDTH(frame));
    const gint rows = ps.rows(GST_VIDEO_FRAME_HEIGHT(frame));
    guint8 *d = static_cast<guint8 *>(GST_VIDEO_FRAME_PLANE_DATA(frame, p));
    for (gint i = 0; i < rows; ++i, d += stride)
      std::memset(d, 0, row_bytes);
  }
}

bool ov_blend_can_fill_beyond(const GstVideoInfo *info) {
  const GstVideoFormatInfo *f = info->finfo;
  if (!f || GST_VIDEO_FORMAT_INFO_N_PLANES(f) != 1 || GST_VIDEO_FORMAT_INFO_HAS_ALPHA(f))
    return false;
  for (guint c = 0; c < GST_VIDEO_FORMAT_INFO_N_COMPONENTS(f); ++c)
    if (GST_VIDEO_FORMAT_INFO_W_SUB(f, c) || GST_VIDEO_FORMAT_INFO_H_SUB(f, c))
      return false;
  return true;
}

void ov_blend_fill_zero_beyond(GstVideoFrame *frame, const gint *covered) {
  const PlaneScale ps{frame->info.finfo, 0};
  const gint stride = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0);
  const gint width = GST_VIDEO_FRAME_WIDTH(frame);
  const gint row_bytes = ps.bytes(width);
  guint8 *d = static_cast<guint8 *>(GST_VIDEO_FRAME_PLANE_DATA(frame, 0));
  for (gint i = 0; i < GST_VIDEO_FRAME_HEIGHT(frame); ++i, d += stride) {
    const gint from = ps.bytes(std::clamp(covered[i], 0, width));
    if (from < row_bytes)
      std::memset(d + from, 0, row_bytes - from);
  }
}
