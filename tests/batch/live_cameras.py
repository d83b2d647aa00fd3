#!/usr/bin/python3
"""Live cameras against the batch element: RTSP cameras on 127.0.0.1 (one
rtsp_camera.py process each, so one can be stopped or killed), each decoded,
converted to BGR and fed to one ovvideobatch pad; an appsink takes the
batches.  Every camera paints its frame number into its pictures, so what
went in and what came out is counted from the pictures themselves.

    live_cameras.py SCENARIO [--check] [--source uridecodebin|ovcamerasrc]

Scenarios (each prints its figures; --check turns the targets into the exit
status):
  stall     two 15 fps cameras; one stopped (SIGSTOP) for 5 s (--stall-seconds): the other's
            frames keep coming out (>= 90 %, batch latency p99 under three
            frame intervals plus 100 ms).
  sync      two 15 fps cameras into a clock-synced sink with QoS and 20 ms
            max-lateness: fewer than 5 % of the frames lost.
  rates     cameras at 15 and 30 fps without a declared rate: frames out =
            frames in per camera, none repeated.
  lost      two cameras; one killed and served again 1 s later: the other
            goes on, the lost one is back within 5 s (needs ovcamerasrc).
  addremove a camera added and removed while PLAYING; the first goes on.
  docline   the gst-launch-1.0 line of ovcamerasrc's opening comment, pointed
            at a camera, plays for 4 s without an error.

Every wait is bounded; the cameras are stopped by their pids.
"""
import argparse
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402
import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
CAMERA = os.path.join(HERE, "..", "common", "rtsp_camera.py")
sys.path.insert(0, os.path.join(HERE, "..", "common"))
from code_picture import read_code  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Camera:
    """One rtsp_camera.py process; `index` is its batch pad."""

    def __init__(self, index, width, height, fps, workdir):
        self.index, self.width, self.height, self.fps = index, width, height, fps
        self.mark = 0x30 + index
        self.port = free_port()
        self.go = os.path.join(workdir, "go")
        open(self.go, "w").close()
        self.proc = None
        self.url = "rtsp://127.0.0.1:%d/cam" % self.port

    def start(self, timeout=30):
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", CAMERA, "--go", self.go, "--frames", "60000", "--mark",
             str(self.mark), "--port", str(self.port), "--width", str(self.width), "--height",
             str(self.height), "--fps", str(self.fps), "--codec", "vp8"],
            stdout=subprocess.PIPE)
        end = time.monotonic() + timeout
        line = b""
        while time.monotonic() < end:
            ready, _, _ = select.select([self.proc.stdout], [], [], 0.5)
            if ready:
                line = self.proc.stdout.readline()
                break
        if not line.startswith(b"url "):
            raise RuntimeError("camera %d did not start serving" % self.index)

    def signal(self, sig):
        if self.proc and self.proc.poll() is None:
            os.kill(self.proc.pid, sig)

    def stop(self):
        if self.proc:
            self.signal(signal.SIGCONT)
            self.signal(signal.SIGKILL)
            self.proc.wait()
            self.proc = None


