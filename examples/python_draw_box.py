#!/usr/bin/env python3
"""Draws a box into every frame of a configured stream and prints the frame rate.

    python3 examples/python_draw_box.py [--config PATH] [--loop] [STREAM_ID]

STREAM_ID defaults to "sample" of the installed sample configuration. The box is
drawn straight into the decoded frame, so a stream with an output (MP4, RTSP,
Wayland) carries it. Ctrl+C stops the stream cleanly.
"""

import argparse
import os
import signal
import sys
import threading
import time

import numpy as np

import nimbragst

BOX_RGB = (0, 255, 0)
BOX_THICKNESS = 6


def draw_box(frame, thickness=BOX_THICKNESS, color=BOX_RGB):
    """Outlines the middle half of the picture."""
    h, w = frame.shape[:2]
    x0, x1, y0, y1 = w // 4, 3 * w // 4, h // 4, 3 * h // 4
    t = max(1, min(thickness, (x1 - x0) // 2, (y1 - y0) // 2))
    frame[y0:y0 + t, x0:x1] = color
    frame[y1 - t:y1, x0:x1] = color
    frame[y0:y1, x0:x0 + t] = color
    frame[y0:y1, x1 - t:x1] = color


class FrameRate:
    """Counts frames and reports the rate about once a second."""

    def __init__(self, label):
        self.label = label
        self.window_start = time.monotonic()
        self.window_frames = 0
        self.total = 0
        self.first = None

    def tick(self, width, height):
        now = time.monotonic()
        if self.first is None:
            self.first = now
        self.total += 1
        self.window_frames += 1
        elapsed = now - self.window_start
        if elapsed >= 1.0:
            print(f"{self.label}: {self.window_frames / elapsed:.1f} fps ({width}x{height})", flush=True)
            self.window_start = now
            self.window_frames = 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("stream_id", nargs="?", default="sample", help="configured stream id (default: sample)")
    parser.add_argument("--config", metavar="PATH", help="stream configuration file to use instead of the installed one")
    parser.add_argument("--loop", action="store_true", help="start the stream again whenever it ends, until Ctrl+C")
    args = parser.parse_args()

    if args.config:
        try:
            nimbragst.set_config_path(os.path.abspath(args.config))
        except OSError as e:
            parser.error(f"cannot read the configuration file: {e}")

    sid = args.stream_id
    # Python runs signal handlers only on the main thread between bytecodes, and the
    # main thread sits inside start_stream. So the signals are blocked here, before any
    # other thread exists (GStreamer's threads inherit the mask), and one thread waits
    # for them with sigwait.
    signals = {signal.SIGINT, signal.SIGTERM}
    signal.pthread_sigmask(signal.SIG_BLOCK, signals)
    stopping = threading.Event()
    finished = threading.Event()

    def watch_signals():
        sig = signal.sigwait(signals)
        stopping.set()
        print(f"{signal.Signals(sig).name}: stopping {sid}", flush=True)
        # A stop that arrives while the stream is starting is honoured; it is repeated
        # only for the instant before start_stream has claimed the id at all (between
        # the check of `stopping` and the call). A second signal gives up waiting.
        while not finished.is_set():
            nimbragst.shutdown(sid)
            if signal.sigtimedwait(signals, 0.5) is not None:
                print("second signal: exiting without waiting for the stream", flush=True)
                os._exit(130)

    threading.Thread(target=watch_signals, name="signals", daemon=True).start()

    rate = FrameRate(sid)

    def on_frame(img):
        need = img.width * img.height * 3
        if img.width > 0 and img.height > 0 and img.size >= need:
            pixels = np.frombuffer(img.as_memoryview(), dtype=np.uint8, count=need)
            draw_box(pixels.reshape(img.height, img.width, 3))
        rate.tick(img.width, img.height)
        return 0

    rc = 0
    while not stopping.is_set():
        rc = nimbragst.start_stream(sid, on_frame)
        if rc != 0 or not args.loop or stopping.is_set():
            break
    finished.set()

    if rate.total and rate.first is not None:
        span = max(time.monotonic() - rate.first, 1e-9)
        print(f"{sid}: {rate.total} frames, {rate.total / span:.1f} fps on average", flush=True)
    if rc != 0:
        print(f"stream {sid} failed (start_stream returned {rc})", file=sys.stderr, flush=True)
        return 1
    print("stopped" if stopping.is_set() else "stream ended", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
