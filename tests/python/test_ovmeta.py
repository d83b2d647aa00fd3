#!/usr/bin/python3
"""The installed ovmeta package, run by run_installed.sh with the package and
the plug-ins of a fresh install prefix (OV_TEST_PREFIX)."""
import inspect
import os
import unittest

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstVideo", "1.0")
from gi.repository import Gst, GstVideo  # noqa: E402

import numpy as np  # noqa: E402

import ovmeta  # noqa: E402

Gst.init(None)
PREFIX = os.path.realpath(os.environ["OV_TEST_PREFIX"])
BGR_320 = "video/x-raw,format=BGR,width=320,height=240"


def pad_with_caps(name, caps):
    """An active, unlinked source pad whose current caps are `caps`."""
    pad = Gst.Pad.new(name, Gst.PadDirection.SRC)
    pad.set_active(True)
    pad.push_event(Gst.Event.new_stream_start(name))
    pad.push_event(Gst.Event.new_caps(Gst.Caps.from_string(caps)))
    assert pad.get_current_caps() is not None
    return pad


def run_to_end(pipeline, seconds=30):
    """Runs the pipeline to EOS or error (bounded); returns the error message or None."""
    pipeline.set_state(Gst.State.PLAYING)
    msg = pipeline.get_bus().timed_pop_filtered(
        seconds * Gst.SECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR)
    pipeline.set_state(Gst.State.NULL)
    if msg is None:
        raise AssertionError("pipeline neither ended nor failed within %d s" % seconds)
    if msg.type == Gst.MessageType.ERROR:
        err, debug = msg.parse_error()
        return err.message + "\n" + (debug or "")
    return None


def pull_all(pipeline, sink_name="sink"):
    """Plays the pipeline and pulls every sample of its appsink (bounded)."""
    sink = pipeline.get_by_name(sink_name)
    pipeline.set_state(Gst.State.PLAYING)
    samples = []
    while True:
        sample = sink.emit("try-pull-sample", 10 * Gst.SECOND)
        if sample is None:
            break
        samples.append(sample)
    error = pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR)
    pipeline.set_state(Gst.State.NULL)
    return samples, error


def test_box(n):
    return ovmeta.Box(x1=0.125, y1=0.25, x2=0.5, y2=0.75, prob=0.875, obj_id=n,
                      obj_label="ball", class_id=3, class_label="toy", meta="m%d" % n)


class Installed(unittest.TestCase):
    def test_package_and_library_come_from_the_prefix(self):
        self.assertTrue(os.path.realpath(ovmeta.__file__).startswith(PREFIX + "/"),
                        ovmeta.__file__)
        lib = os.path.realpath(ovmeta.library_path)
        self.assertTrue(lib.startswith(PREFIX + "/"), lib)
        self.assertTrue(os.path.isfile(lib))
        build = os.environ.get("OV_BUILD_DIR")
        if build:
            self.assertNotIn(os.path.realpath(build), lib)

    def test_every_public_function_and_class_is_documented_and_typed(self):
        for name in ovmeta.__all__:
            obj = getattr(ovmeta, name)
            if name == "library_path":
                continue
            self.assertTrue(inspect.getdoc(obj), "%s has no docstring" % name)
            if inspect.isfunction(obj):
                sig = inspect.signature(obj)
                self.assertIsNot(sig.return_annotation, inspect.Signature.empty, name)
                for p in sig.parameters.values():
                    self.assertIsNot(p.annotation, inspect.Parameter.empty,
                                     "%s(%s) has no type hint" % (name, p.name))
        self.assertIn("add_writable_probe", inspect.getdoc(ovmeta))


