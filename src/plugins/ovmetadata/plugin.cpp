/* Registration of the "ovmetadata" plug-in's four elements. */
#include <gst/gst.h>

#include "metawriter.h"
#include "ovinfer_draw.h"
#include "ovmetadebuger.h"
#include "ovmetadumper.h"

static gboolean plugin_init(GstPlugin *plugin) {
  return gst_element_register(plugin, "ovmetadrawer", GST_RANK_NONE, OV_TYPE_INFER_DRAW) &&
         gst_element_register(plugin, "ovmetawriter", GST_RANK_PRIMARY, OV_TYPE_METAWRITER) &&
         gst_element_register(plugin, "ovmetadumper", GST_RANK_NONE, OV_TYPE_METADUMPER) &&
         gst_element_register(plugin, "ovmetadebuger", GST_RANK_NONE, OV_TYPE_METADEBUGER);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, ovmetadata, "Orvane metadata elements",
                  plugin_init, "2.3.1", "LGPL", GST_PACKAGE_NAME, GST_PACKAGE_ORIGIN)
