#!/usr/bin/python3
"""Writes the bundled networks: small models whose weights are designed, not
trained, so that their answers can be checked on synthetic video.

  colour_classifier.onnx  BGR in [0,1] -> global average pool -> 1x1 conv
                          scoring colour prototypes -> softmax; 1 x C x 1 x 1
                          probabilities
  colour_segmenter.onnx   8x8 average pool -> 1x1 conv -> C score planes
  ball_detector.onnx      YOLOv3 raw-head form for 416x416 input: three heads
                          (13, 26, 52); only anchor 0 of the 13x13 head reacts:
                          one box fitted to each bright ball on black, from the
                          brightness moments of a window around each cell

plus one label file per model.  The networks expect the input scaled to [0,1]
with no mean (the inference element's scale=0.0039215686 mean="0 0 0").

Output is byte-identical on every run.

  /usr/bin/python3 models/generate_models.py OUTPUT_DIR
"""
import math
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 11

# Prototype colours in the network's channel order (B, G, R), values in [0,1].
CLASSIFIER_COLOURS = [
    ("black", (0, 0, 0)),
    ("white", (1, 1, 1)),
    ("red", (0, 0, 1)),
    ("green", (0, 1, 0)),
    ("blue", (1, 0, 0)),
    ("yellow", (0, 1, 1)),
    ("cyan", (1, 1, 0)),
    ("magenta", (1, 0, 1)),
]
SEGMENTER_COLOURS = CLASSIFIER_COLOURS

CLASSIFIER_SIZE = 64      # input width and height
SEGMENTER_SIZE = 128      # 16 x 16 grid of 8 x 8 cells
DETECTOR_SIZE = 416
# The ball detector.  Each 13x13 cell sees a window of this many input pixels
# centred on it: it must hold the whole ball when the centroid lies in the
# cell, so balls up to DETECTOR_WINDOW - 32 pixels across are fitted.
DETECTOR_WINDOW = 192
MIN_BALL_AREA = 100.0     # input pixels of brightness below which nothing is found
MASS_EPSILON = 1e-3       # keeps an empty window's centroid at 0 / eps = 0
LOGIT_EPSILON = 1e-3      # offsets within a cell are kept in [eps, 1 - eps]
OBJECTNESS_GAIN = 1000.0  # objectness logit per pixel of margin inside the cell
CELL_SHIFT = 0.1          # pixels by which each cell's square is moved left and up
# Anchors of the 13x13 head in the TensorRT decoder's mask order.
HEAD13_ANCHORS = [(116, 90), (156, 198), (373, 326)]


def prototype_conv(colours, gain=10.0):
    """1x1 conv weights scoring each prototype p: gain * (2 p.x - |p|^2) + 3 gain.

    The nearest prototype scores highest.  The constant keeps every score
    positive (|x - p|^2 <= 3 for inputs in [0,1]), since translators never
    pick a class whose score is not above zero."""
    n = len(colours)
    w = np.zeros((n, 3, 1, 1), dtype=np.float32)
    b = np.zeros((n,), dtype=np.float32)
    for k, (_, p) in enumerate(colours):
        p = np.asarray(p, dtype=np.float32)
        w[k, :, 0, 0] = gain * 2.0 * p
        b[k] = gain * (3.0 - float(np.dot(p, p)))
    return w, b


def conv_node(name, inp, out, weight_name, bias_name):
    return helper.make_node("Conv", [inp, weight_name, bias_name], [out], name=name,
                            kernel_shape=[1, 1], strides=[1, 1], pads=[0, 0, 0, 0])


def pool_node(name, inp, out, k):
    return helper.make_node("AveragePool", [inp], [out], name=name,
                            kernel_shape=[k, k], strides=[k, k], pads=[0, 0, 0, 0])