class ReadAndWrite(unittest.TestCase):
    def setUp(self):
        self.pad = pad_with_caps("cam3", BGR_320)
        self.buf = Gst.Buffer.new_allocate(None, 320 * 240 * 3, None)

    def test_a_buffer_without_record_reads_empty(self):
        self.assertEqual(ovmeta.frame_count(self.buf), 0)
        self.assertEqual(ovmeta.read_batch(self.buf), ovmeta.Batch(devices=[], frames=[]))

    def test_results_added_to_a_writable_buffer_read_back(self):
        ovmeta.add_boxes(self.buf, self.pad, 1, [test_box(1), test_box(2)])
        ovmeta.add_classification(self.buf, self.pad, 0, ovmeta.Classification(
            index=4, label="red", prob=0.75, output="colour"))
        ovmeta.add_boxes(self.buf, self.pad, 0, [])  # nothing to add, nothing added

        batch = ovmeta.read_batch(self.buf)
        self.assertEqual(ovmeta.frame_count(self.buf), 2)
        self.assertEqual(batch.devices, [ovmeta.Device(stream_id="cam3")])
        self.assertEqual([f.index for f in batch.frames], [0, 1])
        for f in batch.frames:
            self.assertEqual(f.size, (320, 240))
            self.assertEqual(f.channels, 3)
            self.assertEqual(f.device_index, 0)
            self.assertEqual(f.device, batch.devices[0])
            self.assertIsNone(f.segmentation)
        self.assertEqual(batch.frames[0].classifications, [ovmeta.Classification(
            index=4, label="red", prob=0.75, output="colour")])
        self.assertEqual(batch.frames[0].boxes, [])
        self.assertEqual(batch.frames[1].classifications, [])
        # The values are exact in float32, so they come back equal.
        self.assertEqual(batch.frames[1].boxes, [test_box(1), test_box(2)])

    def test_read_batch_is_a_copy(self):
        ovmeta.add_boxes(self.buf, self.pad, 0, [test_box(1)])
        before = ovmeta.read_batch(self.buf)
        ovmeta.add_boxes(self.buf, self.pad, 0, [test_box(2)])
        self.assertEqual(len(before.frames[0].boxes), 1)
        self.assertEqual(len(ovmeta.read_batch(self.buf).frames[0].boxes), 2)

    def test_a_shared_buffer_is_refused_and_its_record_left_alone(self):
        ovmeta.add_boxes(self.buf, self.pad, 0, [test_box(1)])
        before = ovmeta.read_batch(self.buf)
        holder = Gst.Sample.new(self.buf, None, None, None)  # a second reference
        with self.assertRaisesRegex(ovmeta.SharedBufferError, "shared"):
            ovmeta.add_boxes(self.buf, self.pad, 0, [test_box(2)])
        with self.assertRaises(ovmeta.SharedBufferError):
            ovmeta.add_classification(self.buf, self.pad, 3, ovmeta.Classification(label="x"))
        with self.assertRaises(ovmeta.SharedBufferError):
            with ovmeta.map_frames(self.buf, self.pad, write=True):
                pass
        self.assertEqual(ovmeta.read_batch(self.buf), before)
        del holder
        ovmeta.add_boxes(self.buf, self.pad, 0, [test_box(2)])  # sole holder again
        self.assertEqual(len(ovmeta.read_batch(self.buf).frames[0].boxes), 2)

    def test_mistakes_end_in_exceptions_that_say_what_to_change(self):
        with self.assertRaisesRegex(TypeError, "Gst.Buffer"):
            ovmeta.read_batch(b"not a buffer")
        with self.assertRaisesRegex(TypeError, "Gst.Pad"):
            ovmeta.add_boxes(self.buf, "cam3", 0, [test_box(1)])
        with self.assertRaises(ValueError):
            ovmeta.add_boxes(self.buf, self.pad, -1, [test_box(1)])
        with self.assertRaisesRegex(ValueError, "NUL"):
            ovmeta.add_boxes(self.buf, self.pad, 0, [ovmeta.Box(obj_label="a\0b")])
        with self.assertRaisesRegex(TypeError, "Box"):
            ovmeta.add_boxes(self.buf, self.pad, 0, [(0.1, 0.2, 0.3, 0.4)])
        bare = Gst.Pad.new("bare", Gst.PadDirection.SRC)
        with self.assertRaisesRegex(ovmeta.MetadataError, "video caps"):
            ovmeta.add_boxes(self.buf, bare, 0, [test_box(1)])
        with self.assertRaisesRegex(ovmeta.MetadataError, "4096"):
            ovmeta.add_boxes(self.buf, self.pad, 5000, [test_box(1)])
        self.assertEqual(ovmeta.frame_count(self.buf), 0)


