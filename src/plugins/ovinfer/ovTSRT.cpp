/* ovrt: runs a serialized TensorRT engine over the frames of a batch image.
 * For every buffer it cuts out the frames by the batch record, brings each to
 * the network input size, feeds up to "batch" of them, runs the engine once
 * and pushes a two-buffer list: the incoming buffer, then the raw output
 * tensor (every output binding for the full batch, in binding order).  The
 * engine is made on the first buffer with the "batch" of that moment; a
 * larger value later feeds no more frames than that (one warning says so).
 * Stopping lets the engine go; the next start loads the model file again.
 * Before the first tensor of each engine a sticky "ov-tensor-shapes" event
 * tells downstream the engine's input size and each output binding's shape,
 * so that the translator needs no dims of its own.  "channel-order" feeds
 * RGB-trained networks with red and blue swapped.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=4 ! video/x-raw,format=BGR,width=640,height=480 ! ovrt model=identity_608x608.engine batch=1 ! fakesink
 */
#include "ovTSRT.h"

#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include <opencv2/core.hpp>

#include "TensorRT.h"
#include "gstovmeta_utils.h"
#include "ov_element.h"
#include "ov_gst_ptr.h"
#include "ov_tensor_shapes.h"
#include "ovrt_core.h"

GST_DEBUG_CATEGORY_STATIC(ov_TSRT_debug);
#define GST_CAT_DEFAULT ov_TSRT_debug

#define DEFAULT_NORM FALSE
#define DEFAULT_MODEL ""
#define DEFAULT_DEVICE -1
#define DEFAULT_BATCH 1
#define DEFAULT_SCALE 1.0f
#define DEFAULT_MEAN ""
#define INSTANCE_MEAN "103.94 116.78 123.68"
#define DEFAULT_CHANNEL_ORDER OV_CHANNEL_ORDER_BGR

enum {
  PROP_0,
  PROP_NORM,
  PROP_MODEL,
  PROP_DEVICE,
  PROP_BATCH,
  PROP_SCALE,
  PROP_MEAN,
  PROP_CHANNEL_ORDER
};

typedef enum { OV_CHANNEL_ORDER_BGR = 0, OV_CHANNEL_ORDER_RGB = 1 } OvChannelOrder;

static GType ov_channel_order_get_type(void) {
  static gsize type = 0;
  static const GEnumValue values[] = {
      {OV_CHANNEL_ORDER_BGR, "Blue, green, red (as the frames arrive)", "bgr"},
      {OV_CHANNEL_ORDER_RGB, "Red, green, blue (swapped before the network)", "rgb"},
      {0, nullptr, nullptr},
  };
  return ov::enum_type_once(type, "OvChannelOrder", values);
}

/* `lock` guards the properties (norm .. channel_order), `resized`, `swapped`
 * and the engine; the pads are set once in init; the *_warned flags are the
 * streaming thread's. */
struct _OvTSRT {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  gboolean norm;
  gchar *model;
  gint batch;
  gint device;
  gfloat scale;
  gchar *mean;
  OvChannelOrder channel_order;
  cv::Mat resized;
  cv::Mat swapped;
  ovrt::EngineSlot engine;
  gboolean batch_warned;  /* streaming thread only */
  gboolean frames_warned; /* streaming thread only */
  gboolean norm_warned;   /* streaming thread only */
  GRecMutex lock;
};

G_DEFINE_TYPE(OvTSRT, ov_TSRT, GST_TYPE_ELEMENT)

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(OV_BGR_CAPS));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(OV_BGR_CAPS));

