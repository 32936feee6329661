"""pybind11 example plugin

Python binding of the nimbra-gst stream API. Frame callbacks run on GStreamer
streaming threads; the binding takes the GIL for each call.
"""

import os
from typing import Callable, ClassVar, SupportsIndex

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
    def to_bytes(self) -> bytes:
        """Copy of the frame's `size` bytes (b"" without pixels)."""
    def as_memoryview(self) -> memoryview:
        """Writable view of the frame's pixels; drawings made during the callback reach
        the output. A view kept after the callback keeps that frame's pixels and never
        sees memory the pipeline reuses."""

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
    frames_dropped: int
    fps_last_second: float
    fps_since_start: float
    callback_p50_ms: float
    callback_p99_ms: float

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
