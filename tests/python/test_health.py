"""Stream health from Python: numbers while a stream runs, its end state afterwards, a
slow callback seen in its own percentiles, and the dry-run description."""
import json
import os
import threading
from pathlib import Path

import pytest

if os.environ.get("NIMBRA_EXPECT_PYMODULE"):
    import nimbragst
else:
    nimbragst = pytest.importorskip("nimbragst")

BUILD_DIR = Path(nimbragst.__file__).resolve().parent.parent
MEDIA = Path(os.environ.get("NIMBRA_MEDIA_DIR", BUILD_DIR / "media"))
os.environ.setdefault("GST_PLUGIN_PATH", str(BUILD_DIR / "platform" / "gst-soft"))
HANG_TIMEOUT = 120  # a guard against hangs only


def write_config(path, *streams):
    path.write_text(json.dumps({"streams": list(streams)}))
    nimbragst._set_config_path(str(path))


def test_health_of_a_running_and_an_ended_stream(tmp_path):
    clip = MEDIA / "h264_small.mp4"
    assert clip.is_file(), f"missing test media {clip}"
    write_config(tmp_path / "nimbra-gst.conf", {
        "streamsId": "py_health", "properties": {
            "inputType": "file", "inputAddr": str(clip), "decodeType": "H264",
            "manualRebuild": True}})
    seen = {"frames": 0}
    during = {}
    checked = threading.Event()

    def cb(img):
        seen["frames"] += 1
        if seen["frames"] == 5:
            # Asked from the callback itself: the stream's record must not lock it out.
            during["h"] = nimbragst.get_stream_health("py_health")
            checked.set()
        return 0

    rc = nimbragst.start_stream("py_health", cb)
    assert rc == 0
    assert checked.is_set()
    h = during["h"]
    assert h.stream_id == "py_health" and h.kind == "classic"
    assert h.state == "playing" and h.running
    assert h.frames_delivered >= 4

    end = nimbragst.get_stream_health("py_health")
    assert end.state == "stopped" and not end.running
    assert end.frames_delivered == seen["frames"]
    assert end.frames_decoded >= end.frames_delivered
    # A file is not live: its callback skips no frame.
    assert end.frames_skipped == 0
    assert end.frames_decoded == end.frames_delivered + end.frames_skipped
    assert end.last_error == ""
    assert end.last_error_age_s == -1.0 and end.last_error_recovered is False
    assert any(s.stream_id == "py_health" for s in nimbragst.list_stream_health())
    assert "py_health" in repr(end)


def test_unknown_stream_and_bad_stall_time():
    assert nimbragst.get_stream_health("no_such_stream_anywhere") is None
    with pytest.raises(ValueError):
        nimbragst.set_stall_timeout(0)
    nimbragst.set_stall_timeout(5)


def test_slow_python_callback_shows_in_its_percentiles(tmp_path):
    write_config(tmp_path / "nimbra-gst.conf", {
        "streamsId": "py_slow", "properties": {
            "saveMp4": True, "width": 64, "height": 48, "fps": 25,
            "outputFile": str(tmp_path / "slow.mp4")}})
    frames = []
    stop = threading.Event()

    def cb(img):
        frames.append(1)
        stop.wait(0.05)  # a callback that takes 50 ms, on purpose
        if len(frames) == 20:
            threading.Thread(target=nimbragst.shutdown, args=("py_slow",)).start()
        return 0

    assert nimbragst.start_stream("py_slow", cb) == 0
    h = nimbragst.get_stream_health("py_slow")
    assert h.kind == "frame-push" and h.state == "stopped"
    assert h.frames_delivered >= 20
    # At least the wait (the histogram's resolution is about a tenth); the upper bound
    # only catches a wrong unit, as a loaded machine may stretch any wait.
    assert 40.0 <= h.callback_p50_ms <= 1000.0
    assert h.callback_p99_ms >= h.callback_p50_ms


def test_describe_stream_pipeline(tmp_path):
    out = tmp_path / "never.mp4"
    write_config(tmp_path / "nimbra-gst.conf", {
        "streamsId": "py_desc", "properties": {
            "saveMp4": True, "width": 64, "height": 48, "fps": 25, "outputFile": str(out)}})
    text = nimbragst.describe_stream_pipeline("py_desc")
    assert text is not None and "appsrc" in text and "mp4mux" in text
    assert not out.exists()
    assert nimbragst.describe_stream_pipeline("not_configured") is None