namespace {

std::shared_ptr<BaseEngine> make_engine(const ovrt::EngineSettings &s) {
  return MakeTensorRT(s.model, s.scale, s.mean, s.device, s.batch);
}

/* Steps 3 on of a buffer, with the engine loaded.  The buffer is taken over
 * and handed to the pushed list, so downstream gets it as the only owner
 * (writable without a copy).  `settings` are the property values read for
 * this buffer. */
GstFlowReturn infer_and_push(OvTSRT *self, ov::BufferPtr buffer,
                             const ovrt::EngineSettings &settings) {
  ov::BufferListPtr list(gst_buffer_list_new_sized(2));

  std::vector<cv::Mat> frames = batch_image_to_mats(buffer.get(), self->sinkpad);
  if (frames.empty()) {
    GST_DEBUG_OBJECT(self, "Parse pad and buffer into cv::Mat failed");
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("Cannot cut the batch image into its frames."),
                      ("a buffer of %" G_GSIZE_FORMAT " bytes does not match the negotiated caps "
                       "or its frame records (see the \"ovmeta\" log)",
                       gst_buffer_get_size(buffer.get())));
    return GST_FLOW_ERROR;
  }

  BaseEngine *engine = self->engine.get();
  int width = 0, height = 0;
  if (!ovrt::input_size(*engine, width, height)) {
    GST_DEBUG_OBJECT(self, "engine input is not batch, channels, height, width");
    GST_ELEMENT_ERROR(self, LIBRARY, SETTINGS, ("The engine's input is not an image batch."),
                      ("engine file %s: the input binding has no batch, channels, height and "
                       "width", settings.model.c_str()));
    return GST_FLOW_ERROR;
  }

  /* Frames beyond the engine's own batch go on without results. */
  const int limit = ovrt::frame_limit(*engine, settings.batch);
  if (limit < settings.batch && !self->batch_warned) {
    self->batch_warned = TRUE;
    GST_ELEMENT_WARNING(self, LIBRARY, SETTINGS, ("Only %d frames per batch are inferred.", limit),
                        ("property \"batch\" is %d, but the engine was created with batch %d "
                         "on the first buffer; later frames of a batch get no results",
                         settings.batch, limit));
  }

  /* The property below the batch's frames (an engine smaller than the
   * property is the warning above). */
  if (frames.size() > size_t(settings.batch) && !self->frames_warned) {
    self->frames_warned = TRUE;
    GST_ELEMENT_WARNING(self, LIBRARY, SETTINGS,
                        ("Only %d of the %u frames of a batch are inferred.", settings.batch,
                         unsigned(frames.size())),
                        ("property \"batch\" is %d but the batch image holds %u frames: the "
                         "later frames get no results; set batch=%u (an engine file built with "
                         "ov-build-engine --max-batch %u or more)",
                         settings.batch, unsigned(frames.size()), unsigned(frames.size()),
                         unsigned(frames.size())));
  }

  ovrt::FeedEvents events;
  events.resized = [self](unsigned i, int cols, int rows, int w, int h) {
    GST_DEBUG_OBJECT(self, "Resize %u-th image from (W:H) (%d,%d) to (%d,%d)\n", i, cols, rows, w, h);
  };
  events.skipped = [self](unsigned i, int b) {
    GST_WARNING_OBJECT(self, "Skip %u-th to update TensorRT input data, becasue of batch size only %d",
                       i, b);
  };
  events.updating = [self](unsigned i) { GST_INFO_OBJECT(self, "Update %u-th TensorRT input data", i); };

