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
#include "model_fit.h"
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
  PROP_THRESHOLD,
  PROP_OVERLAP,
  PROP_ANCHORS,
  PROP_MASKS,
  PROP_SOFTMAX,
};

#define DEFAULT_TOPOLOGY 0
#define DEFAULT_ENGINE_TYPE 0
#define DEFAULT_LABEL ""
#define DEFAULT_DIMS ""
#define DEFAULT_INPUT_SIZE 0
#define MAX_INPUT_SIZE 65535
#define DEFAULT_THRESHOLD -1.0f /* the topology's own */

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("ANY"));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("ANY"));

G_DEFINE_TYPE(OvTranslator, ov_translator, GST_TYPE_ELEMENT)

namespace {

/* Conditions a user can act on, each posted once as a warning until a
 * property changes: the stream goes on without (some) results. */
enum : guint {
  kWarnLabels = 1,
  kWarnNoTranslator = 2,
  kWarnTranslateFailed = 4,
  kWarnDimsMismatch = 8,
  kWarnNotProbabilities = 16,
  kWarnNotActivated = 32,
  kWarnBuiltinAnchors = 64,
};

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

/* How many batches after a property change (or a new engine) are checked
 * for what the tensor holds: enough to see a model's outputs, cheap after. */
constexpr guint kBatchesChecked = 30;

/* A setting that cannot work: the element stops with this message. */
struct Fatal {
  bool set = false;
  std::string text, detail;
  void operator()(std::string t, std::string d) {
    set = true;
    text = std::move(t);
    detail = std::move(d);
  }
};

std::vector<int64_t> head_grids(const std::vector<int> &dims) {
  std::vector<int64_t> grids;
  for (size_t g = 0; g + 4 <= dims.size(); g += 4)
    grids.push_back(int64_t(dims[g + 2]) * dims[g + 3]);
  return grids;
}

/* The engine's shapes against the dims and input size in use.  Call with
 * the lock taken. */
void check_fit(OvTranslator *self, const std::vector<int> &dims, orvane::ai::TranslateInfo &info,
               Fatal &fatal) {
  using namespace orvane::ai;
  const ov::TensorShapes &shapes = self->shapes;
  const Topology topology = self->topology;
  if (!shapes.empty()) {
    if (self->dims != nullptr && !dims_fit_shapes(topology, dims, shapes.outputs)) {
      const std::vector<int> engine = dims_from_shapes(topology, shapes.outputs);
      fatal("Property \"dims\" does not fit the engine's outputs.",
            "property \"dims\" \"" + std::string(self->dims) + "\" reads the tensor as " +
                dims_text(dims) + ", but the engine's outputs are " +
                shapes_text(shapes.outputs) + " (the engine's batch first, heads in tensor "
                "order): leave \"dims\" unset to take them from the engine" +
                (engine.empty() ? std::string() : ", or set dims=" + dims_text(engine)));
      return;
    }
    if ((self->input_width != 0 || self->input_height != 0) &&
        (self->input_width != shapes.input_width || self->input_height != shapes.input_height)) {
      fatal("Properties \"input_width\" and \"input_height\" do not fit the engine.",
            "they are " + std::to_string(self->input_width) + "x" +
                std::to_string(self->input_height) + " but the engine's input is " +
                std::to_string(shapes.input_width) + "x" + std::to_string(shapes.input_height) +
                ": leave them unset (the engine's size is used) or set input_width=" +
                std::to_string(shapes.input_width) + " input_height=" +
                std::to_string(shapes.input_height));
      return;
    }
    if (self->input_width == 0 && self->input_height == 0) {
      info["iw"] = TranslateElem(int32_t(shapes.input_width));
      info["ih"] = TranslateElem(int32_t(shapes.input_height));
    }
  }
}

/* The YOLO settings against the heads.  Call with the lock taken. */
void check_heads(OvTranslator *self, const std::vector<int> &dims,
                 const orvane::ai::TranslateInfo &info, Fatal &fatal) {
  using namespace orvane::ai;
  if (self->topology != Topology::YoloV3 || dims.size() < 4)
    return;
  YoloHeads heads;
  std::string error;
  if (!yolo_heads_from_info(info, self->engine_type, heads, error)) {
    fatal("Invalid YOLO anchors or masks.",
          "properties \"anchors\" and \"masks\": " + error +
              " (anchors: width,height pairs in network input pixels, e.g. \"10,14, 23,27, "
              "37,58\"; masks: one group of anchor indices per head in tensor order, e.g. "
              "\"3,4,5;0,1,2\")");
    return;
  }
  const bool own_anchors = (self->anchors != nullptr && *self->anchors != '\0') ||
                           (self->masks != nullptr && *self->masks != '\0');
  if (!own_anchors && dims.size() / 4 != heads.masks.size() &&
      first_warning(self, kWarnBuiltinAnchors))
    GST_ELEMENT_WARNING(self, LIBRARY, SETTINGS,
                        ("The built-in YOLO anchors do not fit this network."),
                        ("the tensor holds %u heads, but the built-in anchors and masks are "
                         "YOLOv3's for %u heads, so box sizes are likely wrong: set \"anchors\" "
                         "and \"masks\" from the model's cfg (ov-build-engine prints them; "
                         "yolov3-tiny: anchors=\"10,14, 23,27, 37,58, 81,82, 135,169, 344,319\" "
                         "masks=\"3,4,5;0,1,2\")",
                         unsigned(dims.size() / 4), unsigned(heads.masks.size())));
  if (!yolo_channels_fit(dims, heads, error)) {
    fatal("The YOLO heads do not fit the masks.",
          error + ": property \"masks\" is \"" + masks_text(heads.masks) +
              "\"; give one group of anchor indices per head, as many per group as each "
              "head's anchors (ov-build-engine prints the line for a Darknet cfg)");
    return;
  }
  std::string suggestion;
  if (!heads_in_order(head_grids(dims), heads, suggestion)) {
    std::string grids;
    for (size_t g = 0; g + 4 <= dims.size(); g += 4)
      grids += (g > 0 ? ", " : "") + std::to_string(dims[g + 2]) + "x" + std::to_string(dims[g + 3]);
    fatal("The YOLO heads are not in the order the masks expect.",
          "the heads' grids are " + grids + " in tensor order and masks \"" +
              masks_text(heads.masks) + "\" give a finer grid larger anchors than a coarser "
              "one: set masks=\"" + suggestion + "\" (or dims in the engine's head order)");
  }
}

/* What the tensor holds, on the first batches after a change: warnings for
 * outputs the decoder will misread.  Call with the lock taken. */
void check_values(OvTranslator *self, const float *data, const std::vector<int> &dims,
                  const orvane::ai::TranslateInfo &info) {
  using namespace orvane::ai;
  if (self->checks_left == 0)
    return;
  --self->checks_left;
  if (self->topology == Topology::Classifier && !self->softmax && dims.size() >= 2) {
    const ValueRange r = classifier_scores(data, dims[0], dims[1]);
    if (!looks_like_probabilities(r) && first_warning(self, kWarnNotProbabilities)) {
      self->checks_left = 0;
      GST_ELEMENT_WARNING(self, STREAM, DECODE, ("The classifier's outputs are not probabilities."),
                          ("scores range from %g to %g and sum to %g .. %g per frame: the model "
                           "ends without a softmax (logits), so \"prob\" means nothing and "
                           "negative scores never win; set softmax=true",
                           double(r.min), double(r.max), r.min_sum, r.max_sum));
    }
  }
  if (self->topology == Topology::YoloV3 && self->engine_type == Engine::OpenVINO) {
    YoloHeads heads;
    std::string error;
    if (!yolo_heads_from_info(info, Engine::OpenVINO, heads, error))
      return;
    const ValueRange r = yolo_score_range(data, dims, heads);
    if (!looks_activated(r) && first_warning(self, kWarnNotActivated)) {
      self->checks_left = 0;
      GST_ELEMENT_WARNING(self, STREAM, DECODE,
                          ("The YOLO outputs are not activated as engine_type=openvino expects."),
                          ("objectness and class scores range from %g to %g, not 0 to 1: these "
                           "are raw heads (as ov-build-engine writes them); set "
                           "engine_type=tensorrt",
                           double(r.min), double(r.max)));
    }
  }
}

/* Runs the translator over the mapped tensor and attaches its result to
 * `frame` (writable, still owned by the list).  A setting that cannot work
 * fills `fatal`. */
void translate_frame(OvTranslator *self, GstBuffer *frame, GstBuffer *tensor, Fatal &fatal) {
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
  if (self->threshold >= 0.0f)
    info[orvane::ai::kThresholdKey] = orvane::ai::TranslateElem(float(self->threshold));
  if (self->overlap >= 0.0f)
    info[orvane::ai::kOverlapKey] = orvane::ai::TranslateElem(float(self->overlap));
  if (self->anchors != nullptr && *self->anchors != '\0')
    info[orvane::ai::kAnchorsKey] = orvane::ai::TranslateElem(std::string(self->anchors));
  if (self->masks != nullptr && *self->masks != '\0')
    info[orvane::ai::kMasksKey] = orvane::ai::TranslateElem(std::string(self->masks));
  if (self->softmax)
    info[orvane::ai::kSoftmaxKey] = orvane::ai::TranslateElem(int32_t(1));

  // The engine's shapes stand in for dims the user left unset.
  std::vector<int> dims;
  if (self->dims == nullptr && !self->shapes.empty())
    dims = orvane::ai::dims_from_shapes(topology, self->shapes.outputs);
  else
    dims = calculate_dims(n, self->dims);

  check_fit(self, dims, info, fatal);
  if (fatal.set)
    return;
  const int64_t described = orvane::ai::floats_described(topology, dims);
  if (self->shapes.empty() && self->dims != nullptr) {
    if (described >= 0 && described != int64_t(n)) {
      GST_WARNING_OBJECT(self, "Buffer size %d may not auto divisible.", n);
      if (first_warning(self, kWarnDimsMismatch))
        GST_ELEMENT_WARNING(self, STREAM, DECODE, ("Property \"dims\" does not fit the tensor."),
                            ("\"%s\" reads %" G_GINT64_FORMAT " floats as %s, but the tensor "
                             "holds %d; results are likely wrong: give the model's output "
                             "shape (batch first) or use a 0 for one dimension",
                             self->dims, described, topology == Topology::YoloV3
                                                        ? "the YOLO heads"
                                                        : "the topology's output",
                             n));
    }
  }

  if (described >= 0 && described <= int64_t(n))
    check_values(self, static_cast<const float *>(data), dims, info);
  check_heads(self, dims, info, fatal);
  if (fatal.set)
    return;
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
                           "frames go on without results (classifier, ssd and segment take "
                           "engine_type none; yolov3 takes tensorrt for raw heads)",
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
    if (first_warning(self, kWarnTranslateFailed)) {
      const std::string engine_said =
          self->shapes.empty()
              ? std::string("ovrt's engine shapes were not seen")
              : "the engine's outputs are " + orvane::ai::shapes_text(self->shapes.outputs);
      GST_ELEMENT_WARNING(self, STREAM, DECODE, ("Cannot translate the inference output."),
                          ("a tensor of %" G_GSIZE_FORMAT " bytes (%d floats) does not fit "
                           "dims %s (property \"dims\" \"%s\") with \"input_width\" %d and "
                           "\"input_height\" %d; %s; frames go on without results",
                           map.size(), n, orvane::ai::dims_text(dims).c_str(),
                           self->dims ? self->dims : "", self->input_width, self->input_height,
                           engine_said.c_str()));
    }
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
  else if (parsed.not_divisible && parsed.automatic)
    GST_WARNING("Buffer size %d may not auto divisible.", n);
  else if (parsed.not_divisible)
    // Without a 0 the dims need not divide the tensor (YOLO's heads add
    // up): whether they describe it is the topology's question.
    GST_DEBUG("Buffer size %d is not the product of dims", n);
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
  Fatal fatal;
  try {
    translate_frame(self, frame, tensor, fatal);
  } catch (...) {
    // an allocation failure while building the parameters or the result
    GST_ERROR_OBJECT(self, "Translate failed");
  }
  if (fatal.set) {
    GST_ELEMENT_ERROR(self, LIBRARY, SETTINGS, ("%s", fatal.text.c_str()),
                      ("%s", fatal.detail.c_str()));
    return GST_FLOW_ERROR;
  }

  ov::BufferPtr out(gst_buffer_ref(frame));
  owned.reset();  // releases the tensor and anything after it
  return gst_pad_push(self->srcpad, out.release());
}

/* Takes note of the engine's shapes from ovrt; every event goes on. */
static gboolean ov_translator_sink_event(GstPad *pad, GstObject *parent, GstEvent *event) {
  OvTranslator *self = OV_TRANSLATOR(parent);
  ov::TensorShapes shapes;
  if (ov::tensor_shapes_from_event(event, shapes)) {
    GST_DEBUG_OBJECT(self, "engine input %dx%d, outputs %s", shapes.input_width,
                     shapes.input_height, ov::tensor_shapes_text(shapes.outputs).c_str());
    ov::RecMutexLock guard(&self->lock);
    self->shapes = std::move(shapes);
    self->warned = 0;
    self->checks_left = kBatchesChecked;
  }
  return gst_pad_event_default(pad, parent, event);
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
    ov::field<&OvTranslator::threshold>(PROP_THRESHOLD),
    ov::field<&OvTranslator::overlap>(PROP_OVERLAP),
    ov::field<&OvTranslator::anchors>(PROP_ANCHORS),
    ov::field<&OvTranslator::masks>(PROP_MASKS),
    ov::field<&OvTranslator::softmax>(PROP_SOFTMAX),
};

static void ov_translator_set_property(GObject *object, guint prop_id, const GValue *value,
                                       GParamSpec *pspec) {
  OvTranslator *self = OV_TRANSLATOR(object);
  ov::RecMutexLock guard(&self->lock);
  self->warned = 0;
  self->checks_left = kBatchesChecked;
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
  g_free(self->anchors);
  g_free(self->masks);
  self->shapes.~TensorShapes();
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

  g_object_class_install_property(
      gobject_class, PROP_THRESHOLD,
      g_param_spec_float("threshold", "Confidence threshold",
                         "Confidence below which a detection is dropped (yolov3, ssd); -1: the "
                         "topology's own (0.8 for yolov3, 0.5 for ssd)",
                         -1.0f, 1.0f, DEFAULT_THRESHOLD, flags));
  g_object_class_install_property(
      gobject_class, PROP_OVERLAP,
      g_param_spec_float("overlap", "Overlap threshold",
                         "Overlap (intersection over union) from which the weaker of two yolov3 "
                         "boxes is dropped; -1: the engine type's own (0.5 tensorrt, 0.4 "
                         "openvino)",
                         -1.0f, 1.0f, DEFAULT_THRESHOLD, flags));
  g_object_class_install_property(
      gobject_class, PROP_ANCHORS,
      g_param_spec_string("anchors", "Anchors",
                          "YOLO anchor sizes as width,height pairs in network input pixels, "
                          "e.g. 10,14, 23,27, 37,58, 81,82, 135,169, 344,319; empty: the "
                          "nine YOLOv3 anchors",
                          nullptr, flags));
  g_object_class_install_property(
      gobject_class, PROP_MASKS,
      g_param_spec_string("masks", "Masks",
                          "YOLO anchor indices of each head in tensor order, heads separated "
                          "by ';', e.g. 3,4,5;0,1,2; empty: the engine type's own (tensorrt "
                          "6,7,8;3,4,5;0,1,2, openvino 3,4,5;0,1,2;6,7,8)",
                          nullptr, flags));
  g_object_class_install_property(
      gobject_class, PROP_SOFTMAX,
      g_param_spec_boolean("softmax", "Softmax",
                           "Apply a softmax to the classifier's scores (for models that end "
                           "in logits)",
                           FALSE, flags));

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
  gst_pad_set_event_function(self->sinkpad, GST_DEBUG_FUNCPTR(ov_translator_sink_event));
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
  self->threshold = DEFAULT_THRESHOLD;
  self->overlap = DEFAULT_THRESHOLD;
  self->anchors = nullptr;
  self->masks = nullptr;
  self->softmax = FALSE;
  new (&self->shapes) ov::TensorShapes();
  self->checks_left = kBatchesChecked;
  g_rec_mutex_init(&self->lock);

  orvane::ai::init_supports();
}

gboolean ov_translator_register(GstPlugin *plugin) {
  return gst_element_register(plugin, "ovtranslator", GST_RANK_NONE, OV_TYPE_TRANSLATOR);
}
