# Sourced by scripts that need a private X server. start_private_xvfb FOLDER GEOMETRY
# starts Xvfb on a free display number (-displayfd: the server writes the number once
# it accepts clients, so there is nothing to guess and no fixed wait), appends its PID
# to the caller's `started` array and sets `private_display` to ":N". Returns 1, with
# the server's log on standard error, when it does not come up within 10 s.
start_private_xvfb() {
  local folder=$1 geometry=$2
  Xvfb -displayfd 3 -screen 0 "$geometry" -noreset -nolisten tcp 3>"$folder/display" 2>"$folder/xvfb.log" &
  started+=($!)
  for _ in $(seq 100); do
    [ -s "$folder/display" ] && break
    sleep 0.1
  done
  if [ ! -s "$folder/display" ]; then
    cat "$folder/xvfb.log" >&2
    return 1
  fi
  private_display=":$(head -n1 "$folder/display")"
}
