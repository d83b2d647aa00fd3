"""The C side: the metadata library's plain script functions and the few
GStreamer calls the module makes on raw pointers, declared for ctypes.

Nothing here is public; the package's functions wrap it.
"""
from __future__ import annotations

import ctypes
import os

from . import _location

vp = ctypes.c_void_p
uint = ctypes.c_uint
uint_p = ctypes.POINTER(ctypes.c_uint)


class C_ClassificationResult(ctypes.Structure):
    _fields_ = [("index", ctypes.c_int), ("output", ctypes.c_char_p),
                ("label", ctypes.c_char_p), ("prob", ctypes.c_float)]


class C_DetectionBoxResult(ctypes.Structure):
    _fields_ = [("obj_id", ctypes.c_int), ("obj_label", ctypes.c_char_p),
                ("class_id", ctypes.c_int), ("class_label", ctypes.c_char_p),
                ("x1", ctypes.c_float), ("y1", ctypes.c_float),
                ("x2", ctypes.c_float), ("y2", ctypes.c_float),
                ("prob", ctypes.c_float), ("meta", ctypes.c_char_p)]


DEVICE_TEXT_FIELDS = ("stream_id", "mac_address", "ip_address", "uri", "manufacturer", "model",
                      "serial", "fw_version", "dev_id", "status", "kind", "protocol")


class C_DeviceInfo(ctypes.Structure):
    _fields_ = [("stream_id", ctypes.c_char_p), ("mac_address", ctypes.c_char_p),
                ("ip_address", ctypes.c_char_p), ("port", ctypes.c_uint),
                ("uri", ctypes.c_char_p), ("manufacturer", ctypes.c_char_p),
                ("model", ctypes.c_char_p), ("serial", ctypes.c_char_p),
                ("fw_version", ctypes.c_char_p), ("dev_id", ctypes.c_char_p),
                ("status", ctypes.c_char_p), ("kind", ctypes.c_char_p),
                ("protocol", ctypes.c_char_p)]


class C_VideoFrameInfo(ctypes.Structure):
    _fields_ = [("stream_id", ctypes.c_char_p), ("frame_id", ctypes.c_uint),
                ("timestamp", ctypes.c_int64), ("width", ctypes.c_uint),
                ("height", ctypes.c_uint), ("depth", ctypes.c_uint),
                ("channels", ctypes.c_uint), ("device_idx", ctypes.c_uint),
                ("is_compress", ctypes.c_int)]


class C_SegmentLabel(ctypes.Structure):
    _fields_ = [("label_id", ctypes.c_int), ("label", ctypes.c_char_p)]


class GstMapInfo(ctypes.Structure):
    _fields_ = [("memory", vp), ("flags", ctypes.c_int), ("data", vp),
                ("size", ctypes.c_size_t), ("maxsize", ctypes.c_size_t),
                ("user_data", vp * 4), ("_gst_reserved", vp * 4)]


class GstMeta(ctypes.Structure):
    _fields_ = [("flags", ctypes.c_int), ("info", vp)]


class GstVideoMeta(ctypes.Structure):
    """The public head of GstVideoMeta, up to the plane strides."""
    _fields_ = [("meta", GstMeta), ("buffer", vp), ("flags", ctypes.c_int),
                ("format", ctypes.c_int), ("id", ctypes.c_int), ("width", ctypes.c_uint),
                ("height", ctypes.c_uint), ("n_planes", ctypes.c_uint),
                ("offset", ctypes.c_size_t * 4), ("stride", ctypes.c_int * 4)]


class _AbiFlow(ctypes.Structure):
    _fields_ = [("flow_ret", ctypes.c_int)]


class _Abi(ctypes.Union):
    _fields_ = [("_gst_reserved", vp * 4), ("abi", _AbiFlow)]


class GstPadProbeInfo(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("id", ctypes.c_ulong), ("data", vp),
                ("offset", ctypes.c_uint64), ("size", ctypes.c_uint), ("ABI", _Abi)]


PROBE_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, vp, ctypes.POINTER(GstPadProbeInfo), vp)
DESTROY_NOTIFY = ctypes.CFUNCTYPE(None, vp)

GST_MAP_READ = 1
GST_MAP_WRITE = 2
GST_PAD_PROBE_TYPE_BUFFER = 1 << 4
GST_PAD_PROBE_OK = 1
GST_PAD_PROBE_HANDLED = 4
GST_FLOW_ERROR = -5

