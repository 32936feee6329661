"""pybind11 example plugin

Python binding of the nimbra-gst stream API. Frame callbacks run on GStreamer
streaming threads; the binding takes the GIL for each call.
"""

import os
from typing import Callable, ClassVar, SupportsIndex

import numpy

class LogLevel:
    """Threshold of the library's log messages (members are not exported to module scope)."""

    SINFO: ClassVar[LogLevel]
    SWARNING: ClassVar[LogLevel]
    SERROR: ClassVar[LogLevel]
    SDEBUG: ClassVar[LogLevel]
    SOFF: ClassVar[LogLevel]
    __members__: ClassVar[dict[str, LogLevel]]
    def __init__(self, value: int) -> None: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class StreamType:
    EMPTY: ClassVar[StreamType]
    WAYLANDSINK: ClassVar[StreamType]
    RTSPSINK: ClassVar[StreamType]
    __members__: ClassVar[dict[str, StreamType]]
    def __init__(self, value: int) -> None: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class Image:
    """One decoded frame: `height` rows of `width` RGB pixels (3 bytes each).

    The pixels are borrowed from the pipeline and valid only while the callback
    runs; an Image kept past its callback has no pixels any more (to_bytes() gives
    b"" and as_memoryview() an empty view). A view taken during the callback must
    not be used after it.
    """

    width: int
    height: int
    size: int
    fps: float
    pipe_status: int
    @property
    def stream_id(self) -> str:
        """Id of the stream the frame comes from."""
    @property
    def pts(self) -> int:
        """Presentation time of the frame in nanoseconds; -1 when unknown."""
    @property
    def frame_index(self) -> int:
        """Running number of the frame within its stream (1 for the first)."""
    def __init__(self) -> None: ...
    @property
    def objects(self) -> list[DetectedObject]:
        """Objects of a detecting stream's frame ("detect" in its properties); empty
        otherwise. They stay valid as long as the Image."""
    @property
    def objects_array(self) -> numpy.ndarray:
        """The same objects as a NumPy structured array with the fields class_id (i4),
        track_id (i8), age (i4), confidence, x, y, width, height (f4) and label (U32)."""
    def to_bytes(self) -> bytes:
        """Copy of the frame's `size` bytes (b"" without pixels)."""
    def as_memoryview(self) -> memoryview:
        """Writable view of the frame's pixels; drawings made during the callback reach
        the output. A view kept after the callback keeps that frame's pixels and never
        sees memory the pipeline reuses."""

class _DetectedFrame(Image):
    """The Image a frame callback receives: it owns a copy of the frame's objects."""

class DetectedObject:
    """One object of a detecting stream's frame, as its tracker sees it on that frame."""

    @property
    def class_id(self) -> int: ...
    @property
    def label(self) -> str: ...
    @property
    def confidence(self) -> float:
        """0..1, of the latest detection."""
    @property
    def x(self) -> float:
        """Left edge of the box, frame pixels."""
    @property
    def y(self) -> float:
        """Top edge of the box, frame pixels."""
    @property
    def width(self) -> float: ...
    @property
    def height(self) -> float: ...
    @property
    def track_id(self) -> int:
        """Stable while the object is tracked; -1: untracked."""
    @property
    def age(self) -> int:
        """Frames since the object was last detected (0: on this very frame)."""
    def __init__(self) -> None: ...

class _FramePixels:
    """Internal: the pixels behind an as_memoryview() view (buffer protocol only)."""

class mat_image:
    """A cv::Mat of 8-bit pixels; supports the buffer protocol with shape
    (rows, cols, channels) and strides (cols*channels, channels, 1). No constructor."""

    def is_empty(self) -> bool: ...

def set_log_level(log_level: LogLevel) -> None:
    """Threshold of the library's log messages. The library starts at SWARNING, or at
    what the environment variable NIMBRA_LOG_LEVEL names ("info", "warning", "error",
    "debug", "off")."""
def clogger(destinationPath: str) -> None: ...
def set_config_path(path: str | os.PathLike[str]) -> None:
    """Read the stream configuration from `path` from now on. OSError (FileNotFoundError,
    ...) when it cannot be read; the file in use then stays."""
def get_config_path() -> str:
    """The configuration file start_stream reads now."""
def start_stream(stream_id: str, cb: Callable[[Image], SupportsIndex | None], *,
                 config: str | os.PathLike[str] | None = None) -> int:
    """Start stream (blocking); callback is GIL-safe.

    Runs the configured stream `stream_id` until it ends and returns 0, or -1 when it
    fails (also for an unknown id). `cb` is called once per decoded frame on a
    streaming thread; its int result is truncated to 8 bits, and None (a callback
    without a return statement) counts as 0. An exception or a result that is neither
    an int nor None is reported through sys.unraisablehook and the frame answers -1;
    the stream goes on. Other Python threads keep running meanwhile.

    `config` names the configuration file to read from now on, as set_config_path()
    does (OSError when it cannot be read); None keeps the one in use.
    """

def shutdown(stream_id: str, /) -> None:
    """Stop pipeline gracefully"""

def shutdown_all_and_wait(timeout_seconds: float = 60.0) -> bool:
    """Stop every running stream and wait until all have ended (recordings finalised);
    True when they ended in time. Streams still running when the interpreter exits are
    stopped this way too."""

def get_data(rows: int, cols: int, data: str | bytes, /) -> mat_image:
    """Deep copy of rows x cols RGB pixels from `data` (a str stands for its UTF-8
    bytes). ValueError when `data` is shorter than rows*cols*3 bytes."""

def get_stream_status() -> int: ...

