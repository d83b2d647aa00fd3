/* Registration of the "ovtranslator" plug-in. */
#include <gst/gst.h>

#include "ovtranslator.h"

static gboolean plugin_init(GstPlugin *plugin) { return ov_translator_register(plugin); }

GST_PLUGIN_DEFINE(1, 14, ovtranslator, "Orvane translator elements", plugin_init, "2.3.1", "LGPL",
                  GST_PACKAGE_NAME, GST_PACKAGE_ORIGIN)
