#ifndef OV_EDGE_SRC_H
#define OV_EDGE_SRC_H

#include <gst/base/gstpushsrc.h>
#include <gst/video/video.h>

G_BEGIN_DECLS

#define OV_TYPE_EDGE_SRC (ov_edge_src_get_type())
G_DECLARE_FINAL_TYPE(OvEdgeSrc, ov_edge_src, OV, EDGE_SRC, GstPushSrc)

G_END_DECLS

#endif
