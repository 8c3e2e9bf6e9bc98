#!/usr/bin/env bash
# Builds what the demo runs into ./build: the programs (zentcap, zentrec, zentlock) and
# the tools beside them (zentcap_receiver, the demo's zentcap_animator). scripts/test.sh
# builds the rest (tests, benchmarks) into the same folder.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target zentcap zentrec zentlock zentcap_receiver zentcap_animator
