"""Tests of the Python module nimbragst against real streams of the generated media.

Streams run through the library with a configuration written into tmp_path. Frame
callbacks arrive on GStreamer streaming threads; the internal hook _call_with_image
drives the same bridge from a bare C++ thread so the value the C++ side receives can be
checked exactly.
"""

import contextlib
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

if os.environ.get("NIMBRA_EXPECT_PYMODULE"):
    import nimbragst
else:
    nimbragst = pytest.importorskip("nimbragst")

BUILD_DIR = Path(nimbragst.__file__).resolve().parent.parent
MEDIA = Path(os.environ.get("NIMBRA_MEDIA_DIR", BUILD_DIR / "media"))
# By hand (outside ctest) the soft decoders come from the same build tree.
os.environ.setdefault("GST_PLUGIN_PATH", str(BUILD_DIR / "platform" / "gst-soft"))
EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "python_draw_box.py"

SMALL_W, SMALL_H, SMALL_FRAMES = 320, 240, 100
LONG_FRAMES = 125  # h264_1080p.mp4
# Safety nets against hangs only; never a statement about speed.
HANG_TIMEOUT = 120


# ------------------------------------------------------------------------------------
# helpers


def media(name):
    path = MEDIA / name
    assert path.is_file(), f"missing test media {path} (build the nimbra-media target)"
    return str(path)


def file_stream(sid, clip, codec="H264", **extra):
    props = {"inputType": "file", "inputAddr": media(clip), "decodeType": codec}
    props.update(extra)
    return {"streamsId": sid, "properties": props}


@pytest.fixture
def configure(tmp_path):
    """Writes the given stream entries as the library's configuration file."""

    def write(*streams):
        path = tmp_path / "nimbra-gst.conf"
        path.write_text(json.dumps({"streams": list(streams)}))
        nimbragst._set_config_path(str(path))
        return path

    yield write
    # Later tests must not see a deleted file by accident.
    nimbragst._set_config_path(str(tmp_path / "gone.conf"))


@contextlib.contextmanager
def captured_unraisable():
    seen = []
    lock = threading.Lock()

    def hook(unraisable):
        with lock:
            seen.append((unraisable.exc_type, str(unraisable.exc_value), unraisable.object))

    old = sys.unraisablehook
    sys.unraisablehook = hook
    try:
        yield seen
    finally:
        sys.unraisablehook = old


def run_in_thread(fn, *args):
    """Runs fn on a Python thread; returns (thread, result box)."""
    box = {}

    def body():
        try:
            box["result"] = fn(*args)
        except BaseException as e:  # reported by the caller
            box["error"] = e

    t = threading.Thread(target=body, daemon=True)
    t.start()
    return t, box


def decode_rgb_frames(path):
    """Decodes a video file to a list of (height, width, 3) uint8 RGB arrays."""
    try:
        import gi

        gi.require_version("Gst", "1.0")
        from gi.repository import Gst
    except (ImportError, ValueError):
        return decode_rgb_frames_cli(path)
    Gst.init(None)
    pipe = Gst.parse_launch(
        f'filesrc location="{path}" ! decodebin ! videoconvert ! video/x-raw,format=RGB ! '
        "appsink name=sink sync=false")
    sink = pipe.get_by_name("sink")
    pipe.set_state(Gst.State.PLAYING)
    frames = []
    try:
        while True:
            sample = sink.emit("try-pull-sample", 30 * Gst.SECOND)
            if sample is None:
                break
            s = sample.get_caps().get_structure(0)
            w, h = s.get_value("width"), s.get_value("height")
            buf = sample.get_buffer()
            data = buf.extract_dup(0, buf.get_size())
            stride = (w * 3 + 3) & ~3
            rows = np.frombuffer(data, np.uint8)[: stride * h].reshape(h, stride)
            frames.append(rows[:, : w * 3].reshape(h, w, 3).copy())
        msg = pipe.get_bus().pop_filtered(Gst.MessageType.ERROR)
        assert msg is None, f"decoding {path} failed: {msg.parse_error()[0].message}"
        assert sink.get_property("eos"), f"decoding {path} stalled"
    finally:
        pipe.set_state(Gst.State.NULL)
    return frames


