"""Runs the README's "Getting started" tasks exactly as written (the shell blocks after the
"run-by-test: start-*" markers, read from README.md here, after the set-up block) in a
scratch copy of the repository root whose build/ is this build, and checks what each one
makes against references computed here with stock GStreamer elements:

  camera    camera.mp4 holds the 200 frames asked for, each a picture of the served clip
  python    one line per 50th frame, naming the stream, its number, its size and the
            clip's own presentation time of that frame
  detect    one JSON line per frame with the stand-in model's one detection
  segment   the mask blended over the video inside the object's box, nothing outside it
  compose   four.mp4 at 1280x720, each camera's colour in its quarter, the white title

The three things scripts/demo.sh says to try next are run the same way, read from the
script: the health table, the Python example, the composition.

Usage: getting_started_test.py"""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile

import numpy as np

SRC = os.environ["NIMBRA_SOURCE_DIR"]
BUILD = os.environ["NIMBRA_BUILD_DIR"]
LIMIT = 600  # seconds; a guard against a hung command, the tasks take seconds
W, H, FRAMES = 320, 240, 100  # build/media/h264_small.mp4
TASKS = ("start-camera", "start-python", "start-detect", "start-segment", "start-compose")


def blocks():
    text = open(os.path.join(SRC, "README.md")).read()
    found = {m.group(1): m.group(2)
             for m in re.finditer(r"<!-- run-by-test: ([\w-]+) -->\s*```sh\n(.*?)```", text, re.S)}
    for name in ("start-setup",) + TASKS:
        if name not in found:
            sys.exit("README.md has no block marked " + name)
    return found


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(work, setup, example):
    """The set-up block and one task, as a user pastes them into a shell. A task that fails
    half-way must not leave a test server behind: whatever it started in the background
    is ended when the shell exits."""
    guard = "trap 'kill ${CAMERA:-} ${CAMERAS:-} 2>/dev/null || true' EXIT\n"
    # The README's servers listen on 8554, as a user would run them; here on a port picked
    # now, so that another run on this machine (or a real camera server) cannot answer.
    port = str(free_port())
    setup, example = (re.sub(r"\b8554\b", port, t) for t in (setup, example))
    env = dict(os.environ)
    for k in ("GST_PLUGIN_PATH", "PYTHONPATH", "NIMBRA_LOG_LEVEL"):
        env.pop(k, None)  # what the set-up block says is all a user has
    r = subprocess.run(["bash", "-e", "-c", guard + setup + example], cwd=work, env=env,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=LIMIT)
    if r.returncode != 0:
        sys.exit("README task failed (%d):\n%s\n%s\n%s" % (r.returncode, example, r.stdout[-3000:], r.stderr[-3000:]))
    return r


def gst_frames(path, decoder="decodebin"):
    """RGB frames and their PTS of a file, decoded by stock GStreamer elements."""
    import gi

    gi.require_version("Gst", "1.0")
    from gi.repository import Gst
    Gst.init(None)
    pipe = Gst.parse_launch('filesrc location="%s" ! %s ! videoconvert ! video/x-raw,format=RGB ! '
                            "appsink name=sink sync=false" % (path, decoder))
    sink = pipe.get_by_name("sink")
    pipe.set_state(Gst.State.PLAYING)
    frames, pts = [], []
    try:
        while (sample := sink.emit("try-pull-sample", 60 * Gst.SECOND)) is not None:
            s = sample.get_caps().get_structure(0)
            w, h = s.get_value("width"), s.get_value("height")
            buf = sample.get_buffer()
            data = np.frombuffer(buf.extract_dup(0, buf.get_size()), np.uint8)
            stride = (w * 3 + 3) & ~3
            frames.append(data[:stride * h].reshape(h, stride)[:, :w * 3].reshape(h, w, 3).astype(np.float64))
            pts.append(buf.pts)
    finally:
        pipe.set_state(Gst.State.NULL)
    return frames, pts


