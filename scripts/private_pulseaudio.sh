# Sourced by scripts that need a private sound server. start_private_pulseaudio FOLDER
# starts PulseAudio with its socket, home and runtime folder in FOLDER and the modules
# read from standard input (after the native protocol, which it loads itself), appends
# its PID to the caller's `started` array and exports PULSE_SERVER. Returns 1, with the
# server's log on standard error, when it does not answer within 10 s.
start_private_pulseaudio() {
  local folder=$1
  mkdir -m 700 -p "$folder" "$folder/home"
  {
    echo "load-module module-native-protocol-unix socket=$folder/native auth-anonymous=1"
    cat
  } >"$folder/server.pa"
  HOME="$folder/home" XDG_RUNTIME_DIR="$folder" pulseaudio -n -F "$folder/server.pa" --exit-idle-time=-1 \
    --daemonize=no --use-pid-file=no --log-target=stderr --log-level=error 2>"$folder/pulseaudio.log" &
  started+=($!)
  export PULSE_SERVER="unix:$folder/native"
  for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  cat "$folder/pulseaudio.log" >&2
  return 1
}
