#!/usr/bin/env bash
# 50 start/stop cycles of a file stream: threads, file descriptors and heap in use must
# come back to where they were (also run by the test suite as "leak_cycles"), then the
# same cycles under valgrind's leak checker for the library's own allocations.
# Usage: bash scripts/leakcheck.sh [build-dir] [cycles]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
CYCLES=${2:-50}
cmake --build "$BUILD" -j2 --target leak_cycles gstnmxsoft nimbra-media
export GST_PLUGIN_PATH="$PWD/$BUILD/platform/gst-soft"
export GST_REGISTRY_1_0="$PWD/$BUILD/gst-registry.bin"
export NIMBRA_MEDIA_DIR="$PWD/$BUILD/media"
"$BUILD/tests/core/leak_cycles" "$CYCLES"
# GLib and GStreamer keep type and registry data until exit; only losses whose stack
# passes through the library are ours.
G_SLICE=always-malloc valgrind --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=3 \
  --num-callers=30 "$BUILD/tests/core/leak_cycles" 6 2>&1 | tee "$BUILD/leakcheck-valgrind.log" |
  grep -E 'definitely lost|leak_cycles:|ERROR SUMMARY'
if grep -B30 'definitely lost in' "$BUILD/leakcheck-valgrind.log" | grep -q 'libnimbra-gst'; then
  echo "leakcheck: definite leaks through libnimbra-gst, see $BUILD/leakcheck-valgrind.log"
  exit 1
fi
echo "leakcheck: OK"
