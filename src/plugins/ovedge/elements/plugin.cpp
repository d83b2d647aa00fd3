/* The plug-in "ovedge": the bus sink and source. */
#include <gst/gst.h>

#include "edge_log.h"
#include "ovedgesink.h"
#include "ovedgesrc.h"

static gboolean plugin_init(GstPlugin *plugin) {
  ov_edge_debug_init();
  if (!gst_element_register(plugin, "ovedgesink", GST_RANK_NONE, OV_TYPE_EDGE_SINK))
    return FALSE;
  return gst_element_register(plugin, "ovedgesrc", GST_RANK_NONE, OV_TYPE_EDGE_SRC);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, ovedge, "ORVANE NodeKit plugin",
                  plugin_init, "2.3.0", "LGPL", GST_PACKAGE_NAME, GST_PACKAGE_ORIGIN)
