/* Owning smart pointers for GStreamer and GLib references, and a scoped
 * buffer mapping.  Use these instead of manual unref/unmap pairs. */
#ifndef OV_GST_PTR_H
#define OV_GST_PTR_H

#include <memory>

#include <gst/gst.h>

namespace ov {

struct GstUnref {
  void operator()(GstBuffer *p) const { gst_buffer_unref(p); }
  void operator()(GstBufferList *p) const { gst_buffer_list_unref(p); }
  void operator()(GstCaps *p) const { gst_caps_unref(p); }
  void operator()(GstEvent *p) const { gst_event_unref(p); }
  void operator()(GstMessage *p) const { gst_message_unref(p); }
  void operator()(GstQuery *p) const { gst_query_unref(p); }
  void operator()(GstSample *p) const { gst_sample_unref(p); }
  void operator()(GstStructure *p) const { gst_structure_free(p); }
  void operator()(GstObject *p) const { gst_object_unref(p); }
  void operator()(GstElement *p) const { gst_object_unref(p); }
  void operator()(GstPad *p) const { gst_object_unref(p); }
  void operator()(GstBus *p) const { gst_object_unref(p); }
  void operator()(GstIterator *p) const { gst_iterator_free(p); }
  void operator()(GError *p) const { g_error_free(p); }
  void operator()(gchar *p) const { g_free(p); }
};

using BufferPtr = std::unique_ptr<GstBuffer, GstUnref>;
using BufferListPtr = std::unique_ptr<GstBufferList, GstUnref>;
using CapsPtr = std::unique_ptr<GstCaps, GstUnref>;
using EventPtr = std::unique_ptr<GstEvent, GstUnref>;
using MessagePtr = std::unique_ptr<GstMessage, GstUnref>;
using SamplePtr = std::unique_ptr<GstSample, GstUnref>;
using ElementPtr = std::unique_ptr<GstElement, GstUnref>;
using PadPtr = std::unique_ptr<GstPad, GstUnref>;
using BusPtr = std::unique_ptr<GstBus, GstUnref>;
using ErrorPtr = std::unique_ptr<GError, GstUnref>;
using GCharPtr = std::unique_ptr<gchar, GstUnref>;

/* A buffer mapping released at scope exit.  ok() tells whether it succeeded. */
class BufferMap {
 public:
  BufferMap(GstBuffer *buffer, GstMapFlags flags) : buffer_(buffer) {
    ok_ = buffer_ != nullptr && gst_buffer_map(buffer_, &info_, flags);
  }
  ~BufferMap() {
    if (ok_)
      gst_buffer_unmap(buffer_, &info_);
  }
  BufferMap(const BufferMap &) = delete;
  BufferMap &operator=(const BufferMap &) = delete;

  bool ok() const { return ok_; }
  guint8 *data() const { return ok_ ? info_.data : nullptr; }
  gsize size() const { return ok_ ? info_.size : 0; }

 private:
  GstBuffer *buffer_;
  GstMapInfo info_{};
  bool ok_ = false;
};

}  // namespace ov

#endif /* OV_GST_PTR_H */
