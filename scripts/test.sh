#!/usr/bin/env bash
# Builds and runs the whole test suite: unit tests on the scripted platform and
# end-to-end tests of the real programs (each suite starts its own private Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
ctest --test-dir build --output-on-failure -j2 "$@"
