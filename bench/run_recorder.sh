#!/usr/bin/env bash
# The recorder next to ffmpeg, on a private 1920x1080 Xvfb and a private PulseAudio
# that the helper starts and stops itself: CPU per second of a 1080p30 8 Mbit/s
# recording with system sound (goal: at most 0.6 times ffmpeg's), the A/V offset in
# the file at its start and at its end (a flip and a click every 0.8 to 1.2 s, the
# click's own delay measured and subtracted; goal: within 40 ms), the time from
# "parar" to "fin" after the recording, resident memory over it (goal: flat), and
# the Opus mode's CPU (goal: under 1% of a core) and delay from a sound played to its
# packet. Prints a table.
#   bench/run_recorder.sh [seconds per recording, default 60] [Opus seconds, default 10] [build dir, default build] [folder that keeps the files]
# The goal for the stop time is measured on a 600 s recording: bench/run_recorder.sh 600.
# With ZENT_BENCH_BUSY=1, processes that never sleep, one per core, compete with both
# recorders for the whole run (the offsets must hold on a busy machine too).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
opus_seconds=${2:-10}
build=${3:-build}
keep=()
[ -n "${4:-}" ] && keep=(--folder "$4")
bin=$build/bin
if [ ! -x "$bin/zentrec_recorder_bench" ] || [ ! -x "$bin/zentrec" ]; then
  cmake -S . -B "$build" -DZENT_BENCH=ON -DZENT_TESTS=ON &&
    cmake --build "$build" -j2 --target zentrec zentrec_recorder_bench
fi
. scripts/busy_loops.sh
if [ "${ZENT_BENCH_BUSY:-0}" = 1 ]; then
  start_busy
  echo "busy: ${#busy[@]} busy processes beside the recorders"
fi
"$bin/zentrec_recorder_bench" --seconds "$seconds" --opus-seconds "$opus_seconds" "${keep[@]}"
