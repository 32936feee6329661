#!/usr/bin/env bash
# Frames the runtime fails on, in a real pipeline: with 3 of 30 frames failing the
# pipeline completes with 27 JSON lines and 3 warnings; with 25 failing in a row it
# stops with an error naming the last one. The warnings and errors are read from the
# bus in order (bus_messages.py; gst-launch-1.0 can leave out a warning that an error
# follows closely). Standard output and standard error are kept in separate files:
# written into one, the runtime's unbuffered lines could land inside a line of ours.
set -euo pipefail
: "${NIMBRA_TARKIN_MODELS:?}"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

launch() {  # REPLAY OUT: exit status of the pipeline (1: ended with an error)
  local rc=0
  /usr/bin/python3 "$(dirname "$0")/bus_messages.py" \
    "videotestsrc num-buffers=30 ! video/x-raw,format=BGR,width=320,height=240,framerate=25/1 !
     nmx-tarkin model=\"$NIMBRA_TARKIN_MODELS/$1/model.replay.json\" model-type=yolov8-detection output-format=json !
     filesink location=\"$2\"" >"$tmp/out" 2>"$tmp/err" || rc=$?
  cat "$tmp/out" "$tmp/err" >"$tmp/log"
  return "$rc"
}

launch v8_fail_frames "$tmp/lines" || { echo "pipeline failed:" >&2; cat "$tmp/log" >&2; exit 1; }
lines=$(wc -l <"$tmp/lines")
[ "$lines" -eq 27 ] || { echo "expected 27 lines, got $lines" >&2; cat "$tmp/log" >&2; exit 1; }
frames=$(/usr/bin/python3 -c 'import json,sys; print(" ".join(str(json.loads(l)["frame"]) for l in open(sys.argv[1])))' \
  "$tmp/lines")
want=$(seq 1 30 | grep -vxE '3|10|11' | tr '\n' ' ' | sed 's/ $//')
[ "$frames" = "$want" ] || { echo "frames '$frames', expected '$want'" >&2; exit 1; }
warnings=$(grep -c '^WARNING: from element' "$tmp/log" || true)
[ "$warnings" -eq 3 ] || { echo "expected 3 warnings, got $warnings" >&2; cat "$tmp/log" >&2; exit 1; }
grep -q 'Frame 10 dropped: nmx-tarkin: yolov8-detection invoke failed' "$tmp/log" || {
  echo "no warning for frame 10" >&2; cat "$tmp/log" >&2; exit 1; }
echo "ok: 3 of 30 frames failed, 27 lines, 3 warnings"

if launch v8_fail_run25 "$tmp/lines"; then
  echo "25 failed frames in a row did not stop the pipeline" >&2; cat "$tmp/log" >&2; exit 1
fi
grep -q 'ERROR: from element .*25 frames in a row failed, the last one (frame 26)' "$tmp/log" || {
  echo "no error naming the 25 failures:" >&2; cat "$tmp/log" >&2; exit 1; }
warnings=$(grep -c '^WARNING: from element' "$tmp/log" || true)
[ "$warnings" -eq 24 ] || { echo "expected 24 warnings before the error, got $warnings" >&2; exit 1; }
echo "ok: 25 failed frames in a row end the pipeline with an error"
