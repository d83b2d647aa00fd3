/* ovmetadebuger: adds a synthetic inference result, set by its properties,
 * to frame 0 of every buffer's batch record (creating the record when the
 * buffer has none), so drawing and publishing can run without a network.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=3 ! video/x-raw,format=BGR,width=320,height=240 ! ovmetadebuger type=box id=3 class=ball x1=0.8 y1=0.1 x2=0.2 y2=0.9 prob=0.9 ! ovmetadumper ! fakesink
 */
#include "ovmetadebuger.h"

#include <exception>
#include <map>
#include <string>

#include "debug_core.h"
#include "gstovmeta_utils.h"
#include "ov_element.h"

GST_DEBUG_CATEGORY_STATIC(ov_metadebuger_debug);
#define GST_CAT_DEFAULT ov_metadebuger_debug

#define DEFAULT_TYPE ovmetadata::DATA_TYPE_CLASS
#define DEFAULT_ID 0u
#define DEFAULT_CLASS ""
#define DEFAULT_X1 0.0f
#define DEFAULT_Y1 0.0f
#define DEFAULT_X2 1.0f
#define DEFAULT_Y2 1.0f
#define DEFAULT_PROB 1.0f
#define DEFAULT_SHOW FALSE

enum { PROP_0, PROP_TYPE, PROP_ID, PROP_CLASS, PROP_X1, PROP_Y1, PROP_X2, PROP_Y2, PROP_PROB,
       PROP_SHOW };

/* The object lock guards every property field; the pads are set once in
 * init.  `label` is NULL until set or until the first buffer picks one. */
struct _OvMetaDebugerTemplate {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  gint type;
  guint id;
  gchar *label;
  gfloat x1;
  gfloat y1;
  gfloat x2;
  gfloat y2;
  gfloat prob;
  gboolean show;
};

G_DEFINE_TYPE(OvMetaDebugerTemplate, ov_metadebuger, GST_TYPE_ELEMENT)

GType ov_data_type_pattern_get_type(void) {
  static gsize type = 0;
  static const GEnumValue values[] = {
      {ovmetadata::DATA_TYPE_CLASS, "Class data (id, class, prob)", "class"},
      {ovmetadata::DATA_TYPE_BOX, "Box data (id, x1, y1, x2, y2, prob)", "box"},
      {0, nullptr, nullptr},
  };
  return ov::enum_type_once(type, "DataTypePattern", values);
}

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("ANY"));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("ANY"));

/* Copies the settings, choosing the label for good on the first buffer
 * without one. */
static ovmetadata::DebugResultSettings take_settings(OvMetaDebugerTemplate *self) {
  GST_OBJECT_LOCK(self);
  bool need_label = self->label == nullptr;
  GST_OBJECT_UNLOCK(self);
  const std::string random_label = need_label ? ovmetadata::make_random_class_label() : "";

  ovmetadata::DebugResultSettings s;
  GST_OBJECT_LOCK(self);
  if (!self->label)
    self->label = g_strdup(random_label.c_str());
  s.type = self->type;
  s.id = self->id;
  s.label = self->label;
  s.x1 = self->x1;
  s.y1 = self->y1;
  s.x2 = self->x2;
  s.y2 = self->y2;
  s.prob = self->prob;
  GST_OBJECT_UNLOCK(self);
  return s;
}

static void add_result(OvMetaDebugerTemplate *self, GstBuffer *buffer) {
  const ovmetadata::DebugResultSettings s = take_settings(self);
  orvane::ai::Result result;
  if (!ovmetadata::build_debug_result(s, result)) {
    GST_ERROR_OBJECT(self, "Unsupport inference data type");
    return;
  }
  if (result.type == orvane::ai::RESULT_CLASSIFICATION) {
    GST_DEBUG_OBJECT(self, "Add class label %s", s.label.c_str());
  } else {
    const auto &b = result.detection_box[0][0];
    GST_DEBUG_OBJECT(self, "Add box (%f,%f)-(%f,%f) label %s", b.x1, b.y1, b.x2, b.y2,
                     s.label.c_str());
  }
  if (!attach_inference_result(buffer, self->sinkpad, result, std::map<int, int>()))
    GST_ERROR_OBJECT(self, "Attach inference result failed");
}

static GstFlowReturn ov_metadebuger_chain(GstPad *pad, GstObject *parent, GstBuffer *buffer) {
  OvMetaDebugerTemplate *self = OV_METADEBUGER(parent);
  try {
    if (!gst_buffer_is_writable(buffer)) {
      GST_WARNING_OBJECT(self, "Gst buffer is not writable so make it writable.");
      buffer = gst_buffer_make_writable(buffer);
    }
    if (!gst_buffer_is_writable(buffer))
      GST_ERROR_OBJECT(self, "Gst buffer make writable still not work");
    else
      add_result(self, buffer);
  } catch (const std::exception &e) {
    GST_ERROR_OBJECT(self, "Adding debug result failed: %s", e.what());
  } catch (...) {
    GST_ERROR_OBJECT(self, "Adding debug result failed");
  }
  return gst_pad_push(self->srcpad, buffer);
}

