#!/usr/bin/env python3
"""Join the newest segments of a rolling recording into one MP4, without re-encoding.

The recorder (splitmuxsink with mp4mux) writes <root>/<stream-id>/NNNNN.mp4 and deletes
the oldest files while it keeps going, so everything here assumes the directory changes
under our feet: segments are hard-linked into a private directory before they are read,
and the result is written under a temporary name and renamed into place at the end.
"""

import argparse
import datetime
import errno
import heapq
import os
import re
import shutil
import signal
import stat
import struct
import sys
import tempfile

PROG = "concate_video"

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2

DEFAULT_ROOT = "/tmp/rolling"
DEFAULT_SECONDS = 20.0
# More than a day of 2 s segments is not something the ring ever holds; a bigger value
# is almost certainly a unit mistake (milliseconds) by the caller.
MAX_SECONDS = 86400.0

# The recorder pads indices to five digits but keeps counting past 99999, so the name is
# "at least one digit"; ordering is numeric, never by name or mtime.
SEGMENT_RE = re.compile(r"^([0-9]+)\.mp4$")

# Re-exec guard: see _ensure_gi().
_REEXEC_ENV = "CONCATE_VIDEO_REEXEC"
_SYSTEM_PYTHON = "/usr/bin/python3"


class UsageError(Exception):
    """Bad arguments: exit code 2."""


class JoinError(Exception):
    """Nothing usable or the join failed: exit code 1."""


def msg(text):
    # One line per message, whatever GStreamer or the OS put into the text.
    line = " ".join(str(text).split())
    print(f"{PROG}: {line}", file=sys.stderr, flush=True)


# --------------------------------------------------------------------------------------
# Arguments


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        msg(f"{message} (see --help)")
        sys.exit(EXIT_USAGE)


