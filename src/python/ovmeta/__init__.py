"""Read and write the inference results a GStreamer buffer carries.

Every buffer that passed the analytics elements carries a batch record: the
source devices, the frames stacked top to bottom in the batch image, and each
frame's classifications, detection boxes and segmentation map.  This module
reads that record into plain Python objects, adds results to it, and shows the
frames of the batch image as numpy arrays.  Call ``Gst.init()`` first.

    import gi
    gi.require_version("Gst", "1.0")
    from gi.repository import Gst
    import ovmeta

    Gst.init(None)
    batch = ovmeta.read_batch(sample.get_buffer())
    for frame in batch.frames:
        print(frame.frame_id, frame.width, frame.height, frame.boxes)

Reading works on any buffer.  Results are only added to a writable buffer
(one this script alone holds, such as a copy it made): a buffer others also
hold is refused with SharedBufferError, since its record is theirs too.  A
buffer seen in an ordinary PyGObject pad probe is always shared (the Python
wrapper holds a second reference); add_writable_probe() installs a probe that
makes the buffer writable in flight, as GStreamer elements do, and hands it to
the callback.

Wherever a buffer is asked for, a Gst.Buffer or the ProbeBuffer of a probe
callback will do; pads are Gst.Pad objects.  Box corners are fractions (0..1)
of the frame's own width and height.
"""
from __future__ import annotations

import contextlib
import ctypes
import dataclasses
import sys
import threading
import traceback
from typing import Callable, Iterable, Iterator, Optional, Union

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstVideo", "1.0")
from gi.repository import GLib, Gst, GstVideo  # noqa: E402

import numpy as np  # noqa: E402

from . import _native  # noqa: E402

__all__ = [
    "Batch", "Box", "Classification", "Device", "Frame", "MetadataError", "ProbeBuffer",
    "Segmentation", "SharedBufferError", "add_boxes", "add_classification",
    "add_writable_probe", "frame_count", "library_path", "map_frames", "read_batch",
    "remove_probe",
]

library_path: str = _native.LIBRARY_PATH
"""The metadata library this package calls (installed beside it)."""


class MetadataError(RuntimeError):
    """A batch record could not be read or changed as asked."""


class SharedBufferError(MetadataError):
    """The buffer is shared (not writable): changing it would change what others see."""


@dataclasses.dataclass(frozen=True)
class Device:
    """One source device (camera) of a batch."""
    stream_id: str = ""
    mac_address: str = ""
    ip_address: str = ""
    port: int = 0
    uri: str = ""
    manufacturer: str = ""
    model: str = ""
    serial: str = ""
    fw_version: str = ""
    dev_id: str = ""
    status: str = ""
    kind: str = ""
    protocol: str = ""


@dataclasses.dataclass(frozen=True)
class Classification:
    """One classification of a frame: class `index` with its `label` and probability."""
    index: int = 0
    label: str = ""
    prob: float = 0.0
    output: str = ""


@dataclasses.dataclass(frozen=True)
class Box:
    """One detection box; corners are fractions of the frame's width and height."""
    x1: float = 0.0
    y1: float = 0.0
    x2: float = 0.0
    y2: float = 0.0
    prob: float = 0.0
    obj_id: int = 0
    obj_label: str = ""
    class_id: int = 0
    class_label: str = ""
    meta: str = ""


@dataclasses.dataclass(frozen=True, eq=False)
class Segmentation:
    """A frame's segmentation map.

    `label_ids` is a (rows, cols) int32 array of class ids, row by row over the
    frame (cells of rows shorter than the longest read -1); `labels` maps each
    id that occurs to its label text.
    """
    label_ids: np.ndarray
    labels: dict[int, str]

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, Segmentation) and self.labels == other.labels
                and np.array_equal(self.label_ids, other.label_ids))


@dataclasses.dataclass(frozen=True)
class Frame:
    """One frame of a batch and its results.

    `index` is the frame's position in the batch (and in the batch image, top
    to bottom); `frame_id` its number in its stream; `stream_id` the stream it
    came from; `device` its source device (None when the record has none).
    """
    index: int
    frame_id: int
    stream_id: str
    width: int
    height: int
    channels: int
    depth: int
    timestamp: int
    compressed: bool
    device_index: int
    device: Optional[Device]
    classifications: list[Classification]
    boxes: list[Box]
    segmentation: Optional[Segmentation]

    @property
    def size(self) -> tuple[int, int]:
        """(width, height) in pixels."""
        return (self.width, self.height)


