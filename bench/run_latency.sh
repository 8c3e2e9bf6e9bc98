#!/usr/bin/env bash
# Glass-to-packet latency, CPU per frame, achieved frame rate, share of skipped
# frames and memory of zentcap, next to ffmpeg x11grab + libx264 (ultrafast,
# zerolatency), on private Xvfb servers of each measured size. Prints a table:
# first with a bar moving at 60 frames a second (frames flow at the full rate, so
# a change waits on average half a frame interval for its capture), the same with
# one core kept busy by a competing process, then on a still screen where only the
# measured patch changes, and on a screen where text is being typed (small changes
# several times a second, a glyph-sized measured patch).
#   bench/run_latency.sh [seconds per run, default 10] [memory check seconds, default 20] [build dir, default build]
#                        [zentcap binary to measure, default the build's]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
rss_seconds=${2:-20}
build=${3:-build}
bin=$build/bin
zentcap=()
if [ -n "${4:-}" ]; then zentcap=(--zentcap "$4"); fi
if [ ! -x "$bin/zentcap_latency" ] || [ ! -x "$bin/zentcap" ]; then
  cmake -S . -B "$build" && cmake --build "$build" -j2
fi

work=$(mktemp -d)
server=""
stop_server() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  server=""
}
trap 'stop_server; rm -rf "$work"' EXIT

start_server() {  # geometry
  rm -f "$work/display"
  Xvfb -displayfd 3 -screen 0 "$1x24" -noreset -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  server=$!
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
  done
  [ -s "$work/display" ] || { cat "$work/xvfb.log" >&2; exit 1; }
  display=":$(head -n1 "$work/display")"
}

header=()
for size in 1280x720 1920x1080; do
  start_server "$size"
  case $size in
    1280x720) configs=1280x720@30; rss=0 ;;
    1920x1080) configs=1920x1080@30,1920x1080@60; rss=$rss_seconds ;;
  esac
  "$bin/zentcap_latency" --display "$display" --configs "$configs" --seconds "$seconds" \
    --rss-seconds "$rss" "${zentcap[@]}" "${header[@]}"
  header=(--no-header)
  if [ "$size" = 1920x1080 ]; then
    "$bin/zentcap_latency" --display "$display" --configs "$configs" --seconds "$seconds" \
      --busy "${zentcap[@]}" "${header[@]}"
    "$bin/zentcap_latency" --display "$display" --configs 1920x1080@30 --seconds "$seconds" \
      --scene still "${zentcap[@]}" "${header[@]}"
    "$bin/zentcap_latency" --display "$display" --configs "$configs" --seconds "$seconds" \
      --scene typing "${zentcap[@]}" "${header[@]}"
  fi
  stop_server
done
