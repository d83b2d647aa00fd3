#!/usr/bin/python3
"""Writes deterministic Darknet weights for a cfg (no trained weights are
available here).  Convolutions get He-scaled weights from a fixed seed,
batch-norm statistics of identity, and the layers that feed a [shortcut] or a
[yolo]/[region] layer are scaled down so deep networks stay finite.

With --designed-boxes every weight is 0 and each convolution feeding a [yolo]
layer has biases only: in every cell, anchor 0 of the head's mask is sure
(objectness and class 0 at +20) with x, y, w, h at 0, so the network finds
one box per cell, centred in the cell and exactly the size of that anchor.
Boxes of a known size check that a decoder uses the cfg's anchors and masks.

usage: darknet-weights.py CFG OUT [--seed N] [--truncate BYTES] [--designed-boxes]
"""
import argparse
import sys

import numpy as np


def sections(path):
    out = []
    with open(path) as f:
        for raw in f:
            line = raw.split("#")[0].strip()
            if not line or line.startswith(";"):
                continue
            if line.startswith("["):
                out.append((line[1:-1].strip(), {}))
            else:
                k, v = line.split("=", 1)
                out[-1][1][k.strip()] = v.strip()
    return out


def head_biases(n, yolo):
    """x, y, w, h 0; objectness and class 0 sure for the mask's first anchor."""
    anchors = len(yolo.get("mask", "").split(",")) if yolo.get("mask") else \
        len(yolo["anchors"].split(",")) // 2
    entries = n // anchors
    bias = np.full(n, -20.0, np.float32)
    for k in range(anchors):
        bias[k * entries:k * entries + 4] = 0.0
    bias[4] = 20.0   # objectness of anchor 0
    bias[5] = 20.0   # its class 0
    return bias


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("cfg")
    ap.add_argument("out")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--truncate", type=int, default=None,
                    help="write only this many bytes (a broken file for tests)")
    ap.add_argument("--designed-boxes", action="store_true",
                    help="zero weights; heads give one anchor-sized box per cell")
    a = ap.parse_args()
    secs = sections(a.cfg)
    net = secs[0][1]
    c = int(net.get("channels", 3))
    chans = []
    rng = np.random.RandomState(a.seed)
    chunks = [np.array([0, 2, 0], dtype=np.int32).tobytes(), np.zeros(1, np.int64).tobytes()]
    layers = secs[1:]
    for i, (kind, o) in enumerate(layers):
        nxt = layers[i + 1][0] if i + 1 < len(layers) else ""
        if kind in ("convolutional", "conv"):
            n, k = int(o.get("filters", 1)), int(o.get("size", 1))
            groups = int(o.get("groups", 1))
            bn = int(o.get("batch_normalize", 0))
            fan_in = (c // groups) * k * k
            gain = 0.1 if nxt in ("shortcut", "yolo", "region") else 1.0
            w = rng.normal(0, gain * np.sqrt(1.0 / fan_in), size=n * fan_in).astype(np.float32)
            bias = np.zeros(n, np.float32)
            if a.designed_boxes:
                w[:] = 0.0
                if nxt == "yolo":
                    bias = head_biases(n, layers[i + 1][1])
            chunks.append(bias.tobytes())  # biases
            if bn:
                chunks.append(np.ones(n, np.float32).tobytes())   # scales
                chunks.append(np.zeros(n, np.float32).tobytes())  # rolling mean
                chunks.append(np.ones(n, np.float32).tobytes())   # rolling variance
            chunks.append(w.tobytes())
            c = n
        elif kind == "route":
            idx = [int(x) for x in o["layers"].split(",")]
            c = sum(chans[j if j >= 0 else len(chans) + j] for j in idx)
            c //= int(o.get("groups", 1))
        elif kind in ("maxpool", "upsample", "shortcut", "yolo", "region", "dropout",
                      "avgpool"):
            pass
        else:
            sys.exit("darknet-weights.py: layer [%s] not supported" % kind)
        chans.append(c)
    data = b"".join(chunks)
    if a.truncate is not None:
        data = data[:a.truncate]
    with open(a.out, "wb") as f:
        f.write(data)
    print("%s: %d bytes" % (a.out, len(data)))


if __name__ == "__main__":
    main()