class Tally:
    """What went into and came out of the batch, per camera, read from the
    pictures: first time each (number, mark) was seen in and out, repeats."""

    def __init__(self, cameras):
        self.cameras = cameras
        self.layout = list(cameras)  # the cameras on the batch pads, in order
        self.lock = threading.Lock()
        self.t_in = [dict() for _ in cameras]
        self.t_out = [dict() for _ in cameras]
        self.repeats = [0] * len(cameras)
        self.last_out = [None] * len(cameras)
        self.batches = []  # arrival times of batches
        self.strangers = 0

    def frame_in(self, cam, picture):
        code = read_code(picture)
        if code and code[1] == self.cameras[cam].mark and code[0] > 0:
            with self.lock:
                self.t_in[cam].setdefault(code, time.monotonic())

    def batch_out(self, image):
        now = time.monotonic()
        with self.lock:
            if image.shape[0] != sum(c.height for c in self.layout):
                return
            y = 0
            self.batches.append(now)
            for c in self.layout:
                cam = c.index
                code = read_code(image[y:y + c.height, :c.width])
                y += c.height
                if not code or code[0] == 0:
                    self.last_out[cam] = None
                    continue
                if code[1] != c.mark:
                    self.strangers += 1
                    continue
                if code == self.last_out[cam]:
                    self.repeats[cam] += 1
                self.last_out[cam] = code
                self.t_out[cam].setdefault(code, now)

    def counts(self, cam, t0=0.0, t1=float("inf")):
        """Frames in (arrived in [t0, t1)) and those of them that came out."""
        with self.lock:
            ins = [n for n, t in self.t_in[cam].items() if t0 <= t < t1]
            out = [n for n in ins if n in self.t_out[cam]]
            lat = sorted(self.t_out[cam][n] - self.t_in[cam][n] for n in out)
        return len(ins), len(out), lat

    def out_after(self, cam, t0):
        with self.lock:
            times = [t for t in self.t_out[cam].values() if t >= t0]
        return min(times) if times else None


def percentile(values, p):
    if not values:
        return float("nan")
    return values[min(len(values) - 1, int(p / 100.0 * len(values)))]


def bgr_array(buf, caps):
    s = caps.get_structure(0)
    w, h = s.get_value("width"), s.get_value("height")
    stride = (w * 3 + 3) // 4 * 4
    ok, info = buf.map(Gst.MapFlags.READ)
    if not ok:
        return None
    try:
        data = np.frombuffer(info.data, dtype=np.uint8, count=stride * h).reshape(h, stride)
        return data[:, :w * 3].reshape(h, w, 3).copy()
    finally:
        buf.unmap(info)


