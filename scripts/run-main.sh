#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on loopback: starts
# wanseer-probe-server, asks it for this machine's address with the wanseer
# command-line host (which loads libwanseer.so.1 as any host would), prints
# the address, and stops the server.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build

log=$(mktemp)
build/tools/wanseer-probe-server --listen 127.0.0.1:0 >"$log" &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -f "$log"' EXIT
# The server names its port once bound.
for _ in $(seq 100); do
  grep -q '^listening on ' "$log" && break
  sleep 0.1
done
endpoint=$(sed -n 's/^listening on //p' "$log")
[ -n "$endpoint" ] || { echo "the probe server did not start" >&2; exit 1; }

echo "probe server listening on $endpoint"
printf 'external address: '
build/tools/wanseer --timeout 10 "$endpoint"