def check_camera(work, r):
    if "OK: 1 stream checked" not in r.stderr:
        sys.exit("validate did not pass camera.conf:\n" + r.stderr[-2000:])
    got, _ = gst_frames(os.path.join(work, "camera.mp4"))
    clip, _ = gst_frames(os.path.join(BUILD, "media", "sample_h265.mp4"), "qtdemux ! h265parse ! avdec_h265")
    if len(got) < 200:
        sys.exit("camera.mp4 holds %d frames, 200 were asked for" % len(got))
    if got[0].shape != (720, 1280, 3):
        sys.exit("camera.mp4 is %s, not 1280x720" % (got[0].shape,))
    # Every recorded picture is one of the clip's (served in a loop, coded three times on
    # the way), compared at a quarter of the size.
    small = [c[::4, ::4] for c in clip]
    worst = max(min(np.abs(f[::4, ::4] - c).mean() for c in small) for f in got[::10])
    if worst > 20:
        sys.exit("camera.mp4 holds pictures that are not the clip's: mean error up to %.1f" % worst)
    print("ok: camera: %d frames of 1280x720, each the served clip's (error <= %.1f)" % (len(got), worst))


def check_python(work, r):
    _, pts = gst_frames(os.path.join(BUILD, "media", "sample_h265.mp4"), "qtdemux ! h265parse ! avdec_h265")
    want = ["sample: frame %d at %.2f s, 1280x720" % (n, pts[n - 1] / 1e9) for n in range(1, len(pts) + 1, 50)]
    got = r.stdout.splitlines()
    if got != want:
        sys.exit("the Python callback printed:\n%s\nexpected:\n%s\n%s" % ("\n".join(got), "\n".join(want), r.stderr[-2000:]))
    if "Error" in r.stderr or "Traceback" in r.stderr:
        sys.exit("the Python task reported errors:\n" + r.stderr[-2000:])
    print("ok: python: %d lines with the clip's own times" % len(got))


def check_detect(work, r):
    # The stand-in model's one detection: (320, 240, 200, 160) in 640 space, person at
    # 0.9; on the 320x240 clip (letterbox scale 0.5) the box is (110, 80, 100, 80).
    box = [110, 80, 100, 80]
    lines = open(os.path.join(work, "detections.json")).read().splitlines()
    if len(lines) != FRAMES:
        sys.exit("detections.json has %d lines, not %d" % (len(lines), FRAMES))
    for n, line in enumerate(lines, 1):
        v = json.loads(line)
        d = v["detections"]
        if not (v["frame"] == n and (v["width"], v["height"]) == (W, H) and len(d) == 1
                and d[0]["label"] == "person" and abs(d[0]["confidence"] - 0.9) < 1e-6
                and [d[0]["box"][k] for k in ("x", "y", "width", "height")] == box):
            sys.exit("line %d is not the expected detection: %s" % (n, line))
    if r.stdout.splitlines() != lines[:2]:
        sys.exit("head did not show the first two lines:\n" + r.stdout)
    print("ok: detect: %d lines, one person at %s in each" % (len(lines), box))


def check_segment(work, r):
    out, _ = gst_frames(os.path.join(work, "segmented.mp4"))
    orig, _ = gst_frames(os.path.join(BUILD, "media", "h264_small.mp4"))
    if len(out) != FRAMES or len(orig) != FRAMES:
        sys.exit("segmented.mp4 holds %d frames, the clip %d" % (len(out), len(orig)))
    cases = json.load(open(os.path.join(BUILD, "tests", "tarkinvideo", "models", "cases.json")))
    cx, cy, bw, bh = cases["onnx_box"]
    x, y, w, h = int((cx - bw / 2) * 0.5), int((cy - bh / 2) * 0.5), int(bw * 0.5), int(bh * 0.5)
    inner = (slice(y + 6, y + h - 6), slice(x + 6, x + w - 6))
    # Class 0's colour (B, G, R) = (64, 128, 192) at alpha 160, over the video.
    a = 160.0 / 255.0
    colour = np.array([192, 128, 64], np.float64)  # as RGB
    err = max(np.abs(o[inner] - (v[inner] * (1 - a) + colour * a)).mean() for o, v in zip(out, orig))
    far = max(np.abs(o[y + h + 12:, :] - v[y + h + 12:, :]).mean() for o, v in zip(out, orig))
    if err > 10 or far > 6:
        sys.exit("mask not blended in the box (error up to %.1f) or video changed outside it (%.1f)" % (err, far))
    print("ok: segment: mask in all %d frames (error <= %.1f), outside unchanged (%.1f)" % (FRAMES, err, far))


