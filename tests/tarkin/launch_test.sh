#!/usr/bin/env bash
# Runs the detection element in a real decode pipeline on a generated H.264 clip and
# checks that one text per frame came out.
#   launch_test.sh MODEL MODEL_TYPE LABEL   (LABEL: a class expected in every frame, or -)
#   launch_test.sh --inspect
set -euo pipefail
: "${NIMBRA_MEDIA_DIR:?}" "${NIMBRA_TARKIN_MODELS:?}"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if [ "${1:-}" = "--inspect" ]; then
  gst-inspect-1.0 nmx-tarkin >"$tmp/out" 2>"$tmp/err"
  grep -q 'Tarkin YOLOv5 BGR->text plugin' "$tmp/out"
  grep -q 'print-valid-boxes' "$tmp/out"
  for prop in model-size output-format channel-order; do
    grep -q "^  $prop " "$tmp/out" || { echo "no property $prop" >&2; exit 1; }
  done
  grep -q '(1): json' "$tmp/out" || { echo "output-format lacks json" >&2; exit 1; }
  if grep -Eq 'CRITICAL|WARNING|ERROR' "$tmp/err" "$tmp/out"; then
    echo "gst-inspect-1.0 nmx-tarkin is not clean:" >&2
    cat "$tmp/err" >&2
    exit 1
  fi
  exit 0
fi

model=$NIMBRA_TARKIN_MODELS/$1
type=$2
label=$3
clip=$NIMBRA_MEDIA_DIR/h264_small.mp4
[ -r "$clip" ] || { echo "missing clip $clip" >&2; exit 1; }

gst-launch-1.0 -q filesrc location="$clip" ! qtdemux ! h264parse ! qtivdec ! qtivtransform ! \
  video/x-raw,format=BGR ! nmx-tarkin model="$model" model-type="$type" ! \
  filesink location="$tmp/texts" 2>"$tmp/err" || { cat "$tmp/err" >&2; exit 1; }

texts=$(grep -o 'ObjectDetection' "$tmp/texts" | wc -l)
# The clip holds 100 frames (see make-media.sh); every one must give a text.
if [ "$texts" -ne 100 ]; then
  echo "expected 100 texts, got $texts" >&2
  cat "$tmp/err" >&2
  exit 1
fi
if [ "$label" != "-" ]; then
  hits=$(grep -o "$label" "$tmp/texts" | wc -l)
  [ "$hits" -ge 100 ] || { echo "expected '$label' in every text, found $hits" >&2; exit 1; }
fi
# Frame indices run 1..100 in order.
# (inside the list the structure is escaped: timestamp\=\(guint64\)N)
grep -oE 'timestamp\\=\\\(guint64\\\)[0-9]+' "$tmp/texts" | grep -oE '[0-9]+$' > "$tmp/ts"
seq 1 100 | cmp -s - "$tmp/ts" || { echo "frame indices out of order" >&2; exit 1; }
echo "ok: $texts texts"