def decode_rgb_frames_cli(path):
    exe = shutil.which("gst-launch-1.0")
    assert exe, "neither python3-gi nor gst-launch-1.0 available to decode the output"
    raw = f"{path}.rgb"
    out = subprocess.run(
        [exe, "-v", "filesrc", f"location={path}", "!", "decodebin", "!", "videoconvert", "!",
         "video/x-raw,format=RGB", "!", "filesink", f"location={raw}"],
        capture_output=True, text=True, timeout=HANG_TIMEOUT)
    assert out.returncode == 0, out.stderr
    import re

    caps = re.findall(r"video/x-raw, format=\(string\)RGB, width=\(int\)(\d+), height=\(int\)(\d+)",
                      out.stdout)
    assert caps, "no RGB caps negotiated"
    w, h = int(caps[-1][0]), int(caps[-1][1])
    stride = (w * 3 + 3) & ~3
    data = np.fromfile(raw, np.uint8)
    n = data.size // (stride * h)
    return [data[i * stride * h:(i + 1) * stride * h].reshape(h, stride)[:, : w * 3].reshape(h, w, 3)
            for i in range(n)]


# ------------------------------------------------------------------------------------
# module surface


def test_module_docs_and_signatures():
    assert nimbragst.__doc__ == "pybind11 example plugin"
    assert "Start stream (blocking); callback is GIL-safe." in nimbragst.start_stream.__doc__
    assert "Stop pipeline gracefully" in nimbragst.shutdown.__doc__
    assert nimbragst.get_stream_status() == -1


def test_enums_values_and_scope():
    L = nimbragst.LogLevel
    assert [int(L.SINFO), int(L.SWARNING), int(L.SERROR), int(L.SDEBUG), int(L.SOFF)] == [0, 1, 2, 3, 4]
    assert not hasattr(nimbragst, "SINFO")
    assert not hasattr(nimbragst, "SOFF")
    S = nimbragst.StreamType
    assert {k: int(v) for k, v in S.__members__.items()} == {"EMPTY": 0, "WAYLANDSINK": 1, "RTSPSINK": 2}
    assert not hasattr(nimbragst, "EMPTY")


def test_set_log_level_and_clogger(tmp_path):
    nimbragst.set_log_level(nimbragst.LogLevel.SWARNING)
    nimbragst.set_log_level(log_level=nimbragst.LogLevel.SINFO)
    with pytest.raises(TypeError):
        nimbragst.set_log_level(7)
    nimbragst.clogger(destinationPath=str(tmp_path / "nimbra.log"))


def test_image_defaults_and_properties():
    img = nimbragst.Image()
    assert (img.width, img.height, img.size, img.fps, img.pipe_status) == (0, 0, 0, 0.0, 0)
    assert (img.stream_id, img.pts, img.frame_index) == ("", -1, 0)
    for read_only, value in (("stream_id", "x"), ("pts", 5), ("frame_index", 5)):
        with pytest.raises(AttributeError):
            setattr(img, read_only, value)
    assert img.to_bytes() == b""
    view = img.as_memoryview()
    assert isinstance(view, memoryview) and len(view) == 0 and not view.readonly
    img.width, img.height, img.size, img.fps, img.pipe_status = 4, 3, 36, 12.5, 2
    assert (img.width, img.height, img.size, img.fps, img.pipe_status) == (4, 3, 36, 12.5, 2)
    # Still no pixels behind it, whatever size claims.
    assert img.to_bytes() == b"" and len(img.as_memoryview()) == 0
    other = nimbragst.Image()
    assert other.width == 0, "each Image must own its record"
    with pytest.raises(TypeError):
        img.width = "wide"
    for hidden in ("data", "src_width", "timestamp"):
        assert not hasattr(img, hidden)


def test_get_data_shape_strides_and_content():
    payload = bytes(range(18))
    m = nimbragst.get_data(2, 3, payload)
    assert isinstance(m, nimbragst.mat_image) and not m.is_empty()
    a = np.asarray(m)
    assert a.shape == (2, 3, 3) and a.strides == (9, 3, 1) and a.dtype == np.uint8
    assert a.tobytes() == payload
    mv = memoryview(m)
    assert mv.format == "B" and mv.itemsize == 1 and mv.ndim == 3 and not mv.readonly
    # Writable and backed by the object: a write shows in a second view.
    a[1, 2, 0] = 200
    assert np.asarray(m)[1, 2, 0] == 200


