"""Runs the README's detection examples exactly as written (the shell blocks after the
"run-by-test: detections-*" markers, read from README.md here) and checks what they
produce: the recorded clip has the box drawn where the model's one detection lies,
the Wayland pipeline plays to its end on a headless compositor, and the JSON lines
carry that detection for every frame.  Usage: readme_examples_test.py"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np

SRC = os.environ["NIMBRA_SOURCE_DIR"]
BUILD = os.environ["NIMBRA_BUILD_DIR"]
CLIP = os.path.join(BUILD, "media", "h264_small.mp4")
W, H, FRAMES = 320, 240, 100
# The generated stand-in model's detection: (320, 240, 200, 160) in 640 space, person
# at 0.9; on the 320x240 clip (letterbox scale 0.5) the box is (110, 80, 100, 80).
BOX = (110, 80, 100, 80)
LIMIT = 300  # seconds; a safety limit for a hung process, the runs take seconds


def blocks():
    text = open(os.path.join(SRC, "README.md")).read()
    found = {}
    for m in re.finditer(r"<!-- run-by-test: ([\w-]+) -->\s*```sh\n(.*?)```", text, re.S):
        found[m.group(1)] = m.group(2)
    for name in ("detections-setup", "detections-record", "detections-wayland", "detections-json"):
        if name not in found:
            sys.exit("README.md has no block marked " + name)
    return found


def run(work, script, env=None, stdout=subprocess.PIPE):
    """The setup block and one example, as a user pastes them into a shell."""
    full = dict(os.environ)
    full.update(env or {})
    return subprocess.run(["bash", "-e", "-c", script], cwd=work, env=full, stdout=stdout,
                          stderr=subprocess.PIPE, text=True, timeout=LIMIT)


def decode(path):
    out = subprocess.run(["gst-launch-1.0", "-q", "filesrc", "location=" + path, "!", "qtdemux", "!", "h264parse",
                          "!", "avdec_h264", "!", "videoconvert", "!", "video/x-raw,format=RGB", "!", "fdsink"],
                         stdout=subprocess.PIPE, timeout=LIMIT, check=True).stdout
    a = np.frombuffer(out, np.uint8)
    if a.size != FRAMES * W * H * 3:
        sys.exit("%s decoded to %d bytes, expected %d frames of %dx%d" % (path, a.size, FRAMES, W, H))
    return a.reshape(FRAMES, H, W, 3).astype(np.float64)


def outline(a):
    """The pixels of the box's 2-pixel outline, per frame (corners and tag left out)."""
    x, y, w, h = BOX
    parts = [a[:, y + 8:y + h - 8, x - 1:x + 2], a[:, y + 8:y + h - 8, x + w - 1:x + w + 2],
             a[:, y - 1:y + 2, x + 8:x + w - 8], a[:, y + h - 1:y + h + 2, x + 8:x + w - 8]]
    return np.concatenate([p.reshape(a.shape[0], -1, 3) for p in parts], axis=1)


def check_record(work, setup, example):
    r = run(work, setup + example)
    if r.returncode != 0:
        sys.exit("recording example failed:\n" + r.stderr + r.stdout)
    out, orig = decode(os.path.join(work, "detections.mp4")), decode(CLIP)
    # On the outline, green (the detection element's colour) in every frame, where
    # the scrolling bars alone are mostly not.
    def green(a):
        e = outline(a)
        return ((e[..., 1] > 150) & (e[..., 0] < 110) & (e[..., 2] < 110)).mean(axis=1)
    g_out, g_orig = green(out), green(orig)
    if g_out.min() < 0.6 or g_orig.max() > 0.45:
        sys.exit("box outline not drawn: green share %.2f..%.2f (clip alone up to %.2f)"
                 % (g_out.min(), g_out.max(), g_orig.max()))
    # Below the box and its tag the video is what it was.
    far = np.abs(out[:, 170:, :] - orig[:, 170:, :]).mean(axis=(1, 2, 3))
    if far.max() > 6:
        sys.exit("video changed away from the box: mean error up to %.2f" % far.max())
    print("ok: record: outline green in all %d frames (share >= %.2f), video unchanged elsewhere (%.2f)"
          % (FRAMES, g_out.min(), far.max()))


