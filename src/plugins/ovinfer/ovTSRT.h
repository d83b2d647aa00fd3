#ifndef OVINFER_OVTSRT_H
#define OVINFER_OVTSRT_H

#include <gst/gst.h>

G_BEGIN_DECLS

#define OV_TYPE_TSRT (ov_TSRT_get_type())
G_DECLARE_FINAL_TYPE(OvTSRT, ov_TSRT, OV, TSRT, GstElement)

/* Registers the element as "ovTSRT", for programs that register elements
 * statically. */
GST_PLUGIN_EXPORT gboolean ov_TSRT_plugin_init(GstPlugin *plugin);

G_END_DECLS

#endif /* OVINFER_OVTSRT_H */