def test_get_data_copies_its_input():
    src = bytearray(range(12))
    m = nimbragst.get_data(1, 4, bytes(src))
    np.asarray(m)[0, 0, 0] = 99
    m2 = nimbragst.get_data(1, 4, bytes(src))
    assert np.asarray(m2)[0, 0, 0] == 0


def test_get_data_accepts_str_as_utf8():
    text = "é" * 9  # 18 UTF-8 bytes, 9 code points
    a = np.asarray(nimbragst.get_data(2, 3, text))
    assert a.tobytes() == text.encode("utf-8")
    b = np.asarray(nimbragst.get_data(2, 3, "abcdefghijklmnopqr"))
    assert b.tobytes() == b"abcdefghijklmnopqr"


def test_get_data_rejects_bad_input():
    with pytest.raises(ValueError):
        nimbragst.get_data(2, 3, b"\x00" * 17)
    with pytest.raises(ValueError):
        nimbragst.get_data(100000, 100000, b"abc")
    with pytest.raises(ValueError):
        nimbragst.get_data(-1, 3, b"\x00" * 18)
    with pytest.raises(TypeError):
        nimbragst.get_data(2, 3, 12345)
    with pytest.raises(TypeError):
        nimbragst.get_data(rows=2, cols=3, data=b"\x00" * 18)
    empty = nimbragst.get_data(0, 0, b"")
    assert empty.is_empty()
    assert np.asarray(empty).size == 0
    with pytest.raises(TypeError):
        nimbragst.mat_image()


def test_shutdown_is_positional_only_and_harmless_for_unknown_ids(configure):
    configure(file_stream("f", "h264_small.mp4"))
    with pytest.raises(TypeError):
        nimbragst.shutdown(stream_id="f")
    assert nimbragst.shutdown("no_such_stream") is None


# ------------------------------------------------------------------------------------
# choosing the configuration file, and the log level


def test_config_path_is_public_checked_and_a_start_keyword(configure, tmp_path):
    first = configure(file_stream("f", "h264_small.mp4"))
    assert nimbragst.get_config_path() == str(first)
    # A file that cannot be read is refused with the error Python code expects, and the
    # file in use stays.
    with pytest.raises(FileNotFoundError):
        nimbragst.set_config_path(tmp_path / "typo.conf")
    with pytest.raises(IsADirectoryError):
        nimbragst.set_config_path(tmp_path)
    assert nimbragst.get_config_path() == str(first)

    other = tmp_path / "other.conf"
    other.write_text(json.dumps({"streams": [file_stream("g", "h264_small.mp4")]}))
    nimbragst.set_config_path(other)  # a path object is taken too
    assert nimbragst.get_config_path() == str(other)
    assert nimbragst.start_stream("f", lambda img: 0) == -1  # "f" is not in this one

    # config= on the start functions: the file is used from then on.
    nimbragst.set_config_path(first)
    frames = []
    assert nimbragst.start_stream("g", frames.append, config=str(other)) == 0
    assert len(frames) == SMALL_FRAMES and nimbragst.get_config_path() == str(other)
    assert "filesrc" in nimbragst.describe_stream_pipeline("f", config=first)
    with pytest.raises(FileNotFoundError):
        nimbragst.start_stream("g", frames.append, config=tmp_path / "typo.conf")
    with pytest.raises(TypeError):
        nimbragst.start_stream("g", frames.append, str(other))  # keyword only


LOG_PROBE = """
import sys, nimbragst
nimbragst.set_config_path(sys.argv[1])
if len(sys.argv) > 2:
    nimbragst.set_log_level(getattr(nimbragst.LogLevel, sys.argv[2]))
print("rc", nimbragst.start_stream("f", lambda img: 0), flush=True)
"""


