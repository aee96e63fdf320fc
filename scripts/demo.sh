#!/usr/bin/env bash
# The main job: builds tarvik and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target tarvik >/dev/null
./build/demo/tarvik --help
