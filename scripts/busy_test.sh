#!/usr/bin/env bash
# Runs the end-to-end tests (labels e2e and pipewire) of a build again while processes
# that never sleep, one per core, compete with them for the whole run: the suite must
# not depend on an idle machine. Ends the busy processes whatever happens.
#   scripts/busy_test.sh [build dir, default build] [more ctest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
[ -f "$dir/CTestTestfile.cmake" ] || { echo "busy: $dir holds no tests (run scripts/test.sh first)" >&2; exit 2; }

. scripts/busy_loops.sh
start_busy
echo "busy: ${#busy[@]} busy processes (${busy[*]}) beside the tests"
ctest --test-dir "$dir" --output-on-failure -j2 -L 'e2e|pipewire' "$@"
