"""Stream lifecycle seen from Python: the interpreter's own Ctrl+C handling survives the
library's SIGINT handling, and frame views kept past their callback stay sound.
"""
import json
import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

if os.environ.get("NIMBRA_EXPECT_PYMODULE"):
    import nimbragst
else:
    nimbragst = pytest.importorskip("nimbragst")

BUILD_DIR = Path(nimbragst.__file__).resolve().parent.parent
MEDIA = Path(os.environ.get("NIMBRA_MEDIA_DIR", BUILD_DIR / "media"))
os.environ.setdefault("GST_PLUGIN_PATH", str(BUILD_DIR / "platform" / "gst-soft"))
# A guard against hangs only.
HANG_TIMEOUT = 120


def write_config(path, *streams):
    path.write_text(json.dumps({"streams": list(streams)}))
    return str(path)


def test_keyboard_interrupt_still_works_after_a_frame_push_stream(tmp_path):
    conf = write_config(tmp_path / "nimbra-gst.conf", {
        "streamsId": "drawn", "properties": {
            "saveMp4": True, "width": 64, "height": 48, "fps": 25,
            "outputFile": str(tmp_path / "drawn.mp4")}})
    script = tmp_path / "ki.py"
    script.write_text(textwrap.dedent("""
        import os, signal, sys, threading, time
        signal.signal(signal.SIGINT, signal.default_int_handler)  # as from a terminal
        import nimbragst
        nimbragst._set_config_path(sys.argv[1])
        frames = []
        def cb(img):
            frames.append(1)
            if len(frames) == 10:
                threading.Thread(target=nimbragst.shutdown, args=("drawn",)).start()
            return 0
        print("rc", nimbragst.start_stream("drawn", cb), flush=True)
        try:
            os.kill(os.getpid(), signal.SIGINT)
            # A blocking wait the interrupt breaks at once; 60 s only if it never comes.
            threading.Event().wait(60)
            print("no KeyboardInterrupt", flush=True)
        except KeyboardInterrupt:
            print("KeyboardInterrupt", flush=True)
    """))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in [str(Path(nimbragst.__file__).parent), env.get("PYTHONPATH", "")] if p)
    out = subprocess.run([sys.executable, str(script), conf], capture_output=True, text=True,
                         env=env, timeout=HANG_TIMEOUT)
    assert "rc 0" in out.stdout, out.stderr[-2000:]
    assert "KeyboardInterrupt" in out.stdout.splitlines(), out.stdout + out.stderr[-2000:]
    assert (tmp_path / "drawn.mp4").stat().st_size > 0


def test_a_view_kept_past_its_callback_keeps_its_frame(tmp_path):
    clip = MEDIA / "h264_small.mp4"
    assert clip.is_file(), f"missing test media {clip}"
    nimbragst._set_config_path(write_config(tmp_path / "nimbra-gst.conf", {
        "streamsId": "kept", "properties": {
            "inputType": "file", "inputAddr": str(clip), "decodeType": "H264"}}))
    kept = {}
    checks = []

    def cb(img):
        n = kept.setdefault("n", 0) + 1
        kept["n"] = n
        if n == 1:
            kept["view"] = img.as_memoryview()
            kept["array"] = np.frombuffer(img.as_memoryview(), np.uint8)
            kept["copy"] = img.to_bytes()
        elif n % 10 == 0:
            # 10 to 100 frames later: what the kept view shows is still frame 1.
            checks.append(bytes(kept["view"]) == kept["copy"] and kept["array"].tobytes() == kept["copy"])
            # Writing through the kept view reaches no frame of the pipeline.
            kept["array"][:] = 7
            kept["array"][:] = np.frombuffer(kept["copy"], np.uint8)
            frame = np.frombuffer(img.as_memoryview(), np.uint8)
            checks.append(not np.all(frame == 7))
        return 0

    try:
        assert nimbragst.start_stream("kept", cb) == 0
    finally:
        nimbragst._set_config_path(str(tmp_path / "gone.conf"))
    assert kept["n"] == 100
    assert len(checks) == 20 and all(checks), checks
    # Still readable after the stream and its buffers are gone.
    assert bytes(kept["view"]) == kept["copy"]


