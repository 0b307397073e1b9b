#!/usr/bin/env bash
# The main job: builds the library and runs a capture run against the
# simulated camera world (argument: seconds of streaming, default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh native
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j"$(nproc)" --target nuv_demo
build/native/tools/nuv_demo "$@"
