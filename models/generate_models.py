#!/usr/bin/python3
"""Writes the bundled networks: small models whose weights are designed, not
trained, so that their answers can be checked on synthetic video.

  colour_classifier.onnx  BGR in [0,1] -> global average pool -> 1x1 conv
                          scoring colour prototypes; 1 x C x 1 x 1 scores
  colour_segmenter.onnx   8x8 average pool -> 1x1 conv -> C score planes
  ball_detector.onnx      YOLOv3 raw-head form for 416x416 input: three heads
                          (13, 26, 52); only anchor 0 of the 13x13 head reacts,
                          to bright cells (a white ball on black)

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
BALL_SIZE_PX = 40.0       # box size the detector reports, in input pixels
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
        conv_node("score", "pooled", "scores", "score_w", "score_b"),
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
    """Raw heads with 1 class: per anchor x, y, w, h, objectness, class."""
    entries = 6
    ch = 3 * entries
    inits, nodes, outputs = [], [], []
    for name, side in (("head13", 13), ("head26", 26), ("head52", 52)):
        k = DETECTOR_SIZE // side
        w = np.zeros((ch, 3, 1, 1), dtype=np.float32)
        b = np.full((ch,), -20.0, dtype=np.float32)
        if side == 13:
            aw, ah = HEAD13_ANCHORS[0]
            b[0] = 0.0                                   # x logit: cell centre
            b[1] = 0.0                                   # y logit
            b[2] = math.log(BALL_SIZE_PX / aw)           # w
            b[3] = math.log(BALL_SIZE_PX / ah)           # h
            w[4, :, 0, 0] = 60.0 / 3.0                   # objectness: 60 (mean - 0.5)
            b[4] = -30.0
            b[5] = 20.0                                  # the one class, always sure
        inits += [numpy_helper.from_array(w, name + "_w"), numpy_helper.from_array(b, name + "_b")]
        nodes += [pool_node(name + "_pool", "data", name + "_pooled", k),
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
