/* Compiled as C: the script API header must be plain C.  Sets two boxes and
 * reads them back through the C interface only. */
#include <string.h>

#include "gstovmeta_python_wrapper.h"

int c_api_roundtrip(GstBuffer *buffer, GstPad *pad) {
  C_DetectionBoxResult in[2];
  memset(in, 0, sizeof in);
  in[0].obj_label = "person";
  in[0].class_label = "";
  in[0].meta = "pose";
  in[0].x2 = 0.5f;
  in[1].obj_label = "dog";
  in[1].class_label = "animal";
  in[1].meta = "";
  in[1].obj_id = 9;
  if (!gst_metadata_set_detection_box(buffer, pad, 0, in, 2))
    return 1;
  unsigned count = 0;
  C_DetectionBoxResult *out = gst_metadata_get_detection_box(buffer, 0, &count);
  int ok = out != NULL && count == 2 && strcmp(out[0].meta, "pose") == 0 &&
           out[0].x2 == 0.5f && strcmp(out[1].class_label, "animal") == 0 && out[1].obj_id == 9;
  gst_metadata_free_detection_box(out, count);
  return ok ? 0 : 2;
}
