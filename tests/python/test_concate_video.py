"""End-to-end tests of platform/concate_video.py on real splitmuxsink recordings.

Segments are recorded with GStreamer (x264/x265 + mp4mux, 1 s per file at 10 fps) once
per session and copied per test. Results are checked by demuxing them back: the encoded
samples of the output must be exactly those of the expected input segments (proving the
selection and that nothing was re-encoded), and decoding must give evenly spaced frames.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import threading
import time
import types
from pathlib import Path

import pytest

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

Gst.init(None)

SCRIPT = Path(__file__).resolve().parents[2] / "platform" / "concate_video.py"
FPS = 10
FRAME = 1.0 / FPS
SEGMENT_S = 1.0
# Safety net against a hung child; never an expectation on speed.
RUN_TIMEOUT = 120


# ------------------------------------------------------------------------------------
# helpers


def run_script(*args, cwd=None, env=None, direct=False):
    cmd = ([str(SCRIPT)] if direct else [sys.executable, str(SCRIPT)]) + [str(a) for a in args]
    return subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=RUN_TIMEOUT)


def wait_bus(pipeline, timeout_s=60):
    bus = pipeline.get_bus()
    msg = bus.timed_pop_filtered(int(timeout_s * Gst.SECOND),
                                 Gst.MessageType.EOS | Gst.MessageType.ERROR)
    pipeline.set_state(Gst.State.NULL)
    assert msg is not None, "pipeline did not finish"
    if msg.type == Gst.MessageType.ERROR:
        err, dbg = msg.parse_error()
        pytest.fail(f"pipeline error: {err.message} ({dbg})")


def record(out_dir, codec="h264", frames=120, width=160, height=120, audio=False):
    """Record `frames` frames at FPS into out_dir/%05d.mp4, one keyframe per second."""
    os.makedirs(out_dir, exist_ok=True)
    if codec == "h264":
        enc = f"x264enc speed-preset=ultrafast key-int-max={FPS} bframes=2 b-adapt=false ! h264parse"
    else:
        # x265's defaults (open GOP, B-frames) put leading pictures after each cut.
        enc = f"x265enc speed-preset=ultrafast key-int-max={FPS} ! h265parse"
    desc = (f"splitmuxsink name=m muxer=mp4mux max-size-time={int(SEGMENT_S * Gst.SECOND)} "
            f"videotestsrc num-buffers={frames} pattern=smpte horizontal-speed=3 ! "
            f"video/x-raw,format=I420,width={width},height={height},framerate={FPS}/1 ! "
            f"{enc} ! m.video ")
    if audio:
        nbuf = int(frames / FPS * 44100 / 1024) + 1
        desc += (f"audiotestsrc num-buffers={nbuf} samplesperbuffer=1024 ! "
                 "audio/x-raw,rate=44100,channels=1 ! avenc_aac ! aacparse ! m.audio_0")
    p = Gst.parse_launch(desc)
    p.get_by_name("m").set_property("location", os.path.join(str(out_dir), "%05d.mp4"))
    p.set_state(Gst.State.PLAYING)
    wait_bus(p)


def demux(path, stream="video_0"):
    """Samples of one stream of an MP4 as (pts, dts, sha1, keyframe), decode order."""
    p = Gst.parse_launch(f"filesrc name=f ! qtdemux name=d d.{stream} ! appsink name=s sync=false")
    p.get_by_name("f").set_property("location", str(path))
    sink = p.get_by_name("s")
    p.set_state(Gst.State.PLAYING)
    out = []
    caps = None
    while True:
        sample = sink.emit("try-pull-sample", 10 * Gst.SECOND)
        if sample is None:
            break
        caps = sample.get_caps().to_string()
        buf = sample.get_buffer()
        ok, info = buf.map(Gst.MapFlags.READ)
        assert ok
        digest = hashlib.sha1(bytes(info.data)).hexdigest()
        buf.unmap(info)
        out.append((buf.pts, buf.dts, digest,
                    not buf.has_flags(Gst.BufferFlags.DELTA_UNIT)))
    p.set_state(Gst.State.NULL)
    return out, caps


def decode(path):
    """(duration_s, [running time of every decoded video frame])."""
    p = Gst.parse_launch("filesrc name=f ! decodebin ! video/x-raw ! appsink name=s sync=false")
    p.get_by_name("f").set_property("location", str(path))
    sink = p.get_by_name("s")
    p.set_state(Gst.State.PAUSED)
    assert p.get_state(10 * Gst.SECOND)[0] == Gst.StateChangeReturn.SUCCESS
    ok, duration = p.query_duration(Gst.Format.TIME)
    assert ok
    p.set_state(Gst.State.PLAYING)
    times = []
    while True:
        sample = sink.emit("try-pull-sample", 10 * Gst.SECOND)
        if sample is None:
            break
        seg = sample.get_segment()
        times.append(seg.to_running_time(Gst.Format.TIME, sample.get_buffer().pts) / Gst.SECOND)
    p.set_state(Gst.State.NULL)
    return duration / Gst.SECOND, times


def hashes(samples):
    return [h for _, _, h, _ in samples]


def assert_playable(path, expected_s, tolerance=FRAME / 2):
    duration, times = decode(path)
    assert abs(duration - expected_s) <= tolerance, (duration, expected_s)
    assert times, "no frame decoded"
    assert abs(times[0]) < 1e-3, times[:3]
    steps = [b - a for a, b in zip(times, times[1:])]
    # Continuous timestamps: every frame exactly one frame period after the previous.
    assert all(abs(s - FRAME) < 2e-3 for s in steps), steps
    return times


def check_output_is(out, seg_dir, names, sample_map):
    """The output holds exactly the samples of `names`, in order, and plays continuously."""
    samples, caps = demux(out)
    expected = [h for n in names for h in sample_map[n]]
    assert hashes(samples) == expected
    dts = [d for _, d, _, _ in samples]
    assert all(b > a for a, b in zip(dts, dts[1:])), "DTS not increasing"
    times = assert_playable(out, SEGMENT_S * len(names))
    assert len(times) == len(expected)
    return caps


def snapshot(*dirs):
    out = set()
    for d in dirs:
        for base, subdirs, files in os.walk(d):
            for n in subdirs + files:
                out.add(os.path.join(base, n))
    return out


def names(indices):
    return [f"{i:05d}.mp4" for i in indices]


# ------------------------------------------------------------------------------------
# fixtures


@pytest.fixture(scope="session")
def h264_set(tmp_path_factory):
    d = tmp_path_factory.mktemp("h264") / "segments"
    record(d, "h264", frames=12 * FPS)
    files = sorted(os.listdir(d))
    assert files == names(range(12))
    sample_map = {n: hashes(demux(d / n)[0]) for n in files}
    assert all(len(v) == FPS for v in sample_map.values())
    flat = [h for v in sample_map.values() for h in v]
    assert len(set(flat)) == len(flat), "test pattern repeats; samples not identifiable"
    return d, sample_map


@pytest.fixture(scope="session")
def h265_set(tmp_path_factory):
    d = tmp_path_factory.mktemp("h265") / "segments"
    record(d, "h265", frames=6 * FPS)
    files = sorted(os.listdir(d))
    assert files == names(range(6))
    return d


@pytest.fixture
def stream(tmp_path, h264_set):
    """A root with one stream 'cam1' holding a fresh copy of the H.264 set."""
    src, sample_map = h264_set
    root = tmp_path / "root"
    seg_dir = root / "cam1"
    shutil.copytree(src, seg_dir)
    return root, seg_dir, sample_map


# ------------------------------------------------------------------------------------
# command line


def test_help_documents_options_and_exit_codes():
    r = run_script("--help")
    assert r.returncode == 0
    for opt in ("--seconds", "--output", "--root", "--stream-id", "--include-newest"):
        assert opt in r.stdout
    assert "Exit codes" in r.stdout
    for code in ("0", "1", "2"):
        assert any(line.strip().startswith(code + " ") for line in r.stdout.splitlines())


def test_script_is_executable_and_runs_directly(stream, tmp_path):
    # The library runs it by path; the shebang interpreter must end up with PyGObject.
    root, _, sample_map = stream
    assert os.access(SCRIPT, os.X_OK)
    assert SCRIPT.read_text().startswith("#!/usr/bin/env python3\n")
    out = tmp_path / "direct.mp4"
    # The library appends its own --stream-id after the caller's arguments; it wins.
    r = run_script("--stream-id", "nosuch", "--seconds", "2", "--output", out, "--root", root,
                   "--stream-id", "cam1", direct=True)
    assert r.returncode == 0, r.stderr
    check_output_is(out, root / "cam1", names([9, 10]), sample_map)


@pytest.mark.parametrize("args", [
    ["--bogus"],
    ["--seconds", "0"],
    ["--seconds", "-3"],
    ["--seconds", "abc"],
    ["--seconds", "nan"],
    ["--sec", "5"],  # no prefix matching: the library must pass exact names
])
def test_bad_arguments_exit_2(stream, tmp_path, args):
    root, _, _ = stream
    before = snapshot(tmp_path)
    r = run_script(*args, "--root", root, "--output", tmp_path / "o.mp4", "--stream-id", "cam1")
    assert r.returncode == 2
    lines = r.stderr.strip().splitlines()
    assert lines and all(line.startswith("concate_video: ") for line in lines)
    assert r.stdout == ""
    assert snapshot(tmp_path) == before


def test_missing_stream_id_and_output_dir(stream, tmp_path):
    root, _, _ = stream
    r = run_script("--root", root, "--output", tmp_path / "o.mp4")
    assert r.returncode == 2
    r = run_script("--root", root, "--output", tmp_path / "nodir" / "o.mp4", "--stream-id", "cam1")
    assert r.returncode == 2
    assert not (tmp_path / "nodir").exists()


# ------------------------------------------------------------------------------------
# selection and joining


def test_an_index_range_joins_exactly_those_segments(stream, tmp_path):
    # A recorder that numbers its segments itself asks for the ones around a moment,
    # newest included; a hole in the range is refused rather than joined over.
    root, seg_dir, sample_map = stream
    out = tmp_path / "range.mp4"
    r = run_script("--root", root, "--stream-id", "cam1", "--first-index", "3", "--last-index", "6",
                   "--output", out)
    assert r.returncode == 0, r.stderr
    check_output_is(out, seg_dir, names(range(3, 7)), sample_map)
    r = run_script("--root", root, "--stream-id", "cam1", "--first-index", "10", "--last-index", "11",
                   "--output", tmp_path / "newest.mp4")
    assert r.returncode == 0, r.stderr
    check_output_is(tmp_path / "newest.mp4", seg_dir, names([10, 11]), sample_map)

    os.unlink(seg_dir / "00005.mp4")
    r = run_script("--root", root, "--stream-id", "cam1", "--first-index", "3", "--last-index", "6",
                   "--output", tmp_path / "hole.mp4")
    assert r.returncode == 1
    assert "segment 5 is not in" in r.stderr
    assert not (tmp_path / "hole.mp4").exists()
    for args in (["--first-index", "3"], ["--first-index", "6", "--last-index", "3"]):
        r = run_script("--root", root, "--stream-id", "cam1", *args, "--output", tmp_path / "x.mp4")
        assert r.returncode == 2, args


def test_joins_newest_segments_covering_the_span(stream, tmp_path):
    root, seg_dir, sample_map = stream
    out = tmp_path / "clip.mp4"
    r = run_script("--seconds", "4", "--output", out, "--root", root, "--stream-id", "cam1")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == str(out)
    # 00011 is the newest, treated as still being written: 4 s back from 00010.
    caps = check_output_is(out, seg_dir, names([7, 8, 9, 10]), sample_map)
    assert caps.startswith("video/x-h264")
    assert all(line.startswith("concate_video: ") for line in r.stderr.splitlines())
    # The recording itself is untouched and no work files are left behind.
    assert sorted(os.listdir(seg_dir)) == names(range(12))
    assert os.listdir(root) == ["cam1"]
    assert sorted(os.listdir(tmp_path)) == ["clip.mp4", "root"]


def test_partial_segment_span_rounds_up_to_whole_segments(stream, tmp_path):
    root, seg_dir, sample_map = stream
    out = tmp_path / "clip.mp4"
    r = run_script("--seconds", "2.5", "--output", out, "--root", root, "--stream-id", "cam1")
    assert r.returncode == 0, r.stderr
    check_output_is(out, seg_dir, names([8, 9, 10]), sample_map)


def test_asking_for_more_than_exists_gives_everything(stream, tmp_path):
    root, seg_dir, sample_map = stream
    out = tmp_path / "all.mp4"
    r = run_script("--seconds", "1000", "--output", out, "--root", root, "--stream-id", "cam1")
    assert r.returncode == 0, r.stderr
    check_output_is(out, seg_dir, names(range(11)), sample_map)


def test_include_newest_once_recording_stopped(stream, tmp_path):
    root, seg_dir, sample_map = stream
    out = tmp_path / "clip.mp4"
    r = run_script("--seconds", "2", "--include-newest", "--output", out, "--root", root,
                   "--stream-id", "cam1")
    assert r.returncode == 0, r.stderr
    check_output_is(out, seg_dir, names([10, 11]), sample_map)


def test_incomplete_segments_are_skipped(stream, tmp_path):
    root, seg_dir, sample_map = stream
    # As the recorder leaves them: the file in progress has no moov yet, and a crash
    # can leave one cut short. --include-newest proves the moov check, not the index
    # rule, rejects them.
    for n, keep in (("00011.mp4", 0.5), ("00010.mp4", 0.9)):
        p = seg_dir / n
        data = p.read_bytes()
        p.write_bytes(data[:int(len(data) * keep)])
    (seg_dir / "00012.mp4").write_bytes(b"")
    out = tmp_path / "clip.mp4"
    r = run_script("--seconds", "3", "--include-newest", "--output", out, "--root", root,
                   "--stream-id", "cam1")
    assert r.returncode == 0, r.stderr
    check_output_is(out, seg_dir, names([7, 8, 9]), sample_map)
    assert "00010.mp4" in r.stderr and "00011.mp4" in r.stderr


def test_indices_past_99999_order_numerically(stream, tmp_path):
    root, seg_dir, sample_map = stream
    renamed = {}
    new_indices = list(range(99994, 100006))
    for old, new in zip(range(12), new_indices):
        src = seg_dir / f"{old:05d}.mp4"
        dst = seg_dir / f"{new:05d}.mp4"
        src.rename(dst)
        renamed[dst.name] = sample_map[src.name]
        # mtimes reversed, so neither name nor mtime order matches the index order
        t = 1_000_000_000 - new
        os.utime(dst, (t, t))
    assert (seg_dir / "99999.mp4").exists() and (seg_dir / "100005.mp4").exists()
    out = tmp_path / "clip.mp4"
    r = run_script("--seconds", "3", "--output", out, "--root", root, "--stream-id", "cam1")
    assert r.returncode == 0, r.stderr
    check_output_is(out, seg_dir, ["100002.mp4", "100003.mp4", "100004.mp4"], renamed)
    out2 = tmp_path / "clip2.mp4"
    r = run_script("--seconds", "7", "--output", out2, "--root", root, "--stream-id", "cam1")
    assert r.returncode == 0, r.stderr
    check_output_is(out2, seg_dir, [f"{i:05d}.mp4" for i in range(99998, 100005)], renamed)


def test_h265_segments_join_without_reencoding(tmp_path, h265_set):
    root = tmp_path / "root"
    seg_dir = root / "cam265"
    shutil.copytree(h265_set, seg_dir)
    out = tmp_path / "clip.mp4"
    r = run_script("--seconds", "3", "--output", out, "--root", root, "--stream-id", "cam265")
    assert r.returncode == 0, r.stderr
    samples, caps = demux(out)
    assert caps.startswith("video/x-h265")
    # Each input file on its own hides the open-GOP leading pictures behind its edit
    # list; in the joined file those of the later segments must be back, so the input
    # samples are an ordered subsequence of the output.
    out_hashes = iter(hashes(samples))
    for n in names([2, 3, 4]):
        for h in hashes(demux(seg_dir / n)[0]):
            assert h in out_hashes, f"sample of {n} missing or out of order"
    dts = [d for _, d, _, _ in samples]
    assert all(b > a for a, b in zip(dts, dts[1:]))
    times = assert_playable(out, 3.0)
    # At most the first segment's leading pictures are lost, never frames at the cuts.
    assert len(times) >= 3 * FPS - 3
    assert len(times) == len(samples)
    # The first segment's leading pictures reference a GOP that is not in the clip; they
    # must be left out, not stored and hidden behind the edit list.
    mod = load_module()
    stored = mod.parse_movie(mod.read_moov(out)).tracks[0]
    assert len(stored.sizes) == len(samples)


def test_audio_track_is_carried(tmp_path):
    root = tmp_path / "root"
    seg_dir = root / "av"
    record(seg_dir, "h264", frames=5 * FPS, audio=True)
    out = tmp_path / "clip.mp4"
    r = run_script("--seconds", "3", "--output", out, "--root", root, "--stream-id", "av")
    assert r.returncode == 0, r.stderr
    video, vcaps = demux(out, "video_0")
    audio, acaps = demux(out, "audio_0")
    assert vcaps.startswith("video/x-h264") and acaps.startswith("audio/mpeg")
    assert len(video) == 3 * FPS
    expected_audio = [h for n in names([1, 2, 3]) for h in hashes(demux(seg_dir / n, "audio_0")[0])]
    assert hashes(audio) == expected_audio
    assert_playable(out, 3.0, tolerance=0.1)


def test_stops_at_a_change_of_codec_settings(tmp_path):
    # A recorder restarted with another resolution: mp4mux cannot take the caps change,
    # so only the newest run of compatible segments is used.
    root = tmp_path / "root"
    seg_dir = root / "cam1"
    record(tmp_path / "old", "h264", frames=4 * FPS, width=176, height=144)
    record(tmp_path / "new", "h264", frames=4 * FPS)
    for i in range(4):
        os.makedirs(seg_dir, exist_ok=True)
        os.rename(tmp_path / "old" / f"{i:05d}.mp4", seg_dir / f"{i:05d}.mp4")
        os.rename(tmp_path / "new" / f"{i:05d}.mp4", seg_dir / f"{i + 4:05d}.mp4")
    out = tmp_path / "clip.mp4"
    r = run_script("--seconds", "10", "--output", out, "--root", root, "--stream-id", "cam1")
    assert r.returncode == 0, r.stderr
    samples, caps = demux(out)
    assert "width=(int)160" in caps
    assert len(samples) == 3 * FPS
    assert_playable(out, 3.0)


# ------------------------------------------------------------------------------------
# failures


def test_no_segments_exit_1(tmp_path, h264_set):
    root = tmp_path / "root"
    out = tmp_path / "o.mp4"
    root.mkdir()
    cases = []
    cases.append("missing")                       # no directory for the stream
    (root / "empty").mkdir()
    cases.append("empty")
    (root / "only").mkdir()                       # only the segment being written
    shutil.copy(h264_set[0] / "00000.mp4", root / "only" / "00000.mp4")
    cases.append("only")
    (root / "junk").mkdir()                       # files that are not MP4 at all
    for i in range(4):
        (root / "junk" / f"{i:05d}.mp4").write_bytes(os.urandom(4096))
    (root / "junk" / "notes.txt").write_text("x")
    cases.append("junk")
    before = snapshot(tmp_path)
    for sid in cases:
        r = run_script("--output", out, "--root", root, "--stream-id", sid)
        assert r.returncode == 1, (sid, r.stderr)
        assert r.stdout == ""
        lines = r.stderr.strip().splitlines()
        assert lines and all(line.startswith("concate_video: ") for line in lines)
    # No output, no half-written temp file, no work directory left in root.
    assert snapshot(tmp_path) == before


def test_corrupt_segments_fail_cleanly(stream, tmp_path):
    # Damaged moov boxes (a crash, a bad disk): either a valid clip from what is still
    # readable or exit 1, always one prefixed line per message and never a traceback.
    import random

    root, seg_dir, _ = stream
    pristine = {n: (seg_dir / n).read_bytes() for n in os.listdir(seg_dir)}
    rng = random.Random(1234)
    out = tmp_path / "o.mp4"
    for _ in range(12):
        for n, data in pristine.items():
            b = bytearray(data)
            moov = b.rfind(b"moov") - 4
            for _ in range(rng.randint(1, 8)):
                i = rng.randrange(moov, len(b))
                b[i] = rng.randrange(256)
            (seg_dir / n).write_bytes(bytes(b))
        r = run_script("--seconds", "3", "--output", out, "--root", root, "--stream-id", "cam1")
        assert r.returncode in (0, 1), r.stderr
        lines = r.stderr.strip().splitlines()
        assert all(line.startswith("concate_video: ") for line in lines), r.stderr
        assert "internal error" not in r.stderr
        if r.returncode == 0:
            samples, _ = demux(out)
            assert samples
            out.unlink()
        assert os.listdir(root) == ["cam1"]
        assert os.listdir(tmp_path) == ["root"]


def test_existing_output_replaced_and_no_temp_left(stream, tmp_path):
    root, seg_dir, sample_map = stream
    outdir = tmp_path / "out"
    outdir.mkdir()
    out = outdir / "clip.mp4"
    out.write_bytes(b"old content")
    r = run_script("--seconds", "1", "--output", out, "--root", root, "--stream-id", "cam1")
    assert r.returncode == 0, r.stderr
    assert os.listdir(outdir) == ["clip.mp4"]
    check_output_is(out, seg_dir, names([10]), sample_map)


def test_default_output_path(stream):
    root, seg_dir, sample_map = stream
    sid = f"cam-test-{os.getpid()}"
    os.rename(seg_dir, root / sid)
    r = run_script("--seconds", "1", "--root", root, "--stream-id", sid)
    assert r.returncode == 0, r.stderr
    path = Path(r.stdout.strip())
    try:
        assert path.parent == Path("/tmp")
        assert path.name.startswith(f"rolling_{sid}_") and path.suffix == ".mp4"
        check_output_is(path, root / sid, names([10]), sample_map)
    finally:
        path.unlink(missing_ok=True)


def test_stale_work_dirs_of_killed_runs_are_removed(stream, tmp_path):
    root, _, _ = stream
    stale = root / ".concate_video-killed"
    fresh = root / ".concate_video-running"
    for d in (stale, fresh):
        d.mkdir()
        (d / "000000_00003.mp4").write_bytes(b"x")
    old = time.time() - 7 * 24 * 3600
    os.utime(stale, (old, old))
    r = run_script("--seconds", "1", "--output", tmp_path / "o.mp4", "--root", root,
                   "--stream-id", "cam1")
    assert r.returncode == 0, r.stderr
    assert not stale.exists()
    assert fresh.exists()


# ------------------------------------------------------------------------------------
# hostile stream ids


@pytest.mark.parametrize("sid", ["../../etc", "a/b", "", "-x", "..", ".", "..hidden",
                                 "a\nb", "/etc"])
def test_hostile_ids_are_refused(stream, tmp_path, sid):
    root, _, _ = stream
    before = snapshot(tmp_path)
    r = run_script("--root", root, "--output", tmp_path / "o.mp4", f"--stream-id={sid}",
                   cwd=tmp_path)
    assert r.returncode == 2, r.stderr
    lines = r.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("concate_video: ")
    assert snapshot(tmp_path) == before


def test_id_starting_with_dash_as_separate_argument(stream, tmp_path):
    root, _, _ = stream
    r = run_script("--root", root, "--output", tmp_path / "o.mp4", "--stream-id", "-x")
    assert r.returncode == 2


@pytest.mark.parametrize("sid", ["$(touch pwned)", "; touch pwned", "`touch pwned`",
                                 "cam1; touch pwned", "cam1 && touch pwned", "*"])
def test_shell_metacharacters_are_inert(stream, tmp_path, sid):
    root, _, _ = stream
    out = tmp_path / "o.mp4"
    before = snapshot(tmp_path)
    r = run_script("--root", root, "--output", out, "--stream-id", sid, cwd=tmp_path)
    assert r.returncode in (1, 2), r.stderr
    assert snapshot(tmp_path) == before


def test_odd_but_harmless_id_is_confined_to_its_directory(stream, tmp_path):
    # Such an id is just a directory name: it must be read there and nowhere else.
    root, seg_dir, sample_map = stream
    sid = "$(touch pwned); x"
    os.rename(seg_dir, root / sid)
    out = tmp_path / "o.mp4"
    r = run_script("--seconds", "1", "--root", root, "--output", out, "--stream-id", sid,
                   cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    check_output_is(out, root / sid, names([10]), sample_map)
    assert not list(tmp_path.rglob("pwned"))


def test_symlink_escape_is_refused(stream, tmp_path, h264_set):
    root, _, _ = stream
    outside = tmp_path / "outside"
    shutil.copytree(h264_set[0], outside)
    os.symlink(outside, root / "evil")
    out = tmp_path / "o.mp4"
    r = run_script("--root", root, "--output", out, "--stream-id", "evil")
    assert r.returncode == 2, r.stderr
    assert not out.exists()


def test_symlinked_segment_files_are_ignored(stream, tmp_path, h264_set):
    root, seg_dir, sample_map = stream
    outside = tmp_path / "outside.mp4"
    shutil.copy(h264_set[0] / "00000.mp4", outside)
    # A newer index that is a symlink must not be read.
    os.symlink(outside, seg_dir / "00020.mp4")
    (seg_dir / "00021.mp4").write_bytes(b"")  # the one being written
    out = tmp_path / "o.mp4"
    r = run_script("--seconds", "2", "--root", root, "--output", out, "--stream-id", "cam1")
    assert r.returncode == 0, r.stderr
    check_output_is(out, seg_dir, names([10, 11]), sample_map)


# ------------------------------------------------------------------------------------
# a recorder that keeps rotating


def load_module():
    mod = types.ModuleType("concate_video_under_test")
    mod.__file__ = str(SCRIPT)
    exec(compile(SCRIPT.read_text(), str(SCRIPT), "exec"), mod.__dict__)
    return mod


def test_concurrent_runs_on_one_stream(stream, tmp_path):
    # Two users asking at once: private work dirs and temp names must not collide.
    root, seg_dir, sample_map = stream
    procs = []
    for i, seconds in enumerate((3, 5, 3)):
        out = tmp_path / f"clip{i}.mp4"
        cmd = [sys.executable, str(SCRIPT), "--seconds", str(seconds), "--output", str(out),
               "--root", str(root), "--stream-id", "cam1"]
        procs.append((out, seconds, subprocess.Popen(cmd, stdout=subprocess.PIPE,
                                                     stderr=subprocess.PIPE, text=True)))
    for out, seconds, p in procs:
        stdout, stderr = p.communicate(timeout=RUN_TIMEOUT)
        assert p.returncode == 0, stderr
        assert stdout.strip() == str(out)
        check_output_is(out, seg_dir, names(range(11 - seconds, 11)), sample_map)
    assert os.listdir(root) == ["cam1"]


def test_segment_deleted_between_listing_and_staging(stream, tmp_path, monkeypatch, capsys):
    root, seg_dir, sample_map = stream
    mod = load_module()
    real_list = mod.list_segments

    def list_then_rotate(d):
        entries = real_list(d)
        # The recorder's max-files deletes the oldest file that we were about to take.
        os.unlink(os.path.join(d, "00007.mp4"))
        return entries

    monkeypatch.setattr(mod, "list_segments", list_then_rotate)
    out = tmp_path / "clip.mp4"
    rc = mod.main(["--seconds", "4", "--output", str(out), "--root", str(root),
                   "--stream-id", "cam1"])
    captured = capsys.readouterr()
    assert rc == 0, captured.err
    assert "00007.mp4" in captured.err
    # 00007 vanished, so one older segment is taken instead.
    check_output_is(out, seg_dir, names([6, 8, 9, 10]), sample_map)


def test_segments_deleted_while_joining(stream, tmp_path, monkeypatch, capsys):
    root, seg_dir, sample_map = stream
    mod = load_module()
    real_join = mod.join_segments
    reference = {n: sample_map[n] for n in names(range(12))}

    def rotate_then_join(*args, **kwargs):
        for n in os.listdir(seg_dir):
            os.unlink(seg_dir / n)
        return real_join(*args, **kwargs)

    monkeypatch.setattr(mod, "join_segments", rotate_then_join)
    out = tmp_path / "clip.mp4"
    rc = mod.main(["--seconds", "3", "--output", str(out), "--root", str(root),
                   "--stream-id", "cam1"])
    captured = capsys.readouterr()
    assert rc == 0, captured.err
    assert os.listdir(seg_dir) == []
    check_output_is(out, seg_dir, names([8, 9, 10]), reference)
    assert os.listdir(root) == ["cam1"]


def test_wrapped_ring_is_read_in_recording_order(tmp_path):
    # splitmuxsink's max-files wraps the index and rewrites files in place: after 12
    # segments with max-files=5, file N holds the last segment S with S % 5 == N.
    root = tmp_path / "root"
    seg_dir = root / "ring"
    seg_dir.mkdir(parents=True)
    p = Gst.parse_launch(
        f"videotestsrc num-buffers={12 * FPS} pattern=smpte horizontal-speed=3 ! "
        f"video/x-raw,format=I420,width=160,height=120,framerate={FPS}/1 ! "
        f"x264enc speed-preset=ultrafast key-int-max={FPS} ! h264parse ! "
        f"splitmuxsink name=m muxer=mp4mux max-size-time={int(SEGMENT_S * Gst.SECOND)} "
        "max-files=5")
    p.get_by_name("m").set_property("location", os.path.join(str(seg_dir), "%05d.mp4"))
    p.set_state(Gst.State.PLAYING)
    wait_bus(p)
    assert sorted(os.listdir(seg_dir)) == names(range(5))
    holds = {0: 10, 1: 11, 2: 7, 3: 8, 4: 9}
    # A real recorder writes one segment every couple of seconds; make the mtimes say so
    # (this run wrote them all within milliseconds, below the clock's resolution).
    base = time.time() - 100
    for f, seg in holds.items():
        os.utime(seg_dir / f"{f:05d}.mp4", (base + seg * 2, base + seg * 2))
    sample_map = {n: hashes(demux(seg_dir / n)[0]) for n in names(range(5))}
    out = tmp_path / "clip.mp4"
    r = run_script("--seconds", "3", "--output", out, "--root", root, "--stream-id", "ring")
    assert r.returncode == 0, r.stderr
    # newest is file 1 (segment 11, the one being written): segments 8, 9, 10
    check_output_is(out, seg_dir, names([3, 4, 0]), sample_map)
    out2 = tmp_path / "clip2.mp4"
    r = run_script("--seconds", "100", "--include-newest", "--output", out2, "--root", root,
                   "--stream-id", "ring")
    assert r.returncode == 0, r.stderr
    check_output_is(out2, seg_dir, names([2, 3, 4, 0, 1]), sample_map)


def test_scrambled_mtimes_keep_numeric_order(stream, tmp_path):
    # Copies, touch or a clock step must not be mistaken for a wrapped ring.
    root, seg_dir, sample_map = stream
    base = time.time() - 1000
    for i in range(12):
        t = base + (11 - i) * 2
        os.utime(seg_dir / f"{i:05d}.mp4", (t, t))
    os.utime(seg_dir / "00005.mp4")  # one file touched just now
    out = tmp_path / "clip.mp4"
    r = run_script("--seconds", "4", "--output", out, "--root", root, "--stream-id", "cam1")
    assert r.returncode == 0, r.stderr
    check_output_is(out, seg_dir, names([7, 8, 9, 10]), sample_map)


LIVE_W, LIVE_H = 160, 120
LIVE_STEP = 8


def live_level(n):
    return 16 + (n * LIVE_STEP) % 224


def decode_levels(path):
    """Mean luma of every decoded frame, in presentation order."""
    p = Gst.parse_launch("filesrc name=f ! decodebin ! videoconvert ! "
                         "video/x-raw,format=GRAY8 ! appsink name=s sync=false")
    p.get_by_name("f").set_property("location", str(path))
    sink = p.get_by_name("s")
    p.set_state(Gst.State.PLAYING)
    levels = []
    while True:
        sample = sink.emit("try-pull-sample", 10 * Gst.SECOND)
        if sample is None:
            break
        buf = sample.get_buffer()
        ok, info = buf.map(Gst.MapFlags.READ)
        assert ok
        data = bytes(info.data)
        buf.unmap(info)
        levels.append(sum(data) / len(data))
    p.set_state(Gst.State.NULL)
    return levels


def test_live_ring_recorder_rotating_underneath(tmp_path):
    """A live recorder with a small wrapping ring, merged three times while it runs.

    Every frame's brightness encodes its frame number, so the decoded clip proves the
    segments were joined in recording order with no frame missing at the cuts.
    """
    root = tmp_path / "root"
    seg_dir = root / "live"
    seg_dir.mkdir(parents=True)
    rec = Gst.parse_launch(
        "appsrc name=src is-live=true format=time "
        f"caps=video/x-raw,format=I420,width={LIVE_W},height={LIVE_H},framerate={FPS}/1 ! "
        f"x264enc speed-preset=ultrafast tune=zerolatency key-int-max={FPS // 2} ! "
        "h264parse ! splitmuxsink name=m muxer=mp4mux async-finalize=true "
        "max-size-time=500000000 max-files=8")
    rec.get_by_name("m").set_property("location", os.path.join(str(seg_dir), "%05d.mp4"))
    src = rec.get_by_name("src")
    rec.set_state(Gst.State.PLAYING)
    chroma = bytes([128]) * (LIVE_W * LIVE_H // 2)
    pushed = [0]
    stop = threading.Event()

    def feed():
        n = 0
        while not stop.is_set():
            buf = Gst.Buffer.new_wrapped(bytes([live_level(n)]) * (LIVE_W * LIVE_H) + chroma)
            buf.pts = n * Gst.SECOND // FPS
            buf.duration = Gst.SECOND // FPS
            if src.emit("push-buffer", buf) != Gst.FlowReturn.OK:
                return
            n += 1
            pushed[0] = n
            time.sleep(FRAME)  # real-time pace so mtimes are spaced as in production

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    try:
        # Wait until the ring of 8 half-second files has wrapped (5 s of frames). The
        # oldest file a 2 s merge takes is then 2 s away from being overwritten.
        wrapped = 5 * FPS
        deadline = time.monotonic() + 60
        while pushed[0] < wrapped and time.monotonic() < deadline:
            time.sleep(0.1)
        assert pushed[0] >= wrapped, "recorder did not start"
        assert sorted(os.listdir(seg_dir)) == names(range(8))
        for i, seconds in enumerate((1, 2, 1)):
            out = tmp_path / f"clip{i}.mp4"
            r = run_script("--seconds", seconds, "--output", out, "--root", root,
                           "--stream-id", "live")
            assert r.returncode == 0, r.stderr
            levels = decode_levels(out)
            assert len(levels) >= seconds * FPS
            for a, b in zip(levels, levels[1:]):
                step = (b - a) % 224
                assert abs(step - LIVE_STEP) < 3, (levels, r.stderr)
            time.sleep(0.7)
    finally:
        stop.set()
        feeder.join(timeout=10)
        src.emit("end-of-stream")
        wait_bus(rec)
    assert os.listdir(root) == ["live"]