def test_default_log_level_is_warning_and_can_be_raised(configure, tmp_path):
    """A program that streams prints nothing of the library's progress unless asked to:
    by NIMBRA_LOG_LEVEL or by set_log_level()."""
    conf = configure(file_stream("f", "h264_small.mp4"))
    script = tmp_path / "probe.py"
    script.write_text(LOG_PROBE)
    base = dict(os.environ)
    base.pop("NIMBRA_LOG_LEVEL", None)
    base["PYTHONPATH"] = os.pathsep.join(p for p in [str(Path(nimbragst.__file__).parent),
                                                     base.get("PYTHONPATH", "")] if p)

    def run(*args, level=None):
        env = dict(base)
        if level is not None:
            env["NIMBRA_LOG_LEVEL"] = level
        out = subprocess.run([sys.executable, str(script), str(conf), *args], capture_output=True, text=True,
                             env=env, timeout=HANG_TIMEOUT)
        assert "rc 0" in out.stdout, out.stderr[-2000:]
        return [l for l in out.stderr.splitlines() if "[nimbra]" in l]

    assert run() == []
    info = run(level="info")
    assert any("[INFO]" in l for l in info), info
    assert any("[INFO]" in l for l in run("SINFO"))
    assert run(level="Error") == []
    # A level the variable cannot name is said once, and warnings stay.
    bad = run(level="chatty")
    assert len(bad) == 1 and "[WARN]" in bad[0] and "chatty" in bad[0], bad


# ------------------------------------------------------------------------------------
# the frame bridge, driven from a C++ thread


@pytest.mark.parametrize("returned, received", [
    (5, 5), (300, 44), (0, 0), (-1, -1), (127, 127), (128, -128), (255, -1), (-300, -44),
    (True, 1), (2**70 + 3, 3), (np.int64(7), 7),
])
def test_bridge_truncates_results_to_8_bits(returned, received):
    with captured_unraisable() as errors:
        assert nimbragst._call_with_image(lambda img: returned, 8, 2) == received
    assert errors == []


def test_bridge_runs_callback_on_foreign_thread_with_frame():
    seen = {}

    def cb(img):
        seen["thread"] = threading.get_ident()
        seen["dims"] = (img.width, img.height, img.size)
        seen["bytes"] = img.to_bytes()
        view = img.as_memoryview()
        seen["view"] = (len(view), view.readonly)
        view[0] = 0xAB  # writable scratch memory
        seen["after"] = img.to_bytes()[0]
        return 1

    assert nimbragst._call_with_image(cb, 5, 2) == 1
    assert seen["thread"] != threading.get_ident()
    assert seen["dims"] == (5, 2, 30)
    assert seen["bytes"] == bytes(range(30))
    assert seen["view"] == (30, False)
    assert seen["after"] == 0xAB


def test_bridge_image_kept_past_the_call_loses_its_pixels():
    kept = []
    nimbragst._call_with_image(lambda img: kept.append(img) or 0, 4, 4)
    (img,) = kept
    assert (img.width, img.height, img.size) == (4, 4, 48)
    assert img.to_bytes() == b""
    assert len(img.as_memoryview()) == 0


def test_bridge_none_result_counts_as_zero():
    """A callback without a return statement is the common case: no report, result 0."""
    def cb(img):
        img.width  # does something, returns nothing

    with captured_unraisable() as errors:
        assert nimbragst._call_with_image(cb, 2, 2) == 0
        assert nimbragst._call_with_image(lambda img: None, 2, 2, repeat=5) == 0
    assert errors == []


@pytest.mark.parametrize("result", ["x", 1.5, [1]])
def test_bridge_non_int_result_is_unraisable_and_minus_one(result):
    def cb(img):
        return result

    with captured_unraisable() as errors:
        assert nimbragst._call_with_image(cb, 2, 2) == -1
    assert len(errors) == 1
    exc_type, message, obj = errors[0]
    assert exc_type is TypeError and type(result).__name__ in message
    assert obj is cb


def test_bridge_exception_is_unraisable_and_minus_one():
    class Boom(Exception):
        pass

    def cb(img):
        raise Boom("frame went wrong")

    with captured_unraisable() as errors:
        assert nimbragst._call_with_image(cb, 2, 2) == -1
        # The bridge stays usable afterwards.
        assert nimbragst._call_with_image(lambda img: 9, 2, 2) == 9
    assert [(e[0], e[1]) for e in errors] == [(Boom, "frame went wrong")]


def test_bridge_exception_in_int_conversion_is_contained():
    class BadIndex:
        def __index__(self):
            raise RuntimeError("no index today")

    with captured_unraisable() as errors:
        assert nimbragst._call_with_image(lambda img: BadIndex(), 1, 1) == -1
    assert len(errors) == 1 and errors[0][0] is RuntimeError


