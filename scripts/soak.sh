#!/usr/bin/env bash
# Long run: RTSP -> MP4, RTSP -> RTSP push, RTMP -> callback and a rolling save in one
# process, the RTSP source server restarted every minute. Prints per minute RSS, threads,
# open descriptors and frames, then the RSS slope after the first two minutes and a
# pass/fail line (slope <= 1 MiB/hour, threads and descriptors flat, every recording
# playable).
# Usage: bash scripts/soak.sh [minutes] [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
MINUTES=${1:-30}
BUILD=${2:-build}
cmake --build "$BUILD" -j2 --target soak rtsp-test-server gstnmxsoft nimbra-media
BUILD=$(cd "$BUILD" && pwd)
export GST_PLUGIN_PATH="$BUILD/platform/gst-soft"
export GST_REGISTRY_1_0="$BUILD/gst-registry.bin"
export NIMBRA_MEDIA_DIR="$BUILD/media"
export NIMBRA_KEEP_PLATFORM_ENV=1
export NIMBRA_RTSP_TEST_SERVER="$BUILD/tools/rtsp-test-server"
exec "$BUILD/tests/core/soak" "$MINUTES" 60
