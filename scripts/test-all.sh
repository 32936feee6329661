#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test (C++ and Python).
# Usage: bash scripts/test-all.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}

bash scripts/install-deps.sh
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBRA_BUILD_TESTS=ON
cmake --build "$BUILD" -j2
(cd "$BUILD" && ctest --output-on-failure -j2 --timeout 900)
# The splice module's threads once more under AddressSanitizer.
bash scripts/sanitize.sh address
