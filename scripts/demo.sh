#!/usr/bin/env bash
# Installs what is missing, builds everything a user can run (library, Python module,
# plug-ins, soft platform, nimbra-run and the RTSP test server, examples, media, the
# stand-in models), runs the stream runner on the bundled sample, and says what to try next.
# Usage: bash scripts/demo.sh [nimbra-run arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2 --target nimbra-user
status=0
build/tools/nimbra-run "$@" || status=$?
cat <<'NEXT'

Built into build/: the library, the Python module (build/python), the plug-ins
(build/plugins/gstreamer-1.0), the soft platform (build/platform/gst-soft), nimbra-run and
rtsp-test-server (build/tools), the examples (build/examples) and the media (build/media).
Three things to try next, from the repository root (more in README.md, "Getting started"):

  1. The streams' health, once a second:
       build/tools/nimbra-run --status sample splice_cam
  2. A frame callback in Python, drawing a box into every frame:
       PYTHONPATH=build/python GST_PLUGIN_PATH=build/platform/gst-soft \
         /usr/bin/python3 examples/python_draw_box.py --config build/conf/nimbra-gst.conf sample
  3. Four cameras (the test server's) composed into one recording, four.mp4:
       CAMERAS=$(build/tools/rtsp-test-server --port 8554 --background)
       GST_PLUGIN_PATH=build/platform/gst-soft build/examples/four_cameras --frames 100 \
         rtsp://127.0.0.1:8554/cam0 rtsp://127.0.0.1:8554/cam1 rtsp://127.0.0.1:8554/cam2 \
         rtsp://127.0.0.1:8554/cam3 four.mp4
       kill $CAMERAS
NEXT
exit "$status"
