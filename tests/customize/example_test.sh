#!/usr/bin/env bash
# Runs the example application on real decoded frames with the test models and
# checks what it prints; then its failure paths.
#   example_test.sh EXAMPLE
set -euo pipefail
: "${NIMBRA_MEDIA_DIR:?}" "${NIMBRA_TARKIN_MODELS:?}"
example=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

big=$NIMBRA_MEDIA_DIR/h264_1080p.mp4
small=$NIMBRA_MEDIA_DIR/h264_small.mp4
for f in "$big" "$small"; do
  [ -r "$f" ] || { echo "missing clip $f" >&2; exit 1; }
done

# run MODEL TYPE CLIP FRAME WIDTH HEIGHT SCALE PICTURE [OPTIONS...]
run() {
  local name=$1 model=$NIMBRA_TARKIN_MODELS/$1 type=$2 clip=$3 frame=$4 w=$5 h=$6 scale=$7 picture=$8
  shift 8
  local out=$tmp/out
  "$example" "$@" "$model" "$type" "$clip" "$frame" >"$out" 2>"$tmp/err" || {
    echo "example failed on $name:" >&2; cat "$tmp/err" >&2; exit 1; }
  grep -qx "frame $frame of $clip: ${w}x${h} stride $((w * 3))" "$out" || {
    echo "$name: frame line wrong:" >&2; head -3 "$out" >&2; exit 1; }
  grep -qx "letterbox scale=$scale picture=$picture" "$out" || {
    echo "$name: letterbox line wrong:" >&2; head -3 "$out" >&2; exit 1; }
  local n lines
  n=$(sed -n 's/^detections \([0-9]*\)$/\1/p' "$out")
  lines=$(grep -c '^detection class=' "$out" || true)
  [ -n "$n" ] && [ "$n" -eq "$lines" ] || { echo "$name: count '$n' but $lines lines" >&2; exit 1; }
  [ "$n" -gt 0 ] || { echo "$name: no detections" >&2; exit 1; }
  # Classes 0..79, scores in (0, 1], positive sizes, best first.
  awk -v name="$name" '
    /^detection class=/ {
      split($0, f, /[ =]/)
      cls = f[3]; score = f[5]; w = f[11]; h = f[13]
      if (cls < 0 || cls > 79 || score <= 0 || score > 1 || w < 0 || h < 0) {
        print name ": bad detection: " $0 > "/dev/stderr"; bad = 1 }
      if (seen && score > last + 1e-6) {
        print name ": not best first: " $0 > "/dev/stderr"; bad = 1 }
      last = score; seen = 1
    }
    END { exit bad }' "$out"
  echo "ok: $name on frame $frame: $n detections"
}

run yolov8_concat.onnx yolov8-detection "$big" 3 1920 1080 3.000000 640x360
run yolov5.onnx yolov5 "$small" 1 320 240 0.500000 640x480
run yolov5_5d.onnx yolov5 "$big" 1 1920 1080 3.000000 640x360
# Models exported at 320 (the colour detectors find the clip's saturated bars).
run colour_v8_320.onnx yolov8-detection "$big" 2 1920 1080 6.000000 320x180 --size 320
run colour_v5_320.onnx yolov5 "$small" 1 320 240 1.000000 320x240 --size 320

# Failure paths: one line on stderr, non-zero exit.
expect_fail() {
  local what=$1; shift
  if "$example" "$@" >"$tmp/out" 2>"$tmp/err"; then
    echo "$what: succeeded" >&2; exit 1
  fi
  [ "$(wc -l <"$tmp/err")" -eq 1 ] && grep -q "$what" "$tmp/err" || {
    echo "$what: unexpected error output:" >&2; cat "$tmp/err" >&2; exit 1; }
}
expect_fail "cannot load ONNX model" "$tmp/none.onnx" yolov5 "$small"
expect_fail "has no frame 1000" "$NIMBRA_TARKIN_MODELS/yolov5.onnx" yolov5 "$small" 1000
expect_fail "unknown model type" "$NIMBRA_TARKIN_MODELS/yolov5.onnx" yolov7 "$small"
expect_fail "unexpected YOLOv8 output" "$NIMBRA_TARKIN_MODELS/yolov5.onnx" yolov8-detection "$small"
expect_fail "the model size is a multiple of 32" --size 300 "$NIMBRA_TARKIN_MODELS/yolov5.onnx" yolov5 "$small"
echo "ok: failure paths"
