/* ovtranslator
 *
 * Takes the buffer lists of the inference element (buffer 0: the batch
 * image, buffer 1: the raw output tensor), decodes the tensor with the
 * translator registered for the `topology` / `engine_type` pair, attaches the
 * results to the frames of the batch record and pushes only the batch image.
 * A tensor that cannot be translated never stops the stream: the image goes
 * on without results.  Buffers that arrive outside a list carry no tensor and
 * are dropped.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=3 pattern=red ! video/x-raw,format=BGR,width=64,height=64 ! \
 *       ovrt model=models/colour_classifier.engine scale=0.0039215686 mean="0 0 0" ! \
 *       ovtranslator topology=classifier dims=1,0 \
 *       label=models/colour_classifier.labels ! ovmetadumper ! fakesink
 *
 * (run from a build tree: the bundled colour classifier names each frame
 * "red").  It sits right after `ovrt`.
 */
#include "ovtranslator.h"

#include <climits>
#include <cstring>
#include <fstream>
#include <new>

#include <opencv2/core.hpp>

#include "gstopencvutils.h"
#include "gstovmeta_utils.h"
#include "ov_element.h"
#include "ov_gst_ptr.h"
#include "translator_core.h"

GST_DEBUG_CATEGORY_STATIC(ov_translator_debug);
#define GST_CAT_DEFAULT ov_translator_debug

using orvane::ai::Engine;
using orvane::ai::Topology;

enum {
  PROP_0,
  PROP_TOPOLOGY,
  PROP_ENGINE_TYPE,
  PROP_LABEL,
  PROP_DIMS,
  PROP_INPUT_WIDTH,
  PROP_INPUT_HEIGHT,
};

#define DEFAULT_TOPOLOGY 0
#define DEFAULT_ENGINE_TYPE 0
#define DEFAULT_LABEL ""
#define DEFAULT_DIMS ""
#define DEFAULT_INPUT_SIZE 0
#define MAX_INPUT_SIZE 65535

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("ANY"));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("ANY"));

G_DEFINE_TYPE(OvTranslator, ov_translator, GST_TYPE_ELEMENT)

namespace {

/* Conditions a user can act on, each posted once as a warning until a
 * property changes: the stream goes on without (some) results. */
enum : guint { kWarnLabels = 1, kWarnNoTranslator = 2, kWarnTranslateFailed = 4 };

/* Call with the lock taken. */
bool first_warning(OvTranslator *self, guint which) {
  if (self->warned & which)
    return false;
  self->warned |= which;
  return true;
}

/* Call with the lock taken. */
void load_labels(OvTranslator *self, const gchar *path) {
  self->labels.clear();
  self->labels_missing = FALSE;
  if (path == nullptr)
    return;
  std::ifstream in;
  if (!g_file_test(path, G_FILE_TEST_IS_DIR))
    in.open(path);
  if (!in.is_open()) {
    GST_ERROR_OBJECT(self, "Can not find labels file %s", path);
    self->labels_missing = TRUE;
    return;
  }
  self->labels = orvane::ai::read_label_lines(in);
  GST_DEBUG_OBJECT(self, "Read %zu labels from %s", self->labels.size(), path);
}

/* Runs the translator over the mapped tensor and attaches its result to
 * `frame` (writable, still owned by the list). */
void translate_frame(OvTranslator *self, GstBuffer *frame, GstBuffer *tensor) {
  cv::Mat image;
  if (!gst_pad_and_buffer_to_cv_mat(self->sinkpad, frame, image))
    image = cv::Mat();

  ov::BufferMap map(tensor, GST_MAP_READ);
  if (!map.ok()) {
    GST_DEBUG_OBJECT(self, "Can not map the tensor buffer");
    return;
  }
  const gsize floats = map.size() / sizeof(float);
  const int n = floats > gsize(INT_MAX) ? INT_MAX : int(floats);

  // Translators read floats: give them aligned ones.
  std::vector<float> aligned;
  const void *data = map.data();
  if (reinterpret_cast<uintptr_t>(data) % alignof(float) != 0) {
    aligned.resize(size_t(n));
    std::memcpy(aligned.data(), data, size_t(n) * sizeof(float));
    data = aligned.data();
  }

  ov::RecMutexLock guard(&self->lock);
  const Topology topology = self->topology;
  const Engine engine = self->engine_type;

  orvane::ai::TranslateInfo info;
  info["width"] = orvane::ai::TranslateElem(int32_t(image.cols));
  info["height"] = orvane::ai::TranslateElem(int32_t(image.rows));
  if (self->input_width != 0)
    info["iw"] = orvane::ai::TranslateElem(int32_t(self->input_width));
  if (self->input_height != 0)
    info["ih"] = orvane::ai::TranslateElem(int32_t(self->input_height));
  info[orvane::ai::kTensorCountKey] = orvane::ai::TranslateElem(int32_t(n));

  const std::vector<int> dims = calculate_dims(n, self->dims);

  if (self->labels_missing && first_warning(self, kWarnLabels))
    GST_ELEMENT_WARNING(self, RESOURCE, NOT_FOUND, ("Label file not found."),
                        ("property \"label\": cannot read %s; classes are shown as numbers",
                         self->label));

  orvane::ai::TranslatorFunction translator = orvane::ai::get_translator(topology, engine);
  if (!translator) {
    GST_ERROR_OBJECT(self, "Can not find translator");
    if (first_warning(self, kWarnNoTranslator))
      GST_ELEMENT_WARNING(self, LIBRARY, SETTINGS, ("No translator for this model."),
                          ("properties \"topology\" %d and \"engine_type\" %d name no translator; "
                           "frames go on without results",
                           int(topology), int(engine)));
    return;
  }
  GST_DEBUG_OBJECT(self, "Ready to translate inference result");
  orvane::ai::Result result;
  bool ok = false;
  try {
    ok = translator(data, dims, self->labels, info, result);
  } catch (const std::exception &e) {
    GST_DEBUG_OBJECT(self, "Translator raised: %s", e.what());
    ok = false;
  } catch (...) {
    ok = false;
  }
  if (!ok) {
    GST_ERROR_OBJECT(self, "Translate failed");
    if (first_warning(self, kWarnTranslateFailed))
      GST_ELEMENT_WARNING(self, STREAM, DECODE, ("Cannot translate the inference output."),
                          ("a tensor of %" G_GSIZE_FORMAT " bytes does not fit property \"dims\" "
                           "\"%s\" with \"input_width\" %d and \"input_height\" %d; frames go "
                           "on without results",
                           map.size(), self->dims ? self->dims : "", self->input_width,
                           self->input_height));
    return;
  }
  if (!attach_inference_result(frame, self->sinkpad, result, std::map<int, int>()))
    GST_ERROR_OBJECT(self, "Attach inference result failed");
}

}  // namespace

