#!/usr/bin/env bash
# Builds and runs the benchmarks; each prints our path against the plain GStreamer or
# OpenCV equivalent, measured side by side in one run.
# Usage: bash scripts/bench.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBRA_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j2
export GST_PLUGIN_PATH="$PWD/$BUILD/platform/gst-soft"
export GST_REGISTRY_1_0="$PWD/$BUILD/gst-registry.bin"
export NIMBRA_MEDIA_DIR="$PWD/$BUILD/media"

run() { echo; echo "== $1"; shift; "$@"; }
[ -x "$BUILD/bench/convert/bench_convert" ] &&
  run "1080p H.264 decode to RGB: qtivtransform vs videoconvert vs decode alone" \
    "$BUILD/bench/convert/bench_convert" "$NIMBRA_MEDIA_DIR/h264_bench_1080p.mp4"
[ -x "$BUILD/bench/splice/bench_splice" ] &&
  run "splice decode vs appsrc ! h265parse ! avdec_h265" \
    "$BUILD/bench/splice/bench_splice" "$NIMBRA_MEDIA_DIR/h265_1080p.h265" 3 2>/dev/null | grep -v '^\['
[ -x "$BUILD/bench/stream/bench_stream" ] &&
  run "start_stream vs plain pipeline, CPU per frame" \
    "$BUILD/bench/stream/bench_stream" "$NIMBRA_MEDIA_DIR/h264_bench_1080p.mp4"
if [ -f bench/python/bench_python.py ]; then
  run "Python callback vs C++ callback" env PYTHONPATH="$PWD/$BUILD/python" \
    /usr/bin/python3 bench/python/bench_python.py --media-dir "$NIMBRA_MEDIA_DIR"
fi