class Probes(unittest.TestCase):
    LAUNCH = ("videotestsrc num-buffers=4 ! video/x-raw,format=BGR,width=64,height=48 "
              "! identity name=tag ! appsink name=sink sync=false")

    def test_a_plain_pygobject_probe_sees_a_shared_buffer(self):
        pipeline = Gst.parse_launch(self.LAUNCH)
        pad = pipeline.get_by_name("tag").get_static_pad("src")
        raised = []

        def probe(pad, info):
            try:
                ovmeta.add_boxes(info.get_buffer(), pad, 0, [test_box(0)])
                raised.append(None)
            except Exception as e:  # noqa: BLE001 - recorded and checked below
                raised.append(type(e))
            return Gst.PadProbeReturn.OK

        pad.add_probe(Gst.PadProbeType.BUFFER, probe)
        samples, error = pull_all(pipeline)
        self.assertIsNone(error)
        self.assertEqual(len(samples), 4)
        self.assertEqual(raised, [ovmeta.SharedBufferError] * 4)
        self.assertEqual([ovmeta.frame_count(s.get_buffer()) for s in samples], [0] * 4)

    def test_the_writable_probe_adds_results_in_flight(self):
        pipeline = Gst.parse_launch(self.LAUNCH)
        pad = pipeline.get_by_name("tag").get_static_pad("src")
        seen = []

        def tag(pad, buffer):
            self.assertIsInstance(pad, Gst.Pad)
            seen.append(buffer)
            self.assertTrue(buffer.writable)
            ovmeta.add_boxes(buffer, pad, 0, [test_box(len(seen))])
            with ovmeta.map_frames(buffer, pad, write=True) as images:
                images[0][:] = (10 * len(seen), 20, 30)

        probe_id = ovmeta.add_writable_probe(pad, tag)
        self.assertGreater(probe_id, 0)
        samples, error = pull_all(pipeline)
        self.assertIsNone(error)
        self.assertEqual(len(samples), 4)
        for n, sample in enumerate(samples, start=1):
            frames = ovmeta.read_batch(sample.get_buffer()).frames
            self.assertEqual(len(frames), 1)
            self.assertEqual(frames[0].boxes, [test_box(n)])
            self.assertEqual(frames[0].size, (64, 48))
            self.assertEqual(sample.get_buffer().extract_dup(0, 3), bytes([10 * n, 20, 30]))
        # The buffer handed to the callback is only good inside it.
        with self.assertRaisesRegex(ovmeta.MetadataError, "only valid inside"):
            ovmeta.frame_count(seen[0])

    def test_a_removed_probe_is_not_called(self):
        pipeline = Gst.parse_launch(self.LAUNCH)
        pad = pipeline.get_by_name("tag").get_static_pad("src")
        calls = []
        ovmeta.remove_probe(pad, ovmeta.add_writable_probe(pad, lambda p, b: calls.append(b)))
        samples, _ = pull_all(pipeline)
        self.assertEqual((len(samples), calls), (4, []))

    def test_an_exception_in_the_callback_stops_the_stream_naming_it(self):
        pipeline = Gst.parse_launch(self.LAUNCH.replace("appsink name=sink", "fakesink"))

        def broken(pad, buffer):
            raise ValueError("box out of range")

        ovmeta.add_writable_probe(pipeline.get_by_name("tag").get_static_pad("src"), broken)
        error = run_to_end(pipeline)
        self.assertIsNotNone(error, "the pipeline ended as if nothing had happened")
        self.assertIn("raised ValueError: box out of range", error)
        self.assertIn("tag:src", error)


