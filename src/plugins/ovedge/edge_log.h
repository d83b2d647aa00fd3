/* Debug category "[edge debug]" shared by the bus bridge's library code and
 * its elements. */
#ifndef OVEDGE_EDGE_LOG_H
#define OVEDGE_EDGE_LOG_H

#include <gst/gst.h>

GST_DEBUG_CATEGORY_EXTERN(ov_edge_debug);

/* Creates the category once; safe to call from any thread. */
void ov_edge_debug_init(void);

#endif