@dataclasses.dataclass(frozen=True)
class Batch:
    """A buffer's batch record; empty lists for a buffer without one."""
    devices: list[Device]
    frames: list[Frame]


class ProbeBuffer:
    """The buffer in flight in an add_writable_probe() callback.

    Writable (unless the probe could not make it so): the add_* functions
    change it and map_frames(..., write=True) draws into it.  Valid only until
    the callback returns; using it later raises MetadataError.
    """

    def __init__(self, address: int, pad: Gst.Pad) -> None:
        self._address: Optional[int] = address
        self.pad: Gst.Pad = pad
        """The pad the probe is on (its caps describe the frames)."""

    @property
    def writable(self) -> bool:
        """Whether results can be added to the buffer."""
        return bool(_native.gst.gst_mini_object_is_writable(self.address))

    @property
    def address(self) -> int:
        """The GstBuffer pointer, for C code of your own."""
        if self._address is None:
            raise MetadataError("a ProbeBuffer is only valid inside its probe callback")
        return self._address

    def _expire(self) -> None:
        self._address = None

    def __repr__(self) -> str:
        state = "expired" if self._address is None else hex(self._address)
        return "<ovmeta.ProbeBuffer %s on %s>" % (state, self.pad.get_name())


BufferLike = Union[Gst.Buffer, ProbeBuffer]


def _buffer_address(buffer: BufferLike) -> int:
    if isinstance(buffer, ProbeBuffer):
        return buffer.address
    if not isinstance(buffer, Gst.Buffer):
        raise TypeError("expected a Gst.Buffer or an ovmeta.ProbeBuffer, not %s"
                        % type(buffer).__name__)
    # PyGObject hashes a boxed value by its pointer; checked against the type
    # word of the mini object so that a change there cannot go unnoticed.
    address = hash(buffer)
    if not _native.is_buffer_address(address):
        raise MetadataError("cannot find the GstBuffer behind this Gst.Buffer (PyGObject %s)"
                            % gi.__version__)
    return address


def _pad_address(pad: Gst.Pad) -> int:
    if not isinstance(pad, Gst.Pad):
        raise TypeError("expected a Gst.Pad, not %s" % type(pad).__name__)
    return _native.capsule_pointer(pad.__gpointer__)


def _require_writable(address: int, what: str) -> None:
    if not _native.gst.gst_mini_object_is_writable(address):
        raise SharedBufferError(
            "cannot %s: the buffer is shared (not writable), so its record is also seen by the "
            "other holders. Add results to a buffer this script alone holds: a copy "
            "(buffer.copy()) it then pushes, or the buffer of an ovmeta.add_writable_probe() "
            "callback" % what)


def _frame_index(frame: int) -> int:
    if not isinstance(frame, int) or isinstance(frame, bool) or frame < 0:
        raise ValueError("frame must be an index >= 0, not %r" % (frame,))
    return frame


def frame_count(buffer: BufferLike) -> int:
    """Number of frames in the buffer's batch record (0 without a record)."""
    return int(_native.meta.gst_metadata_frames(_buffer_address(buffer)))


def _fetch(getter, free, convert, address: int, *args) -> list:
    """Calls a getter that returns a new array and its count; converts each
    element with `convert` and releases the array."""
    count = ctypes.c_uint(0)
    array = getter(address, *args, ctypes.byref(count))
    try:
        return [convert(array[i]) for i in range(count.value)]
    finally:
        free(array, count.value)


def _classifications(address: int, frame: int) -> list[Classification]:
    lib = _native.meta
    return _fetch(lib.gst_metadata_get_classification, lib.gst_metadata_free_classification,
                  lambda c: Classification(index=c.index, label=_native.text(c.label),
                                           prob=float(c.prob), output=_native.text(c.output)),
                  address, frame)


def _boxes(address: int, frame: int) -> list[Box]:
    lib = _native.meta
    return _fetch(lib.gst_metadata_get_detection_box, lib.gst_metadata_free_detection_box,
                  lambda b: Box(x1=float(b.x1), y1=float(b.y1), x2=float(b.x2),
                                y2=float(b.y2), prob=float(b.prob), obj_id=b.obj_id,
                                obj_label=_native.text(b.obj_label), class_id=b.class_id,
                                class_label=_native.text(b.class_label),
                                meta=_native.text(b.meta)),
                  address, frame)