class FrameViews(unittest.TestCase):
    @staticmethod
    def pattern(rows, row_bytes):
        """Bytes of a batch image, each a function of its position."""
        r, c = np.indices((rows, row_bytes))
        return ((r * 7 + c * 3) % 251).astype(np.uint8)

    def test_each_frame_is_a_view_of_its_rows_of_the_batch_image(self):
        # Batch 320x360 BGR: frame 0 is 320x240, frame 1 is 160x120 below it.
        image = self.pattern(360, 960)
        buf = Gst.Buffer.new_allocate(None, image.nbytes, None)
        buf.fill(0, image.tobytes())
        ovmeta.add_boxes(buf, pad_with_caps("a", BGR_320), 0, [test_box(0)])
        ovmeta.add_boxes(buf, pad_with_caps("b", "video/x-raw,format=BGR,width=160,height=120"),
                         1, [test_box(1)])
        caps = Gst.Caps.from_string("video/x-raw,format=BGR,width=320,height=360")
        with ovmeta.map_frames(buf, caps) as views:
            self.assertEqual([v.shape for v in views], [(240, 320, 3), (120, 160, 3)])
            np.testing.assert_array_equal(views[0].reshape(240, 960), image[0:240])
            np.testing.assert_array_equal(views[1].reshape(120, 480), image[240:360, 0:480])
            with self.assertRaises(ValueError):
                views[1][0, 0] = 0  # read-only without write=True
        with ovmeta.map_frames(buf, caps, write=True) as views:
            views[1][2, 1] = (1, 2, 3)
        at = (240 + 2) * 960 + 1 * 3
        self.assertEqual(buf.extract_dup(at, 3), bytes([1, 2, 3]))
        self.assertEqual(buf.extract_dup(at + 3, 1), bytes([image[242, 6]]))

    def test_the_views_of_a_real_batch_show_each_camera(self):
        # Two plain-coloured cameras of different sizes batched one under the other.
        cam = ("videotestsrc num-buffers=2 pattern=solid-color foreground-color=%s "
               "! video/x-raw,format=BGR,width=%d,height=%d,framerate=30/1 "
               "! ovmetawriter ! b.sink_%d ")
        pipeline = Gst.parse_launch(
            "ovvideobatch name=b ! appsink name=sink sync=false "
            + cam % ("0xff102030", 64, 48, 0) + cam % ("0xffc0b0a0", 32, 16, 1))
        samples, error = pull_all(pipeline)
        self.assertIsNone(error)
        self.assertGreaterEqual(len(samples), 1)
        for sample in samples:
            batch = ovmeta.read_batch(sample.get_buffer())
            self.assertEqual([f.size for f in batch.frames], [(64, 48), (32, 16)])
            with ovmeta.map_frames(sample.get_buffer(), sample.get_caps()) as views:
                self.assertEqual([v.shape for v in views], [(48, 64, 3), (16, 32, 3)])
                # BGR bytes of the ARGB colours.
                self.assertTrue((views[0] == (0x30, 0x20, 0x10)).all())
                self.assertTrue((views[1] == (0xa0, 0xb0, 0xc0)).all())

    def test_padded_rows_and_a_buffer_without_record(self):
        # 322 BGR pixels are 966 bytes; GStreamer pads each row to 968.
        image = self.pattern(10, 968)
        buf = Gst.Buffer.new_allocate(None, image.nbytes, None)
        buf.fill(0, image.tobytes())
        caps = Gst.Caps.from_string("video/x-raw,format=BGR,width=322,height=10")
        with ovmeta.map_frames(buf, caps) as views:
            self.assertEqual(len(views), 1)
            np.testing.assert_array_equal(views[0].reshape(10, 966), image[:, :966])

    def test_a_video_meta_gives_the_layout(self):
        data = bytes(range(100))
        buf = Gst.Buffer.new_allocate(None, len(data), None)
        buf.fill(0, data)
        GstVideo.buffer_add_video_meta_full(buf, GstVideo.VideoFrameFlags.NONE,
                                            GstVideo.VideoFormat.BGR, 4, 3, 1, [8, 0, 0, 0],
                                            [16, 0, 0, 0])
        caps = Gst.Caps.from_string("video/x-raw,format=BGR,width=4,height=3")
        with ovmeta.map_frames(buf, caps) as views:
            self.assertEqual(views[0][:, :, 0].tolist(),
                             [[8, 11, 14, 17], [24, 27, 30, 33], [40, 43, 46, 49]])

    def test_gray16_frames_have_their_byte_order(self):
        buf = Gst.Buffer.new_allocate(None, 8, None)
        buf.fill(0, bytes([1, 2, 3, 4, 5, 6, 7, 8]))
        for fmt, want in (("GRAY16_LE", [[0x0201, 0x0403], [0x0605, 0x0807]]),
                          ("GRAY16_BE", [[0x0102, 0x0304], [0x0506, 0x0708]])):
            caps = Gst.Caps.from_string("video/x-raw,format=%s,width=2,height=2" % fmt)
            with ovmeta.map_frames(buf, caps) as views:
                self.assertEqual(views[0].tolist(), want, fmt)

    def test_layouts_that_cannot_be_shown_are_refused(self):
        buf = Gst.Buffer.new_allocate(None, 320 * 240 * 3, None)
        ovmeta.add_boxes(buf, pad_with_caps("a", BGR_320), 0, [test_box(0)])
        small = Gst.Caps.from_string("video/x-raw,format=BGR,width=160,height=240")
        with self.assertRaisesRegex(ovmeta.MetadataError, "does not fit"):
            with ovmeta.map_frames(buf, small):
                pass
        i420 = Gst.Caps.from_string("video/x-raw,format=I420,width=320,height=240")
        with self.assertRaisesRegex(ovmeta.MetadataError, "I420"):
            with ovmeta.map_frames(buf, i420):
                pass
        tall = Gst.Caps.from_string("video/x-raw,format=BGR,width=320,height=480")
        with self.assertRaisesRegex(ovmeta.MetadataError, "fewer than"):
            with ovmeta.map_frames(buf, tall):
                pass
        with self.assertRaisesRegex(ovmeta.MetadataError, "no caps"):
            with ovmeta.map_frames(buf, Gst.Pad.new("bare", Gst.PadDirection.SRC)):
                pass


