"""ctypes binding of the metadata library's plain C script API.

    import ovmeta
    lib = ovmeta.load("build/common/meta/libgstovmeta.so")
    for box in ovmeta.get_boxes(lib, buffer_ptr, frame_index): ...

`buffer_ptr` is the address of a GstBuffer: `hash(buffer)` for a Gst.Buffer
from PyGObject, or the data pointer a C probe sees.  Arrays the library hands
out are copied into Python objects and released at once with the library's
free functions.
"""
import ctypes
import os

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


def load(path=None):
    """Loads libgstovmeta and declares the signatures of its C API."""
    lib = ctypes.CDLL(path or os.environ.get("OV_META_LIB", DEFAULT_LIB))
    vp, uint = ctypes.c_void_p, ctypes.c_uint
    cls_p, box_p = ctypes.POINTER(C_ClassificationResult), ctypes.POINTER(C_DetectionBoxResult)
    lib.gst_metadata_frames.argtypes = [vp]
    lib.gst_metadata_frames.restype = ctypes.c_int
    lib.gst_metadata_get_classification.argtypes = [vp, uint, ctypes.POINTER(uint)]
    lib.gst_metadata_get_classification.restype = cls_p
    lib.gst_metadata_get_detection_box.argtypes = [vp, uint, ctypes.POINTER(uint)]
    lib.gst_metadata_get_detection_box.restype = box_p
    lib.gst_metadata_set_classification.argtypes = [vp, vp, uint, cls_p, uint]
    lib.gst_metadata_set_classification.restype = ctypes.c_int
    lib.gst_metadata_set_detection_box.argtypes = [vp, vp, uint, box_p, uint]
    lib.gst_metadata_set_detection_box.restype = ctypes.c_int
    lib.gst_metadata_free_classification.argtypes = [cls_p, uint]
    lib.gst_metadata_free_detection_box.argtypes = [box_p, uint]
    return lib


def _text(p):
    return p.decode("utf-8", "replace") if p else ""


def frames(lib, buf):
    return lib.gst_metadata_frames(buf)


def get_classifications(lib, buf, frame):
    """[(index, output, label, prob)] of one frame."""
    count = ctypes.c_uint(0)
    arr = lib.gst_metadata_get_classification(buf, frame, ctypes.byref(count))
    out = [(arr[i].index, _text(arr[i].output), _text(arr[i].label), arr[i].prob)
           for i in range(count.value)]
    lib.gst_metadata_free_classification(arr, count.value)
    return out


def get_boxes(lib, buf, frame):
    """[dict] of one frame's boxes (corners are fractions of the frame)."""
    count = ctypes.c_uint(0)
    arr = lib.gst_metadata_get_detection_box(buf, frame, ctypes.byref(count))
    out = []
    for i in range(count.value):
        b = arr[i]
        out.append({"obj_id": b.obj_id, "obj_label": _text(b.obj_label), "class_id": b.class_id,
                    "class_label": _text(b.class_label), "x1": b.x1, "y1": b.y1, "x2": b.x2,
                    "y2": b.y2, "prob": b.prob, "meta": _text(b.meta)})
    lib.gst_metadata_free_detection_box(arr, count.value)
    return out


def set_classification(lib, buf, pad, frame, index, output, label, prob):
    c = C_ClassificationResult(index, output.encode(), label.encode(), prob)
    return bool(lib.gst_metadata_set_classification(buf, pad, frame, ctypes.byref(c), 1))


def set_boxes(lib, buf, pad, frame, boxes):
    """boxes: iterable of dicts with the keys get_boxes returns."""
    boxes = list(boxes)
    arr = (C_DetectionBoxResult * len(boxes))()
    for i, b in enumerate(boxes):
        arr[i] = C_DetectionBoxResult(b["obj_id"], b["obj_label"].encode(), b["class_id"],
                                      b["class_label"].encode(), b["x1"], b["y1"], b["x2"],
                                      b["y2"], b["prob"], b["meta"].encode())
    return bool(lib.gst_metadata_set_detection_box(buf, pad, frame, arr, len(boxes)))
