#!/usr/bin/python3
"""Attach results to frames from a script and read them back downstream.

A writable-buffer probe adds one classification and two detection boxes to
every frame; an appsink downstream reads the batch record back, prints it and
checks it against what was added.

    /usr/bin/python3 batch_results.py [--buffers N]

Needs the installed `ovmeta` package on the Python path (Debian's python3
with python3-gi, python3-gst-1.0 and python3-numpy).  Exits non-zero when what
comes back differs from what was attached.
"""
import argparse
import sys

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

import ovmeta  # noqa: E402


def expected_results(n):
    """What the probe attaches to buffer n (and what must come back)."""
    colours = ["red", "green", "blue", "yellow"]
    cls = ovmeta.Classification(index=n, output="colour", label=colours[n % 4],
                                prob=0.5 + 0.1 * (n % 4))
    boxes = [ovmeta.Box(obj_id=2 * n, obj_label="ball", class_id=0, class_label="toy",
                        x1=0.1, y1=0.2, x2=0.3, y2=0.4, prob=0.9),
             ovmeta.Box(obj_id=2 * n + 1, obj_label="person", class_id=1, class_label="human",
                        x1=0.5, y1=0.5, x2=1.0, y2=1.0, prob=0.75, meta="pose")]
    return cls, boxes


def close(a, b):
    """Field by field, floats to float32 precision."""
    for x, y in zip(a.__dict__.values(), b.__dict__.values()):
        if isinstance(x, float) and abs(x - y) > 1e-6 or not isinstance(x, float) and x != y:
            return False
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--buffers", type=int, default=4, help="number of frames to run")
    args = ap.parse_args()

    Gst.init(None)
    pipeline = Gst.parse_launch(
        "videotestsrc num-buffers=%d pattern=ball ! video/x-raw,format=BGR,width=320,height=240 "
        "! identity name=annotate ! appsink name=sink sync=false" % args.buffers)
    attached = {"n": 0}

    def annotate(pad, buffer):
        cls, boxes = expected_results(attached["n"])
        ovmeta.add_classification(buffer, pad, 0, cls)
        ovmeta.add_boxes(buffer, pad, 0, boxes)
        attached["n"] += 1

    ovmeta.add_writable_probe(pipeline.get_by_name("annotate").get_static_pad("src"), annotate)

    sink = pipeline.get_by_name("sink")
    pipeline.set_state(Gst.State.PLAYING)
    mismatches, seen, n_cls, n_box = 0, 0, 0, 0
    while True:
        sample = sink.emit("try-pull-sample", 5 * Gst.SECOND)
        if sample is None:
            break
        batch = ovmeta.read_batch(sample.get_buffer())
        want_cls, want_boxes = expected_results(seen)
        ok = len(batch.frames) == 1
        for frame in batch.frames:
            for c in frame.classifications:
                print("buffer %d frame %d: classification index=%d label=%s output=%s prob=%.2f"
                      % (seen, frame.index, c.index, c.label, c.output, c.prob))
            for b in frame.boxes:
                print("buffer %d frame %d: box obj_id=%d label=%s class=%d/%s "
                      "(%.2f,%.2f)-(%.2f,%.2f) prob=%.2f meta=%r"
                      % (seen, frame.index, b.obj_id, b.obj_label, b.class_id, b.class_label,
                         b.x1, b.y1, b.x2, b.y2, b.prob, b.meta))
            n_cls += len(frame.classifications)
            n_box += len(frame.boxes)
            ok = ok and len(frame.classifications) == 1 and close(frame.classifications[0],
                                                                  want_cls)
            ok = ok and len(frame.boxes) == 2 and all(map(close, frame.boxes, want_boxes))
        if not ok:
            print("buffer %d: results differ from what was attached" % seen, file=sys.stderr)
            mismatches += 1
        seen += 1

    err = pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR)
    pipeline.set_state(Gst.State.NULL)
    print("summary: %d buffers, %d classifications, %d boxes, %d mismatches"
          % (seen, n_cls, n_box, mismatches))
    if err is not None:
        print("pipeline error: %s" % err.parse_error()[0].message, file=sys.stderr)
        return 1
    return 0 if seen == args.buffers and not mismatches else 1


if __name__ == "__main__":
    sys.exit(main())
