#ifndef OVMETADATA_OVMETADUMPER_H
#define OVMETADATA_OVMETADUMPER_H

#include <gst/gst.h>

G_BEGIN_DECLS

#define OV_TYPE_METADUMPER (ov_metadumper_get_type())
G_DECLARE_FINAL_TYPE(OvMetaDumperTemplate, ov_metadumper, OV, METADUMPER, GstElement)

G_END_DECLS

#endif /* OVMETADATA_OVMETADUMPER_H */
