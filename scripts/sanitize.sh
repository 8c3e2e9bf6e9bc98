#!/usr/bin/env bash
# Builds everything (programs, the Linux backend, the tests) under a sanitizer and
# runs the tests: the unit tests on the scripted platform, the backend's tests and the
# end-to-end suites, whose test binaries start the sanitized programs of the same
# build (tests/support finds them in the build's bin folder).
#   scripts/sanitize.sh address [ctest arguments]   AddressSanitizer + UBSan (+ LeakSanitizer)
#   scripts/sanitize.sh thread  [ctest arguments]   ThreadSanitizer
# Without ctest arguments, address runs every test but the PipeWire reruns and thread
# runs the unit tests, the backend's tests and the end-to-end flows named below.
#
# Every report of every process (test binaries and the programs they start, which
# may end by a signal or have their standard error read by the test) goes to a file
# in build-<kind>/sanitizer-reports/. The run fails when any file is there at the
# end, whatever the tests said, and prints them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
kind=${1:?address or thread}
shift
dir=build-$kind
case "$kind" in address | thread) ;; *) echo "sanitize: address or thread, not $kind" >&2; exit 2 ;; esac

SECONDS=0
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZENT_SANITIZE="$kind" \
  -DZENT_LINUX=ON -DZENT_BENCH=OFF >/dev/null
cmake --build "$dir" -j2 >"$dir/sanitize-build.log" 2>&1 || { tail -n 60 "$dir/sanitize-build.log" >&2; exit 1; }
echo "sanitize $kind: build ${SECONDS} s"

reports=$root/$dir/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
suppressions=$root/tests/sanitizers
# A report ends the process with a status the tests see (abort for ASan, exit code
# 66 for the others) as well as leaving its file behind.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$reports/asan:log_exe_name=1:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$suppressions/lsan.txt:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan:log_exe_name=1"
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:log_path=$reports/tsan:log_exe_name=1:suppressions=$suppressions/tsan.txt:print_suppressions=0"
# Tests with a bound on a delay or a rate allow this many times longer: sanitized
# code runs several times slower, and so do the uninstrumented libraries under TSan.
if [ "$kind" = thread ]; then
  export ZENT_TEST_TIME_SCALE=${ZENT_TEST_TIME_SCALE:-4}
else
  export ZENT_TEST_TIME_SCALE=${ZENT_TEST_TIME_SCALE:-3}
fi

# Under ThreadSanitizer: every unit test, the backend's tests (capture, encoder,
# sound, writer), and the end-to-end flows whose threads matter most in the programs:
# the streamer's stream, control and lifecycle, the blocker's block, release, escape
# and safety exits, the recorder's recordings and their stop paths.
# The suites left out here are the streamer's picture content and cursor (with the
# picture after a Wayland output's resize, which the slowed streamer does not always
# get within the test's time), the recorder's microphone list, level meter, A/V sync,
# hole count under load (the recordings' threads are the ones Grabar runs)
# and Opus mode; AddressSanitizer runs them all.
# Neither runs the second run of the sound tests under PipeWire (label pipewire): the
# same code meets the same scenarios under PulseAudio here, and the PipeWire runs
# are there for the server's own behaviour, which the unsanitized test runs (idle and
# busy) check.
args=("$@")
if [ ${#args[@]} -eq 0 ]; then
  if [ "$kind" = thread ]; then
    args=(-LE pipewire -E '^(NativeSizeContent|ScaledContent|CursorOverlay|Microfonos|Nivel|Sincronia|SonidoCompleto|Altavoz)\.|^WaylandStream\.AnOutputResized')
  else
    args=(-LE pipewire)
  fi
fi

# ThreadSanitizer cannot map its shadow memory under the kernel's widest address
# randomisation; running without randomisation avoids that.
runner=()
if [ "$kind" = thread ] && command -v setarch >/dev/null; then runner=(setarch "$(uname -m)" -R); fi
start=$SECONDS
status=0
"${runner[@]}" ctest --test-dir "$dir" --output-on-failure -j2 "${args[@]}" || status=$?
echo "sanitize $kind: tests $((SECONDS - start)) s"

found=$(find "$reports" -type f | sort)
if [ -n "$found" ]; then
  echo "sanitize $kind: sanitizer reports:" >&2
  for report in $found; do
    echo "==== $report" >&2
    cat "$report" >&2
  done
  status=1
fi
exit $status
