/* Registration, init/free/transform and lookup of the two metadata types. */
#include "gstovmeta.h"

#include <new>

GST_DEBUG_CATEGORY_STATIC(ov_meta_debug);
#define GST_CAT_DEFAULT ov_meta_category()

static GstDebugCategory *ov_meta_category() {
  static gsize once = 0;
  if (g_once_init_enter(&once)) {
    GST_DEBUG_CATEGORY_INIT(ov_meta_debug, "ovmeta", 0, "ovmeta");
    g_once_init_leave(&once, 1);
  }
  return ov_meta_debug;
}

GstDebugCategory *ov_meta_debug_category() { return ov_meta_category(); }

/* ---- GstOvMeta ---- */

GType gst_ov_meta_api_get_type() {
  static gsize type = 0;
  static const gchar *tags[] = {"gstovmeta", nullptr};
  if (g_once_init_enter(&type)) {
    GType t = gst_meta_api_type_register("GstOvMetaAPI", tags);
    g_once_init_leave(&type, t);
  }
  return type;
}

static gboolean gst_ov_meta_init(GstMeta *meta, gpointer, GstBuffer *) {
  GST_DEBUG("Init orvane metadata");
  reinterpret_cast<GstOvMeta *>(meta)->meta_type = 0;
  return TRUE;
}

static void gst_ov_meta_free(GstMeta *, GstBuffer *) { GST_DEBUG("Free orvane metadata"); }

static gboolean gst_ov_meta_transform(GstBuffer *dest, GstMeta *meta, GstBuffer *,
                                      GQuark type, gpointer data) {
  if (!GST_META_TRANSFORM_IS_COPY(type))
    return FALSE;
  auto *copy = static_cast<GstMetaTransformCopy *>(data);
  if (copy->region)
    return TRUE;
  GST_DEBUG("copy region of orvane metadata");
  auto *out = reinterpret_cast<GstOvMeta *>(gst_buffer_add_meta(dest, gst_ov_meta_get_info(), nullptr));
  if (!out)
    return FALSE;
  out->meta_type = reinterpret_cast<GstOvMeta *>(meta)->meta_type;
  return TRUE;
}

const GstMetaInfo *gst_ov_meta_get_info() {
  static const GstMetaInfo *info = nullptr;
  if (g_once_init_enter(&info)) {
    const GstMetaInfo *i = gst_meta_register(gst_ov_meta_api_get_type(), "GstOvMeta",
                                             sizeof(GstOvMeta), gst_ov_meta_init,
                                             gst_ov_meta_free, gst_ov_meta_transform);
    g_once_init_leave(&info, i);
  }
  return info;
}

/* ---- GstOvBatchMeta ---- */

GType gst_ov_batch_meta_api_get_type() {
  static gsize type = 0;
  static const gchar *tags[] = {"gstovmeta", "batch", nullptr};
  if (g_once_init_enter(&type)) {
    GType t = gst_meta_api_type_register("GstOvBatchMetaAPI", tags);
    g_once_init_leave(&type, t);
  }
  return type;
}

static gboolean gst_ov_batch_meta_init(GstMeta *meta, gpointer, GstBuffer *) {
  GST_DEBUG("Init orvane batch metadata");
  auto *m = reinterpret_cast<GstOvBatchMeta *>(meta);
  m->meta_type = 1;
  new (&m->batch) OvBatch();
  return TRUE;
}

static void gst_ov_batch_meta_free(GstMeta *meta, GstBuffer *) {
  GST_DEBUG("Free orvane batch metadata");
  reinterpret_cast<GstOvBatchMeta *>(meta)->batch.~OvBatch();
}

static gboolean gst_ov_batch_meta_transform(GstBuffer *dest, GstMeta *meta, GstBuffer *,
                                            GQuark type, gpointer data) {
  GST_DEBUG("Enter orvane batch transform");
  if (!GST_META_TRANSFORM_IS_COPY(type))
    return FALSE;
  auto *copy = static_cast<GstMetaTransformCopy *>(data);
  if (copy->region)
    return TRUE;
  GST_DEBUG("copy region of orvane batch metadata");
  auto *out = reinterpret_cast<GstOvBatchMeta *>(
      gst_buffer_add_meta(dest, gst_ov_batch_meta_get_info(), nullptr));
  if (!out)
    return FALSE;
  auto *src = reinterpret_cast<GstOvBatchMeta *>(meta);
  out->meta_type = src->meta_type;
  try {
    out->batch.devices = src->batch.devices;
    out->batch.frames = src->batch.frames;
  } catch (const std::bad_alloc &) {
    // GStreamer calls this from C: an exception must not cross it.
    GST_ERROR("Out of memory copying orvane batch metadata");
    gst_buffer_remove_meta(dest, &out->meta);
    return FALSE;
  }
  return TRUE;
}

const GstMetaInfo *gst_ov_batch_meta_get_info() {
  static const GstMetaInfo *info = nullptr;
  if (g_once_init_enter(&info)) {
    const GstMetaInfo *i = gst_meta_register(
        gst_ov_batch_meta_api_get_type(), "GstOvBatchMeta", sizeof(GstOvBatchMeta),
        gst_ov_batch_meta_init, gst_ov_batch_meta_free, gst_ov_batch_meta_transform);
    g_once_init_leave(&info, i);
  }
  return info;
}

/* ---- lookup ---- */

template <typename T>
static T *find_meta(GstBuffer *buffer, GType api, gint meta_type) {
  if (!buffer)
    return nullptr;
  gpointer state = nullptr;
  while (GstMeta *m = gst_buffer_iterate_meta(buffer, &state)) {
    if (m->info->api == api && reinterpret_cast<T *>(m)->meta_type == meta_type)
      return reinterpret_cast<T *>(m);
  }
  return nullptr;
}

GstOvMeta *gst_buffer_get_ov_meta(GstBuffer *buffer) {
  return find_meta<GstOvMeta>(buffer, gst_ov_meta_get_info()->api, 0);
}

GstOvBatchMeta *gst_buffer_get_ov_batch_meta(GstBuffer *buffer) {
  return find_meta<GstOvBatchMeta>(buffer, gst_ov_batch_meta_get_info()->api, 1);
}