def test_bridge_releases_callable():
    def cb(img):
        return 3

    before = sys.getrefcount(cb)
    for _ in range(20):
        assert nimbragst._call_with_image(cb, 2, 2, repeat=3) == 3
    assert sys.getrefcount(cb) == before


def test_bridge_rejects_non_callable_and_bad_sizes():
    with pytest.raises(TypeError):
        nimbragst._call_with_image(42, 1, 1)
    with pytest.raises(ValueError):
        nimbragst._call_with_image(lambda img: 0, -1, 1)


def test_bridge_concurrent_callers():
    """Several Python threads drive the bridge at once; each gets its own answers."""
    results = {}
    errors = []

    def cb_for(k):
        def cb(img):
            assert img.width == k + 1
            return k * 100  # distinct after truncation for k < 3; see expected below
        return cb

    callbacks = [cb_for(k) for k in range(4)]
    before = [sys.getrefcount(cb) for cb in callbacks]

    def worker(k):
        try:
            got = [nimbragst._call_with_image(callbacks[k], k + 1, 3) for _ in range(50)]
            results[k] = got
        except BaseException as e:
            errors.append(e)

    with captured_unraisable() as unraisable:
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(HANG_TIMEOUT)
            assert not t.is_alive(), "bridge deadlocked"
    assert errors == [] and unraisable == []
    for k in range(4):
        expected = ((k * 100 + 128) % 256) - 128
        assert results[k] == [expected] * 50
    assert [sys.getrefcount(cb) for cb in callbacks] == before


# ------------------------------------------------------------------------------------
# real streams


def test_stream_delivers_every_frame_on_streaming_thread(configure):
    configure(file_stream("f", "h264_small.mp4"))
    frames = []
    main = threading.get_ident()

    def cb(img):
        data = img.to_bytes()
        frames.append((threading.get_ident(), img.width, img.height, img.size, len(data),
                       float(np.frombuffer(data, np.uint8).std())))
        return 0

    assert nimbragst.start_stream("f", cb) == 0
    assert len(frames) == SMALL_FRAMES
    for ident, w, h, size, nbytes, spread in frames:
        assert ident != main
        assert (w, h) == (SMALL_W, SMALL_H)
        assert size >= w * h * 3 and nbytes == size
        assert spread > 10, "frame is a flat fill, not a decoded picture"


def test_stream_unknown_id_fails_and_releases_callable(configure):
    configure(file_stream("f", "h264_small.mp4"))

    def cb(img):
        return 0

    before = sys.getrefcount(cb)
    assert nimbragst.start_stream("not_configured", cb) == -1
    assert sys.getrefcount(cb) == before


def test_stream_releases_callable_after_normal_end(configure):
    configure(file_stream("f", "h264_small.mp4"))
    calls = []

    def cb(img):
        calls.append(1)
        return 0

    before = sys.getrefcount(cb)
    assert nimbragst.start_stream("f", cb) == 0
    assert len(calls) == SMALL_FRAMES
    assert sys.getrefcount(cb) == before


def test_stream_broken_config_is_an_error_not_a_crash(configure, tmp_path):
    path = tmp_path / "broken.conf"
    path.write_text('{"streams": [ {"streamsId": "f", "properties": ')
    nimbragst._set_config_path(str(path))

    def cb(img):
        return 0

    before = sys.getrefcount(cb)
    try:
        rc = nimbragst.start_stream("f", cb)
    except RuntimeError:
        rc = -1
    assert rc == -1
    assert sys.getrefcount(cb) == before


def test_stream_rejects_non_callable(configure):
    configure(file_stream("f", "h264_small.mp4"))
    with pytest.raises(TypeError):
        nimbragst.start_stream("f", "not callable")


