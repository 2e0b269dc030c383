#!/usr/bin/env bash
# Installs what is missing, builds what it runs (the library, the store and
# the two tools, not the tests), and runs the main job on loopback: starts
# wanseer-probe-server, asks it for this machine's address with the wanseer
# command-line host (which loads libwanseer.so.1 as any host would), once by
# the probe protocol and once by STUN, prints the address, and stops the
# server.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
BUILD_TARGETS="wanseer wanseer-probe-server wanseer-cli" scripts/build.sh build

log=$(mktemp)
build/tools/wanseer-probe-server --listen 127.0.0.1:0 >"$log" &
server=$!
stop_server() {
  kill "$server" 2>/dev/null || return 0
  # Bounded: SIGKILL if it has not ended 10 s after SIGTERM.
  for _ in $(seq 100); do
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  rm -f "$log"
}
trap stop_server EXIT
# The server names its port once bound.
for _ in $(seq 100); do
  grep -q '^listening on ' "$log" && break
  sleep 0.1
done
endpoint=$(sed -n 's/^listening on //p' "$log")
[ -n "$endpoint" ] || { echo "the probe server did not start" >&2; exit 1; }

echo "probe server listening on $endpoint"
printf 'external address (probe protocol): '
build/tools/wanseer --timeout 10 "$endpoint"
printf 'external address (STUN):           '
build/tools/wanseer --timeout 10 "stun:$endpoint"
