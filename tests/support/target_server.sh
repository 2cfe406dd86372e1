# Sourced by the package checks: starts the project's target server on a free
# loopback port for at most 30 seconds. Sets target (its process id, for the
# caller to kill) and address (host:port), or fails.
# Usage: start_target_server SERVER LOG
start_target_server() {
  "$1" --port 0 --stop-after-sec 30 >"$2" &
  target=$!
  for _ in $(seq 100); do
    grep -q '^listening on' "$2" && break
    sleep 0.05
  done
  address=$(sed -n 's/^listening on //p' "$2")
  [[ -n $address ]] || { echo "the target server did not start" >&2; return 1; }
}
