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
# The same cycles under LeakSanitizer. GLib and GStreamer keep type and registry data
# until exit, so only leaks whose allocation stack passes through the library's own
# sources count. (valgrind cannot run here: a codec dependency uses instructions it does
# not know.)
bash scripts/sanitize.sh address >/dev/null
LOG="$PWD/build-address/leakcheck-lsan.log"
GST_REGISTRY_FORK=no GST_PLUGIN_PATH="$PWD/build-address/platform/gst-soft" \
  GST_REGISTRY_1_0="$PWD/build-address/gst-registry.bin" \
  ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 LSAN_OPTIONS=report_objects=0 \
  build-address/tests/core/leak_cycles 6 >"$LOG" 2>&1 || true
grep -E 'leak_cycles:|SUMMARY' "$LOG" || true
if awk '/^(Direct|Indirect) leak/{block=""} {block=block"\n"$0} /^$/{ if (block ~ /modules\/origin\/src/) found=1; block="" } END{exit !found}' "$LOG"; then
  echo "leakcheck: leaks allocated through libnimbra-gst, see $LOG"
  exit 1
fi
echo "leakcheck: OK"