class StreamHealth:
    """Health and numbers of one stream at the moment it was asked for. No constructor."""

    stream_id: str
    kind: str  # "classic", "usb", "split", "frame-push", "splice", "rolling", "audio", "composition"
    state: str  # "starting", "playing", "stalled", "reconnecting", "failed" or "stopped"
    running: bool
    last_error: str
    last_error_age_s: float  # seconds since last_error happened; -1.0 without one
    last_error_recovered: bool  # frames flowed again after last_error
    reconnects: int  # times the input came back after a drop
    reconnect_attempts: int
    last_frame_age_s: float  # -1.0 before the first frame
    uptime_s: float
    stall_timeout_s: float
    frames_decoded: int
    frames_delivered: int
    frames_skipped: int  # went to the output without the callback (a newer frame waited, or a stop)
    frames_dropped: int
    fps_last_second: float
    fps_since_start: float
    callback_p50_ms: float
    callback_p99_ms: float
    inferences: int
    inference_failures: int
    inference_fps: float
    inference_p50_ms: float
    inference_p99_ms: float
    inference_skipped: int
    objects: int

def get_stream_health(stream_id: str) -> StreamHealth | None:
    """Health and numbers of a running or lately ended stream; None when unknown."""

def list_stream_health() -> list[StreamHealth]:
    """Health of the running streams, then of those that ended lately."""

def set_stall_timeout(seconds: float) -> None:
    """Stall time of streams whose configuration has no "stallTimeout" (default 5 s).
    ValueError for seconds <= 0."""

def describe_stream_pipeline(stream_id: str, *, config: str | os.PathLike[str] | None = None) -> str | None:
    """The pipeline start_stream would build for `stream_id`, in gst-launch-1.0 style,
    without playing it; None when it cannot be built."""

# ---- events, MQTT and metrics ----
class Event:
    """One event of a tracked object. No constructor. `to_json()` gives the form MQTT
    carries (box in pixels and normalised, times in seconds since 1970, PTS in ns)."""

    type: str  # "new", "update", "end", "zone_enter", "zone_leave", "line_cross", "clip"
    id: str  # unique, also across runs of the process
    stream_id: str
    sequence: int  # per stream from 1, without gaps
    track_id: int
    label: str
    class_id: int
    confidence: float
    top_confidence: float
    box: tuple[float, float, float, float]  # x, y, width, height in frame pixels
    frame_width: int
    frame_height: int
    frame_index: int
    pts_ns: int  # -1: none
    time_s: float
    start_time_s: float
    end_time_s: float  # -1.0 but on end events
    zones: list[str]
    zone: str  # zone_enter / zone_leave
    line: str  # line_cross
    direction: str  # line_cross: "left_to_right" or "right_to_left"
    clip_path: str  # clip: the MP4 written ("eventClips"); "" on other events
    clip_event_id: str  # clip: id of the new / zone_enter / line_cross event it records
    clip_start_pts_ns: int  # clip: the stream PTS range it covers; -1 on other events
    clip_end_pts_ns: int
    def to_json(self) -> str: ...

def on_event(fn: Callable[[Event], object]) -> int:
    """Call fn(event) for every event, in order, on the library's event thread (the GIL
    is taken for each call); returns a handle. Exceptions go to sys.unraisablehook."""

def remove_event_callback(handle: int) -> bool:
    """Stop calling a callback; once it returns the callback is not running. False for an
    unknown handle."""

def poll_events(max_events: int = 100, timeout: float = 0.0) -> list[Event]:
    """Waiting events (the newest 1000 are kept), waiting up to `timeout` seconds for the
    first one."""

def feed_event_frame(stream_id: str, frame_index: int, width: int, height: int,
                     objects: list[tuple], pts_ns: int = -1, wall_time_s: float = 0.0) -> None:
    """Run the stream's event engine on one frame's tracked objects, each
    (track_id, label, confidence, x, y, width, height[, class_id]) in frame pixels.
    `wall_time_s` 0 means now."""

def configure_stream_events(stream_id: str) -> int:
    """Read the stream's "events", "zones" and "lines" now; 0, or -1 (one error line
    logged; the stream then makes no events)."""

def end_stream_events(stream_id: str) -> None:
    """The stream ended: its counted tracks end (zone_leave, end)."""

def start_event_services(config_path: str = "") -> int:
    """Start MQTT ("mqtt") and /metrics ("metricsPort") as the configuration file says
    (the library's own when empty); 0, or -1 after one error line."""

def stop_event_services() -> None:
    """Stop them; MQTT says "offline", undelivered events stay in the spool directory."""

def metrics_port() -> int:
    """The port /metrics is served on (the bound one for "metricsPort": 0), or 0."""

def observe_inference_seconds(stream_id: str, seconds: float) -> None:
    """Record one inference duration for the stream's nimbra_inference_seconds."""

def mqtt_status() -> dict[str, object]:
    """configured, connected, queued, spooled, published, dropped, connect_attempts,
    connections, last_error."""

# Internal hooks for the project's tests, benchmark and examples; not a stable interface.
def _set_config_path(path: str) -> None:
    """Internal: point the library's configuration readers at `path`."""

def _call_with_image(cb: Callable[[Image], SupportsIndex], width: int, height: int,
                     repeat: int = 1) -> int:
    """Internal: run the frame bridge `repeat` times on one C++ thread with a synthetic
    width x height frame (byte i holds i % 256) and return the value the C++ side
    received from the last call."""

def _start_stream_cpp_counting(stream_id: str) -> int:
    """Internal: run the stream with a trivial C++ callback; number of frames, or -1."""