std::vector<int> calculate_dims(const int &n, const gchar *dims) {
  orvane::ai::DimsParse parsed = orvane::ai::parse_dims(n, dims);
  if (parsed.several_auto)
    GST_WARNING("Only support one auto dim.");
  else if (parsed.not_divisible)
    GST_WARNING("Buffer size %d may not auto divisible.", n);
  GST_DEBUG("Buffer size %d with dims %s", n, orvane::ai::dims_to_string(parsed.dims).c_str());
  return std::move(parsed.dims);
}

static GstFlowReturn ov_translator_chain_list(GstPad *pad, GstObject *parent,
                                              GstBufferList *list) {
  OvTranslator *self = OV_TRANSLATOR(parent);
  ov::BufferListPtr owned(list);
  const guint length = gst_buffer_list_length(list);
  if (length < 2) {
    GST_WARNING_OBJECT(self, "Translator buffer list only one buffer");
    if (length == 0) {
      GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("Empty buffer list."),
                        ("a buffer list of 0 buffers; the translator takes ovrt's lists of a "
                         "frame buffer and a tensor buffer"));
      return GST_FLOW_ERROR;
    }
    ov::BufferPtr only(gst_buffer_ref(gst_buffer_list_get(list, 0)));
    owned.reset();
    return gst_pad_push(self->srcpad, only.release());
  }

  owned.reset(gst_buffer_list_make_writable(owned.release()));
  GstBuffer *frame = gst_buffer_list_get_writable(owned.get(), 0);
  GstBuffer *tensor = gst_buffer_list_get(owned.get(), 1);
  try {
    translate_frame(self, frame, tensor);
  } catch (...) {
    // an allocation failure while building the parameters or the result
    GST_ERROR_OBJECT(self, "Translate failed");
  }

  ov::BufferPtr out(gst_buffer_ref(frame));
  owned.reset();  // releases the tensor and anything after it
  return gst_pad_push(self->srcpad, out.release());
}

static GstFlowReturn ov_translator_chain(GstPad *pad, GstObject *parent, GstBuffer *buffer) {
  // Results exist only for lists: a lone buffer has no tensor beside it.
  gst_buffer_unref(buffer);
  return GST_FLOW_OK;
}

/* Hooks of the property table, run after the field is set, with the lock
 * taken.  A new label file is read at once. */
static void reload_labels(GObject *object) {
  OvTranslator *self = OV_TRANSLATOR(object);
  try {
    load_labels(self, self->label);
  } catch (...) {
    self->labels.clear();
    self->labels_missing = TRUE;
    GST_ERROR_OBJECT(self, "Can not find labels file %s", self->label);
  }
}

/* An input size left at 0 follows the other one. */
static void square_from_width(GObject *object) {
  OvTranslator *self = OV_TRANSLATOR(object);
  if (self->input_height == 0)
    self->input_height = self->input_width;
}

static void square_from_height(GObject *object) {
  OvTranslator *self = OV_TRANSLATOR(object);
  if (self->input_width == 0)
    self->input_width = self->input_height;
}

