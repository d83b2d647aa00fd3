#ifndef OVMETADATA_METAWRITER_H
#define OVMETADATA_METAWRITER_H

#include <gst/gst.h>

G_BEGIN_DECLS

#define OV_TYPE_METAWRITER (ov_metawriter_get_type())
G_DECLARE_FINAL_TYPE(OvMetaWriter, ov_metawriter, OV, METAWRITER, GstElement)

G_END_DECLS

#endif /* OVMETADATA_METAWRITER_H */
