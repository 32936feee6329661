"""Runs a pipeline description to its end and prints, in the order the bus delivered
them, every warning and error as gst-launch-1.0 words them:

  WARNING: from element <path>: <message>
  ERROR: from element <path>: <message>

Exit status 1 when the pipeline ended with an error, 0 at end of stream. gst-launch-1.0
itself is not used for counting: when an error follows a run of warnings closely it does
not always print all of them (seen: 22 or 23 of 24 on a loaded machine).

Usage: bus_messages.py PIPELINE-DESCRIPTION"""
import sys

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

LIMIT = 120  # seconds without a message: a hung pipeline, not a slow one


def main():
    Gst.init(None)
    pipeline = Gst.parse_launch(sys.argv[1])
    bus = pipeline.get_bus()
    pipeline.set_state(Gst.State.PLAYING)
    status = 0
    kinds = Gst.MessageType.WARNING | Gst.MessageType.ERROR | Gst.MessageType.EOS
    try:
        while True:
            m = bus.timed_pop_filtered(LIMIT * Gst.SECOND, kinds)
            if m is None:
                print("no end of stream within %d s" % LIMIT, file=sys.stderr)
                status = 2
                break
            if m.type == Gst.MessageType.EOS:
                break
            word, (err, _) = ("WARNING", m.parse_warning()) if m.type == Gst.MessageType.WARNING \
                else ("ERROR", m.parse_error())
            print("%s: from element %s: %s" % (word, m.src.get_path_string(), err.message), flush=True)
            if m.type == Gst.MessageType.ERROR:
                status = 1
                break
    finally:
        pipeline.set_state(Gst.State.NULL)
    return status


sys.exit(main())
