#!/usr/bin/env bash
# Installs every Debian package the build, the demo, the tests and the benchmarks need.
# Idempotent: packages already present are skipped, so reruns cost one dpkg query.
set -euo pipefail

PKGS=(
  # toolchain
  build-essential cmake ninja-build pkg-config git
  # GStreamer 1.22 with the element sets the pipelines name
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev
  libgstrtspserver-1.0-dev gstreamer1.0-tools gstreamer1.0-plugins-base
  gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
  gstreamer1.0-libav gstreamer1.0-rtsp
  # codecs and conversion behind the soft platform elements
  libavcodec-dev libavutil-dev libx264-dev libx265-dev libyuv-dev
  # logo decoding and text of the soft overlay element
  libopencv-imgcodecs-dev
  # core library
  libjsoncpp-dev libopencv-core-dev libopencv-imgproc-dev
  # inference plug-ins and the runtime stand-in (OpenCV DNN on ONNX models)
  libopencv-dnn-dev
  # models made by the test setup
  python3-onnx
  # Python module (system interpreter)
  python3 python3-dev pybind11-dev python3-pytest python3-numpy
  # GStreamer from Python: the merge script and the Python tests
  python3-gi gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0
  # tests: unit framework, servers, compositor, leak checks
  libgtest-dev libgmock-dev nginx libnginx-mod-rtmp weston valgrind procps
  # weston --use-gl renders with Mesa's llvmpipe (only recommended by weston)
  libgl1-mesa-dri libegl-mesa0
  # timeoverlay for the generated media's clock
  gstreamer1.0-x
  # events out of the board: MQTT client library, Prometheus exposer; the tests' broker,
  # its command-line clients and the Prometheus text parser
  libmosquitto-dev prometheus-cpp-dev mosquitto mosquitto-clients python3-prometheus-client
  # certificates for the TLS test
  openssl
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "install-deps: all packages present"
fi

# The distribution's nginx service must not hold port 80 or run beside the test instances.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet nginx 2>/dev/null; then
  systemctl stop nginx || true
fi
