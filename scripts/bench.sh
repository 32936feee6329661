#!/usr/bin/env bash
# Builds and runs the benchmarks; each prints our path against the plain GStreamer or
# OpenCV equivalent, measured side by side in one run.
# Usage: bash scripts/bench.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBRA_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j2
# Relative or absolute, from here on the build directory is absolute.
BUILD=$(cd "$BUILD" && pwd)
export GST_PLUGIN_PATH="$BUILD/platform/gst-soft:$BUILD/plugins/gstreamer-1.0"
export GST_REGISTRY_1_0="$BUILD/gst-registry.bin"
export NIMBRA_MEDIA_DIR="$BUILD/media"

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
[ -x "$BUILD/bench/latency/bench_latency" ] &&
  run "Glass-to-callback latency of a live RTSP stream: newest frame wins vs \"slowCallback\": \"block\"" \
    "$BUILD/bench/latency/bench_latency" 20
[ -x "$BUILD/bench/stream/bench_stream_memory" ] &&
  run "eight 1080p file streams in one process: peak RSS per stream and throughput, queues and decoder threads sized vs as before" \
    "$BUILD/bench/stream/bench_stream_memory" "$NIMBRA_MEDIA_DIR/h264_bench_1080p.mp4" 3 8
[ -x "$BUILD/bench/framecopy/bench_framecopy" ] &&
  run "1080p NV12 frame copy into a memfd ring: nmx-korvaframecopy vs memcpy" \
    "$BUILD/bench/framecopy/bench_framecopy" 300 5
[ -x "$BUILD/bench/composer/bench_composer" ] &&
  run "four 1080p NV12 inputs composed into one 1080p frame: qtivcomposer vs compositor, CPU per frame" \
    "$BUILD/bench/composer/bench_composer" 300
[ -x "$BUILD/bench/tarkin/bench_tarkin" ] &&
  run "YOLO pre/post-processing per 1080p frame: nmx_yolo_common vs blobFromImage + NMSBoxes" \
    "$BUILD/bench/tarkin/bench_tarkin" "$NIMBRA_MEDIA_DIR/h264_bench_1080p.mp4" \
    $([ -r "$BUILD/tests/tarkin/models/yolov8_concat.onnx" ] && echo "$BUILD/tests/tarkin/models/yolov8_concat.onnx")
[ -x "$BUILD/bench/tarkin/bench_tarkin_detect" ] &&
  run "Detection throughput at model sizes 640 and 320: nmx-tarkin vs an OpenCV DNN loop (blobFromImage, forward, NMSBoxes)" \
    "$BUILD/bench/tarkin/bench_tarkin_detect" "$NIMBRA_MEDIA_DIR/h264_1080p.mp4" \
    "$BUILD/bench/tarkin/models/bench_v8_640.onnx" "$BUILD/bench/tarkin/models/bench_v8_320.onnx"
[ -x "$BUILD/bench/detect/bench_detect" ] &&
  run "1080p detecting stream (320 model, every 5th frame): CPU per frame vs decode + cv::dnn loop; decode rate; tracker" \
    "$BUILD/bench/detect/bench_detect" "$NIMBRA_MEDIA_DIR/h264_bench_1080p.mp4"
[ -x "$BUILD/bench/tarkinvideo/bench_tarkinvideo" ] &&
  run "Segmentation overlay at 1080p, 10 and 50 objects: one mask product vs a product per object" \
    "$BUILD/bench/tarkinvideo/bench_tarkinvideo"
if [ -f bench/python/bench_python.py ]; then
  run "Python callback vs C++ callback" env PYTHONPATH="$BUILD/python" \
    /usr/bin/python3 bench/python/bench_python.py --media-dir "$NIMBRA_MEDIA_DIR"
fi
