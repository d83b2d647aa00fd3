/* What the inference element tells the elements after it about the tensor
 * it pushes: the engine's input size and batch, and each output binding's
 * shape (batch first, then the binding's dims), in the order the bindings
 * lie in the tensor buffer.  It travels as a sticky custom downstream event
 * named "ov-tensor-shapes", sent before the first tensor of each engine:
 *
 *   ov-tensor-shapes, input-width=(int)416, input-height=(int)416,
 *       batch=(int)2, outputs=(string)"2x18x13x13;2x18x26x26;2x18x52x52",
 *       names=(string)"head13;head26;head52"
 *
 * Header only: the writer is ovrt, the readers the translator and tests. */
#ifndef OV_TENSOR_SHAPES_H
#define OV_TENSOR_SHAPES_H

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gst/gst.h>

namespace ov {

constexpr const char *kTensorShapesEvent = "ov-tensor-shapes";

struct TensorShapes {
  int input_width = 0;
  int input_height = 0;
  int batch = 0;
  std::vector<std::vector<int64_t>> outputs;
  std::vector<std::string> names; /* empty, or one per output */

  bool empty() const { return outputs.empty(); }
};

/* "2x18x13x13;2x18x26x26" */
inline std::string tensor_shapes_text(const std::vector<std::vector<int64_t>> &outputs) {
  std::string s;
  for (size_t i = 0; i < outputs.size(); ++i) {
    if (i > 0)
      s += ';';
    for (size_t k = 0; k < outputs[i].size(); ++k)
      s += (k > 0 ? "x" : "") + std::to_string(outputs[i][k]);
  }
  return s;
}

/* The inverse of tensor_shapes_text; false for a text it did not write. */
inline bool parse_tensor_shapes(const std::string &text,
                                std::vector<std::vector<int64_t>> &outputs) {
  outputs.clear();
  std::vector<int64_t> shape;
  size_t i = 0;
  while (i <= text.size()) {
    const char *start = text.c_str() + i;
    char *end = nullptr;
    const long long v = std::strtoll(start, &end, 10);
    if (end == start || v < 0)
      return false;
    shape.push_back(int64_t(v));
    i += size_t(end - start);
    if (i == text.size() || text[i] == ';') {
      outputs.push_back(shape);
      shape.clear();
      if (i == text.size())
        return true;
    } else if (text[i] != 'x') {
      return false;
    }
    ++i;
  }
  return false;
}

/* The event for `shapes` (floating reference). */
inline GstEvent *tensor_shapes_event(const TensorShapes &shapes) {
  std::string names;
  for (size_t i = 0; i < shapes.names.size(); ++i)
    names += (i > 0 ? ";" : "") + shapes.names[i];
  GstStructure *s = gst_structure_new(
      kTensorShapesEvent, "input-width", G_TYPE_INT, shapes.input_width, "input-height",
      G_TYPE_INT, shapes.input_height, "batch", G_TYPE_INT, shapes.batch, "outputs",
      G_TYPE_STRING, tensor_shapes_text(shapes.outputs).c_str(), "names", G_TYPE_STRING,
      names.c_str(), nullptr);
  return gst_event_new_custom(GST_EVENT_CUSTOM_DOWNSTREAM_STICKY, s);
}

/* Reads the event; false when it is another event or malformed. */
inline bool tensor_shapes_from_event(GstEvent *event, TensorShapes &shapes) {
  if (event == nullptr || GST_EVENT_TYPE(event) != GST_EVENT_CUSTOM_DOWNSTREAM_STICKY)
    return false;
  const GstStructure *s = gst_event_get_structure(event);
  if (s == nullptr || !gst_structure_has_name(s, kTensorShapesEvent))
    return false;
  TensorShapes out;
  const gchar *outputs = gst_structure_get_string(s, "outputs");
  if (!gst_structure_get_int(s, "input-width", &out.input_width) ||
      !gst_structure_get_int(s, "input-height", &out.input_height) ||
      !gst_structure_get_int(s, "batch", &out.batch) || outputs == nullptr ||
      !parse_tensor_shapes(outputs, out.outputs))
    return false;
  const gchar *names = gst_structure_get_string(s, "names");
  if (names != nullptr && *names != '\0') {
    std::string all(names), name;
    for (char c : all) {
      if (c == ';') {
        out.names.push_back(name);
        name.clear();
      } else {
        name += c;
      }
    }
    out.names.push_back(name);
  }
  shapes = std::move(out);
  return true;
}

}  // namespace ov

#endif /* OV_TENSOR_SHAPES_H */
