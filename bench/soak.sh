#!/usr/bin/env bash
# Soak under AddressSanitizer + UBSan + LeakSanitizer: each long-running mode of the
# three programs for a chosen time, at the same time, with a host that behaves at
# random, on a private Xvfb and a private PulseAudio that this script starts and stops.
#   - zentcap streams a moving screen into zentcap_receiver (which checks the stream)
#     and gets key-frame requests and quality changes at random moments;
#   - zentlock gets bloquear / soltar / latido at random, sometimes no heartbeat for
#     longer than its 10 s limit, the local user's Escape gesture, keys and clicks,
#     and its keyboard and mouse disabled and enabled again (xinput);
#   - zentrec --grabar records screen, system sound and microphone again and again for
#     random lengths, each recording stopped by one of "parar", SIGTERM and the end of
#     standard input.
# Prints the resident memory of each program (first sample, after the warm-up, end,
# peak, slope after the warm-up) and counts sanitizer reports (every process writes
# them to files; any file is a finding, printed at the end). Not part of CI.
#   bench/soak.sh [minutes, default 10] [build dir, default build-address] [seed]
# Status 1 when there is a finding, a program ended badly or a stream did not check out.
# SOAK_ONLY=zentcap|zentlock|zentrec runs that program alone (the others are not started);
# SOAK_RSS_DIR keeps the memory samples there; SOAK_SANITIZE=none builds without
# sanitizers (give it a build folder of its own).
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
build=${2:-build-address}
seed=${3:-$$}
RANDOM=$seed
bin=$build/bin
seconds=$((minutes * 60))
warmup=60
root=$(pwd)

programs=${SOAK_ONLY:-zentcap zentlock zentrec}
targets=(zentcap_animator)
for program in $programs; do
  case $program in
    zentcap) targets+=(zentcap zentcap_receiver) ;;
    zentlock) targets+=(zentlock soak_local_user) ;;
    zentrec) targets+=(zentrec) ;;
    *) echo "soak: SOAK_ONLY is one of zentcap, zentlock, zentrec" >&2; exit 1 ;;
  esac
done
# SOAK_SANITIZE=none builds without sanitizers (in a build folder of its own), to tell
# the programs' memory from the sanitizer's.
sanitize=${SOAK_SANITIZE:-address}
case $sanitize in
  address) ;;
  none) sanitize= ;;
  *) echo "soak: SOAK_SANITIZE is address or none" >&2; exit 1 ;;
esac

echo "soak: ${minutes} min per program (${programs}), ${SOAK_SANITIZE:-address} build in $build/, seed $seed"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZENT_SANITIZE="$sanitize" -DZENT_LINUX=ON \
  -DZENT_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}" >"$build/soak-build.log" 2>&1 ||
  { tail -n 40 "$build/soak-build.log" >&2; exit 1; }

. scripts/private_xvfb.sh
. scripts/private_pulseaudio.sh
started=()
work=$(mktemp -d)
cleanup() {
  local pid
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

reports=$work/reports
mkdir -p "$reports"
# AddressSanitizer keeps freed memory in a quarantine (256 MiB by default) to catch uses
# after free; until it is full, resident memory grows with every allocation whether or
# not anything leaks. A smaller one (SOAK_QUARANTINE_MB, default 16) still takes a
# program that frees little, or in bursts, longer than the warm-up to fill, and its
# limit counts the bytes asked for, not the red zones around them (about as much again
# for small blocks): growth up to about twice the limit is the quarantine. Tell it
# from the program's own with SOAK_QUARANTINE_MB=0 or SOAK_SANITIZE=none.
quarantine=${SOAK_QUARANTINE_MB:-16}
[ -z "$sanitize" ] || echo "soak: AddressSanitizer quarantine ${quarantine} MiB"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$reports/asan:log_exe_name=1:quarantine_size_mb=$quarantine"
export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.txt:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan:log_exe_name=1"

# --- private servers --------------------------------------------------------------
start_private_xvfb "$work" 1280x720x24 || { echo "soak: Xvfb did not start" >&2; exit 1; }
export DISPLAY=$private_display
"$bin/zentcap_animator" --fps 30 --rects 20 &
started+=($!)

sound=$work/sound
start_private_pulseaudio "$sound" <<PA || { echo "soak: PulseAudio did not start" >&2; exit 1; }
load-module module-null-sink sink_name=soak_speakers
load-module module-pipe-source source_name=soak_mic file=$sound/mic format=float32le rate=48000 channels=1
set-default-sink soak_speakers
set-default-source soak_mic
PA
# A tone on the speakers and a quieter one on the microphone, in real time, for the
# whole soak.
length=$((seconds + 120))
ffmpeg -v error -re -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$length" -ac 2 \
  -f f32le - </dev/null 2>/dev/null |
  pacat --playback --raw --format=float32le --rate=48000 --channels=2 --device=soak_speakers &
started+=($!)
ffmpeg -v error -re -f lavfi -i "sine=frequency=880:sample_rate=48000:duration=$length" -af volume=0.4 \
  -ac 1 -f f32le -y "$sound/mic" </dev/null 2>/dev/null &
started+=($!)

# --- memory sampling ----------------------------------------------------------------
# sample PID FILE: "seconds-since-start kB" every 2 s while PID lives.
sample() {
  local pid=$1 file=$2 rss
  while kill -0 "$pid" 2>/dev/null; do
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null) || true
    [ -n "$rss" ] && echo "$SECONDS $rss $pid" >>"$file"
    sleep 2
  done
}
# summary NAME FILE: first, after the warm-up, end, peak, and the least-squares slope
# after the warm-up in MiB per hour.
summary() {
  awk -v name="$1" -v warm="$((start + warmup))" '
    NR == 1 {first = $2} {last = $2; if ($2 > peak) peak = $2}
    $1 >= warm {if (!w) w = $2; n++; sx += $1; sy += $2; sxx += $1 * $1; sxy += $1 * $2}
    END {
      slope = (n > 1 && n * sxx != sx * sx) ? (n * sxy - sx * sy) / (n * sxx - sx * sx) : 0
      printf "  %-8s RSS MiB: first %.1f, after warm-up %.1f, end %.1f, peak %.1f; growth after warm-up %+.1f MiB, slope %+.1f MiB/h\n",
        name, first / 1024, w / 1024, last / 1024, peak / 1024, (last - w) / 1024, slope * 3600 / 1024
    }' "$2"
}
start=$SECONDS
deadline=$((start + seconds))

