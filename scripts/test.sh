#!/usr/bin/env bash
# Builds everything (programs, tools, tests, benchmarks) into ./build and runs the whole
# test suite: unit tests on the scripted platform and end-to-end tests of the real
# programs (each suite starts its own private Xvfb and sound servers). Arguments go to
# ctest (for example -L unit).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j2 "$@"