static const ov::Property kProperties[] = {
    ov::field<&OvMetaDebugerTemplate::type>(PROP_TYPE),
    ov::field<&OvMetaDebugerTemplate::id>(PROP_ID),
    ov::field<&OvMetaDebugerTemplate::label>(PROP_CLASS),
    ov::field<&OvMetaDebugerTemplate::x1>(PROP_X1),
    ov::field<&OvMetaDebugerTemplate::y1>(PROP_Y1),
    ov::field<&OvMetaDebugerTemplate::x2>(PROP_X2),
    ov::field<&OvMetaDebugerTemplate::y2>(PROP_Y2),
    ov::field<&OvMetaDebugerTemplate::prob>(PROP_PROB),
    ov::field<&OvMetaDebugerTemplate::show>(PROP_SHOW),
};

static void ov_metadebuger_set_property(GObject *object, guint prop_id, const GValue *value,
                                        GParamSpec *pspec) {
  ov::MutexLock guard(GST_OBJECT_GET_LOCK(object));
  ov::set_property(kProperties, object, prop_id, value, pspec);
}

static void ov_metadebuger_get_property(GObject *object, guint prop_id, GValue *value,
                                        GParamSpec *pspec) {
  ov::MutexLock guard(GST_OBJECT_GET_LOCK(object));
  ov::get_property(kProperties, object, prop_id, value, pspec);
}

static void ov_metadebuger_finalize(GObject *object) {
  OvMetaDebugerTemplate *self = OV_METADEBUGER(object);
  g_free(self->label);
  G_OBJECT_CLASS(ov_metadebuger_parent_class)->finalize(object);
}

static GParamSpec *unit_float(const char *name, const char *nick, const char *blurb,
                              gfloat default_value) {
  return g_param_spec_float(name, nick, blurb, 0.0f, 1.0f, default_value,
                            GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
}

static void ov_metadebuger_class_init(OvMetaDebugerTemplateClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  const GParamFlags rw = GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);

  gobject_class->set_property = ov_metadebuger_set_property;
  gobject_class->get_property = ov_metadebuger_get_property;
  gobject_class->finalize = ov_metadebuger_finalize;

  g_object_class_install_property(
      gobject_class, PROP_TYPE,
      g_param_spec_enum("type", "Type", "Type of inference data", ov_data_type_pattern_get_type(),
                        DEFAULT_TYPE, rw));
  g_object_class_install_property(
      gobject_class, PROP_ID,
      g_param_spec_uint("id", "Id", "Id of inference data", 0, 65535, DEFAULT_ID, rw));
  g_object_class_install_property(
      gobject_class, PROP_CLASS,
      g_param_spec_string("class", "Class", "Class of inference data", DEFAULT_CLASS, rw));
  g_object_class_install_property(gobject_class, PROP_X1,
                                  unit_float("x1", "X1", "Minimize box x coords", DEFAULT_X1));
  g_object_class_install_property(gobject_class, PROP_Y1,
                                  unit_float("y1", "Y1", "Minimize box y coords", DEFAULT_Y1));
  g_object_class_install_property(gobject_class, PROP_X2,
                                  unit_float("x2", "X2", "Maximize box x coords", DEFAULT_X2));
  g_object_class_install_property(gobject_class, PROP_Y2,
                                  unit_float("y2", "Y2", "Maximize box y coords", DEFAULT_Y2));
  g_object_class_install_property(gobject_class, PROP_PROB,
                                  unit_float("prob", "Prob", "Probability", DEFAULT_PROB));
  g_object_class_install_property(
      gobject_class, PROP_SHOW,
      g_param_spec_boolean("show", "Show", "Show inference data", DEFAULT_SHOW, rw));

  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "OvMetaDebuger", "FIXME:Generic",
                                        "FIXME:Generic Template Element",
                                        "AUTHOR_NAME AUTHOR_EMAIL");

  GST_DEBUG_CATEGORY_INIT(ov_metadebuger_debug, "ovmetadebuger", 0,
                          "debug category for orvane metadata debuger");
}

static void ov_metadebuger_init(OvMetaDebugerTemplate *self) {
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, GST_DEBUG_FUNCPTR(ov_metadebuger_chain));
  GST_PAD_SET_PROXY_CAPS(self->sinkpad);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);

  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  GST_PAD_SET_PROXY_CAPS(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);

  self->type = DEFAULT_TYPE;
  self->id = DEFAULT_ID;
  self->label = nullptr;
  self->x1 = DEFAULT_X1;
  self->y1 = DEFAULT_Y1;
  self->x2 = DEFAULT_X2;
  self->y2 = DEFAULT_Y2;
  self->prob = DEFAULT_PROB;
  self->show = DEFAULT_SHOW;
}