def _seconds(value):
    try:
        v = float(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number of seconds: {value!r}")
    if not (v > 0.0) or v > MAX_SECONDS:  # "not >" also rejects NaN
        raise argparse.ArgumentTypeError(
            f"--seconds must be > 0 and <= {MAX_SECONDS:g}, got {value!r}")
    return v


def _index(value):
    try:
        v = int(value, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid segment index: {value!r}")
    if v < 0:
        raise argparse.ArgumentTypeError(f"segment index must not be negative, got {value!r}")
    return v


def build_parser():
    p = _Parser(
        prog="concate_video.py",
        allow_abbrev=False,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Join the newest complete segments of a rolling MP4 recording\n"
            "(<root>/<stream-id>/NNNNN.mp4, as written by splitmuxsink) into one MP4\n"
            "without re-encoding. H.264 and H.265 video are supported; AAC audio, if\n"
            "present, is carried along."),
        epilog=(
            "Segment selection:\n"
            "  segments are ordered by their numeric index (00099.mp4 < 100000.mp4); if\n"
            "  the recorder's max-files ring has wrapped back to 00000.mp4, the order is\n"
            "  rotated at the wrap, found from the files' modification times. The newest\n"
            "  segment is the one the recorder is still writing and is skipped (unless\n"
            "  --include-newest), as is any file without a complete 'moov' box. Starting\n"
            "  from the newest, segments are taken until their summed duration reaches\n"
            "  --seconds, then joined in chronological order, without re-encoding. If\n"
            "  less is recorded, everything available is joined. Segments are hard-linked\n"
            "  (copied, in a wrapped ring) into a private directory under --root first,\n"
            "  so the recorder can go on rotating meanwhile.\n"
            "\n"
            "On success the output path is printed on stdout. Diagnostics go to stderr,\n"
            "one line each, prefixed 'concate_video: '.\n"
            "\n"
            "Exit codes:\n"
            "  0  success, output written\n"
            "  1  no usable segments, or the join failed at run time\n"
            "  2  bad arguments (unknown option, invalid value, refused stream id)\n"))
    p.add_argument(
        "--seconds", type=_seconds, default=DEFAULT_SECONDS, metavar="N",
        help=f"length of the clip to produce, in seconds (default: {DEFAULT_SECONDS:g}); "
             "the result is at least N seconds long, or everything available, "
             "and exceeds N by less than one segment")
    p.add_argument(
        "--output", metavar="PATH",
        help="output MP4 file (default: /tmp/rolling_<stream-id>_<timestamp>.mp4); "
             "its directory must exist; an existing file is replaced atomically")
    p.add_argument(
        "--root", metavar="DIR", default=DEFAULT_ROOT,
        help=f"directory holding one sub-directory of segments per stream "
             f"(default: {DEFAULT_ROOT})")
    p.add_argument(
        "--stream-id", metavar="ID", required=True,
        help="stream whose segments are joined; must be non-empty, must not start "
             "with '-' and must not contain '/', '..' or control characters; the "
             "segment directory must resolve inside --root")
    p.add_argument(
        "--first-index", type=_index, metavar="N",
        help="join exactly the segments numbered N to --last-index, in that order, "
             "instead of the newest --seconds; each must be there and complete "
             "(a recorder that names its segments by a count that never wraps)")
    p.add_argument(
        "--last-index", type=_index, metavar="N",
        help="the last segment joined with --first-index")
    p.add_argument(
        "--include-newest", action="store_true",
        help="also consider the newest segment (use once the recorder has stopped; a "
             "segment still being written is skipped regardless, having no moov yet)")
    return p


def validate_stream_id(sid):
    if sid == "":
        raise UsageError("stream id is empty")
    if sid.startswith("-"):
        raise UsageError(f"stream id {sid!r} starts with '-'")
    if "/" in sid or "\\" in sid:
        raise UsageError(f"stream id {sid!r} contains a path separator")
    if ".." in sid or sid == ".":
        raise UsageError(f"stream id {sid!r} contains '..' or is '.'")
    if any(ord(c) < 0x20 or ord(c) == 0x7F for c in sid):
        raise UsageError(f"stream id {sid!r} contains control characters")
    if len(sid.encode("utf-8", "surrogateescape")) > 200:
        raise UsageError("stream id is too long")


def resolve_segment_dir(root, sid):
    """Return the real path of <root>/<sid>, refusing anything that escapes root."""
    real_root = os.path.realpath(root)
    real_dir = os.path.realpath(os.path.join(real_root, sid))
    if os.path.dirname(real_dir) != real_root:
        # realpath followed a symlink (or the id was not a single component).
        raise UsageError(f"segment directory for {sid!r} resolves outside {root!r}")
    return real_dir


def default_output(sid):
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    base = os.path.join("/tmp", f"rolling_{sid}_{stamp}")
    path = base + ".mp4"
    n = 1
    while os.path.lexists(path):
        path = f"{base}-{n}.mp4"
        n += 1
    return path


def check_output(path, seg_dir):
    path = os.path.abspath(path)
    d = os.path.dirname(path)
    if not os.path.isdir(d):
        raise UsageError(f"output directory {d!r} does not exist")
    if os.path.isdir(path):
        raise UsageError(f"output {path!r} is a directory")
    if os.path.realpath(d) == seg_dir:
        # It could be taken for a segment by the next run, or clobber one.
        raise UsageError("output must not be written into the segment directory")
    return path


# --------------------------------------------------------------------------------------
# MP4 reading. mp4mux output is simple (one sample description per track, one edit), so
# a small reader of the sample tables is enough, and it lets us keep every sample:
# qtdemux clips samples outside each file's edit list, which drops the leading pictures
# of an open GOP at every segment boundary even though the joined stream can decode them.

# A moov bigger than this is not something mp4mux writes for a few seconds of video;
# refusing it keeps a corrupt or hostile file from making us allocate gigabytes.
MAX_MOOV_BYTES = 64 * 1024 * 1024
MAX_SAMPLES = 1 << 22

_VIDEO_CODECS = {b"avc1": ("video/x-h264", "avc"), b"avc3": ("video/x-h264", "avc3"),
                 b"hvc1": ("video/x-h265", "hvc1"), b"hev1": ("video/x-h265", "hev1")}
_VIDEO_CONFIG = {b"avc1": b"avcC", b"avc3": b"avcC", b"hvc1": b"hvcC", b"hev1": b"hvcC"}
# Children of a VisualSampleEntry / (version 0) AudioSampleEntry start this far into it.
_VISUAL_ENTRY_HEADER = 78
_AUDIO_ENTRY_HEADER = 28
_AAC_OBJECT_TYPES = (0x40, 0x66, 0x67, 0x68)


class BadFile(Exception):
    pass


def _boxes(buf, start, end):
    """Yield (type, payload_start, box_end) for the boxes in buf[start:end]."""
    pos = start
    while pos + 8 <= end:
        size, typ = struct.unpack_from(">I4s", buf, pos)
        hdr = 8
        if size == 1:
            if pos + 16 > end:
                raise BadFile("truncated box header")
            (size,) = struct.unpack_from(">Q", buf, pos + 8)
            hdr = 16
        elif size == 0:
            size = end - pos
        if size < hdr or pos + size > end:
            raise BadFile(f"box {typ!r} overruns its parent")
        yield typ, pos + hdr, pos + size
        pos += size


def _child(buf, span, typ):
    if span is None:
        return None
    for t, s, e in _boxes(buf, span[0], span[1]):
        if t == typ:
            return s, e
    return None


def _ints(buf, s, count, fmt=">I"):
    step = struct.calcsize(fmt)
    return [v[0] for v in struct.iter_unpack(fmt, bytes(buf[s:s + count * step]))]


def read_moov(path):
    """The moov payload of a finished MP4, or None if the file is incomplete.

    A file the muxer is still writing has no moov yet (mp4mux writes it on finalize), or
    a box running past EOF; so "every top-level box is whole, the walk ends exactly at
    EOF and a moov was seen" is the completeness test.
    """
    with open(path, "rb") as f:
        st = os.fstat(f.fileno())
        if not stat.S_ISREG(st.st_mode):
            return None
        size = st.st_size
        pos = 0
        moov = None
        while pos < size:
            f.seek(pos)
            hdr = f.read(16)
            if len(hdr) < 8:
                return None
            box_size, typ = struct.unpack_from(">I4s", hdr)
            hlen = 8
            if box_size == 1:
                if len(hdr) < 16:
                    return None
                (box_size,) = struct.unpack_from(">Q", hdr, 8)
                hlen = 16
            elif box_size == 0:
                box_size = size - pos
            if box_size < hlen or pos + box_size > size:
                return None
            if pos == 0 and typ not in (b"ftyp", b"moov", b"mdat", b"free", b"skip", b"wide"):
                return None
            if typ == b"moov":
                if moov is not None or box_size - hlen > MAX_MOOV_BYTES:
                    return None
                f.seek(pos + hlen)
                moov = f.read(box_size - hlen)
                if len(moov) != box_size - hlen:
                    return None
            pos += box_size
    return moov


def _header_times(buf, span):
    """(timescale, duration) of an mvhd/mdhd payload."""
    s, e = span
    if e - s < (32 if e > s and buf[s] == 1 else 20):
        raise BadFile("short mvhd/mdhd")
    if buf[s] == 1:
        timescale, duration = struct.unpack_from(">IQ", buf, s + 20)
        if duration == 0xFFFFFFFFFFFFFFFF:
            duration = 0
    else:
        timescale, duration = struct.unpack_from(">II", buf, s + 12)
        if duration == 0xFFFFFFFF:
            duration = 0
    if timescale == 0:
        raise BadFile("zero timescale")
    return timescale, duration


def _descriptor(buf, pos, end):
    """(tag, payload_start, payload_end) of an MPEG-4 descriptor in an esds box."""
    if pos + 2 > end:
        raise BadFile("short descriptor")
    tag = buf[pos]
    pos += 1
    length = 0
    for _ in range(4):
        b = buf[pos]
        pos += 1
        length = (length << 7) | (b & 0x7F)
        if not b & 0x80:
            break
    if pos + length > end:
        raise BadFile("descriptor overruns esds")
    return tag, pos, pos + length


def _aac_config(buf, esds):
    """AudioSpecificConfig bytes from an esds payload, or None if the track is not AAC."""
    s, e = esds
    tag, p, pe = _descriptor(buf, s + 4, e)  # skip the full-box version/flags
    if tag != 0x03:
        return None
    flags = buf[p + 2]
    p += 3
    if flags & 0x80:
        p += 2
    if flags & 0x40:
        p += 1 + buf[p]
    if flags & 0x20:
        p += 2
    tag, p, pe = _descriptor(buf, p, pe)
    if tag != 0x04 or buf[p] not in _AAC_OBJECT_TYPES:
        return None
    p += 13
    while p < pe:
        tag, ds, de = _descriptor(buf, p, pe)
        if tag == 0x05:
            return bytes(buf[ds:de])
        p = de
    return None


class Track:
    """One trak of one segment: its format and its samples, times in media ticks."""

    def __init__(self):
        self.kind = None          # "video" or "audio"
        self.caps = None          # caps string for appsrc, codec_data included
        self.parser = None        # parser element placed before mp4mux
        self.timescale = 1
        self.duration = 0         # ticks, summed from stts
        self.media_time = 0       # ticks: composition time shown at the edit's start
        self.empty_edit = 0.0     # seconds of leading empty edit (track starts late)
        self.offsets = []
        self.sizes = []
        self.dts = []
        self.cts = []
        self.sync = None          # set of 0-based sync sample numbers; None: all are sync


class Movie:
    def __init__(self, duration, tracks):
        self.duration = duration  # seconds
        self.tracks = tracks      # supported tracks only, video first

    @property
    def signature(self):
        # When the formats differ the recorder was restarted with other settings, and
        # mp4mux cannot take a caps change mid-stream.
        return tuple((t.kind, t.caps) for t in self.tracks)


def _sample_entry(buf, stsd, handler, track):
    if stsd is None or stsd[1] - stsd[0] < 8:
        return False
    for fourcc, es, ee in _boxes(buf, stsd[0] + 8, stsd[1]):
        if handler == b"vide" and fourcc in _VIDEO_CODECS and ee - es >= _VISUAL_ENTRY_HEADER:
            width, height = struct.unpack_from(">HH", buf, es + 24)
            cfg = _child(buf, (es + _VISUAL_ENTRY_HEADER, ee), _VIDEO_CONFIG[fourcc])
            if cfg is None:
                return False
            media, fmt = _VIDEO_CODECS[fourcc]
            track.kind = "video"
            track.parser = "h264parse" if media == "video/x-h264" else "h265parse"
            track.caps = (f"{media}, stream-format=(string){fmt}, alignment=(string)au, "
                          f"width=(int){width}, height=(int){height}, "
                          f"codec_data=(buffer){bytes(buf[cfg[0]:cfg[1]]).hex()}")
            return True
        if handler == b"soun" and fourcc == b"mp4a" and ee - es >= _AUDIO_ENTRY_HEADER:
            channels = struct.unpack_from(">H", buf, es + 16)[0]
            rate = struct.unpack_from(">I", buf, es + 24)[0] >> 16
            esds = _child(buf, (es + _AUDIO_ENTRY_HEADER, ee), b"esds")
            asc = _aac_config(buf, esds) if esds else None
            if asc is None:
                return False
            track.kind = "audio"
            track.parser = "aacparse"
            track.caps = (f"audio/mpeg, mpegversion=(int)4, stream-format=(string)raw, "
                          f"channels=(int){channels}, rate=(int){rate}, "
                          f"codec_data=(buffer){asc.hex()}")
            return True
        return False  # only the first entry is ever used by mp4mux
    return False


def _sample_tables(buf, stbl, track):
    def need(typ):
        span = _child(buf, stbl, typ)
        if span is None:
            raise BadFile(f"missing {typ.decode()}")
        return span

    s, _ = need(b"stsz")
    fixed, count = struct.unpack_from(">II", buf, s + 4)
    if count > MAX_SAMPLES:
        raise BadFile("implausible sample count")
    sizes = [fixed] * count if fixed else _ints(buf, s + 12, count)
    if len(sizes) != count:
        raise BadFile("short stsz")

    co = _child(buf, stbl, b"stco")
    if co:
        chunk_offsets = _ints(buf, co[0] + 8, struct.unpack_from(">I", buf, co[0] + 4)[0])
    else:
        co = need(b"co64")
        chunk_offsets = _ints(buf, co[0] + 8, struct.unpack_from(">I", buf, co[0] + 4)[0], ">Q")

    s, _ = need(b"stsc")
    n = struct.unpack_from(">I", buf, s + 4)[0]
    stsc = list(struct.iter_unpack(">III", bytes(buf[s + 8:s + 8 + 12 * n])))
    offsets = []
    for i, (first, per_chunk, _desc) in enumerate(stsc):
        last = stsc[i + 1][0] - 1 if i + 1 < len(stsc) else len(chunk_offsets)
        for chunk in range(first - 1, min(last, len(chunk_offsets))):
            pos = chunk_offsets[chunk]
            for _ in range(per_chunk):
                if len(offsets) == count:
                    break
                offsets.append(pos)
                pos += sizes[len(offsets) - 1]
    if len(offsets) != count:
        raise BadFile("sample-to-chunk table does not cover every sample")

    s, _ = need(b"stts")
    n = struct.unpack_from(">I", buf, s + 4)[0]
    dts = []
    t = 0
    for c, delta in struct.iter_unpack(">II", bytes(buf[s + 8:s + 8 + 8 * n])):
        if len(dts) + c > count:
            raise BadFile("stts covers more samples than stsz")
        for _ in range(c):
            dts.append(t)
            t += delta
    if len(dts) != count:
        raise BadFile("stts does not cover every sample")

    cts = [0] * count
    span = _child(buf, stbl, b"ctts")
    if span:
        s, _ = span
        n = struct.unpack_from(">I", buf, s + 4)[0]
        # version 0 is unsigned on paper, but writers put negative offsets there too
        i = 0
        for c, off in struct.iter_unpack(">Ii", bytes(buf[s + 8:s + 8 + 8 * n])):
            for _ in range(min(c, count - i)):
                cts[i] = off
                i += 1

    span = _child(buf, stbl, b"stss")
    if span:
        s, _ = span
        n = struct.unpack_from(">I", buf, s + 4)[0]
        track.sync = {v - 1 for v in _ints(buf, s + 8, n)}
    track.offsets, track.sizes, track.dts, track.cts = offsets, sizes, dts, cts
    track.duration = t


def _edit(buf, trak, movie_timescale, track):
    elst = _child(buf, _child(buf, trak, b"edts"), b"elst")
    if elst is None:
        return
    s, _ = elst
    version = buf[s]
    n = struct.unpack_from(">I", buf, s + 4)[0]
    fmt = ">Qq" if version == 1 else ">Ii"
    step = struct.calcsize(fmt) + 4
    empty = 0
    for i in range(n):
        seg_dur, media_time = struct.unpack_from(fmt, buf, s + 8 + i * step)
        if media_time == -1:
            empty += seg_dur
            continue
        track.media_time = media_time
        break
    track.empty_edit = empty / movie_timescale


def parse_movie(moov):
    buf = memoryview(moov)
    whole = (0, len(buf))
    mvhd = _child(buf, whole, b"mvhd")
    if mvhd is None:
        raise BadFile("no mvhd")
    movie_ts, movie_dur = _header_times(buf, mvhd)
    tracks = []
    longest = 0.0
    for typ, s, e in _boxes(buf, 0, len(buf)):
        if typ != b"trak":
            continue
        mdia = _child(buf, (s, e), b"mdia")
        hdlr = _child(buf, mdia, b"hdlr")
        mdhd = _child(buf, mdia, b"mdhd")
        if hdlr is None or mdhd is None or hdlr[1] - hdlr[0] < 12:
            continue
        handler = bytes(buf[hdlr[0] + 8:hdlr[0] + 12])
        track = Track()
        track.timescale = _header_times(buf, mdhd)[0]
        stbl = _child(buf, _child(buf, mdia, b"minf"), b"stbl")
        if stbl is None or not _sample_entry(buf, _child(buf, stbl, b"stsd"), handler, track):
            continue
        _sample_tables(buf, stbl, track)
        if not track.sizes:
            continue
        _edit(buf, (s, e), movie_ts, track)
        longest = max(longest, track.duration / track.timescale)
        tracks.append(track)
    tracks.sort(key=lambda t: t.kind != "video")
    if tracks and tracks[0].kind == "video":
        # The recorder cuts on video keyframes, so video is the timeline reference; the
        # movie duration also counts audio hanging over the cut, and would leave gaps.
        duration = tracks[0].duration / tracks[0].timescale
    else:
        duration = movie_dur / movie_ts if movie_dur else longest
    return Movie(duration, tracks)


def probe_segment(path):
    """Movie of a finished segment with at least one video track, or None if unusable."""
    try:
        moov = read_moov(path)
        if moov is None:
            return None
        movie = parse_movie(moov)
        size = os.stat(path).st_size
    except (OSError, BadFile, struct.error, IndexError, ValueError):
        return None
    if not movie.tracks or movie.tracks[0].kind != "video" or movie.duration <= 0:
        return None
    for t in movie.tracks:
        if any(o + n > size for o, n in zip(t.offsets, t.sizes)):
            return None
    return movie


# --------------------------------------------------------------------------------------
# Selection and staging


def list_segments(seg_dir):
    """[(index, name)] of the segment files in seg_dir, oldest first."""
    out = []
    try:
        with os.scandir(seg_dir) as it:
            for entry in it:
                m = SEGMENT_RE.match(entry.name)
                if not m:
                    continue
                try:
                    # Symlinks could point anywhere; the recorder only writes plain files.
                    if not entry.is_file(follow_symlinks=False):
                        continue
                except OSError:
                    continue
                out.append((int(m.group(1)), entry.name))
    except FileNotFoundError:
        return []
    except NotADirectoryError:
        return []
    out.sort()
    return out


def recording_order(seg_dir, entries):
    """Put the index-ordered entries in recording order; returns (entries, wrapped).

    splitmuxsink's max-files does not delete old files: it wraps the index back to 0 and
    rewrites 00000.mp4, 00001.mp4, ... in place. In such a ring the numerically highest
    file is not the newest. The wrap shows as the one place where, walking up the
    indices, mtime goes backwards; we rotate there only if that makes every mtime
    non-decreasing, so scrambled mtimes (copies, touch) leave plain numeric order.
    The newest file is exempt: with async-finalize the previous segment's moov can
    land after the first write of the new one.
    """
    if len(entries) < 3:
        return entries, False
    mtimes = []
    for _, name in entries:
        try:
            mtimes.append(os.lstat(os.path.join(seg_dir, name)).st_mtime_ns)
        except FileNotFoundError:
            mtimes.append(None)
    known = [(k, m) for k, m in enumerate(mtimes) if m is not None]
    wrap, drop = None, 0
    for (k, a), (_, b) in zip(known, known[1:]):
        if a - b > drop:
            wrap, drop = k, a - b
    if wrap is None:
        return entries, False
    order = list(range(wrap + 1, len(entries))) + list(range(wrap + 1))
    seq = [mtimes[k] for k in order[:-1] if mtimes[k] is not None]
    if any(b < a for a, b in zip(seq, seq[1:])):
        return entries, False
    return [entries[k] for k in order], True


def stage_segment(src, dst, copy=False):
    """Hard-link (or copy) src to dst. False if src vanished meanwhile.

    A hard link survives the recorder deleting the file, but not the recorder truncating
    and rewriting it in place (a wrapped max-files ring), so callers ask for a copy then.
    """
    if not copy:
        try:
            os.link(src, dst, follow_symlinks=False)
            return True
        except FileNotFoundError:
            return False
        except OSError as e:
            # EXDEV: other filesystem; EPERM: protected_hardlinks on a file we do not own.
            if e.errno not in (errno.EXDEV, errno.EPERM, errno.EACCES, errno.EMLINK,
                               errno.ENOTSUP, errno.EOPNOTSUPP):
                raise
    try:
        fd = os.open(src, os.O_RDONLY | os.O_NOFOLLOW)
    except FileNotFoundError:
        return False
    except OSError as e:
        if e.errno == errno.ELOOP:  # replaced by a symlink since listing
            return False
        raise
    with open(fd, "rb") as fin:
        if not stat.S_ISREG(os.fstat(fin.fileno()).st_mode):
            return False
        with open(dst, "wb") as fout:
            shutil.copyfileobj(fin, fout, 1 << 20)
    return True


def select_segments(seg_dir, entries, seconds, work_dir, include_newest, copy=False):
    """Stage the newest usable segments covering `seconds` into work_dir.

    `entries` are in recording order, oldest first.
    Returns [(index, staged_path, Movie)] in chronological order. Everything is judged
    on the staged copy, so a segment rotated away after staging cannot change the answer.
    """
    candidates = list(entries)
    if candidates and not include_newest:
        candidates = candidates[:-1]
    chosen = []
    total = 0.0
    signature = None
    for index, name in reversed(candidates):
        if total >= seconds:
            break
        staged = os.path.join(work_dir, f"{len(chosen):06d}_{name}")
        if not stage_segment(os.path.join(seg_dir, name), staged, copy):
            msg(f"segment {name} vanished while staging, skipped")
            continue
        movie = probe_segment(staged)
        if movie is None:
            msg(f"segment {name} is incomplete or not an MP4, skipped")
            os.unlink(staged)
            continue
        if signature is None:
            signature = movie.signature
        elif movie.signature != signature:
            # Older segments come from a recording with other codec settings.
            msg(f"segment {name} has different codec settings, older segments not used")
            os.unlink(staged)
            break
        chosen.append((index, staged, movie))
        total += movie.duration
    chosen.reverse()
    return chosen


def select_range(seg_dir, entries, first, last, work_dir):
    """Stage the segments numbered first..last, every one of them complete and of one
    format, into work_dir; [(index, staged_path, Movie)] in index order. A missing one
    is an error: a clip with a hole would jump in time without saying so."""
    by_index = {index: name for index, name in entries}
    chosen = []
    signature = None
    for index in range(first, last + 1):
        name = by_index.get(index)
        if name is None:
            raise JoinError(f"segment {index} is not in {seg_dir}")
        staged = os.path.join(work_dir, f"{len(chosen):06d}_{name}")
        if not stage_segment(os.path.join(seg_dir, name), staged):
            raise JoinError(f"segment {name} vanished while staging")
        movie = probe_segment(staged)
        if movie is None:
            raise JoinError(f"segment {name} is incomplete or not an MP4")
        if signature is None:
            signature = movie.signature
        elif movie.signature != signature:
            raise JoinError(f"segment {name} has different codec settings")
        chosen.append((index, staged, movie))
    return chosen


# --------------------------------------------------------------------------------------
# Joining


def _ensure_gi(reexec_argv=None):
    """Import PyGObject's Gst, re-executing under the system interpreter if needed.

    The library starts us as plain "python3", which may be a private interpreter (pyenv,
    venv) without PyGObject even though the distribution's one has it. reexec_argv is
    None when we were imported rather than run, and then we never exec.
    """
    try:
        import gi
    except ImportError:
        here = os.path.realpath(sys.executable or "")
        if (reexec_argv is not None and os.environ.get(_REEXEC_ENV) != "1"
                and os.access(_SYSTEM_PYTHON, os.X_OK)
                and here != os.path.realpath(_SYSTEM_PYTHON)):
            os.environ[_REEXEC_ENV] = "1"
            sys.stdout.flush()
            sys.stderr.flush()
            os.execv(_SYSTEM_PYTHON,
                     [_SYSTEM_PYTHON, os.path.abspath(__file__)] + list(reexec_argv))
        raise JoinError("PyGObject (python3-gi) is not available")
    try:
        gi.require_version("Gst", "1.0")
        from gi.repository import Gst
    except (ValueError, ImportError) as e:
        raise JoinError(f"GStreamer introspection data unavailable: {e}")
    if not Gst.is_initialized():
        Gst.init(None)
        _route_glib_messages()
    return Gst


def _route_glib_messages():
    """GStreamer's own criticals and warnings (a damaged segment can make a parser
    complain) become our prefixed one-line messages instead of raw GLib output."""
    from gi.repository import GLib

    def handler(domain, level, message, _data=None):
        msg(f"{domain or 'GLib'}: {message}")

    flags = (GLib.LogLevelFlags.LEVEL_CRITICAL | GLib.LogLevelFlags.LEVEL_WARNING
             | GLib.LogLevelFlags.FLAG_FATAL | GLib.LogLevelFlags.FLAG_RECURSION)
    for domain in ("GStreamer", "GLib", "GLib-GObject", None):
        try:
            GLib.log_set_handler(domain, flags, handler, None)
        except (TypeError, ValueError):
            pass


class _Join:
    """appsrc per track ! parser ! mp4mux ! filesink, fed with re-timed samples.

    Each part's samples are placed at the part's start on the joined timeline plus the
    part's own edit (so presentation stays continuous and decode order monotonic);
    nothing is decoded or re-encoded, the parsers only normalise the stream for mp4mux.
    """

    # Per-appsrc queue bound; we push far faster than mp4mux writes, and unbounded
    # queues would hold the whole clip in memory.
    MAX_QUEUED_BYTES = 8 * 1024 * 1024

    def __init__(self, Gst, parts, out_path):
        self.Gst = Gst
        self.parts = parts           # [(path, Movie)] chronological
        self.errors = []
        self.pipeline = Gst.Pipeline.new("concate")
        self.bus = self.pipeline.get_bus()
        self.mux = self._add("mp4mux")
        sink = self._add("filesink")
        sink.set_property("location", out_path)
        if not self.mux.link(sink):
            raise JoinError("cannot link mp4mux to filesink")
        self.srcs = []
        for track in parts[-1][1].tracks:
            src = self._add("appsrc")
            src.set_property("caps", Gst.Caps.from_string(track.caps))
            src.set_property("format", Gst.Format.TIME)
            src.set_property("max-bytes", self.MAX_QUEUED_BYTES)
            parser = self._add(track.parser)
            pad = self.mux.request_pad_simple("video_%u" if track.kind == "video" else "audio_%u")
            if (not src.link(parser) or pad is None
                    or parser.get_static_pad("src").link(pad) != Gst.PadLinkReturn.OK):
                raise JoinError(f"cannot link {track.parser} to mp4mux")
            self.srcs.append(src)

    def _add(self, factory):
        e = self.Gst.ElementFactory.make(factory)
        if e is None:
            raise JoinError(f"GStreamer element {factory} is not installed")
        self.pipeline.add(e)
        return e

    def _samples(self, index, files):
        """(dts, index, pts, duration, fd, offset, size, sync) of track `index`, in seconds
        on the joined timeline (before the global shift)."""
        start = 0.0
        for k, (_path, movie) in enumerate(self.parts):
            t = movie.tracks[index]
            ts = float(t.timescale)
            base = start + t.empty_edit
            fd = files[k]
            last = len(t.sizes) - 1
            for i in range(len(t.sizes)):
                ctime = t.dts[i] + t.cts[i]
                if k == 0 and ctime < t.media_time:
                    # Hidden by the first part's edit: leading pictures of an open GOP
                    # whose references are not in the clip.
                    continue
                nxt = t.dts[i + 1] if i < last else t.duration
                yield ((t.dts[i] - t.media_time) / ts + base, index,
                       (ctime - t.media_time) / ts + base, (nxt - t.dts[i]) / ts,
                       fd, t.offsets[i], t.sizes[i], t.sync is None or i in t.sync)
            start += movie.duration

    def _check_bus(self, timeout_ns=0):
        Gst = self.Gst
        m = self.bus.timed_pop_filtered(timeout_ns, Gst.MessageType.ERROR | Gst.MessageType.EOS)
        if m is None:
            return None
        if m.type == Gst.MessageType.ERROR:
            err, _dbg = m.parse_error()
            self.errors.append(f"{m.src.get_name() if m.src else '?'}: {err.message}")
            raise JoinError("join failed: " + "; ".join(self.errors))
        return m

    def run(self, timeout_s):
        Gst = self.Gst
        files = [os.open(p, os.O_RDONLY) for p, _ in self.parts]
        try:
            if self.pipeline.set_state(Gst.State.PLAYING) == Gst.StateChangeReturn.FAILURE:
                self._check_bus()
                raise JoinError("pipeline failed to start")
            ntracks = len(self.srcs)
            # Samples before the clip's first presentation time (B-frame reordering delay)
            # get negative DTS; shift everything so no timestamp is below zero.
            shift = 0.0
            for i in range(ntracks):
                first = next(self._samples(i, files), None)
                if first is not None:
                    shift = max(shift, -first[0])
            last_dts = [-1] * ntracks
            streams = [self._samples(i, files) for i in range(ntracks)]
            for dts, i, pts, dur, fd, off, size, sync in heapq.merge(*streams):
                data = os.pread(fd, size, off)
                if len(data) != size:
                    raise JoinError("segment shrank while joining")
                buf = Gst.Buffer.new_wrapped(data)
                d = int(round((dts + shift) * Gst.SECOND))
                # Guard against edits that make two parts overlap: mp4mux refuses a
                # DTS that goes backwards.
                d = max(d, last_dts[i] + 1)
                last_dts[i] = d
                buf.dts = d
                buf.pts = max(int(round((pts + shift) * Gst.SECOND)), d)
                buf.duration = int(round(dur * Gst.SECOND))
                if not sync:
                    buf.set_flags(Gst.BufferFlags.DELTA_UNIT)
                src = self.srcs[i]
                while src.get_property("current-level-bytes") > self.MAX_QUEUED_BYTES:
                    if self._check_bus(10 * Gst.MSECOND) is not None:
                        raise JoinError("pipeline ended early")
                ret = src.emit("push-buffer", buf)
                if ret != Gst.FlowReturn.OK:
                    self._check_bus(Gst.SECOND)
                    raise JoinError(f"pipeline refused data ({ret.value_nick})")
            for src in self.srcs:
                src.emit("end-of-stream")
            # Short pops so a pending SIGTERM/SIGINT handler gets to run between them.
            remaining = timeout_s
            while remaining > 0:
                if self._check_bus(200 * Gst.MSECOND) is not None:
                    return
                remaining -= 0.2
            raise JoinError(f"join did not finish within {timeout_s:.0f} s")
        finally:
            self.pipeline.set_state(Gst.State.NULL)
            for fd in files:
                os.close(fd)


def join_segments(Gst, parts, out_path, expected_duration):
    out_dir = os.path.dirname(out_path)
    fd, tmp_path = tempfile.mkstemp(dir=out_dir, prefix="." + os.path.basename(out_path) + ".",
                                    suffix=".part")
    os.close(fd)
    try:
        # Generous: remuxing runs at disk speed; this only guards against a stuck pipeline.
        _Join(Gst, parts, tmp_path).run(timeout_s=60.0 + 2.0 * expected_duration)
        result = probe_segment(tmp_path)
        if result is None:
            raise JoinError("muxer produced an incomplete file")
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp_path, 0o666 & ~umask)
        with open(tmp_path, "rb") as f:
            os.fsync(f.fileno())
        os.replace(tmp_path, out_path)
        tmp_path = None
        try:
            dfd = os.open(out_dir, os.O_RDONLY | os.O_DIRECTORY)
            try:
                os.fsync(dfd)
            finally:
                os.close(dfd)
        except OSError:
            pass
        return result.duration
    finally:
        if tmp_path is not None:
            try:
                os.unlink(tmp_path)
            except FileNotFoundError:
                pass


