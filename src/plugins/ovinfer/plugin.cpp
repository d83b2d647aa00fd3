/* The "ovrt" plug-in: the TensorRT inference element. */
#include <gst/gst.h>

#include "ovTSRT.h"

static gboolean plugin_init(GstPlugin *plugin) {
  return gst_element_register(plugin, "ovrt", GST_RANK_NONE, OV_TYPE_TSRT);
}

GST_PLUGIN_DEFINE(1, 14, ovrt, "Orvane TensorRT inference plugin", plugin_init, "2.3.1", "LGPL",
                  "ovrt", "https://orvane.invalid")
