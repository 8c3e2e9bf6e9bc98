#!/usr/bin/env bash
# Glass-to-packet latency, CPU per frame and frame rate of zentcap on a Wayland desktop
# (headless sway with the ScreenCast portal of portal-wlr, started by the benchmark
# itself), next to GStreamer's pipewiresrc + x264enc (ultrafast, zerolatency) on a
# portal stream of the same screen, in the same run. Prints a table: a bar moving at
# 60 frames a second at 1920x1080@30 and @60, then a still screen where only the
# measured patches change.
#   bench/run_wayland_latency.sh [seconds per run, default 10] [build dir, default build]
#                                [zentcap binary to measure, default the build's]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
build=${2:-build}
zentcap=()
if [ -n "${3:-}" ]; then zentcap=(--zentcap "$3"); fi
if [ ! -x "$build/bin/wayland_latency" ] || [ ! -x "$build/bin/zentcap" ]; then
  cmake -S . -B "$build" && cmake --build "$build" --target wayland_latency zentcap -j2
fi
"$build/bin/wayland_latency" --seconds "$seconds" --configs 1920x1080@30,1920x1080@60 "${zentcap[@]}"
"$build/bin/wayland_latency" --seconds "$seconds" --configs 1920x1080@30 --scene still "${zentcap[@]}"