def _segmentation(address: int, frame: int) -> Optional[Segmentation]:
    lib = _native.meta
    rows, cols = ctypes.c_uint(0), ctypes.c_uint(0)
    ids = lib.gst_metadata_get_segmentation(address, frame, ctypes.byref(rows),
                                            ctypes.byref(cols))
    if not ids:
        return None
    try:
        grid = np.ctypeslib.as_array(ids, shape=(rows.value, cols.value)).copy()
    finally:
        lib.gst_metadata_free_segmentation(ids)
    pairs = _fetch(lib.gst_metadata_get_segmentation_labels,
                   lib.gst_metadata_free_segmentation_labels,
                   lambda item: (int(item.label_id), _native.text(item.label)), address, frame)
    labels = dict(pairs)
    return Segmentation(label_ids=grid, labels=labels)


def _frame_infos(address: int) -> list[dict]:
    """Each frame's own fields (those of Frame but its position, device and results)."""
    lib = _native.meta
    return _fetch(lib.gst_metadata_get_frame_info, lib.gst_metadata_free_frame_info,
                  lambda f: dict(frame_id=int(f.frame_id), stream_id=_native.text(f.stream_id),
                                 width=int(f.width), height=int(f.height),
                                 channels=int(f.channels), depth=int(f.depth),
                                 timestamp=int(f.timestamp), compressed=bool(f.is_compress),
                                 device_index=int(f.device_idx)),
                  address)


def read_batch(buffer: BufferLike) -> Batch:
    """The buffer's batch record as plain Python objects (a copy: later changes
    to the buffer do not show in it)."""
    address = _buffer_address(buffer)
    lib = _native.meta
    devices = _fetch(lib.gst_metadata_get_devices, lib.gst_metadata_free_devices,
                     lambda d: Device(port=int(d.port), **{
                         f: _native.text(getattr(d, f)) for f in _native.DEVICE_TEXT_FIELDS}),
                     address)

    infos = _frame_infos(address)
    frames = []
    for i, f in enumerate(infos):
        dev = f["device_index"]
        frames.append(Frame(index=i, **f, device=devices[dev] if dev < len(devices) else None,
                            classifications=_classifications(address, i),
                            boxes=_boxes(address, i),
                            segmentation=_segmentation(address, i)))
    return Batch(devices=devices, frames=frames)


def _encoded(value: str, field: str) -> bytes:
    if not isinstance(value, str):
        raise TypeError("%s must be a str, not %s" % (field, type(value).__name__))
    data = value.encode("utf-8")
    if b"\0" in data:
        raise ValueError("%s must not contain NUL characters" % field)
    return data


def _attached(ok: int, what: str, frame: int) -> None:
    if not ok:
        raise MetadataError(
            "could not add %s to frame %d: the pad must have video caps (they describe the "
            "frames the record lacks) and the frame index must stay below 4096; "
            "GST_DEBUG=ovmeta:3 shows the library's reason" % (what, frame))


def add_classification(buffer: BufferLike, pad: Gst.Pad, frame: int,
                       classification: Classification) -> None:
    """Appends one classification to frame `frame` of a writable buffer.

    A buffer without record gets one, and a record with fewer frames gets the
    missing frames, described by `pad`: a device named after the pad and the
    frame size and format of its caps.  Raises SharedBufferError for a shared
    buffer, MetadataError when the record cannot be extended.
    """
    frame = _frame_index(frame)
    address, pad_address = _buffer_address(buffer), _pad_address(pad)
    c = classification
    data = _native.C_ClassificationResult(int(c.index), _encoded(c.output, "output"),
                                          _encoded(c.label, "label"), float(c.prob))
    _require_writable(address, "add a classification")
    _attached(_native.meta.gst_metadata_set_classification(address, pad_address, frame,
                                                           ctypes.byref(data), 1),
              "a classification", frame)


def add_boxes(buffer: BufferLike, pad: Gst.Pad, frame: int, boxes: Iterable[Box]) -> None:
    """Appends detection boxes to frame `frame` of a writable buffer.

    Frames and record are added from `pad` as in add_classification(); an
    empty list changes nothing.  Raises SharedBufferError for a shared buffer.
    """
    frame = _frame_index(frame)
    address, pad_address = _buffer_address(buffer), _pad_address(pad)
    boxes = list(boxes)
    if not boxes:
        return
    array = (_native.C_DetectionBoxResult * len(boxes))()
    for i, b in enumerate(boxes):
        if not isinstance(b, Box):
            raise TypeError("boxes must be ovmeta.Box objects, not %s" % type(b).__name__)
        array[i] = _native.C_DetectionBoxResult(
            int(b.obj_id), _encoded(b.obj_label, "obj_label"), int(b.class_id),
            _encoded(b.class_label, "class_label"), float(b.x1), float(b.y1), float(b.x2),
            float(b.y2), float(b.prob), _encoded(b.meta, "meta"))
    _require_writable(address, "add boxes")
    _attached(_native.meta.gst_metadata_set_detection_box(address, pad_address, frame, array,
                                                          len(boxes)),
              "boxes", frame)


