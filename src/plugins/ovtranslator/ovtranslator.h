/* ovtranslator: turns the raw tensor beside a batch image into result
 * records on the image's frames. */
#ifndef OV_TRANSLATOR_H
#define OV_TRANSLATOR_H

#include <string>
#include <vector>

#include <gst/gst.h>

#include "ov_tensor_shapes.h"
#include "trans_map.h"

G_BEGIN_DECLS

#define OV_TYPE_TRANSLATOR (ov_translator_get_type())
G_DECLARE_FINAL_TYPE(OvTranslator, ov_translator, OV, TRANSLATOR, GstElement)

/* `lock` guards every field but the pads, which are set once at
 * construction. */
struct _OvTranslator {
  GstElement parent;

  orvane::ai::Topology topology;
  orvane::ai::Engine engine_type;
  gchar *label;
  gchar *dims;
  gint input_width;
  gint input_height;
  std::vector<std::string> labels;
  gboolean labels_missing; /* the label file could not be read */
  guint warned;            /* warnings posted since the last property change */
  gfloat threshold;        /* confidence threshold; < 0: the topology's own */
  gfloat overlap;          /* overlap (IoU) threshold; < 0: the topology's own */
  gchar *anchors;          /* YOLO anchors text; NULL: the built-in ones */
  gchar *masks;            /* YOLO masks text; NULL: the engine type's */
  gboolean softmax;        /* classifier scores are logits */
  ov::TensorShapes shapes; /* the engine's, from ovrt; empty until told */
  guint checks_left;       /* batches still checked for what the tensor holds */

  GstPad *sinkpad;
  GstPad *srcpad;
  GRecMutex lock;
};

gboolean ov_translator_register(GstPlugin *plugin);

G_END_DECLS

/* The dims handed to the translator for `n` tensor floats; logs the
 * warnings and the parsed dims in the element's category. */
std::vector<int> calculate_dims(const int &n, const gchar *dims);

#endif /* OV_TRANSLATOR_H */
