/* ovcamerasrc: decoded frames of one camera URI, reconnecting after loss. */
#ifndef OV_CAMERA_SOURCE_H
#define OV_CAMERA_SOURCE_H

#include <gst/gst.h>

G_BEGIN_DECLS

#define OV_TYPE_CAMERA_SOURCE (ov_camera_source_get_type())
G_DECLARE_FINAL_TYPE(OvCameraSource, ov_camera_source, OV, CAMERA_SOURCE, GstBin)

G_END_DECLS

#endif /* OV_CAMERA_SOURCE_H */