# Pixel formats the frames can be shown in: channels and numpy element type.
_FORMATS = {
    "BGR": (3, "u1"), "RGB": (3, "u1"), "GRAY8": (1, "u1"), "GRAY16_LE": (1, "<u2"),
    "GRAY16_BE": (1, ">u2"),
    **{f: (4, "u1") for f in ("RGBx", "BGRx", "xRGB", "xBGR", "RGBA", "BGRA", "ARGB", "ABGR")},
}


def _image_layout(address: int, caps: Gst.Caps) -> tuple[int, int, int, int, str, int, int]:
    """(width, height, channels, element size, dtype, plane offset, row stride)."""
    info = GstVideo.VideoInfo.new_from_caps(caps)
    if info is None:
        raise MetadataError("not video caps: %s" % caps.to_string())
    name = GstVideo.VideoFormat.to_string(info.finfo.format)
    if name not in _FORMATS:
        raise MetadataError("frames of format %s cannot be shown as arrays; use one of %s"
                            % (name, ", ".join(sorted(_FORMATS))))
    channels, dtype = _FORMATS[name]
    offset, stride = int(info.offset[0]), int(info.stride[0])
    # A video meta gives the buffer's own layout (padded rows, plane offset).
    vmeta = _native.gst_video.gst_buffer_get_video_meta(address)
    if vmeta and vmeta.contents.width == info.width and vmeta.contents.height == info.height:
        offset, stride = int(vmeta.contents.offset[0]), int(vmeta.contents.stride[0])
    return (info.width, info.height, channels, np.dtype(dtype).itemsize, dtype, offset, stride)


@contextlib.contextmanager
def map_frames(buffer: BufferLike, caps: Union[Gst.Caps, Gst.Pad], write: bool = False
               ) -> Iterator[list[np.ndarray]]:
    """Maps the batch image and yields one numpy view per frame (no copy).

    `caps` describes the batch image: Gst.Caps, or a Gst.Pad whose current
    caps do.  Frame k is rows [offset_k, offset_k + height_k) and columns
    [0, width_k) of the image, offset_k being the heights of the frames above
    it; each view has shape (height, width, channels), or (height, width) for
    one channel.  A buffer without record gives one view of the whole image.

    The views are valid only inside the `with` block (the memory is unmapped
    when it ends).  They are read-only unless `write` is true, which needs a
    writable buffer (SharedBufferError otherwise) and changes its pixels.
    """
    address = _buffer_address(buffer)
    if isinstance(caps, Gst.Pad):
        pad_caps = caps.get_current_caps()
        if pad_caps is None:
            raise MetadataError("pad %s has no caps yet to describe the batch image"
                                % caps.get_name())
        caps = pad_caps
    if not isinstance(caps, Gst.Caps):
        raise TypeError("caps must be a Gst.Caps or a Gst.Pad, not %s" % type(caps).__name__)
    width, height, channels, item, dtype, offset, stride = _image_layout(address, caps)
    if write:
        _require_writable(address, "draw into the frames")

    info = _native.GstMapInfo()
    flags = _native.GST_MAP_READ | (_native.GST_MAP_WRITE if write else 0)
    if not _native.gst.gst_buffer_map(address, ctypes.byref(info), flags):
        raise MetadataError("the buffer's memory cannot be mapped")
    try:
        frames = _frame_infos(address)
        regions = [(0, width, height)] if not frames else []
        top = 0
        for index, f in enumerate(frames):
            w, h = f["width"], f["height"]
            if w > width or top + h > height:
                raise MetadataError(
                    "frame %d (%dx%d at row %d) does not fit the %dx%d batch image of the caps"
                    % (index, w, h, top, width, height))
            regions.append((top, w, h))
            top += h
        if offset + (height - 1) * stride + width * channels * item > info.size:
            raise MetadataError("the buffer holds %d bytes, fewer than a %dx%d image of the caps"
                                % (info.size, width, height))
        memory = (ctypes.c_ubyte * info.size).from_address(info.data)
        views = []
        for top, w, h in regions:
            shape = (h, w, channels) if channels > 1 else (h, w)
            strides = (stride, channels * item, item) if channels > 1 else (stride, item)
            view = np.ndarray(shape, dtype=dtype, buffer=memory, offset=offset + top * stride,
                              strides=strides)
            view.flags.writeable = write
            views.append(view)
        yield views
    finally:
        _native.gst.gst_buffer_unmap(address, ctypes.byref(info))