WORK_PREFIX = ".concate_video-"
# A work dir this old belongs to a run that was killed (SIGKILL skips our cleanup); its
# hard links would otherwise pin deleted segments on disk forever.
STALE_WORK_DIR_S = 6 * 3600


def _remove_stale_work_dirs(parent):
    now = datetime.datetime.now().timestamp()
    try:
        with os.scandir(parent) as it:
            for entry in it:
                try:
                    if (entry.name.startswith(WORK_PREFIX)
                            and entry.is_dir(follow_symlinks=False)
                            and now - entry.stat(follow_symlinks=False).st_mtime > STALE_WORK_DIR_S):
                        shutil.rmtree(entry.path, ignore_errors=True)
                except OSError:
                    continue
    except OSError:
        pass


def _make_work_dir(root):
    # Hard links need the same filesystem as the segments; root, the parent of the
    # stream directories, is the natural place. The system temp dir (copies) is the
    # fallback when root is not writable.
    for d in (os.path.realpath(root), tempfile.gettempdir()):
        _remove_stale_work_dirs(d)
        try:
            return tempfile.mkdtemp(prefix=WORK_PREFIX, dir=d)
        except OSError:
            continue
    raise JoinError("cannot create a private working directory")


def _on_signal(signum, _frame):
    raise SystemExit(128 + signum)


