/* The "ovbatch" plug-in: the batch element and the split element. */
#include <gst/gst.h>

#include "blend.h"
#include "ovsplitbatch.h"
#include "videomixer2.h"

static gboolean plugin_init(GstPlugin *plugin) {
  gst_video_mixer_init_blend();
  return gst_element_register(plugin, "ovvideobatch", GST_RANK_PRIMARY, OV_TYPE_VIDEO_BATCH) &&
         gst_element_register(plugin, "ovsplitbatch", GST_RANK_PRIMARY, OV_TYPE_SPLIT_BATCH);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, ovbatch, "Orvane batch elements",
                  plugin_init, "2.3.0", "LGPL", GST_PACKAGE_NAME, GST_PACKAGE_ORIGIN)
