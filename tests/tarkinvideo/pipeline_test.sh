#!/usr/bin/env bash
# Runs nmx-tarkin-video in a real pipeline on the generated 320x240 H.264 clip:
# decode -> transform to GBM BGR -> nmx-tarkin-video -> compositor over the video
# -> H.264 in MP4, then decodes the MP4 back and checks the overlay in the pictures.
#   pipeline_test.sh MODEL mask|none   (MODEL relative to NIMBRA_TARKINVIDEO_MODELS)
#   pipeline_test.sh --inspect
set -euo pipefail
: "${NIMBRA_MEDIA_DIR:?}" "${NIMBRA_TARKINVIDEO_MODELS:?}"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if [ "${1:-}" = "--inspect" ]; then
  gst-inspect-1.0 nmx-tarkin-video >"$tmp/out" 2>"$tmp/err"
  grep -q 'Tarkin segmentation overlay video plugin' "$tmp/out"
  grep -q 'memory:GBM' "$tmp/out"
  grep -q '^  model-size ' "$tmp/out" || { echo "no property model-size" >&2; exit 1; }
  if grep -Eq 'CRITICAL|WARNING|ERROR' "$tmp/err" "$tmp/out"; then
    echo "gst-inspect-1.0 nmx-tarkin-video is not clean:" >&2
    cat "$tmp/err" >&2
    exit 1
  fi
  exit 0
fi

model=$NIMBRA_TARKINVIDEO_MODELS/$1
mode=$2
clip=$NIMBRA_MEDIA_DIR/h264_small.mp4
[ -r "$clip" ] || { echo "missing clip $clip" >&2; exit 1; }
[ -r "$model" ] || { echo "missing model $model" >&2; exit 1; }

# The overlay leaves the element in system memory as BGRA, so GStreamer's own
# compositor can lay it over the decoded video.
gst-launch-1.0 -q filesrc location="$clip" ! qtdemux ! h264parse ! qtivdec ! tee name=t \
  t. ! queue ! qtivtransform ! "video/x-raw(memory:GBM),format=BGR" ! \
       nmx-tarkin-video model="$model" ! video/x-raw,format=BGRA ! queue ! comp.sink_1 \
  t. ! queue ! qtivtransform ! video/x-raw,format=BGRA ! comp.sink_0 \
  compositor name=comp sink_0::zorder=0 sink_1::zorder=1 ! videoconvert ! video/x-raw,format=I420 ! \
  x264enc speed-preset=ultrafast pass=quant quantizer=10 ! h264parse ! mp4mux ! \
  filesink location="$tmp/out.mp4" 2>"$tmp/err" || { cat "$tmp/err" >&2; exit 1; }

decode() {
  gst-launch-1.0 -q filesrc location="$1" ! qtdemux ! h264parse ! avdec_h264 ! videoconvert ! \
    video/x-raw,format=BGR ! filesink location="$2"
}
decode "$tmp/out.mp4" "$tmp/out.bgr"
decode "$clip" "$tmp/orig.bgr"

if [ "$mode" = none ]; then
  # The element's own output: every pixel transparent.
  gst-launch-1.0 -q filesrc location="$clip" ! qtdemux ! h264parse ! qtivdec ! qtivtransform ! \
    "video/x-raw(memory:GBM),format=BGR" ! nmx-tarkin-video model="$model" ! video/x-raw,format=BGRA ! \
    filesink location="$tmp/overlay.bgra" 2>"$tmp/err" || { cat "$tmp/err" >&2; exit 1; }
fi

/usr/bin/python3 - "$tmp" "$mode" "$NIMBRA_TARKINVIDEO_MODELS/cases.json" <<'PY'
import json, os, sys
import numpy as np
tmp, mode, cases = sys.argv[1], sys.argv[2], sys.argv[3]
W, H, FRAMES = 320, 240, 100
out = np.fromfile(os.path.join(tmp, "out.bgr"), np.uint8)
orig = np.fromfile(os.path.join(tmp, "orig.bgr"), np.uint8)
assert out.size == FRAMES * W * H * 3, "decoded %d bytes, expected %d frames" % (out.size, FRAMES)
assert orig.size == out.size
out = out.reshape(FRAMES, H, W, 3).astype(np.float64)
orig = orig.reshape(FRAMES, H, W, 3).astype(np.float64)
if mode == "none":
    ov = np.fromfile(os.path.join(tmp, "overlay.bgra"), np.uint8)
    assert ov.size == FRAMES * W * H * 4, "overlay holds %d bytes" % ov.size
    assert not ov.any(), "overlay not all zero: %d non-zero bytes" % np.count_nonzero(ov)
    err = np.abs(out - orig).mean()
    assert err < 4, "video changed without detections: mean error %.2f" % err
    print("ok: 100 transparent overlays, video unchanged (mean error %.2f)" % err)
    sys.exit(0)
# The planted detection: class 0 over a 640-space box, scale 0.5 on this clip.
cx, cy, bw, bh = json.load(open(cases))["onnx_box"]
x, y, w, h = int((cx - bw / 2) * 0.5), int((cy - bh / 2) * 0.5), int(bw * 0.5), int(bh * 0.5)
inner = (slice(None), slice(y + 6, y + h - 6), slice(x + 6, x + w - 6))
colour = np.array([64, 128, 192], np.float64)
a = 160.0 / 255.0
want = orig[inner] * (1 - a) + colour * a
err = np.abs(out[inner] - want).mean(axis=(1, 2, 3))
shift = np.abs(orig[inner] - want).mean()
assert shift > 20, "the mask colour is too close to the video to tell: %.1f" % shift
assert err.max() < 8, "mask not blended over the video: worst frame error %.2f" % err.max()
# Well away from the box and its tag the video is unchanged.
far = (slice(None), slice(y + h + 12, H), slice(0, W))
ferr = np.abs(out[far] - orig[far]).mean()
assert ferr < 4, "video changed outside the overlay: %.2f" % ferr
print("ok: mask in all 100 frames (worst error %.2f, shift %.1f), outside error %.2f" % (err.max(), shift, ferr))
PY