LIBRARY_PATH = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                             _location.LIBRARY_FROM_PACKAGE))


def _declare(lib: ctypes.CDLL, name: str, restype, *argtypes) -> None:
    fn = getattr(lib, name)
    fn.restype = restype
    fn.argtypes = list(argtypes)


def _load_meta() -> ctypes.CDLL:
    if not os.path.exists(LIBRARY_PATH):
        raise ImportError("ovmeta: the metadata library is not where this package was installed "
                          "to find it (%s); reinstall with `cmake --install`" % LIBRARY_PATH)
    lib = ctypes.CDLL(LIBRARY_PATH)
    cls_p = ctypes.POINTER(C_ClassificationResult)
    box_p = ctypes.POINTER(C_DetectionBoxResult)
    dev_p = ctypes.POINTER(C_DeviceInfo)
    frame_p = ctypes.POINTER(C_VideoFrameInfo)
    label_p = ctypes.POINTER(C_SegmentLabel)
    ids_p = ctypes.POINTER(ctypes.c_int32)
    _declare(lib, "gst_metadata_frames", ctypes.c_int, vp)
    _declare(lib, "gst_metadata_get_classification", cls_p, vp, uint, uint_p)
    _declare(lib, "gst_metadata_get_detection_box", box_p, vp, uint, uint_p)
    _declare(lib, "gst_metadata_get_devices", dev_p, vp, uint_p)
    _declare(lib, "gst_metadata_get_frame_info", frame_p, vp, uint_p)
    _declare(lib, "gst_metadata_get_segmentation", ids_p, vp, uint, uint_p, uint_p)
    _declare(lib, "gst_metadata_get_segmentation_labels", label_p, vp, uint, uint_p)
    _declare(lib, "gst_metadata_set_classification", ctypes.c_int, vp, vp, uint, cls_p, uint)
    _declare(lib, "gst_metadata_set_detection_box", ctypes.c_int, vp, vp, uint, box_p, uint)
    _declare(lib, "gst_metadata_free_classification", None, cls_p, uint)
    _declare(lib, "gst_metadata_free_detection_box", None, box_p, uint)
    _declare(lib, "gst_metadata_free_devices", None, dev_p, uint)
    _declare(lib, "gst_metadata_free_frame_info", None, frame_p, uint)
    _declare(lib, "gst_metadata_free_segmentation", None, ids_p)
    _declare(lib, "gst_metadata_free_segmentation_labels", None, label_p, uint)
    return lib


def _load_gst() -> ctypes.CDLL:
    gst = ctypes.CDLL("libgstreamer-1.0.so.0")
    _declare(gst, "gst_buffer_get_type", ctypes.c_size_t)
    _declare(gst, "gst_mini_object_is_writable", ctypes.c_int, vp)
    _declare(gst, "gst_mini_object_make_writable", vp, vp)
    _declare(gst, "gst_mini_object_unref", None, vp)
    _declare(gst, "gst_buffer_map", ctypes.c_int, vp, ctypes.POINTER(GstMapInfo), ctypes.c_int)
    _declare(gst, "gst_buffer_unmap", None, vp, ctypes.POINTER(GstMapInfo))
    _declare(gst, "gst_pad_add_probe", ctypes.c_ulong, vp, ctypes.c_int, PROBE_CALLBACK, vp,
             DESTROY_NOTIFY)
    _declare(gst, "gst_pad_remove_probe", None, vp, ctypes.c_ulong)
    return gst


def _load_gst_video() -> ctypes.CDLL:
    video = ctypes.CDLL("libgstvideo-1.0.so.0")
    _declare(video, "gst_buffer_get_video_meta", ctypes.POINTER(GstVideoMeta), vp)
    return video


meta = _load_meta()
gst = _load_gst()
gst_video = _load_gst_video()
BUFFER_GTYPE = gst.gst_buffer_get_type()


def text(p: bytes | None) -> str:
    return p.decode("utf-8", "replace") if p else ""


def capsule_pointer(capsule) -> int:
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = vp
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get(capsule, None) or 0


def is_buffer_address(address: int) -> bool:
    """True when `address` points at a mini object of the buffer type."""
    return bool(address) and ctypes.c_size_t.from_address(address).value == BUFFER_GTYPE
