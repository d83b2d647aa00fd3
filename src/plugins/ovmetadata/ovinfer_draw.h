#ifndef OVMETADATA_OVINFER_DRAW_H
#define OVMETADATA_OVINFER_DRAW_H

#include <gst/gst.h>

G_BEGIN_DECLS

#define OV_TYPE_INFER_DRAW (ov_infer_draw_get_type())
G_DECLARE_FINAL_TYPE(OvInferDraw, ov_infer_draw, OV, INFER_DRAW, GstElement)

G_END_DECLS

#endif /* OVMETADATA_OVINFER_DRAW_H */
