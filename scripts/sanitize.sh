#!/usr/bin/env bash
# Builds the unit tests under a sanitizer and runs them.
#   scripts/sanitize.sh address   AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/sanitize.sh thread    ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:?address or thread}
dir=build-$kind
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZENT_SANITIZE="$kind" \
  -DZENT_LINUX=OFF -DZENT_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# ThreadSanitizer cannot map its shadow memory under the kernel's widest address
# randomisation; running without randomisation avoids that.
runner=()
if [ "$kind" = thread ] && command -v setarch >/dev/null; then runner=(setarch "$(uname -m)" -R); fi
"${runner[@]}" ctest --test-dir "$dir" --output-on-failure -L unit -j2