def check_json(work, setup, example):
    r = run(work, setup + example)
    if r.returncode != 0:
        sys.exit("JSON example failed:\n" + r.stderr)
    lines = r.stdout.splitlines()
    if len(lines) != FRAMES:
        sys.exit("expected %d JSON lines, got %d:\n%s" % (FRAMES, len(lines), r.stdout[:500]))
    last_pts = -1
    for n, line in enumerate(lines, 1):
        v = json.loads(line)
        d = v["detections"]
        ok = (v["frame"] == n and v["width"] == W and v["height"] == H and isinstance(v["pts"], int)
              and v["pts"] > last_pts and len(d) == 1 and d[0]["label"] == "person" and d[0]["class_id"] == 0
              and abs(d[0]["confidence"] - 0.9) < 1e-6
              and [d[0]["box"][k] for k in ("x", "y", "width", "height")] == list(BOX)
              and all(abs(d[0]["box_normalized"][k] - d[0]["box"][k] / s) < 1e-6
                      for k, s in (("x", W), ("y", H), ("width", W), ("height", H))))
        if not ok:
            sys.exit("line %d is not the expected record: %s" % (n, line))
        last_pts = v["pts"]
    print("ok: json: %d lines, one person at %s in each" % (len(lines), BOX))


def start_weston(runtime):
    weston = shutil.which("weston")
    if not weston:
        sys.exit("weston is not installed")
    os.chmod(runtime, 0o700)
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime, WAYLAND_DISPLAY="", DISPLAY="")
    proc = subprocess.Popen([weston, "--backend=headless-backend.so", "--socket=nimbra-readme", "--idle-time=0",
                             "--no-config", "--width=640", "--height=480", "--use-gl",
                             "--log=" + os.path.join(runtime, "weston.log")], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # The socket appears once the compositor is up; nothing signals it, so it is polled.
    deadline = time.monotonic() + 30
    sock = os.path.join(runtime, "nimbra-readme")
    while not os.path.exists(sock) and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.02)
    if not os.path.exists(sock):
        proc.kill()
        sys.exit("weston did not start")
    return proc


def check_wayland(work, setup, example):
    runtime = tempfile.mkdtemp(prefix="nimbra-wl-")
    weston = start_weston(runtime)
    try:
        r = run(work, setup + example, env={"XDG_RUNTIME_DIR": runtime, "WAYLAND_DISPLAY": "nimbra-readme"})
        alive = weston.poll() is None
    finally:
        weston.send_signal(signal.SIGTERM)
        try:
            weston.wait(timeout=30)
        except subprocess.TimeoutExpired:
            weston.kill()
        shutil.rmtree(runtime, ignore_errors=True)
    if r.returncode != 0 or "Got EOS from element" not in r.stdout or re.search(r"^(ERROR|WARNING)", r.stdout + r.stderr, re.M):
        sys.exit("Wayland example did not play to its end:\n" + r.stdout + r.stderr)
    if not alive:
        sys.exit("the compositor died during the Wayland example")
    print("ok: wayland: played to the end on a headless compositor")


def main():
    b = blocks()
    work = tempfile.mkdtemp(prefix="nimbra-readme-")
    try:
        # The README runs from the repository root after a build into build/.
        os.symlink(BUILD, os.path.join(work, "build"))
        setup = b["detections-setup"]
        check_json(work, setup, b["detections-json"])
        check_record(work, setup, b["detections-record"])
        check_wayland(work, setup, b["detections-wayland"])
    finally:
        shutil.rmtree(work, ignore_errors=True)


main()
