#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + AddressSanitizer + UBSan) and runs
# each for a bounded time. Usage: scripts/fuzz.sh [seconds per target, default 45]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-45}
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZENT_FUZZ=ON \
  -DZENT_TESTS=OFF -DZENT_LINUX=OFF -DZENT_BENCH=OFF -DZENT_SANITIZE=address >/dev/null
cmake --build "$dir" -j"$(nproc)"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# As many targets at once as there are cores: each runs on one thread for its own time.
run_target() {
  local target=$1 name corpus seeds
  name=$(basename "$target")
  corpus="$dir/corpus/${name#fuzz_}"
  mkdir -p "$corpus"
  seeds="fuzz/regressions/${name#fuzz_}"
  if ! "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -artifact_prefix="$dir/" \
       "$corpus" $( [ -d "$seeds" ] && echo "$seeds" ) 2>"$dir/$name.log"; then
    echo "== $name for ${seconds}s"
    tail -n 40 "$dir/$name.log"
    echo "$name: FAILED (see $dir/$name.log)"
    return 1
  fi
  echo "== $name for ${seconds}s: $(grep -E '^#[0-9]+.*(DONE|pulse)' "$dir/$name.log" | tail -n 1)"
}
export -f run_target
export dir seconds
status=0
printf '%s\n' "$dir"/bin/fuzz_* | xargs -P "$(nproc)" -I{} bash -c 'run_target "$1"' _ {} || status=1
exit $status