def test_drawing_through_a_view_reaches_the_next_reader_of_the_frame(tmp_path):
    """to_bytes() after a write through the view shows the write (same frame)."""
    seen = []

    def cb(img):
        view = img.as_memoryview()
        view[0] = 0xAB
        seen.append(img.to_bytes()[0])
        return 0

    assert nimbragst._call_with_image(cb, 4, 2) == 0
    assert seen == [0xAB]


def demuxed_video_frames(path):
    """Video frames of an MP4 as its demuxer sees them; 0 when the file does not demux."""
    import gi

    gi.require_version("Gst", "1.0")
    from gi.repository import Gst
    Gst.init(None)
    pipe = Gst.parse_launch(f'filesrc location="{path}" ! qtdemux ! appsink name=sink sync=false')
    sink = pipe.get_by_name("sink")
    pipe.set_state(Gst.State.PLAYING)
    n = 0
    try:
        while sink.emit("try-pull-sample", 30 * Gst.SECOND) is not None:
            n += 1
        if pipe.get_bus().pop_filtered(Gst.MessageType.ERROR) is not None:
            return 0
    finally:
        pipe.set_state(Gst.State.NULL)
    return n


PATTERNS = {
    # The recommended shape: streams on threads, the main thread waiting on them.
    "thread-join": """
        t = threading.Thread(target=run, daemon=DAEMON)
        t.start()
        t.join()
    """,
    "sleep-loop": """
        t = threading.Thread(target=run, daemon=DAEMON)
        t.start()
        while True:
            time.sleep(0.2)
    """,
    "main-thread": """
        run()
    """,
}


@pytest.mark.parametrize("pattern,daemon", [("thread-join", False), ("thread-join", True),
                                            ("sleep-loop", True), ("main-thread", False)])
def test_one_ctrl_c_leaves_a_playable_recording(tmp_path, pattern, daemon):
    out_file = tmp_path / "drawn.mp4"
    conf = write_config(tmp_path / "nimbra-gst.conf", {
        "streamsId": "drawn", "properties": {
            "saveMp4": True, "width": 160, "height": 96, "fps": 25, "outputFile": str(out_file)}})
    script = tmp_path / "app.py"
    script.write_text(textwrap.dedent("""
        import signal, sys, threading, time
        # As started from a terminal: Ctrl+C raises KeyboardInterrupt (a shell without job
        # control starts background programs with SIGINT ignored).
        signal.signal(signal.SIGINT, signal.default_int_handler)
        import nimbragst
        DAEMON = %s
        nimbragst._set_config_path(sys.argv[1])
        seen = []
        def cb(img):
            seen.append(1)
            if len(seen) == 30:
                print("PLAYING", flush=True)
            return 0
        def run():
            nimbragst.start_stream("drawn", cb)
    """ % daemon) + textwrap.dedent(PATTERNS[pattern]))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in [str(Path(nimbragst.__file__).parent), env.get("PYTHONPATH", "")] if p)
    err_file = tmp_path / "stderr.txt"
    with open(err_file, "w") as err:
        proc = subprocess.Popen([sys.executable, str(script), conf], stdout=subprocess.PIPE,
                                stderr=err, text=True, env=env)
    try:
        # The library prints a few lines of its own before the callback's.
        for line in proc.stdout:
            if line.strip() == "PLAYING":
                break
        else:
            pytest.fail("the stream never played: " + err_file.read_text()[-2000:])
        proc.send_signal(signal.SIGINT)
        proc.wait(timeout=HANG_TIMEOUT)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert demuxed_video_frames(out_file) >= 30, err_file.read_text()[-2000:]
