/* ovmetadumper: prints the batch record of every buffer (devices, frames and
 * their results) as GLib messages and passes the buffer on.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=3 ! video/x-raw,format=BGR,width=320,height=240 ! ovmetadebuger class=cat ! ovmetadumper segment_num=5 ! fakesink
 */
#include "ovmetadumper.h"

#include <exception>
#include <string>
#include <vector>

#include "dump_core.h"
#include "gstovmeta.h"
#include "ov_element.h"

GST_DEBUG_CATEGORY_STATIC(ov_metadumper_debug);
#define GST_CAT_DEFAULT ov_metadumper_debug

#define DEFAULT_SEGMENT_NUM 10u

enum { PROP_0, PROP_SEGMENT_NUM };

/* The object lock guards segment_num; the pads are set once in init. */
struct _OvMetaDumperTemplate {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  guint segment_num;
};

G_DEFINE_TYPE(OvMetaDumperTemplate, ov_metadumper, GST_TYPE_ELEMENT)

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("ANY"));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("ANY"));

static GstFlowReturn ov_metadumper_chain(GstPad *pad, GstObject *parent, GstBuffer *buffer) {
  OvMetaDumperTemplate *self = OV_METADUMPER(parent);
  GST_OBJECT_LOCK(self);
  const guint segment_num = self->segment_num;
  GST_OBJECT_UNLOCK(self);

  try {
    GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(buffer);
    const std::vector<std::string> lines =
        ovmetadata::format_batch_dump(meta ? &meta->batch : nullptr, segment_num);
    for (const std::string &line : lines)
      g_log(nullptr, G_LOG_LEVEL_MESSAGE, "%s", line.c_str());
  } catch (const std::exception &e) {
    GST_ERROR_OBJECT(self, "Dumping batch metadata failed: %s", e.what());
  } catch (...) {
    GST_ERROR_OBJECT(self, "Dumping batch metadata failed");
  }
  return gst_pad_push(self->srcpad, buffer);
}

static const ov::Property kProperties[] = {
    ov::field<&OvMetaDumperTemplate::segment_num>(PROP_SEGMENT_NUM),
};

static void ov_metadumper_set_property(GObject *object, guint prop_id, const GValue *value,
                                       GParamSpec *pspec) {
  ov::MutexLock guard(GST_OBJECT_GET_LOCK(object));
  ov::set_property(kProperties, object, prop_id, value, pspec);
}

static void ov_metadumper_get_property(GObject *object, guint prop_id, GValue *value,
                                       GParamSpec *pspec) {
  ov::MutexLock guard(GST_OBJECT_GET_LOCK(object));
  ov::get_property(kProperties, object, prop_id, value, pspec);
}

static void ov_metadumper_class_init(OvMetaDumperTemplateClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->set_property = ov_metadumper_set_property;
  gobject_class->get_property = ov_metadumper_get_property;

  g_object_class_install_property(
      gobject_class, PROP_SEGMENT_NUM,
      g_param_spec_uint("segment_num", "Segment Number", "Number of segment result", 0, 64,
                        DEFAULT_SEGMENT_NUM, G_PARAM_READWRITE));

  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "OvMetaDumper", "FIXME:Generic",
                                        "FIXME:Generic Template Element",
                                        "AUTHOR_NAME AUTHOR_EMAIL");

  GST_DEBUG_CATEGORY_INIT(ov_metadumper_debug, "ovmetadumper", 0,
                          "debug category for orvane metadata dumper");
}

static void ov_metadumper_init(OvMetaDumperTemplate *self) {
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, GST_DEBUG_FUNCPTR(ov_metadumper_chain));
  GST_PAD_SET_PROXY_CAPS(self->sinkpad);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);

  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  GST_PAD_SET_PROXY_CAPS(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);

  self->segment_num = DEFAULT_SEGMENT_NUM;
}
