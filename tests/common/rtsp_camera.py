#!/usr/bin/python3
"""A camera on the loopback for the real-source and live-camera tests: serves live code
pictures (the grid of code_picture.h) as JPEG (or VP8) over RTP at 30 frames a second
on rtsp://127.0.0.1:PORT/cam.

    rtsp_camera.py [--go FILE] --frames N [--mark M] [--port P]
                   [--width W] [--height H] [--fps F] [--codec jpeg|vp8] [--ball]

It shows warm-up pictures (number 0) until FILE exists (without --go: at
once), then numbers 1..N, then warm-up pictures again (the publisher stops
on seeing them).  With --ball it shows a bouncing ball instead, in VP8 (what
the ball detector of the main job finds).  Port 0 (the default) takes a free
port.  Prints "url rtsp://127.0.0.1:PORT/cam" once
it serves.  Needs Debian's Python with python3-gi and the RTSP server
introspection data (gir1.2-gst-rtsp-server-1.0).
"""
import argparse
import os
import sys
import threading
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

from code_picture import BITS, COLS, ROWS, word_of  # noqa: E402


def paint(width, height, number, mark):
    """Packed BGR bytes of the picture of (number, mark)."""
    word = word_of(number, mark)
    stride = (width * 3 + 3) // 4 * 4  # GStreamer's rows of packed BGR
    pixels = bytearray(stride * height)
    for row in range(ROWS):
        copy_row = row % (ROWS // 2)
        y0, y1 = row * height // ROWS, (row + 1) * height // ROWS
        for col in range(COLS):
            bit = (word >> (BITS - 1 - (copy_row * COLS + col))) & 1
            white = bit if row < ROWS // 2 else 1 - bit
            if not white:
                continue
            x0, x1 = col * width // COLS, (col + 1) * width // COLS
            run = b"\xff" * (3 * (x1 - x0))
            for y in range(y0, y1):
                pixels[y * stride + 3 * x0:y * stride + 3 * x1] = run
    return bytes(pixels)


class Camera:
    def __init__(self, args):
        self.args = args
        self.pictures = {}

    def picture(self, number):
        if number not in self.pictures:
            self.pictures[number] = paint(self.args.width, self.args.height, number,
                                          self.args.mark)
        return self.pictures[number]

    def run(self, appsrc):
        """Feeds one client's appsrc until the client goes away."""
        period = 1.0 / self.args.fps
        next_time = time.monotonic()
        number, numbered = 0, False
        while True:
            next_time += period
            delay = next_time - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            elif delay < -period:
                # Stopped for a while (SIGSTOP: a stalled camera): carry on
                # at the camera's rate rather than in a burst that catches up.
                next_time = time.monotonic()
            _, state, _ = appsrc.get_state(0)
            if state != Gst.State.PLAYING:
                if state == Gst.State.NULL:
                    return
                continue
            if not numbered and (self.args.go is None or os.path.exists(self.args.go)):
                numbered = True
            if numbered and number < self.args.frames:
                number += 1
                shown = number
            else:
                shown = 0
            buf = Gst.Buffer.new_wrapped(self.picture(shown))
            if appsrc.emit("push-buffer", buf) != Gst.FlowReturn.OK:
                return


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--go")
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--mark", type=int, default=0x5A)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--width", type=int, default=320)
    parser.add_argument("--height", type=int, default=240)
    parser.add_argument("--fps", type=int, default=30)
    parser.add_argument("--codec", choices=["jpeg", "vp8"], default="jpeg")
    parser.add_argument("--ball", action="store_true")
    args = parser.parse_args()

    Gst.init(None)
    camera = Camera(args)
    factory = GstRtspServer.RTSPMediaFactory()
    # JPEG declares the rate to the receiver; VP8 does not (it decodes to
    # framerate=0/1, as many IP cameras do).
    if args.codec == "vp8" or args.ball:
        coder = ("vp8enc deadline=1 cpu-used=8 keyframe-max-dist=15 threads=1 "
                 "! rtpvp8pay name=pay0 pt=96")
    else:
        coder = "jpegenc ! rtpjpegpay name=pay0 pt=96"
    if args.ball:
        factory.set_launch(
            "( videotestsrc is-live=true pattern=ball "
            f"! video/x-raw,width={args.width},height={args.height},framerate={args.fps}/1 "
            f"! videoconvert ! video/x-raw,format=I420 ! {coder} )")
    else:
        factory.set_launch(
            "( appsrc name=src is-live=true format=time do-timestamp=true "
            f"caps=video/x-raw,format=BGR,width={args.width},height={args.height},"
            f"framerate={args.fps}/1 ! videoconvert ! video/x-raw,format=I420 ! {coder} )")

    def configure(_factory, media):
        appsrc = media.get_element().get_by_name("src")
        threading.Thread(target=camera.run, args=(appsrc,), daemon=True).start()

    if not args.ball:
        factory.connect("media-configure", configure)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    server.get_mount_points().add_factory("/cam", factory)
    if server.attach(None) == 0:
        print("cannot serve", file=sys.stderr)
        return 2
    print(f"url rtsp://127.0.0.1:{server.get_bound_port()}/cam", flush=True)
    loop = GLib.MainLoop()
    parent = os.getppid()

    def orphaned():
        # The test that started us is gone: stop serving.
        if os.getppid() != parent:
            loop.quit()
            return False
        return True

    GLib.timeout_add_seconds(1, orphaned)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