@pytest.mark.parametrize("mode", ["raise", "string"])
def test_stream_continues_when_every_callback_fails(configure, mode):
    configure(file_stream("f", "h264_small.mp4"))
    calls = []

    def cb(img):
        calls.append(img.width)
        if mode == "raise":
            raise ValueError(f"bad frame {len(calls)}")
        return "done"

    before = sys.getrefcount(cb)
    with captured_unraisable() as errors:
        assert nimbragst.start_stream("f", cb) == 0
    assert len(calls) == SMALL_FRAMES
    assert len(errors) == SMALL_FRAMES
    expected = ValueError if mode == "raise" else TypeError
    assert all(e[0] is expected and e[2] is cb for e in errors)
    errors.clear()  # the reports themselves hold the callable
    assert sys.getrefcount(cb) == before


def clip_pts(path):
    """Presentation times of the clip's frames, read by a stock GStreamer decoder."""
    import gi

    gi.require_version("Gst", "1.0")
    from gi.repository import Gst
    Gst.init(None)
    pipe = Gst.parse_launch(f'filesrc location="{path}" ! qtdemux ! h264parse ! avdec_h264 ! '
                            "appsink name=sink sync=false")
    sink = pipe.get_by_name("sink")
    pipe.set_state(Gst.State.PLAYING)
    pts = []
    try:
        while (sample := sink.emit("try-pull-sample", 30 * Gst.SECOND)) is not None:
            pts.append(sample.get_buffer().pts)
    finally:
        pipe.set_state(Gst.State.NULL)
    return pts


def test_frames_name_their_stream_time_and_index_and_none_is_fine(configure):
    """A callback that returns nothing sees every frame without a report, and each frame
    carries its stream id, its running number and the clip's own presentation time."""
    configure(file_stream("named", "h264_small.mp4"))
    seen = []

    def cb(img):
        seen.append((img.stream_id, img.frame_index, img.pts))

    with captured_unraisable() as errors:
        assert nimbragst.start_stream("named", cb) == 0
    assert errors == []
    assert len(seen) == SMALL_FRAMES
    assert {s[0] for s in seen} == {"named"}
    assert [s[1] for s in seen] == list(range(1, SMALL_FRAMES + 1))
    assert [s[2] for s in seen] == clip_pts(media("h264_small.mp4"))


def test_shutdown_from_another_thread_ends_blocking_stream(configure):
    configure(file_stream("long", "h264_1080p.mp4"))
    started = threading.Event()
    calls = []

    def cb(img):
        calls.append(img.height)
        if len(calls) == 5:
            started.set()
        # Keeps the stream far from its natural end while shutdown travels.
        time.sleep(0.02)
        return 0

    def stopper():
        assert started.wait(HANG_TIMEOUT), "stream never delivered frames"
        nimbragst.shutdown("long")

    stop_thread, stop_box = run_in_thread(stopper)
    rc = nimbragst.start_stream("long", cb)
    delivered = len(calls)
    stop_thread.join(HANG_TIMEOUT)
    assert "error" not in stop_box, stop_box.get("error")
    assert rc == 0
    assert 5 <= delivered < LONG_FRAMES, f"stream was not stopped early ({delivered} frames)"
    assert all(h == 1080 for h in calls)


def test_other_python_threads_run_during_stream(configure):
    """start_stream must release the GIL: a counting thread keeps advancing meanwhile."""
    configure(file_stream("long", "h264_1080p.mp4"))
    counter = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0.001)

    seen = []

    def cb(img):
        seen.append(counter[0])
        return 0

    t = threading.Thread(target=count, daemon=True)
    t.start()
    try:
        assert nimbragst.start_stream("long", cb) == 0
    finally:
        stop.set()
        t.join(HANG_TIMEOUT)
    assert len(seen) == LONG_FRAMES
    assert seen[-1] > seen[0], "counter thread never ran while the stream was active"
    assert seen == sorted(seen)


