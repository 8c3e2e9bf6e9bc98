# Sourced by scripts that run something beside busy processes: start_busy starts one
# process that never sleeps per core, and they end with the script, whatever happens.
busy=()
stop_busy() {
  local pid
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${busy[@]}"; do wait "$pid" 2>/dev/null || true; done
}
start_busy() {
  trap stop_busy EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  for _ in $(seq "$(nproc)"); do
    sh -c 'while :; do :; done' &
    busy+=($!)
  done
}
