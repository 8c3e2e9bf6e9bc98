#!/usr/bin/env bash
# Runs the helpers the way the host does and leaves what they made in ./out (or the
# folder given as the first argument):
#   - 5 seconds of the screen streamed through zentcap and zentcap_receiver: a PNG
#     snapshot, an MP4 copy of the video and the stream statistics (JSON);
#   - 5 seconds of the screen and its sound recorded by zentrec --grabar into
#     recording.mp4, with the recorder's events (recording.json);
#   - the microphone list of zentrec --microfonos.
#
# Without DISPLAY it starts a private Xvfb (1280x720) with moving content
# (zentcap_animator and xclock); with DISPLAY set it uses that display, scaled to
# 1280x720. Without a reachable sound server it starts a private PulseAudio with a
# null sink as the speakers (playing a 440 Hz tone) and a FIFO microphone (fed a
# quieter 880 Hz tone). It stops everything it started at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-out}
seconds=5
bin=build/bin
for program in zentcap zentcap_receiver zentcap_animator zentrec; do
  if [ ! -x "$bin/$program" ]; then
    scripts/build.sh
    break
  fi
done
mkdir -p "$out"

. scripts/private_xvfb.sh
. scripts/private_pulseaudio.sh
started=()
work=$(mktemp -d)
cleanup() {
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  if ! start_private_xvfb "$work" 1280x720x24; then
    echo "demo: Xvfb no arrancó" >&2
    exit 1
  fi
  export DISPLAY=$private_display
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

# Sound: the server the desktop already has, or a private one. Asking must not
# start a server of its own (client autospawn).
printf 'autospawn = no\n' >"$work/client.conf"
if ! PULSE_CLIENTCONFIG="$work/client.conf" pactl info >/dev/null 2>&1; then
  sound="$work/sound"
  if ! start_private_pulseaudio "$sound" <<PA; then
load-module module-null-sink sink_name=demo_altavoces sink_properties=device.description=Altavoces
load-module module-pipe-source source_name=demo_microfono file=$sound/microfono format=float32le rate=48000 channels=1 source_properties='device.description="Micrófono de la demo" device.form_factor=internal'
set-default-sink demo_altavoces
set-default-source demo_microfono
PA
    echo "demo: PulseAudio no arrancó" >&2
    exit 1
  fi
  echo "demo: PulseAudio privado en $PULSE_SERVER"
  # A tone on the speakers, and a quieter one on the microphone, both in real time.
  ffmpeg -v error -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$((seconds + 10))" \
    -af volume=0.6 -ac 2 -f f32le -y "$sound/tono.raw"
  pacat --playback --raw --format=float32le --rate=48000 --channels=2 --latency-msec=20 \
    --device=demo_altavoces "$sound/tono.raw" &
  started+=($!)
  ffmpeg -v error -re -f lavfi -i "sine=frequency=880:sample_rate=48000:duration=$((seconds + 10))" \
    -af volume=0.4 -ac 1 -f f32le -y "$sound/microfono" </dev/null &
  started+=($!)
else
  echo "demo: se usa el servidor de sonido del escritorio"
fi

echo "demo: $seconds s de grabación a 1280x720, 30 fps, 4 Mbit/s, con sonido y micrófono -> $out/recording.mp4"
# Closing zentrec's standard input (sleep ends) stops the recording like "parar".
set +e
sleep "$seconds" | "$bin/zentrec" --grabar "$out/recording.mp4" 1 1280 720 30 4000000 1 1 - 0 \
  >"$out/recording.json" 2>"$out/zentrec.log"
status=$?
set -e
echo "demo: eventos de zentrec ($out/recording.json):"
sed 's/^/  /' "$out/recording.json"
if [ "$status" -ne 0 ]; then
  echo "demo: zentrec --grabar terminó con $status" >&2
  cat "$out/zentrec.log" >&2
  exit 1
fi
echo "demo: lo que ve ffprobe en $out/recording.mp4:"
ffprobe -v error -show_entries format=duration:stream=codec_name,profile,width,height,sample_rate,channels \
  -of compact=p=0 "$out/recording.mp4" | sed 's/^/  /'
echo "demo: micrófonos (zentrec --microfonos):"
"$bin/zentrec" --microfonos | sed 's/^/  /'
echo "demo: $out/snapshot.png, $out/demo.mp4, $out/recording.mp4"
