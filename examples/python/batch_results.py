#!/usr/bin/python3
"""Attach results to frames from a script and read them back downstream.

A pad probe (registered through ctypes, so it sees the buffer in flight)
attaches one classification and two detection boxes to every frame with the
metadata library's plain C setters; an appsink downstream reads them back with
the getters, prints them and releases the arrays with the matching free
functions.

    /usr/bin/python3 examples/python/batch_results.py [--lib build/common/meta/libgstovmeta.so]
                                                      [--buffers N]

Run it with Debian's Python (python3-gi, python3-gst-1.0). It exits non-zero
when what comes back differs from what was attached.
"""
import argparse
import ctypes
import os
import sys

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ovmeta  # noqa: E402


class GstPadProbeInfo(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("id", ctypes.c_ulong), ("data", ctypes.c_void_p),
                ("offset", ctypes.c_uint64), ("size", ctypes.c_uint)]


PROBE_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p,
                                  ctypes.POINTER(GstPadProbeInfo), ctypes.c_void_p)
GST_PAD_PROBE_TYPE_BUFFER = 1 << 4
GST_PAD_PROBE_OK = 1


def load_gstreamer():
    vp = ctypes.c_void_p
    gst = ctypes.CDLL("libgstreamer-1.0.so.0")
    gst.gst_pad_add_probe.argtypes = [vp, ctypes.c_int, PROBE_CALLBACK, vp, vp]
    gst.gst_pad_add_probe.restype = ctypes.c_ulong
    gst.gst_mini_object_is_writable.argtypes = [vp]
    gst.gst_mini_object_is_writable.restype = ctypes.c_int
    gst.gst_mini_object_make_writable.argtypes = [vp]
    gst.gst_mini_object_make_writable.restype = vp
    return gst


def gobject_pointer(obj):
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get(obj.__gpointer__, None)


BOX_KEYS = ("obj_id", "obj_label", "class_id", "class_label", "x1", "y1", "x2", "y2", "prob",
            "meta")


def expected_results(n):
    """What the probe attaches to buffer n (and what must come back)."""
    colours = ["red", "green", "blue", "yellow"]
    cls = ("colour", colours[n % 4], 0.5 + 0.1 * (n % 4))
    boxes = [dict(zip(BOX_KEYS, (2 * n, "ball", 0, "toy", 0.1, 0.2, 0.3, 0.4, 0.9, ""))),
             dict(zip(BOX_KEYS, (2 * n + 1, "person", 1, "human", 0.5, 0.5, 1.0, 1.0, 0.75,
                                 "pose")))]
    return cls, boxes


def same_results(got_cls, got_boxes, want_cls, want_boxes, n):
    def close(a, b):
        return abs(a - b) < 1e-6 if isinstance(a, float) else a == b
    output, label, prob = want_cls
    if len(got_cls) != 1 or got_cls[0][:3] != (n, output, label) or not close(got_cls[0][3], prob):
        return False
    return len(got_boxes) == len(want_boxes) and all(
        close(g[k], w[k]) for g, w in zip(got_boxes, want_boxes) for k in BOX_KEYS)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--lib", default=os.environ.get("OV_META_LIB", ovmeta.DEFAULT_LIB),
                    help="path of libgstovmeta.so")
    ap.add_argument("--buffers", type=int, default=4, help="number of frames to run")
    args = ap.parse_args()

    Gst.init(None)
    meta, gst = ovmeta.load(args.lib), load_gstreamer()
    pipeline = Gst.parse_launch(
        "videotestsrc num-buffers=%d pattern=ball ! video/x-raw,format=BGR,width=320,height=240 "
        "! identity name=annotate ! appsink name=sink sync=false" % args.buffers)
    src_pad = pipeline.get_by_name("annotate").get_static_pad("src")
    pad_ptr = gobject_pointer(src_pad)
    attached = {"n": 0, "failed": 0}

    def on_buffer(pad, info, _user):
        buf = info.contents.data
        if not gst.gst_mini_object_is_writable(buf):
            buf = gst.gst_mini_object_make_writable(buf)
            info.contents.data = buf
        (output, label, prob), boxes = expected_results(attached["n"])
        ok = ovmeta.set_classification(meta, buf, pad_ptr, 0, attached["n"], output, label, prob)
        ok = ovmeta.set_boxes(meta, buf, pad_ptr, 0, boxes) and ok
        attached["failed"] += 0 if ok else 1
        attached["n"] += 1
        return GST_PAD_PROBE_OK

    callback = PROBE_CALLBACK(on_buffer)  # keep a reference while the pipeline runs
    gst.gst_pad_add_probe(pad_ptr, GST_PAD_PROBE_TYPE_BUFFER, callback, None, None)

    sink = pipeline.get_by_name("sink")
    pipeline.set_state(Gst.State.PLAYING)
    mismatches, seen, n_cls, n_box = 0, 0, 0, 0
    while True:
        sample = sink.emit("try-pull-sample", 5 * Gst.SECOND)
        if sample is None:
            break
        buf = hash(sample.get_buffer())
        frames = meta.gst_metadata_frames(buf)
        want_cls, want_boxes = expected_results(seen)
        got_cls = ovmeta.get_classifications(meta, buf, 0)
        for index, output, label, prob in got_cls:
            print("buffer %d frame 0: classification index=%d label=%s output=%s prob=%.2f"
                  % (seen, index, label, output, prob))
        n_cls += len(got_cls)
        got_boxes = ovmeta.get_boxes(meta, buf, 0)
        for b in got_boxes:
            print("buffer %d frame 0: box obj_id=%d label=%s class=%d/%s (%.2f,%.2f)-(%.2f,%.2f) "
                  "prob=%.2f meta=%r" % (seen, b["obj_id"], b["obj_label"], b["class_id"],
                                         b["class_label"], b["x1"], b["y1"], b["x2"], b["y2"],
                                         b["prob"], b["meta"]))
        n_box += len(got_boxes)

        if frames != 1 or not same_results(got_cls, got_boxes, want_cls, want_boxes, seen):
            print("buffer %d: results differ from what was attached" % seen, file=sys.stderr)
            mismatches += 1
        seen += 1

    bus = pipeline.get_bus()
    err = bus.pop_filtered(Gst.MessageType.ERROR)
    pipeline.set_state(Gst.State.NULL)
    print("summary: %d buffers, %d classifications, %d boxes, %d mismatches"
          % (seen, n_cls, n_box, mismatches))
    if err is not None:
        print("pipeline error: %s" % err.parse_error()[0].message, file=sys.stderr)
        return 1
    if seen != args.buffers or mismatches or attached["failed"]:
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
