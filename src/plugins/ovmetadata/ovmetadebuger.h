#ifndef OVMETADATA_OVMETADEBUGER_H
#define OVMETADATA_OVMETADEBUGER_H

#include <gst/gst.h>

G_BEGIN_DECLS

#define OV_TYPE_METADEBUGER (ov_metadebuger_get_type())
G_DECLARE_FINAL_TYPE(OvMetaDebugerTemplate, ov_metadebuger, OV, METADEBUGER, GstElement)

/* The enum of the "type" property, registered as "DataTypePattern". */
GType ov_data_type_pattern_get_type(void);

G_END_DECLS

#endif /* OVMETADATA_OVMETADEBUGER_H */
