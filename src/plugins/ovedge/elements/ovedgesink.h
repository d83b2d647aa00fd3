#ifndef OV_EDGE_SINK_H
#define OV_EDGE_SINK_H

#include <gst/video/gstvideosink.h>
#include <gst/video/video.h>

G_BEGIN_DECLS

#define OV_TYPE_EDGE_SINK (ov_edge_sink_get_type())
G_DECLARE_FINAL_TYPE(OvEdgeSink, ov_edge_sink, OV, EDGE_SINK, GstVideoSink)

/* Template caps of the sink pad, shared with the source's src pad. */
#define OV_EDGE_CAPS                                                                        \
  "video/x-raw, format = (string) {I420,NV12,BGR}, width = (int) [ 1, max ], height = "    \
  "(int) [ 1, max ], framerate = (fraction) [ 0, max ];image/jpeg, width = (int) [ 16, "   \
  "65535 ], height = (int) [ 16, 65535 ], framerate = (fraction) [ 0/1, MAX ], sof-marker " \
  "= (int) { 0, 1, 2, 4, 9 };image/png;image/jpeg"

G_END_DECLS

#endif
