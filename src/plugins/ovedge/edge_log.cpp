#include "edge_log.h"

GST_DEBUG_CATEGORY(ov_edge_debug);

void ov_edge_debug_init(void) {
  static gsize once = 0;
  if (g_once_init_enter(&once)) {
    GST_DEBUG_CATEGORY_INIT(ov_edge_debug, "[edge debug]", 0, "Edge plugins");
    g_once_init_leave(&once, 1);
  }
}