class Segmentation(unittest.TestCase):
    def test_the_bundled_segmenter_maps_the_bars(self):
        models = os.path.join(PREFIX, "models")
        labels_file = os.path.join(models, "colour_segmenter.labels")
        if not os.path.exists(os.path.join(models, "colour_segmenter.engine")):
            self.skipTest("the install has no bundled models")
        pipeline = Gst.parse_launch(
            "videotestsrc pattern=smpte num-buffers=1 ! video/x-raw,format=BGR,width=640,height=480"
            " ! ovmetawriter ! ovrt model=%s/colour_segmenter.engine batch=1"
            " scale=0.00392156862745098 mean=\"0 0 0\" ! ovtranslator topology=segment"
            " label=%s dims=1,8,16,16 ! appsink name=sink sync=false" % (models, labels_file))
        samples, error = pull_all(pipeline)
        self.assertIsNone(error)
        self.assertEqual(len(samples), 1)
        buffer = samples[0].get_buffer()
        seg = ovmeta.read_batch(buffer).frames[0].segmentation
        self.assertIsNotNone(seg)
        self.assertEqual(seg.label_ids.shape, (16, 16))
        with open(labels_file) as f:
            names = [line.strip() for line in f if line.strip()]
        for label_id, label in seg.labels.items():
            self.assertEqual(names[label_id], label)
        self.assertEqual(set(np.unique(seg.label_ids)), set(seg.labels))

        # The nearest of the segmenter's prototypes (B, G, R in the label
        # file's order) to the pixel under each cell's centre.
        prototypes = np.array([[0, 0, 0], [1, 1, 1], [0, 0, 1], [0, 1, 0], [1, 0, 0],
                               [0, 1, 1], [1, 1, 0], [1, 0, 1]], dtype=float)
        with ovmeta.map_frames(buffer, samples[0].get_caps()) as views:
            rows = ((np.arange(16) + 0.5) * 480 / 16).astype(int)
            cols = ((np.arange(16) + 0.5) * 640 / 16).astype(int)
            centres = views[0][np.ix_(rows, cols)].astype(float) / 255
        distance = np.linalg.norm(centres[:, :, None, :] - prototypes[None, None], axis=3)
        expected = distance.argmin(axis=2)
        self.assertGreaterEqual((expected == seg.label_ids).mean(), 0.9)


if __name__ == "__main__":
    unittest.main(verbosity=2)