# Probes added by add_writable_probe: id -> (C callback, pad weak reference).
# The C callback must live as long as the probe; the entry goes when
# GStreamer drops the probe (removed, or its pad finalised).
_probes: dict[int, tuple[object, object]] = {}
_probes_lock = threading.Lock()
_next_key = [1]


@_native.DESTROY_NOTIFY
def _forget_probe(user_data, _probes=_probes, _lock=_probes_lock) -> None:
    # Bound at definition: pads finalised at interpreter exit call this after
    # the module's globals are gone.
    with _lock:
        _probes.pop(int(user_data or 0), None)


# Never released: GStreamer may call it while the interpreter tears the
# module down (pads finalised by the last garbage collection).
ctypes.pythonapi.Py_IncRef(ctypes.py_object(_forget_probe))


def _report_probe_failure(pad: Optional[Gst.Pad], exc: BaseException) -> None:
    """Prints the traceback and posts an error naming it on the pipeline's bus."""
    details = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
    sys.stderr.write(details)
    element = pad.get_parent_element() if pad is not None else None
    if element is None:
        return
    message = "Python probe on %s:%s raised %s: %s" % (
        element.get_name(), pad.get_name(), type(exc).__name__, exc)
    error = GLib.Error.new_literal(Gst.core_error_quark(), message, Gst.CoreError.FAILED)
    element.post_message(Gst.Message.new_error(element, error, details))


ProbeCallback = Callable[[Gst.Pad, ProbeBuffer], Optional[Gst.PadProbeReturn]]


def add_writable_probe(pad: Gst.Pad, callback: ProbeCallback) -> int:
    """Calls `callback(pad, buffer)` for every buffer passing `pad`, with the
    buffer made writable first.

    Like an element, the probe replaces a shared buffer by a writable one (a
    copy only when others hold it) before the callback runs, so the callback
    can add results with add_classification()/add_boxes() and draw with
    map_frames(..., write=True).  The callback runs in the streaming thread;
    it returns None (pass the buffer on) or a Gst.PadProbeReturn such as DROP.
    An exception in it stops the stream with an error on the bus naming it.
    Returns the probe id for remove_probe().
    """
    pad_address = _pad_address(pad)
    if not callable(callback):
        raise TypeError("callback must be callable")
    weak_pad = pad.weak_ref()

    def on_buffer(_pad, info_p, _user):
        info = info_p.contents
        current = weak_pad()
        try:
            if info.data:
                info.data = _native.gst.gst_mini_object_make_writable(info.data)
            handle = ProbeBuffer(int(info.data), current)
            try:
                ret = callback(current, handle)
            finally:
                handle._expire()
            return _native.GST_PAD_PROBE_OK if ret is None else int(ret)
        except BaseException as exc:  # noqa: B902 - nothing may cross into C
            try:
                _report_probe_failure(current, exc)
            except BaseException:  # noqa: B902 - the stream still ends in an error
                pass
            # Handled: the buffer is this probe's to drop, the push returns an error.
            if info.data:
                _native.gst.gst_mini_object_unref(info.data)
                info.data = None
            info.ABI.abi.flow_ret = _native.GST_FLOW_ERROR
            return _native.GST_PAD_PROBE_HANDLED

    c_callback = _native.PROBE_CALLBACK(on_buffer)
    with _probes_lock:
        key = _next_key[0]
        _next_key[0] += 1
        _probes[key] = (c_callback, weak_pad)
    probe_id = _native.gst.gst_pad_add_probe(pad_address, _native.GST_PAD_PROBE_TYPE_BUFFER,
                                             c_callback, key, _forget_probe)
    if not probe_id:
        with _probes_lock:
            _probes.pop(key, None)
        raise MetadataError("GStreamer refused the probe on pad %s" % pad.get_name())
    return int(probe_id)


def remove_probe(pad: Gst.Pad, probe_id: int) -> None:
    """Removes a probe add_writable_probe() added."""
    _native.gst.gst_pad_remove_probe(_pad_address(pad), probe_id)
