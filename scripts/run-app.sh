#!/usr/bin/env bash
# Builds the application and starts the window (needs a display; under none, use xvfb-run).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOVANMUXER_BUILD_TESTS=OFF \
    -DTOVANMUXER_BUILD_BENCH=OFF
cmake --build build -j "$(nproc)"
exec build/app/tovanmuxer "$@"