# --- zentcap: stream with random key-frame requests and quality changes ---------------
zentcap_soak() {
  local log=$work/zentcap
  mkfifo "$log.in" "$log.out"
  "$bin/zentcap" 1 1280 720 30 4000000 0 <"$log.in" >"$log.out" 2>"$log.err" &
  local pid=$!
  "$bin/zentcap_receiver" <"$log.out" >"$log.stats" 2>"$log.receiver" &
  local receiver=$!
  sample "$pid" "$log.rss" &
  exec 7>"$log.in"
  local keys=0 qualities=0
  while [ $SECONDS -lt $deadline ]; do
    sleep "0.$((RANDOM % 10))$((RANDOM % 10))"
    if [ $((RANDOM % 3)) -eq 0 ]; then
      echo "{\"clave\":true}" >&7
      keys=$((keys + 1))
    else
      local fps=$((5 + RANDOM % 56)) bitrate=$((500000 + (RANDOM % 80) * 100000))
      echo "{\"fps\":$fps,\"bitrate\":$bitrate}" >&7
      qualities=$((qualities + 1))
    fi
  done
  exec 7>&-
  local status=0 rstatus=0
  wait "$pid" || status=$?
  wait "$receiver" || rstatus=$?
  echo "zentcap: $keys key-frame requests, $qualities quality changes; status $status," \
    "receiver status $rstatus: $(tr -d '\n' <"$log.stats" | cut -c1-300)" >"$log.result"
  [ "$status" -eq 0 ] && [ "$rstatus" -eq 0 ]
}

# --- zentlock: block / release / heartbeat / Escape, devices disabled and enabled ----
zentlock_soak() {
  local log=$work/zentlock
  mkfifo "$log.in" "$log.user"
  "$bin/zentlock" <"$log.in" >"$log.out" 2>"$log.err" &
  local pid=$!
  "$bin/soak_local_user" <"$log.user" 2>"$log.user.err" &
  local user=$!
  sample "$pid" "$log.rss" &
  exec 8>"$log.in" 9>"$log.user"
  local blocks=0 releases=0 beats=0 escapes=0 silences=0 toggles=0 local_input=0
  local last_beat=$SECONDS device
  while [ $SECONDS -lt $deadline ]; do
    sleep "0.$((RANDOM % 10))"
    case $((RANDOM % 20)) in
      0 | 1 | 2) echo bloquear >&8; blocks=$((blocks + 1)) ;;
      3 | 4) echo soltar >&8; releases=$((releases + 1)) ;;
      5 | 6 | 7 | 8 | 9) echo latido >&8; beats=$((beats + 1)) ;;
      10 | 11) echo "escape 3" >&9; escapes=$((escapes + 1)) ;;
      12 | 13 | 14) echo key >&9; echo click >&9; echo move >&9; local_input=$((local_input + 1)) ;;
      15 | 16)
        if [ $((RANDOM % 2)) -eq 0 ]; then device="Xvfb keyboard"; else device="Xvfb mouse"; fi
        xinput disable "$device"
        sleep "0.$((RANDOM % 10))"
        echo key >&9
        echo click >&9
        xinput enable "$device"
        toggles=$((toggles + 1))
        ;;
      17)
        # Blocked with no heartbeat for longer than the limit: the safety exit.
        if [ $((RANDOM % 4)) -eq 0 ] && [ $((deadline - SECONDS)) -gt 15 ]; then
          echo bloquear >&8
          sleep 11
          silences=$((silences + 1))
        fi
        ;;
      *) ;;
    esac
  done
  echo salir >&8
  exec 8>&- 9>&-
  local status=0
  wait "$pid" || status=$?
  wait "$user" || true
  echo "zentlock: $blocks bloquear, $releases soltar, $beats latido, $escapes Escape gestures," \
    "$silences heartbeat silences, $toggles device disable/enable, $local_input bursts of local input;" \
    "answers: $(grep -c '^estado	1' "$log.out" || true) blocks, $(grep -c 'pedido' "$log.out" || true) pedido," \
    "$(grep -c 'escape' "$log.out" || true) escape, $(grep -c 'sin-agente' "$log.out" || true) sin-agente," \
    "$(grep -c '^error' "$log.out" || true) error; status $status" >"$log.result"
  [ "$status" -eq 0 ]
}