  /* The engine's input and output are the lock's: run and copy the output
   * under it, post any error once it is dropped. */
  ovrt::FeedResult fed;
  ov::BufferPtr tensor;
  uint64_t size = 0;
  {
    ov::RecMutexLock guard(&self->lock);
    fed = ovrt::feed_and_infer(*engine, frames, limit, width, height, self->resized, events,
                               settings.rgb ? ovrt::ChannelOrder::Rgb : ovrt::ChannelOrder::Bgr,
                               &self->swapped);
    if (fed == ovrt::FeedResult::Ok) {
      const void *data = engine->OutputData();  // sets DataSize()
      size = engine->DataSize();
      tensor.reset(gst_buffer_new_allocate(nullptr, size, nullptr));
      ov::BufferMap map(tensor.get(), GST_MAP_WRITE);
      if (tensor && map.ok())
        std::memcpy(map.data(), data, size);
      else
        tensor.reset();
    }
  }
  switch (fed) {
    case ovrt::FeedResult::UpdateFailed:
      GST_DEBUG_OBJECT(self, "Update TensorRT input data failed");
      GST_ELEMENT_ERROR(self, LIBRARY, SETTINGS, ("Cannot convert a frame into the network input."),
                        ("engine file %s wants 3-channel %dx%d images; property \"mean\" is "
                         "\"%s\" (three numbers needed), property \"scale\" is %g",
                         settings.model.c_str(), width, height, settings.mean.c_str(),
                         double(settings.scale)));
      return GST_FLOW_ERROR;
    case ovrt::FeedResult::InferFailed:
      GST_DEBUG_OBJECT(self, "Update TensorTSRT input data failed");
      GST_ELEMENT_ERROR(self, LIBRARY, FAILED, ("The engine refused to run."),
                        ("engine file %s refused batch %d (property \"batch\"): above the "
                         "engine's maximum batch, or the engine has not exactly one input",
                         settings.model.c_str(), limit));
      return GST_FLOW_ERROR;
    case ovrt::FeedResult::Ok:
      break;
  }
  if (!tensor) {
    GST_ELEMENT_ERROR(self, RESOURCE, NO_SPACE_LEFT, ("Cannot allocate the output tensor."),
                      ("a tensor buffer of %" G_GUINT64_FORMAT " bytes", size));
    return GST_FLOW_ERROR;
  }

  frames.clear();  // views into the buffer's memory, which now passes on
  gst_buffer_list_add(list.get(), buffer.release());
  gst_buffer_list_add(list.get(), tensor.release());
  return gst_pad_push_list(self->srcpad, list.release());
}

/* Tells downstream the new engine's input size and output shapes (a sticky
 * event, so that elements linked later still see it). */
void announce_shapes(OvTSRT *self) {
  ov::TensorShapes shapes;
  const BaseEngine *engine = self->engine.get();
  if (!ovrt::input_size(*engine, shapes.input_width, shapes.input_height))
    return;  // the first buffer posts the error
  shapes.batch = int(engine->inputDims[0]);
  shapes.outputs = engine->outputShapes;
  if (engine->outputNames.size() == engine->outputShapes.size())
    shapes.names = engine->outputNames;
  GST_DEBUG_OBJECT(self, "engine input %dx%d batch %d, outputs %s", shapes.input_width,
                   shapes.input_height, shapes.batch,
                   ov::tensor_shapes_text(shapes.outputs).c_str());
  if (!gst_pad_push_event(self->srcpad, ov::tensor_shapes_event(shapes)))
    GST_DEBUG_OBJECT(self, "downstream did not take the tensor shapes");
}

/* Posts the error of an engine that could not be made or loaded. */
void post_load_error(OvTSRT *self, const std::string &model, bool made) {
  if (model.empty()) {
    GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("No engine file given."),
                      ("property \"model\" is empty"));
  } else if (!g_file_test(model.c_str(), G_FILE_TEST_EXISTS)) {
    GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("Engine file \"%s\" not found.", model.c_str()),
                      ("property \"model\": %s does not exist", model.c_str()));
  } else if (!made) {
    GST_ELEMENT_ERROR(self, LIBRARY, INIT, ("Cannot create the inference engine."),
                      ("engine for %s", model.c_str()));
  } else {
    GST_ELEMENT_ERROR(self, RESOURCE, READ, ("Cannot load engine file \"%s\".", model.c_str()),
                      ("property \"model\": %s is not an engine this runtime can load (see the "
                       "runtime's messages on standard error)", model.c_str()));
  }
}

}  // namespace

