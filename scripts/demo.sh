#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main program on the bundled sample.
# Usage: bash scripts/demo.sh [nimbra-run arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2 --target nimbra-run gstnmxsoft nimbra-media
exec build/tools/nimbra-run "$@"
