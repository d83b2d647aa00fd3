/* The "ovbatch" plug-in: the batch element, the split element and the
 * camera source that feeds a batch live. */
#include <gst/gst.h>

#include "blend.h"
#include "camera_source.h"
#include "ovsplitbatch.h"
#include "videomixer2.h"

static gboolean plugin_init(GstPlugin *plugin) {
  gst_video_mixer_init_blend();
  return gst_element_register(plugin, "ovvideobatch", GST_RANK_PRIMARY, OV_TYPE_VIDEO_BATCH) &&
         gst_element_register(plugin, "ovsplitbatch", GST_RANK_PRIMARY, OV_TYPE_SPLIT_BATCH) &&
         gst_element_register(plugin, "ovcamerasrc", GST_RANK_NONE, OV_TYPE_CAMERA_SOURCE);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, ovbatch, "Orvane batch elements",
                  plugin_init, "2.3.0", "LGPL", GST_PACKAGE_NAME, GST_PACKAGE_ORIGIN)