static const ov::Property kProperties[] = {
    ov::field<&OvTranslator::topology>(PROP_TOPOLOGY),
    ov::field<&OvTranslator::engine_type>(PROP_ENGINE_TYPE),
    ov::field<&OvTranslator::label>(PROP_LABEL, reload_labels),
    ov::field<&OvTranslator::dims>(PROP_DIMS),
    ov::field<&OvTranslator::input_width>(PROP_INPUT_WIDTH, square_from_width),
    ov::field<&OvTranslator::input_height>(PROP_INPUT_HEIGHT, square_from_height),
};

static void ov_translator_set_property(GObject *object, guint prop_id, const GValue *value,
                                       GParamSpec *pspec) {
  OvTranslator *self = OV_TRANSLATOR(object);
  ov::RecMutexLock guard(&self->lock);
  self->warned = 0;
  ov::set_property(kProperties, object, prop_id, value, pspec);
}

static void ov_translator_get_property(GObject *object, guint prop_id, GValue *value,
                                       GParamSpec *pspec) {
  ov::RecMutexLock guard(&OV_TRANSLATOR(object)->lock);
  ov::get_property(kProperties, object, prop_id, value, pspec);
}

static void ov_translator_finalize(GObject *object) {
  OvTranslator *self = OV_TRANSLATOR(object);
  g_free(self->label);
  g_free(self->dims);
  using Labels = std::vector<std::string>;
  self->labels.~Labels();
  g_rec_mutex_clear(&self->lock);
  G_OBJECT_CLASS(ov_translator_parent_class)->finalize(object);
}

static void ov_translator_class_init(OvTranslatorClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  GST_DEBUG_CATEGORY_INIT(ov_translator_debug, "ovtranslator", 0,
                          "debug category for orvane inference's translator");

  gobject_class->set_property = ov_translator_set_property;
  gobject_class->get_property = ov_translator_get_property;
  gobject_class->finalize = ov_translator_finalize;

  // Not G_PARAM_STATIC_NAME: GLib stores "engine_type" and the input sizes
  // under their canonical dashed names, and both spellings are accepted.
  const GParamFlags flags =
      GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_NICK | G_PARAM_STATIC_BLURB);
  g_object_class_install_property(
      gobject_class, PROP_TOPOLOGY,
      g_param_spec_enum("topology", "Topology", "Topology of deep learning model",
                        ov_ai_topology_pattern_get_type(), DEFAULT_TOPOLOGY, flags));
  g_object_class_install_property(
      gobject_class, PROP_ENGINE_TYPE,
      g_param_spec_enum("engine_type", "Engine Type", "Engine type of deep learning inference",
                        ov_engine_pattern_get_type(), DEFAULT_ENGINE_TYPE, flags));
  g_object_class_install_property(
      gobject_class, PROP_LABEL,
      g_param_spec_string("label", "Label", "Label of deeep learning model", DEFAULT_LABEL,
                          flags));
  g_object_class_install_property(
      gobject_class, PROP_DIMS,
      g_param_spec_string("dims", "Dims",
                          "Dimensions of inference results, seperate by ,. 0 will be auto "
                          "calculate size",
                          DEFAULT_DIMS, flags));
  g_object_class_install_property(
      gobject_class, PROP_INPUT_WIDTH,
      g_param_spec_int("input_width", "Input width", "Deep learning model input width", 0,
                       MAX_INPUT_SIZE, DEFAULT_INPUT_SIZE, flags));
  g_object_class_install_property(
      gobject_class, PROP_INPUT_HEIGHT,
      g_param_spec_int("input_height", "Input height", "Deep learning model input height", 0,
                       MAX_INPUT_SIZE, DEFAULT_INPUT_SIZE, flags));

  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "ovtranslator element", "AI/Translator",
                                        "orvane inference's translator",
                                        "orvane video analytics");
}

static void ov_translator_init(OvTranslator *self) {
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, GST_DEBUG_FUNCPTR(ov_translator_chain));
  gst_pad_set_chain_list_function(self->sinkpad, GST_DEBUG_FUNCPTR(ov_translator_chain_list));
  GST_PAD_SET_PROXY_CAPS(self->sinkpad);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);

  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  GST_PAD_SET_PROXY_CAPS(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);

  self->topology = Topology::None;
  self->engine_type = Engine::None;
  self->label = nullptr;
  self->dims = nullptr;
  self->input_width = 0;
  self->input_height = 0;
  new (&self->labels) std::vector<std::string>();
  self->labels_missing = FALSE;
  self->warned = 0;
  g_rec_mutex_init(&self->lock);

  orvane::ai::init_supports();
}

gboolean ov_translator_register(GstPlugin *plugin) {
  return gst_element_register(plugin, "ovtranslator", GST_RANK_NONE, OV_TYPE_TRANSLATOR);
}