def check_compose(work, r):
    frames, _ = gst_frames(os.path.join(work, "four.mp4"))
    if len(frames) < 100 or frames[0].shape != (720, 1280, 3):
        sys.exit("four.mp4 holds %d frames of %s" % (len(frames), frames[0].shape if frames else "-"))
    colours = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)]

    def composed(f):
        for n, c in enumerate(colours):
            x0, y0 = (n % 2) * 640, (n // 2) * 360
            if np.abs(f[y0 + 120:y0 + 300, x0 + 100:x0 + 540].reshape(-1, 3).mean(axis=0) - c).max() > 60:
                return False
        # The white title at (40, 40) over the red camera.
        title = f[40:90, 40:200]
        return ((title > 200).all(axis=2)).sum() > 100

    good = sum(composed(f) for f in frames)
    if good == 0:
        sys.exit("no frame of four.mp4 has the four cameras in their quarters and the title")
    print("ok: compose: %d of %d frames with the four cameras and the title" % (good, len(frames)))


def demo_next_steps():
    """The commands under each numbered item of the demo's closing text."""
    text = open(os.path.join(SRC, "scripts", "demo.sh")).read()
    m = re.search(r"<<'NEXT'\n(.*?)\nNEXT\n", text, re.S)
    if not m:
        sys.exit("scripts/demo.sh prints no next steps")
    steps, current = [], None
    for line in m.group(1).splitlines():
        if re.match(r"  \d\. ", line):
            current = []
            steps.append(current)
        elif current is not None and line.startswith("       "):
            current.append(line[7:])
    if len(steps) != 3 or not all(steps):
        sys.exit("scripts/demo.sh does not end with three things to try: %s" % steps)
    return ["\n".join(s) + "\n" for s in steps]


def check_demo_next(work):
    table, python, compose = [run(work, "", step) for step in demo_next_steps()]
    if not re.search(r"^sample +stopped ", table.stdout, re.M):
        sys.exit("step 1 showed no table with the sample:\n" + table.stdout[-2000:])
    if "sample:" not in python.stdout or "stream ended" not in python.stdout:
        sys.exit("step 2 did not run the example to the clip's end:\n" + python.stdout[-2000:])
    frames, _ = gst_frames(os.path.join(work, "four.mp4"))
    if len(frames) < 100:
        sys.exit("step 3 recorded %d frames" % len(frames))
    print("ok: the demo's three next steps run: health table, Python example, %d composed frames" % len(frames))


def main():
    b = blocks()
    work = tempfile.mkdtemp(prefix="nimbra-start-")
    try:
        # The repository root as a user has it, with this build as its build/.
        for entry in os.listdir(SRC):
            if entry not in ("build", ".git"):
                os.symlink(os.path.join(SRC, entry), os.path.join(work, entry))
        os.symlink(BUILD, os.path.join(work, "build"))
        checks = {"start-camera": check_camera, "start-python": check_python, "start-detect": check_detect,
                  "start-segment": check_segment, "start-compose": check_compose}
        for name in TASKS:
            checks[name](work, run(work, b["start-setup"], b[name]))
        os.unlink(os.path.join(work, "four.mp4"))
        check_demo_next(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


main()
