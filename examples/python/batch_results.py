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

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_LIB = os.path.join(HERE, "..", "..", "build", "common", "meta", "libgstovmeta.so")


class C_ClassificationResult(ctypes.Structure):
    _fields_ = [("index", ctypes.c_int), ("output", ctypes.c_char_p),
                ("label", ctypes.c_char_p), ("prob", ctypes.c_float)]


class C_DetectionBoxResult(ctypes.Structure):
    _fields_ = [("obj_id", ctypes.c_int), ("obj_label", ctypes.c_char_p),
                ("class_id", ctypes.c_int), ("class_label", ctypes.c_char_p),
                ("x1", ctypes.c_float), ("y1", ctypes.c_float),
                ("x2", ctypes.c_float), ("y2", ctypes.c_float),
                ("prob", ctypes.c_float), ("meta", ctypes.c_char_p)]


class GstPadProbeInfo(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("id", ctypes.c_ulong), ("data", ctypes.c_void_p),
                ("offset", ctypes.c_uint64), ("size", ctypes.c_uint)]


PROBE_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p,
                                  ctypes.POINTER(GstPadProbeInfo), ctypes.c_void_p)
GST_PAD_PROBE_TYPE_BUFFER = 1 << 4
GST_PAD_PROBE_OK = 1


def load_libraries(path):
    meta = ctypes.CDLL(path)
    vp, uint = ctypes.c_void_p, ctypes.c_uint
    meta.gst_metadata_frames.argtypes = [vp]
    meta.gst_metadata_frames.restype = ctypes.c_int
    meta.gst_metadata_get_classification.argtypes = [vp, uint, ctypes.POINTER(uint)]
    meta.gst_metadata_get_classification.restype = ctypes.POINTER(C_ClassificationResult)
    meta.gst_metadata_get_detection_box.argtypes = [vp, uint, ctypes.POINTER(uint)]
    meta.gst_metadata_get_detection_box.restype = ctypes.POINTER(C_DetectionBoxResult)
    meta.gst_metadata_set_classification.argtypes = [
        vp, vp, uint, ctypes.POINTER(C_ClassificationResult), uint]
    meta.gst_metadata_set_classification.restype = ctypes.c_int
    meta.gst_metadata_set_detection_box.argtypes = [
        vp, vp, uint, ctypes.POINTER(C_DetectionBoxResult), uint]
    meta.gst_metadata_set_detection_box.restype = ctypes.c_int
    meta.gst_metadata_free_classification.argtypes = [ctypes.POINTER(C_ClassificationResult), uint]
    meta.gst_metadata_free_detection_box.argtypes = [ctypes.POINTER(C_DetectionBoxResult), uint]

    gst = ctypes.CDLL("libgstreamer-1.0.so.0")
    gst.gst_pad_add_probe.argtypes = [vp, ctypes.c_int, PROBE_CALLBACK, vp, vp]
    gst.gst_pad_add_probe.restype = ctypes.c_ulong
    gst.gst_mini_object_is_writable.argtypes = [vp]
    gst.gst_mini_object_is_writable.restype = ctypes.c_int
    gst.gst_mini_object_make_writable.argtypes = [vp]
    gst.gst_mini_object_make_writable.restype = vp
    return meta, gst


def gobject_pointer(obj):
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get(obj.__gpointer__, None)


def expected_results(n):
    """What the probe attaches to buffer n (and what must come back)."""
    colours = ["red", "green", "blue", "yellow"]
    cls = ("colour", colours[n % 4], 0.5 + 0.1 * (n % 4))
    boxes = [(2 * n, "ball", 0, "toy", 0.1, 0.2, 0.3, 0.4, 0.9, ""),
             (2 * n + 1, "person", 1, "human", 0.5, 0.5, 1.0, 1.0, 0.75, "pose")]
    return cls, boxes


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--lib", default=os.environ.get("OV_META_LIB", DEFAULT_LIB),
                    help="path of libgstovmeta.so")
    ap.add_argument("--buffers", type=int, default=4, help="number of frames to run")
    args = ap.parse_args()

    Gst.init(None)
    meta, gst = load_libraries(args.lib)
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
        c = C_ClassificationResult(attached["n"], output.encode(), label.encode(), prob)
        ok = meta.gst_metadata_set_classification(buf, pad_ptr, 0, ctypes.byref(c), 1)
        arr = (C_DetectionBoxResult * len(boxes))()
        for i, b in enumerate(boxes):
            arr[i] = C_DetectionBoxResult(b[0], b[1].encode(), b[2], b[3].encode(), *b[4:9],
                                          b[9].encode())
        ok = meta.gst_metadata_set_detection_box(buf, pad_ptr, 0, arr, len(boxes)) and ok
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
        count = ctypes.c_uint(0)
        cls = meta.gst_metadata_get_classification(buf, 0, ctypes.byref(count))
        got_cls = [(cls[i].output.decode(), cls[i].label.decode(), round(cls[i].prob, 4))
                   for i in range(count.value)]
        for i in range(count.value):
            print("buffer %d frame 0: classification index=%d label=%s output=%s prob=%.2f"
                  % (seen, cls[i].index, cls[i].label.decode(), cls[i].output.decode(),
                     cls[i].prob))
        meta.gst_metadata_free_classification(cls, count.value)
        n_cls += count.value

        boxes = meta.gst_metadata_get_detection_box(buf, 0, ctypes.byref(count))
        got_boxes = []
        for i in range(count.value):
            b = boxes[i]
            got_boxes.append((b.obj_id, b.obj_label.decode(), b.class_id, b.class_label.decode(),
                              *(round(v, 4) for v in (b.x1, b.y1, b.x2, b.y2, b.prob)),
                              b.meta.decode()))
            print("buffer %d frame 0: box obj_id=%d label=%s class=%d/%s (%.2f,%.2f)-(%.2f,%.2f) "
                  "prob=%.2f meta=%r" % (seen, b.obj_id, b.obj_label.decode(), b.class_id,
                                         b.class_label.decode(), b.x1, b.y1, b.x2, b.y2, b.prob,
                                         b.meta.decode()))
        meta.gst_metadata_free_detection_box(boxes, count.value)
        n_box += count.value

        want_boxes_r = [b[:4] + tuple(round(v, 4) for v in b[4:9]) + (b[9],) for b in want_boxes]
        if (frames != 1 or got_cls != [(want_cls[0], want_cls[1], round(want_cls[2], 4))]
                or got_boxes != want_boxes_r):
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