def save(graph, path):
    model = helper.make_model(graph, producer_name="ov-models", producer_version="1",
                              opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 6
    onnx.checker.check_model(model)
    with open(path, "wb") as f:
        f.write(model.SerializeToString())


def input_info(size):
    return helper.make_tensor_value_info("data", TensorProto.FLOAT, [1, 3, size, size])


def classifier(path):
    w, b = prototype_conv(CLASSIFIER_COLOURS)
    n = len(CLASSIFIER_COLOURS)
    nodes = [
        helper.make_node("GlobalAveragePool", ["data"], ["pooled"], name="pool"),
        conv_node("score", "pooled", "logits", "score_w", "score_b"),
        helper.make_node("Softmax", ["logits"], ["scores"], name="softmax", axis=1),
    ]
    graph = helper.make_graph(
        nodes, "colour_classifier", [input_info(CLASSIFIER_SIZE)],
        [helper.make_tensor_value_info("scores", TensorProto.FLOAT, [1, n, 1, 1])],
        [numpy_helper.from_array(w, "score_w"), numpy_helper.from_array(b, "score_b")])
    save(graph, path)


def segmenter(path):
    w, b = prototype_conv(SEGMENTER_COLOURS)
    n = len(SEGMENTER_COLOURS)
    side = SEGMENTER_SIZE // 8
    nodes = [
        pool_node("pool", "data", "pooled", 8),
        conv_node("score", "pooled", "planes", "score_w", "score_b"),
    ]
    graph = helper.make_graph(
        nodes, "colour_segmenter", [input_info(SEGMENTER_SIZE)],
        [helper.make_tensor_value_info("planes", TensorProto.FLOAT, [1, n, side, side])],
        [numpy_helper.from_array(w, "score_w"), numpy_helper.from_array(b, "score_b")])
    save(graph, path)


def detector(path):
    """Raw heads with 1 class: per anchor x, y, w, h, objectness, class.

    Only anchor 0 of the 13x13 head reacts.  Every cell looks at a window of
    DETECTOR_WINDOW pixels centred on it and takes the brightness moments of
    what it sees (one strided convolution per moment): mass, centroid and
    second moments relative to the cell's centre.  The centroid gives x and y
    (as the logit of the offset within the cell), the second moments the
    extent (a filled ellipse spans 4 standard deviations on each axis), and
    objectness is positive only in the one cell whose own square holds the
    centroid, so a ball gives exactly one box.  Empty windows are pushed far
    below the threshold by a mass gate.  The other heads sit at -20."""
    entries = 6
    ch = 3 * entries
    inits, nodes = [], []

    def init(name, array):
        inits.append(numpy_helper.from_array(np.asarray(array, dtype=np.float32), name))
        return name

    def affine(name, inp, scale, shift):
        """1x1 conv on a single-channel map: scale * x + shift."""
        init(name + "_w", np.full((1, 1, 1, 1), scale))
        init(name + "_b", np.full((1,), shift))
        nodes.append(conv_node(name, inp, name, name + "_w", name + "_b"))
        return name

    def op(kind, name, *inputs):
        nodes.append(helper.make_node(kind, list(inputs), [name], name=name))
        return name

    # Moments over 2x2-pooled brightness: the window is DETECTOR_WINDOW / 2
    # pooled pixels, one output per 32-pixel cell of the 13x13 head.
    pool = 2
    cell = DETECTOR_SIZE // 13
    k = DETECTOR_WINDOW // pool
    stride = cell // pool
    pad = (k - stride) // 2
    assert (DETECTOR_SIZE // pool + 2 * pad - k) // stride + 1 == 13
    init("bright_w", np.full((1, 3, 1, 1), 1.0 / 3.0))
    init("bright_b", np.zeros((1,)))
    nodes.append(conv_node("bright", "data", "bright", "bright_w", "bright_b"))
    nodes.append(pool_node("det_pool", "bright", "det_pooled", pool))
    # Centre of pooled pixel u of a window, in input pixels from the cell centre.
    rel = pool * np.arange(k, dtype=np.float64) - (pool * k - 1) / 2.0
    ry, rx = np.meshgrid(rel, rel, indexing="ij")
    area = float(pool * pool)         # input pixels per pooled pixel
    kernels = {
        "m0": np.ones_like(rx), "mx": rx, "my": ry, "mxx": rx * rx, "myy": ry * ry,
    }
    for name, kernel in kernels.items():
        init(name + "_w", (area * kernel)[None, None])
        init(name + "_b", np.full((1,), MASS_EPSILON if name == "m0" else 0.0))
        nodes.append(helper.make_node(
            "Conv", ["det_pooled", name + "_w", name + "_b"], [name], name=name,
            kernel_shape=[k, k], strides=[stride, stride], pads=[pad, pad, pad, pad]))

    logits = []
    for axis in ("x", "y"):
        d = op("Div", "d" + axis, "m" + axis, "m0")                 # centroid offset
        mean_sq = op("Div", "e" + axis, "m" + axis * 2, "m0")
        var = op("Sub", "var" + axis, mean_sq, op("Mul", "dd" + axis, d, d))
        # Pooling hides the spread inside a 2x2 block: a variance of 0.25.
        var = affine("varc" + axis, op("Relu", "varr" + axis, var), 1.0, 0.25)
        logvar = op("Log", "logvar" + axis, var)
        # Offset within the cell as a fraction, kept inside [eps, 1 - eps].
        frac = affine("frac" + axis, d, 1.0 / cell, 0.5)
        low = op("Relu", "low" + axis, affine("lowa" + axis, frac, 1.0, -LOGIT_EPSILON))
        gap = op("Relu", "gap" + axis, affine("gapa" + axis, low, -1.0, 1.0 - 2 * LOGIT_EPSILON))
        p = affine("p" + axis, gap, -1.0, 1.0 - LOGIT_EPSILON)
        q = affine("q" + axis, gap, 1.0, LOGIT_EPSILON)
        t = op("Sub", "t" + axis, op("Log", "logp" + axis, p), op("Log", "logq" + axis, q))
        # Each cell's square is moved left and up by CELL_SHIFT: a centroid right
        # on the line between two cells (the ball is drawn at whole pixels, so
        # that happens) then lies inside one of them, not on the edge of both.
        shifted = affine("shift" + axis, d, 1.0, CELL_SHIFT)
        logits.append((t, logvar, op("Abs", "abs" + axis, shifted)))
    (tx, logvx, absx), (ty, logvy, absy) = logits
    # 2 max(|dx|, |dy|) = |dx| + |dy| + ||dx| - |dy||
    twice_max = op("Add", "twice_max", op("Add", "abs_sum", absx, absy),
                   op("Abs", "abs_diff", op("Sub", "abs_sub", absx, absy)))
    short = op("Relu", "short", affine("shorta", "m0", -1.0, MIN_BALL_AREA))
    op("Concat", "features", tx, ty, logvx, logvy, twice_max, short)
    nodes[-1].attribute.append(helper.make_attribute("axis", 1))

    aw, ah = HEAD13_ANCHORS[0]
    w = np.zeros((ch, 6, 1, 1), dtype=np.float32)
    b = np.full((ch,), -20.0, dtype=np.float32)
    w[0, 0], b[0] = 1.0, 0.0                       # x logit
    w[1, 1], b[1] = 1.0, 0.0                       # y logit
    w[2, 2] = 0.5                                  # w = 4 sd: log 4 + log(var) / 2
    b[2] = math.log(4.0 / aw)
    w[3, 3] = 0.5
    b[3] = math.log(4.0 / ah)
    # objectness: G (cell / 2 - max(|dx + s|, |dy + s|)), minus a gate on scant mass
    w[4, 4] = -OBJECTNESS_GAIN / 2.0
    w[4, 5] = -OBJECTNESS_GAIN * cell / MIN_BALL_AREA
    b[4] = OBJECTNESS_GAIN * cell / 2.0
    b[5] = 20.0                                    # the one class, always sure
    init("head13_w", w)
    init("head13_b", b)
    nodes.append(conv_node("head13", "features", "head13", "head13_w", "head13_b"))

    outputs = [helper.make_tensor_value_info("head13", TensorProto.FLOAT, [1, ch, 13, 13])]
    for name, side in (("head26", 26), ("head52", 52)):
        init(name + "_w", np.zeros((ch, 3, 1, 1)))
        init(name + "_b", np.full((ch,), -20.0))
        nodes += [pool_node(name + "_pool", "data", name + "_pooled", DETECTOR_SIZE // side),
                  conv_node(name, name + "_pooled", name, name + "_w", name + "_b")]
        outputs.append(helper.make_tensor_value_info(name, TensorProto.FLOAT, [1, ch, side, side]))
    graph = helper.make_graph(nodes, "ball_detector", [input_info(DETECTOR_SIZE)], outputs, inits)
    save(graph, path)


def write_labels(path, names):
    with open(path, "w", newline="\n") as f:
        f.write("\n".join(names) + "\n")


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    classifier(os.path.join(out, "colour_classifier.onnx"))
    write_labels(os.path.join(out, "colour_classifier.labels"), [c[0] for c in CLASSIFIER_COLOURS])
    segmenter(os.path.join(out, "colour_segmenter.onnx"))
    write_labels(os.path.join(out, "colour_segmenter.labels"), [c[0] for c in SEGMENTER_COLOURS])
    detector(os.path.join(out, "ball_detector.onnx"))
    write_labels(os.path.join(out, "ball_detector.labels"), ["ball"])
    print("models written to %s" % out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