def test_drawing_through_memoryview_reaches_recorded_mp4(configure, tmp_path):
    out = tmp_path / "boxed.mp4"
    configure(file_stream("rec", "h264_small.mp4", outputType="mp4", outputAddr=str(out),
                          width=SMALL_W, height=SMALL_H))
    red = (slice(40, 100), slice(40, 140))
    blue = (slice(140, 200), slice(180, 280))
    calls = []

    def cb(img):
        frame = np.frombuffer(img.as_memoryview(), dtype=np.uint8, count=img.width * img.height * 3)
        frame = frame.reshape(img.height, img.width, 3)
        frame[red] = (255, 0, 0)
        frame[blue] = (0, 0, 255)
        calls.append(1)
        return 0

    assert nimbragst.start_stream("rec", cb) == 0
    assert len(calls) == SMALL_FRAMES
    assert out.is_file() and out.stat().st_size > 0

    frames = decode_rgb_frames(out)
    assert len(frames) >= SMALL_FRAMES - 5
    assert frames[0].shape[1] == SMALL_W and frames[0].shape[0] >= SMALL_H
    inner = lambda s: slice(s.start + 4, s.stop - 4)  # noqa: E731 (away from chroma edges)
    for f in frames[5:-5:10]:
        r = f[inner(red[0]), inner(red[1])].reshape(-1, 3).mean(axis=0)
        b = f[inner(blue[0]), inner(blue[1])].reshape(-1, 3).mean(axis=0)
        assert r[0] > 200 and r[1] < 60 and r[2] < 60, f"red box reads {r}"
        assert b[2] > 200 and b[0] < 60 and b[1] < 60, f"blue box reads {b}"

    # The same regions of the untouched input are not these colours.
    source = decode_rgb_frames(media("h264_small.mp4"))
    r = source[50][inner(red[0]), inner(red[1])].reshape(-1, 3).mean(axis=0)
    assert not (r[0] > 200 and r[1] < 60 and r[2] < 60)


def test_image_kept_from_stream_has_no_pixels_afterwards(configure):
    configure(file_stream("f", "h264_small.mp4"))
    kept = []

    def cb(img):
        if not kept:
            kept.append((img, len(img.to_bytes())))
        return 0

    assert nimbragst.start_stream("f", cb) == 0
    img, size_during = kept[0]
    assert size_during == SMALL_W * SMALL_H * 3
    assert img.width == SMALL_W
    assert img.to_bytes() == b"" and len(img.as_memoryview()) == 0


@pytest.mark.parametrize("caller", ["main", "worker"])
def test_drawn_stream_calls_back_on_the_callers_own_thread(configure, tmp_path, caller):
    """A frame-push stream runs the callback on the thread that called start_stream,
    a thread Python owns: the bridge must reuse its state, not make another."""
    out = tmp_path / "drawn.mp4"
    configure({"streamsId": "drawn", "properties": {
        "saveMp4": True, "width": 64, "height": 48, "fps": 25, "outputFile": str(out)}})
    seen = []

    def cb(img):
        seen.append((threading.get_ident(), img.width, img.height, img.size))
        frame = np.frombuffer(img.as_memoryview(), np.uint8).reshape(img.height, img.width, 3)
        frame[:] = (0, 0, 255)
        if len(seen) == 12:
            threading.Thread(target=nimbragst.shutdown, args=("drawn",)).start()
        return 0

    before = sys.getrefcount(cb)
    if caller == "main":
        rc, ident = nimbragst.start_stream("drawn", cb), threading.get_ident()
    else:
        t, box = run_in_thread(lambda: (nimbragst.start_stream("drawn", cb), threading.get_ident()))
        t.join(HANG_TIMEOUT)
        assert not t.is_alive(), "frame-push stream did not stop"
        assert "error" not in box, box.get("error")
        rc, ident = box["result"]
    assert rc == 0
    assert len(seen) >= 12
    assert all(s == (ident, 64, 48, 64 * 48 * 3) for s in seen)
    assert sys.getrefcount(cb) == before
    # The bridge still works from a foreign thread afterwards.
    assert nimbragst._call_with_image(lambda img: 6, 1, 1) == 6

    frames = decode_rgb_frames(out)
    assert len(frames) >= 10
    for f in frames:
        m = f[4:44, 4:60].reshape(-1, 3).mean(axis=0)
        assert m[2] > 200 and m[0] < 60 and m[1] < 60, f"drawn frame reads {m}"


def test_cpp_counting_hook_sees_every_frame(configure):
    configure(file_stream("f", "h264_small.mp4"))
    assert nimbragst._start_stream_cpp_counting("f") == SMALL_FRAMES
    assert nimbragst._start_stream_cpp_counting("missing") == -1