class Run:
    def __init__(self, cameras, source, sink_props="sync=false", batch_props=""):
        self.cameras, self.source = cameras, source
        self.tally = Tally(cameras)
        self.errors = []
        self.messages = []
        self.pipeline = Gst.Pipeline.new("live")
        self.batch = Gst.ElementFactory.make("ovvideobatch", "batch")
        for prop in batch_props.split():
            k, v = prop.split("=", 1)
            Gst.util_set_object_arg(self.batch, k, v)
        self.sink = Gst.parse_launch("appsink name=out max-buffers=4 " + sink_props)
        self.pipeline.add(self.batch)
        self.pipeline.add(self.sink)
        if not self.batch.link(self.sink):
            raise RuntimeError("batch ! appsink failed")
        self.branches = {}
        self.removed = []
        for c in cameras:
            self.add_branch(c)
        self.stop_pull = False
        self.puller = threading.Thread(target=self.pull, daemon=True)

    def add_branch(self, cam):
        bin_ = Gst.Bin.new("camera%d" % cam.index)
        if self.source == "ovcamerasrc":
            src = Gst.ElementFactory.make("ovcamerasrc")
            src.set_property("retry-interval", 500)
        else:
            src = Gst.ElementFactory.make("uridecodebin")
        src.set_property("uri", cam.url)
        rest = Gst.parse_bin_from_description(
            "videoconvert ! video/x-raw,format=BGR ! identity name=tap%d" % cam.index, True)
        bin_.add(src)
        bin_.add(rest)
        bin_.add_pad(Gst.GhostPad.new("src", rest.get_static_pad("src")))

        def pad_added(_src, new_pad, sink=rest.get_static_pad("sink")):
            if not sink.is_linked():
                new_pad.link(sink)

        if src.get_static_pad("src"):
            src.link(rest)
        else:
            src.connect("pad-added", pad_added)
        self.pipeline.add(bin_)
        pad = self.batch.request_pad_simple("sink_%d" % cam.index)
        bin_.get_static_pad("src").link(pad)
        tap = rest.get_by_name("tap%d" % cam.index)

        def probe(p, info, idx=cam.index):
            arr = bgr_array(info.get_buffer(), p.get_current_caps())
            if arr is not None:
                self.tally.frame_in(idx, arr)
            return Gst.PadProbeReturn.OK

        tap.get_static_pad("src").add_probe(Gst.PadProbeType.BUFFER, probe)
        self.branches[cam.index] = (bin_, pad)
        return bin_

    def remove_branch(self, cam):
        bin_, pad = self.branches.pop(cam.index)
        self.removed.append("GstBin:" + bin_.get_name())
        src = bin_.get_static_pad("src")
        src.unlink(pad)
        self.batch.release_request_pad(pad)
        bin_.set_state(Gst.State.NULL)
        self.pipeline.remove(bin_)

    def pull(self):
        while not self.stop_pull:
            sample = self.sink.emit("try-pull-sample", 100 * Gst.MSECOND)
            if sample is None:
                continue
            arr = bgr_array(sample.get_buffer(), sample.get_caps())
            if arr is not None:
                self.tally.batch_out(arr)

    def poll_bus(self, seconds):
        """Handles bus messages for `seconds`."""
        bus = self.pipeline.get_bus()
        end = time.monotonic() + seconds
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return
            msg = bus.timed_pop(int(min(left, 0.1) * Gst.SECOND))
            if msg is None:
                continue
            if msg.type == Gst.MessageType.ERROR:
                err, dbg = msg.parse_error()
                path = msg.src.get_path_string()
                # A removed camera's source may still say its goodbye fails.
                if not any(("/" + name + "/") in path + "/" for name in self.removed):
                    self.errors.append((time.monotonic(), path, err.message))
            elif msg.type == Gst.MessageType.WARNING:
                err, _ = msg.parse_warning()
                self.messages.append((time.monotonic(), "warning", msg.src.get_name(),
                                      err.message))
            elif msg.type == Gst.MessageType.ELEMENT and msg.get_structure():
                self.messages.append((time.monotonic(), "element", msg.src.get_name(),
                                      msg.get_structure().to_string()))

    def wait_for(self, cond, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if cond():
                return True
            self.poll_bus(0.1)
        return cond()

    def start(self):
        self.puller.start()
        if self.pipeline.set_state(Gst.State.PLAYING) == Gst.StateChangeReturn.FAILURE:
            raise RuntimeError("the pipeline does not play")
        # Running: every camera's frames come out.
        if not self.wait_for(lambda: all(self.tally.counts(c.index)[1] >= 10
                                         for c in self.tally.layout), 40):
            raise RuntimeError("the cameras' frames do not come out: %s; errors %s" %
                               ([self.tally.counts(c.index)[:2] for c in self.cameras],
                                self.errors))

    def window(self, seconds):
        """Starts, takes frames for `seconds` (the window it returns) and a
        second more for what is in flight, and stops."""
        self.start()
        t0 = time.monotonic()
        self.poll_bus(seconds)
        t1 = time.monotonic()
        self.poll_bus(1)
        self.stop()
        return t0, t1

    def stop(self):
        self.pipeline.set_state(Gst.State.NULL)
        self.stop_pull = True
        self.puller.join(5)


class Checks:
    def __init__(self):
        self.failed = []

    def expect(self, ok, what):
        print(("  ok    " if ok else "  FAIL  ") + what, flush=True)
        if not ok:
            self.failed.append(what)


def settled_run(args, cams):
    """A started run two seconds on, and the time then."""
    run = Run(cams, args.source)
    run.start()
    run.poll_bus(2)
    return run, time.monotonic()


def scenario_stall(args, cams, checks):
    a, b = cams[0], cams[1]
    run, t0 = settled_run(args, cams)
    b.signal(signal.SIGSTOP)
    run.poll_bus(args.stall_seconds)
    b.signal(signal.SIGCONT)
    t1 = time.monotonic()
    back = run.wait_for(lambda: run.tally.out_after(b.index, t1 + 0.1) is not None, 20)
    run.poll_bus(1)
    run.stop()
    n_in, n_out, lat = run.tally.counts(a.index, t0, t1)
    with run.tally.lock:
        out_during = sum(1 for t in run.tally.t_out[a.index].values() if t0 <= t < t1)
    batches = sum(1 for t in run.tally.batches if t0 <= t < t1)
    sent = a.fps * (t1 - t0)
    interval = 1.0 / a.fps
    print("stall: camera 0 during the %.1f s stall of camera 1: %d of its %.0f frames came out "
          "(%.0f %%) in %d batches; batch latency p50 %.3f s, p99 %.3f s; bus: %s" %
          (t1 - t0, out_during, sent, 100.0 * out_during / sent, batches, percentile(lat, 50),
           percentile(lat, 99), [m[1:] for m in run.messages if m[1] == "warning"]))
    checks.expect(out_during >= 0.9 * sent and n_out >= 0.9 * n_in,
                  "the healthy camera's frames come out")
    checks.expect(percentile(lat, 99) < 3 * interval + 0.1,
                  "batch latency p99 under three frame intervals plus 100 ms")
    checks.expect(back, "the stalled camera comes back")
    warned = [m for m in run.messages if m[1] == "warning" and m[2] == "batch"]
    checks.expect(len(warned) == 2 and all("sink_%d" % b.index in m[3] for m in warned),
                  "one warning on the stall and one on the return, naming the camera")
    checks.expect(not run.errors, "no error (%s)" % run.errors)


def scenario_sync(args, cams, checks):
    run = Run(cams, args.source, "sync=true qos=true max-lateness=20000000")
    t0, t1 = run.window(10)
    for c in cams:
        # The cameras number their frames one by one: what they sent in the
        # window is the span of the numbers, wherever frames were lost.
        with run.tally.lock:
            out = [n for n, t in run.tally.t_out[c.index].items() if t0 <= t < t1]
        sent = max(out)[0] - min(out)[0] + 1 if out else int(c.fps * (t1 - t0))
        print("sync: camera %d: %d frames sent, %d out, %.1f %% lost" %
              (c.index, sent, len(out), 100.0 * (sent - len(out)) / max(sent, 1)))
        checks.expect(len(out) > 0 and sent - len(out) < 0.05 * sent,
                      "camera %d: fewer than 5 %% lost at a synced sink" % c.index)
    checks.expect(not run.errors, "no error (%s)" % run.errors)


def scenario_rates(args, cams, checks):
    run = Run(cams, args.source)
    t0, t1 = run.window(10)
    for c in cams:
        n_in, n_out, _ = run.tally.counts(c.index, t0, t1)
        print("rates: camera %d at %d fps: %d frames in, %d out (%d dropped), %d repeats in "
              "%d batches in all" % (c.index, c.fps, n_in, n_out, n_in - n_out,
                                     run.tally.repeats[c.index], len(run.tally.batches)))
        checks.expect(n_in > 0 and n_out == n_in, "camera %d: frames out = frames in" % c.index)
        checks.expect(run.tally.repeats[c.index] == 0, "camera %d: no frame repeated" % c.index)
    checks.expect(not run.errors, "no error (%s)" % run.errors)


def scenario_lost(args, cams, checks):
    a, b = cams[0], cams[1]
    run, t0 = settled_run(args, cams)
    b.stop()
    run.poll_bus(1)
    # Served again, numbering from 1 under a mark of its own.
    b.mark += 0x40
    b.start()
    t1 = time.monotonic()
    back = run.wait_for(lambda: run.tally.out_after(b.index, t1) is not None, 10)
    t_back = run.tally.out_after(b.index, t1)
    run.poll_bus(2)
    t2 = time.monotonic()
    run.stop()
    n_in, n_out, lat = run.tally.counts(a.index, t0, t2)
    print("lost: camera 1 killed and served again after 1 s: %s; camera 0 meanwhile: %d in, "
          "%d out; errors: %s; messages: %s" %
          ("back after %.1f s" % (t_back - t1) if back else "not back",
           n_in, n_out, run.errors, [m[1:] for m in run.messages]))
    checks.expect(back and t_back - t1 < 5.0, "the lost camera is back within 5 s")
    checks.expect(n_in > 0 and n_out >= 0.9 * n_in, "the other camera goes on")
    checks.expect(not run.errors, "no error")


def scenario_addremove(args, cams, checks):
    a, b = cams[0], cams[1]
    run = Run([a], args.source)
    run.tally = Tally(cams)
    run.tally.layout = [a]
    run.start()
    with run.tally.lock:
        run.tally.layout = cams
    bin_ = run.add_branch(b)
    bin_.sync_state_with_parent()
    added = run.wait_for(lambda: run.tally.counts(b.index)[1] >= 10, 20)
    checks.expect(added, "an added camera's frames come out")
    with run.tally.lock:
        run.tally.layout = [a]
    run.remove_branch(b)
    n_before = run.tally.counts(a.index)[1]
    going = run.wait_for(lambda: run.tally.counts(a.index)[1] >= n_before + 15, 20)
    run.stop()
    print("addremove: camera 1 added %s, removed; camera 0 %s after" %
          ("and seen" if added else "but never seen",
           "went on" if going else "stopped"))
    checks.expect(going, "the first camera goes on after the removal")
    checks.expect(not run.errors, "no error (%s)" % run.errors)


def scenario_docline(args, cams, checks):
    source = os.path.join(HERE, "..", "..", "src", "plugins", "ovbatch", "camera_source.cpp")
    words, taking = [], False
    for line in open(source):
        text = line.strip().lstrip("*").strip()
        if text.startswith("gst-launch-1.0 "):
            taking = True
        elif taking and not line.startswith(" *    "):
            break
        if taking:
            words += text.split()
    checks.expect(len(words) > 1, "a launch line in camera_source.cpp")
    if len(words) < 2:
        return
    words = [w.replace("rtsp://127.0.0.1:8554/cam", cams[0].url) for w in words]
    proc = subprocess.Popen(words[:1] + ["-m"] + words[1:], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    try:
        out, _ = proc.communicate(timeout=4)
        still_running = False
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
        still_running = True
    print("docline: %s" % " ".join(words))
    checks.expect(still_running, "the live pipeline plays until stopped")
    checks.expect("ERROR" not in out, "no error (%s)" % [l for l in out.splitlines()
                                                          if "ERROR" in l][:3])
    # The batch asks for a new latency once it has measured the camera's rate.
    checks.expect('"ovvideobatch0" (latency)' in out,
                  "the camera's frames reached the batch element")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario",
                        choices=["stall", "sync", "rates", "lost", "addremove", "docline"])
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--stall-seconds", type=float, default=5.0,
                        help="stall: how long the camera is stopped (default 5)")
    parser.add_argument("--source", default="uridecodebin",
                        choices=["uridecodebin", "ovcamerasrc"])
    args = parser.parse_args()
    Gst.init(None)
    for name in ["ovvideobatch", "rtspsrc", "jpegdec"] + (
            ["ovcamerasrc"] if args.source == "ovcamerasrc" else []):
        if Gst.ElementFactory.find(name) is None:
            print("missing element %s: build the plug-ins and run scripts/install-deps.sh" % name)
            return 1
    work = tempfile.mkdtemp(prefix="live-cameras-")
    fps = [15, 30] if args.scenario == "rates" else [15, 15]
    cams = [Camera(0, 320, 240, fps[0], work), Camera(1, 384, 288, fps[1], work)]
    checks = Checks()
    try:
        for c in cams:
            c.start()
        globals()["scenario_" + args.scenario](args, cams, checks)
    except RuntimeError as e:
        checks.expect(False, str(e))
    finally:
        for c in cams:
            c.stop()
    if args.check and checks.failed:
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