def run(args, reexec_argv=None):
    validate_stream_id(args.stream_id)
    seg_dir = resolve_segment_dir(args.root, args.stream_id)
    out_path = check_output(args.output if args.output else default_output(args.stream_id),
                            seg_dir)
    # Before anything is created: a re-exec would skip our cleanup.
    Gst = _ensure_gi(reexec_argv)

    entries = list_segments(seg_dir)
    if not entries:
        raise JoinError(f"no segments in {seg_dir}")

    if (args.first_index is None) != (args.last_index is None):
        raise UsageError("--first-index and --last-index go together")
    if args.first_index is not None and args.last_index < args.first_index:
        raise UsageError("--last-index is below --first-index")

    work_dir = _make_work_dir(args.root)
    try:
        if args.first_index is not None:
            chosen = select_range(seg_dir, entries, args.first_index, args.last_index, work_dir)
            total = sum(m.duration for _, _, m in chosen)
            msg(f"joining {len(chosen)} segment(s) of {args.stream_id}, index {chosen[0][0]} "
                f"to {chosen[-1][0]}, {total:.2f} s")
            join_segments(Gst, [(p, m) for _, p, m in chosen], out_path, total)
            print(out_path, flush=True)
            return EXIT_OK
        entries, wrapped = recording_order(seg_dir, entries)
        if wrapped:
            msg(f"segment ring has wrapped; newest is {entries[-1][1]}")
        chosen = select_segments(seg_dir, entries, args.seconds, work_dir,
                                 args.include_newest, copy=wrapped)
        if not chosen:
            raise JoinError(f"no usable (complete) segments in {seg_dir}")
        total = sum(m.duration for _, _, m in chosen)
        msg(f"joining {len(chosen)} segment(s) of {args.stream_id}, index {chosen[0][0]} "
            f"to {chosen[-1][0]}, {total:.2f} s (requested {args.seconds:g} s)")
        join_segments(Gst, [(p, m) for _, p, m in chosen], out_path, total)
    finally:
        shutil.rmtree(work_dir, ignore_errors=True)
    print(out_path, flush=True)
    return EXIT_OK


def main(argv=None):
    args = build_parser().parse_args(argv)
    old = {}
    if argv is None:  # only when running as a program, not when imported by a caller
        for s in (signal.SIGTERM, signal.SIGHUP):
            old[s] = signal.signal(s, _on_signal)
    try:
        return run(args, sys.argv[1:] if argv is None else None)
    except UsageError as e:
        msg(e)
        return EXIT_USAGE
    except JoinError as e:
        msg(e)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        msg("interrupted")
        return EXIT_FAILURE
    except OSError as e:
        msg(f"{e.strerror or e}: {e.filename or ''}")
        return EXIT_FAILURE
    except Exception as e:  # a traceback would break the one-line-per-message contract
        msg(f"internal error: {type(e).__name__}: {e}")
        return EXIT_FAILURE
    finally:
        for s, h in old.items():
            signal.signal(s, h)


if __name__ == "__main__":
    sys.exit(main())