# --- zentrec: recordings of random length, each stop path in turn at random ----------
zentrec_soak() {
  local log=$work/zentrec
  local count=0 bad=0 parar=0 sigterm=0 eof=0 status length how pid
  while [ $((SECONDS + 10)) -lt $deadline ]; do
    length=$((3 + RANDOM % 28))
    [ $((SECONDS + length + 5)) -lt $deadline ] || length=$((deadline - SECONDS - 5))
    [ "$length" -ge 2 ] || break
    rm -f "$log.in" "$log.mp4"
    mkfifo "$log.in"
    "$bin/zentrec" --grabar "$log.mp4" 1 1280 720 30 4000000 1 1 - 0 <"$log.in" >"$log.out" 2>>"$log.err" &
    pid=$!
    sample "$pid" "$log.rss" &
    exec 6>"$log.in"
    sleep "$length"
    how=$((RANDOM % 3))
    case $how in
      0) echo parar >&6; exec 6>&-; parar=$((parar + 1)) ;;
      1) kill -TERM "$pid"; sigterm=$((sigterm + 1)) ;;
      2) exec 6>&-; eof=$((eof + 1)) ;;
    esac
    status=0
    wait "$pid" || status=$?
    exec 6>&-
    count=$((count + 1))
    # Every stop path ends with one "fin" line and status 0 (SIGTERM too: the recorder
    # finishes the file); a playable file of about the recorded length is left.
    if [ "$status" -ne 0 ] || ! grep -q '"t":"fin"' "$log.out" ||
      ! ffprobe -v error -show_entries format=duration -of csv=p=0 "$log.mp4" >"$log.duration" 2>&1; then
      bad=$((bad + 1))
      echo "recording $count (stop $how, ${length} s): status $status, $(tr -d '\n' <"$log.out")" >>"$log.bad"
    fi
  done
  echo "zentrec: $count recordings ($parar by parar, $sigterm by SIGTERM, $eof by end of input), $bad bad" >"$log.result"
  [ "$bad" -eq 0 ]
}

jobs_started=()
for program in $programs; do
  "${program}_soak" &
  jobs_started+=($!)
done
failed=0
for job in "${jobs_started[@]}"; do wait "$job" || failed=1; done
sleep 3  # the samplers see their process gone within 2 s

echo "soak: results after $((SECONDS - start)) s (load now: $(cut -d' ' -f1-3 /proc/loadavg))"
for program in $programs; do
  cat "$work/$program.result" 2>/dev/null || echo "$program: no result"
  summary "$program" "$work/$program.rss"
done
if [ -f "$work/zentrec.rss" ]; then
  # Every recording is a new process: its peak, first recordings against the last.
  awk '{if ($2 > peak[$3]) peak[$3] = $2; if (!($3 in seen)) {seen[$3] = 1; order[++n] = $3}}
    END {
      line = "  zentrec  peak RSS MiB per recording, first three:"
      for (i = 1; i <= 3 && i <= n; i++) line = line sprintf(" %.1f", peak[order[i]] / 1024)
      line = line ", last three:"
      for (i = (n > 3 ? n - 2 : 1); i <= n; i++) line = line sprintf(" %.1f", peak[order[i]] / 1024)
      print line
    }' "$work/zentrec.rss"
fi
[ ! -s "$work/zentrec.bad" ] || { echo "soak: bad recordings:"; cat "$work/zentrec.bad"; }
# SOAK_RSS_DIR: where to keep the samples ("seconds kB pid" lines, one file per program).
[ -z "${SOAK_RSS_DIR:-}" ] || { mkdir -p "$SOAK_RSS_DIR" && cp "$work"/*.rss "$SOAK_RSS_DIR"/; }
for program in zentcap zentlock; do
  if grep -qiE 'error|sanitizer' "$work/$program.err" 2>/dev/null; then
    echo "soak: $program standard error:"
    tail -n 20 "$work/$program.err"
  fi
done
findings=$(find "$reports" -type f | wc -l)
echo "soak: sanitizer findings: $findings"
for report in $(find "$reports" -type f | sort); do
  echo "==== $(basename "$report")"
  cat "$report"
done
[ "$findings" -eq 0 ] && [ "$failed" -eq 0 ]
