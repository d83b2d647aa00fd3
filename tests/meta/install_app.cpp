// A tiny application built against the installed library: puts a batch record
// with one box on a buffer, copies the buffer, reads the box back.
#include <cstdio>

#ifdef OV_FLAT_INCLUDES
#include <gstovmeta.h>
#include <gstovmeta_python_wrapper.h>
#else
#include <gstovmeta/gstovmeta.h>
#include <gstovmeta/gstovmeta_python_wrapper.h>
#endif

int main() {
  gst_init(nullptr, nullptr);
  GstBuffer *buf = gst_buffer_new_allocate(nullptr, 16, nullptr);
  auto *meta = reinterpret_cast<GstOvBatchMeta *>(
      gst_buffer_add_meta(buf, gst_ov_batch_meta_get_info(), nullptr));
  VideoFrameData frame;
  orvane::ai::DetectionBoxResult box;
  box.obj_label = "car";
  frame.box_results.push_back(box);
  meta->batch.frames.push_back(frame);
  GstBuffer *copy = gst_buffer_copy(buf);
  unsigned count = 0;
  C_DetectionBoxResult *boxes = gst_metadata_get_detection_box(copy, 0, &count);
  int ok = boxes && count == 1 && std::string(boxes[0].obj_label) == "car";
  std::printf("installed library: %u box, label %s\n", count, boxes ? boxes[0].obj_label : "-");
  gst_metadata_free_detection_box(boxes, count);
  gst_buffer_unref(copy);
  gst_buffer_unref(buf);
  return ok ? 0 : 1;
}