static GstFlowReturn ov_TSRT_chain(GstPad *pad, GstObject *parent, GstBuffer *buf) {
  OvTSRT *self = OV_TSRT(parent);
  ov::BufferPtr buffer(buf);
  const gsize buffer_size = gst_buffer_get_size(buf);
  try {
    ovrt::EngineSettings settings;
    gboolean norm = FALSE;
    {
      ov::RecMutexLock guard(&self->lock);
      settings.batch = self->batch;
      settings.model = self->model ? self->model : "";
      settings.scale = self->scale;
      settings.mean = self->mean ? self->mean : "";
      settings.device = self->device;
      settings.rgb = self->channel_order == OV_CHANNEL_ORDER_RGB;
      norm = self->norm;
    }
    if (norm && !self->norm_warned) {
      self->norm_warned = TRUE;
      GST_ELEMENT_WARNING(self, LIBRARY, SETTINGS, ("Property \"norm\" has no effect."),
                          ("inputs are (pixel - mean) * scale: set \"scale\" and \"mean\" "
                           "(for inputs in [0,1]: scale=0.0039215686 mean=\"0 0 0\")"));
    }
    if (!self->engine.attempted())
      GST_DEBUG_OBJECT(self, "Try to init TensorTSRT engine");
    bool created = false;
    switch (self->engine.ensure(settings, created)) {
      case ovrt::EngineSlot::State::MakeFailed:
        GST_ERROR_OBJECT(self, "Make TensorTSRT engine failed");
        post_load_error(self, settings.model, false);
        return GST_FLOW_ERROR;
      case ovrt::EngineSlot::State::LoadFailed:
        GST_ERROR_OBJECT(self, "Load TensorTSRT engine failed");
        post_load_error(self, settings.model, true);
        return GST_FLOW_ERROR;
      case ovrt::EngineSlot::State::Ready:
        break;
    }
    if (created)
      announce_shapes(self);
    return infer_and_push(self, std::move(buffer), settings);
  } catch (const std::bad_alloc &) {
    GST_ERROR_OBJECT(self, "inference failed: out of memory");
    GST_ELEMENT_ERROR(self, RESOURCE, NO_SPACE_LEFT, ("Out of memory."),
                      ("while inferring a buffer of %" G_GSIZE_FORMAT " bytes", buffer_size));
  } catch (const std::exception &e) {
    GST_ERROR_OBJECT(self, "inference failed: %s", e.what());
    GST_ELEMENT_ERROR(self, LIBRARY, FAILED, ("Inference failed."), ("%s", e.what()));
  } catch (...) {
    GST_ERROR_OBJECT(self, "inference failed");
    GST_ELEMENT_ERROR(self, LIBRARY, FAILED, ("Inference failed."), ("unknown exception"));
  }
  return GST_FLOW_ERROR;
}

static const ov::Property kProperties[] = {
    ov::field<&OvTSRT::norm>(PROP_NORM),     ov::field<&OvTSRT::model>(PROP_MODEL),
    ov::field<&OvTSRT::device>(PROP_DEVICE), ov::field<&OvTSRT::batch>(PROP_BATCH),
    ov::field<&OvTSRT::scale>(PROP_SCALE),   ov::field<&OvTSRT::mean>(PROP_MEAN),
    ov::field<&OvTSRT::channel_order>(PROP_CHANNEL_ORDER),
};

static void ov_TSRT_set_property(GObject *object, guint prop_id, const GValue *value,
                                 GParamSpec *pspec) {
  ov::RecMutexLock guard(&OV_TSRT(object)->lock);
  ov::set_property(kProperties, object, prop_id, value, pspec);
}

static void ov_TSRT_get_property(GObject *object, guint prop_id, GValue *value,
                                 GParamSpec *pspec) {
  ov::RecMutexLock guard(&OV_TSRT(object)->lock);
  ov::get_property(kProperties, object, prop_id, value, pspec);
}

static void ov_TSRT_finalize(GObject *object) {
  OvTSRT *self = OV_TSRT(object);
  self->engine.~EngineSlot();
  self->resized.~Mat();
  self->swapped.~Mat();
  g_free(self->model);
  g_free(self->mean);
  g_rec_mutex_clear(&self->lock);
  G_OBJECT_CLASS(ov_TSRT_parent_class)->finalize(object);
}

