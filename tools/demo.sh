#!/usr/bin/env bash
# A short demonstration: velkor loads the project's own target server on
# 127.0.0.1 with 30 clients for 5 seconds. Usage: tools/demo.sh [build-dir]
set -euo pipefail
build="${1:-build}"

log="$(mktemp)"
"$build/velkor_target" --port 0 --stop-after-sec 30 >"$log" &
target=$!
trap 'kill "$target" 2>/dev/null || true; rm -f "$log"' EXIT
for _ in $(seq 100); do
  grep -q '^listening on' "$log" && break
  sleep 0.05
done
address="$(sed -n 's/^listening on //p' "$log")"
[ -n "$address" ] || { echo "the target server did not start" >&2; exit 1; }

# The fine percentiles and the connections' own figures: the summary's whole
# milliseconds would all read 0 for a server answering in a fraction of one.
"$build/velkor" -t 5 -c 30 "http://$address/" --latency --connections
kill -TERM "$target"
wait "$target" || true
echo "target server: $(grep '^served' "$log")"
