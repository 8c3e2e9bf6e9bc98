#!/usr/bin/env bash
# Streams 5 seconds of a screen through zentcap and zentcap_receiver, the way the
# host would, and leaves a PNG snapshot, an MP4 copy of the video and the stream
# statistics (JSON) in ./out (or the folder given as the first argument).
#
# Without DISPLAY it starts a private Xvfb (1280x720) with moving content
# (zentcap_animator and xclock) and stops everything it started at the end.
# With DISPLAY set it streams that display, scaled to 1280x720.
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-out}
seconds=5
bin=build/bin
for program in zentcap zentcap_receiver zentcap_animator; do
  if [ ! -x "$bin/$program" ]; then
    cmake -S . -B build && cmake --build build -j2
    break
  fi
done
mkdir -p "$out"

started=()
work=$(mktemp -d)
cleanup() {
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  # -displayfd: the server picks a free display number and writes it once it
  # accepts clients, so there is nothing to guess and no fixed wait.
  Xvfb -displayfd 3 -screen 0 1280x720x24 -noreset -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  started+=($!)
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
  done
  if [ ! -s "$work/display" ]; then
    echo "demo: Xvfb no arrancó:" >&2
    cat "$work/xvfb.log" >&2
    exit 1
  fi
  export DISPLAY=":$(head -n1 "$work/display")"
  echo "demo: Xvfb privado en $DISPLAY"
  "$bin/zentcap_animator" --fps 30 --rects 20 &
  started+=($!)
  xclock -update 1 -geometry 220x220+40+40 &
  started+=($!)
else
  echo "demo: se transmite la pantalla $DISPLAY"
fi

echo "demo: $seconds s a 1280x720, 30 fps, 4 Mbit/s -> $out/"
# Closing zentcap's standard input (sleep ends) is how a host stops a stream.
set +e
sleep "$seconds" | "$bin/zentcap" 1 1280 720 30 4000000 0 2>"$out/zentcap.log" |
  "$bin/zentcap_receiver" --png "$out/snapshot.png" --mp4 "$out/demo.mp4" >"$out/stats.json"
statuses=("${PIPESTATUS[@]}")
set -e

if [ "${statuses[1]}" -ne 0 ] || [ "${statuses[2]}" -ne 0 ]; then
  echo "demo: zentcap terminó con ${statuses[1]}, zentcap_receiver con ${statuses[2]}" >&2
  cat "$out/zentcap.log" >&2
  exit 1
fi
echo "demo: mensajes de zentcap:"
sed 's/^/  /' "$out/zentcap.log"
echo "demo: estadísticas ($out/stats.json):"
sed 's/^/  /' "$out/stats.json"
echo "demo: $out/snapshot.png, $out/demo.mp4"