@pytest.mark.parametrize("callback_sleeps", [False, True])
def test_interpreter_exit_during_stream_in_daemon_thread(configure, tmp_path, callback_sleeps):
    """Python ends daemon threads that want the GIL while it finalizes (a forced unwind);
    frames arriving then must neither abort the process nor touch the interpreter. The
    race is timing dependent, so the exit is tried at several points of the stream."""
    conf = configure(file_stream("long", "h264_bench_1080p.mp4"))
    script = tmp_path / "exit_mid_stream.py"
    script.write_text(
        "import sys, threading, time, nimbragst\n"
        f"nimbragst._set_config_path({str(conf)!r})\n"
        "started = threading.Event()\n"
        "def cb(img):\n"
        "    started.set()\n"
        f"    {'time.sleep(0.001)' if callback_sleeps else 'pass'}\n"
        "    return 0\n"
        "threading.Thread(target=nimbragst.start_stream, args=('long', cb), daemon=True).start()\n"
        "assert started.wait(60)\n"
        "time.sleep(float(sys.argv[1]))\n"
        "print('main exiting', flush=True)\n")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [str(Path(nimbragst.__file__).parent),
                                                    env.get("PYTHONPATH", "")] if p)
    for delay in ("0", "0.01", "0.03", "0.05", "0.08"):
        out = subprocess.run([sys.executable, str(script), delay], capture_output=True, text=True,
                             env=env, timeout=HANG_TIMEOUT)
        tail = "\n".join(l for l in out.stderr.splitlines() if "[nimbra]" not in l)[-2000:]
        assert out.returncode == 0, f"exit after {delay} s: rc {out.returncode}\n{tail}"
        assert "main exiting" in out.stdout


def test_type_stub_matches_module():
    import ast

    stub = Path(__file__).resolve().parents[2] / "modules" / "pybind" / "nimbragst.pyi"
    tree = ast.parse(stub.read_text())
    declared = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    actual = {n for n in dir(nimbragst) if not n.startswith("__")}
    assert declared == actual
    # The members of the classes: plain fields are writable, properties read-only, as in
    # the module.
    for cls in (n for n in tree.body if isinstance(n, ast.ClassDef) and n.name in ("Image", "StreamHealth")):
        fields = {n.target.id for n in cls.body if isinstance(n, ast.AnnAssign)}
        props = {n.name for n in cls.body if isinstance(n, ast.FunctionDef)
                 and any(isinstance(d, ast.Name) and d.id == "property" for d in n.decorator_list)}
        real = getattr(nimbragst, cls.name)
        members = {n for n in dir(real) if not n.startswith("_") and not callable(getattr(real, n))}
        assert fields | props == members, cls.name
        if cls.name == "Image":
            img = real()
            for f in fields:
                setattr(img, f, getattr(img, f))
            for p in props:
                with pytest.raises(AttributeError):
                    setattr(img, p, getattr(img, p))
    image = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Image")
    fields = {n.target.id for n in image.body if isinstance(n, ast.AnnAssign)}
    assert fields == {"width", "height", "size", "fps", "pipe_status"}


# ------------------------------------------------------------------------------------
# the example program


def test_example_draw_box_runs_and_stops_on_sigint(configure, tmp_path):
    conf = configure(file_stream("clip", "h264_small.mp4"))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [str(Path(nimbragst.__file__).parent),
                                                    env.get("PYTHONPATH", "")] if p)
    proc = subprocess.Popen(
        [sys.executable, str(EXAMPLE), "--config", str(conf), "--loop", "clip"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    lines = []
    try:
        deadline = time.monotonic() + HANG_TIMEOUT
        while time.monotonic() < deadline:
            line = proc.stdout.readline()
            if not line:
                break
            lines.append(line)
            if " fps" in line and "clip" in line:
                break
        assert any(" fps" in l for l in lines), "".join(lines[-20:])
        proc.send_signal(signal.SIGINT)
        rest, _ = proc.communicate(timeout=HANG_TIMEOUT)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0, "".join(lines[-20:]) + rest
    assert "stopped" in rest


def test_example_draw_box_unknown_stream_fails(configure):
    conf = configure(file_stream("clip", "h264_small.mp4"))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [str(Path(nimbragst.__file__).parent),
                                                    env.get("PYTHONPATH", "")] if p)
    out = subprocess.run([sys.executable, str(EXAMPLE), "--config", str(conf), "nope"],
                         capture_output=True, text=True, env=env, timeout=HANG_TIMEOUT)
    assert out.returncode != 0