/* A stopped element lets its engine go: the next start reads the model file
 * again, so a file replaced while the pipeline was stopped is the one run
 * (or refused) and a load that failed is tried again. */
static GstStateChangeReturn ov_TSRT_change_state(GstElement *element, GstStateChange transition) {
  OvTSRT *self = OV_TSRT(element);
  const GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(ov_TSRT_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    ov::RecMutexLock guard(&self->lock);
    self->engine.reset();
    self->batch_warned = FALSE;  // the next engine warns afresh
    self->frames_warned = FALSE;
    self->norm_warned = FALSE;
  }
  return ret;
}

static void ov_TSRT_class_init(OvTSRTClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  gobject_class->set_property = ov_TSRT_set_property;
  gobject_class->get_property = ov_TSRT_get_property;
  gobject_class->finalize = ov_TSRT_finalize;
  element_class->change_state = GST_DEBUG_FUNCPTR(ov_TSRT_change_state);

  const GParamFlags rw = GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  g_object_class_install_property(
      gobject_class, PROP_NORM,
      g_param_spec_boolean("norm", "Norm", "Whether to normalized image", DEFAULT_NORM, rw));
  g_object_class_install_property(
      gobject_class, PROP_MODEL,
      g_param_spec_string("model", "Model_Name", "Deep learning model_name", DEFAULT_MODEL,
                          GParamFlags(rw | GST_PARAM_CONTROLLABLE)));
  g_object_class_install_property(
      gobject_class, PROP_DEVICE,
      g_param_spec_int("device", "Device", "NVIDIA GPU Device, Default is Auto assign", -1, 255,
                       DEFAULT_DEVICE, rw));
  g_object_class_install_property(
      gobject_class, PROP_BATCH,
      g_param_spec_int("batch", "Batch", "Batch size", 1, 128, DEFAULT_BATCH, rw));
  g_object_class_install_property(
      gobject_class, PROP_SCALE,
      g_param_spec_float("scale", "Scale", "Rescale", 0.0f, 1.0f, DEFAULT_SCALE, rw));
  g_object_class_install_property(
      gobject_class, PROP_MEAN,
      g_param_spec_string("mean", "Mean", "Mean vector in form {x y z} ", DEFAULT_MEAN, rw));
  g_object_class_install_property(
      gobject_class, PROP_CHANNEL_ORDER,
      g_param_spec_enum("channel-order", "Channel order",
                        "Channel order the network was trained on: frames arrive as BGR and "
                        "are swapped for an RGB network (\"mean\" is in the network's order)",
                        ov_channel_order_get_type(), DEFAULT_CHANNEL_ORDER, rw));

  gst_element_class_set_static_metadata(element_class, "ovTSRT element", "Video/AI",
                                        "orvane TensorTSRT inference", "Orvane");
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);

  GST_DEBUG_CATEGORY_INIT(ov_TSRT_debug, "ovTSRT", 0, "debug category for orvane TensorTSRT inference");
}

static void ov_TSRT_init(OvTSRT *self) {
  g_rec_mutex_init(&self->lock);
  new (&self->resized) cv::Mat();
  new (&self->swapped) cv::Mat();
  new (&self->engine) ovrt::EngineSlot(make_engine);

  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, GST_DEBUG_FUNCPTR(ov_TSRT_chain));
  GST_PAD_SET_PROXY_CAPS(self->sinkpad);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);

  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  GST_PAD_SET_PROXY_CAPS(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);

  self->norm = DEFAULT_NORM;
  self->model = g_strdup(DEFAULT_MODEL);
  self->batch = DEFAULT_BATCH;
  self->device = DEFAULT_DEVICE;
  self->scale = DEFAULT_SCALE;
  self->mean = g_strdup(INSTANCE_MEAN);
  self->channel_order = DEFAULT_CHANNEL_ORDER;
}

gboolean ov_TSRT_plugin_init(GstPlugin *plugin) {
  return gst_element_register(plugin, "ovTSRT", GST_RANK_NONE, OV_TYPE_TSRT);
}
