#!/usr/bin/python3
"""Writes the tiny deterministic ONNX networks the inference tests run.

identity_<H>x<W>.onnx  3xHxW -> "out" (1x1 convolution with identity weights,
                       so the output is the input blob itself)
identity_c2_5x5.onnx   the same for 2x5x5 (identity_416x416 is for the benchmark)
two_outputs.onnx       3x4x4 -> "full" (identity, 3x4x4) and "pooled"
                       (global average pool, 3x1x1)
yolo_heads.onnx        3x608x608 -> three raw YOLO heads of 255 channels at
                       19x19, 38x38 and 76x76 (average pools and a fixed
                       1x1 convolution from a seeded generator)
"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


def conv(name, inp, out, weights, bias=None):
    k = weights.shape[2]
    inits = [numpy_helper.from_array(weights.astype(np.float32), name + "_w")]
    inputs = [inp, name + "_w"]
    if bias is not None:
        inits.append(numpy_helper.from_array(bias.astype(np.float32), name + "_b"))
        inputs.append(name + "_b")
    node = helper.make_node("Conv", inputs, [out], name=name, kernel_shape=[k, k])
    return node, inits


def save(graph, path):
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)])
    model.producer_name = "ov-tests"
    onnx.checker.check_model(model)
    with open(path, "wb") as f:
        f.write(model.SerializeToString())


def identity(h, w, path, c=3):
    wts = np.eye(c, dtype=np.float32).reshape(c, c, 1, 1)
    node, inits = conv("ident", "data", "out", wts)
    g = helper.make_graph(
        [node], "identity",
        [helper.make_tensor_value_info("data", TensorProto.FLOAT, [1, c, h, w])],
        [helper.make_tensor_value_info("out", TensorProto.FLOAT, [1, c, h, w])],
        inits)
    save(g, path)


def two_outputs(path):
    wts = np.eye(3, dtype=np.float32).reshape(3, 3, 1, 1)
    node, inits = conv("ident", "data", "full", wts)
    pool = helper.make_node("GlobalAveragePool", ["full"], ["pooled"], name="pool")
    g = helper.make_graph(
        [node, pool], "two_outputs",
        [helper.make_tensor_value_info("data", TensorProto.FLOAT, [1, 3, 4, 4])],
        [helper.make_tensor_value_info("full", TensorProto.FLOAT, [1, 3, 4, 4]),
         helper.make_tensor_value_info("pooled", TensorProto.FLOAT, [1, 3, 1, 1])],
        inits)
    save(g, path)


def yolo_heads(path):
    nodes, inits, outs = [], [], []
    rng = np.random.RandomState(7)
    for i, k in enumerate([32, 16, 8]):
        pooled = "pool%d" % i
        nodes.append(helper.make_node("AveragePool", ["data"], [pooled], name=pooled,
                                      kernel_shape=[k, k], strides=[k, k]))
        wts = (rng.uniform(-1, 1, size=(255, 3, 1, 1))).astype(np.float32)
        bias = (rng.uniform(-2, 2, size=(255,))).astype(np.float32)
        node, ini = conv("head%d" % i, pooled, "head%d_out" % i, wts, bias)
        nodes.append(node)
        inits += ini
        side = 608 // k
        outs.append(helper.make_tensor_value_info("head%d_out" % i, TensorProto.FLOAT,
                                                  [1, 255, side, side]))
    g = helper.make_graph(
        nodes, "yolo_heads",
        [helper.make_tensor_value_info("data", TensorProto.FLOAT, [1, 3, 608, 608])],
        outs, inits)
    save(g, path)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    identity(8, 8, os.path.join(out, "identity_8x8.onnx"))
    identity(608, 608, os.path.join(out, "identity_608x608.onnx"))
    identity(416, 416, os.path.join(out, "identity_416x416.onnx"))
    identity(5, 5, os.path.join(out, "identity_c2_5x5.onnx"), c=2)
    two_outputs(os.path.join(out, "two_outputs.onnx"))
    yolo_heads(os.path.join(out, "yolo_heads.onnx"))


if __name__ == "__main__":
    main()
