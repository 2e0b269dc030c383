#!/usr/bin/env bash
# End-to-end test of a probe server on a host with two addresses on one
# interface, in network namespaces of our own:
#
#   client 198.51.100.10/24 (and .100-.163) --- server 198.51.100.2/24 + 198.51.100.3/24
#
# wanseer-probe-server listens on 0.0.0.0:7171 with 4 threads.  The wanseer
# host in the client namespace must learn 198.51.100.10 whichever server
# address it asks, and 64 more source addresses, which the server's steering
# spreads over all its threads, must get their answers from exactly the
# address they asked.
#
# Usage: scripts/multi-address-test.sh BUILD_DIR      (as root)
# Exit:  0 passed, 1 failed, 2 bad usage, 77 skipped (printed as "SKIPPED: reason").
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build_dir=$(cd "$1" && pwd)
server_bin=$build_dir/tools/wanseer-probe-server
client_bin=$build_dir/tools/wanseer
probe_bin=$build_dir/tests/tools/probe_from
library=$build_dir/src/libwanseer.so.1
for file in "$server_bin" "$client_bin" "$probe_bin" "$library"; do
  [[ -e $file ]] || { echo "multi-address-test: $file not found; build first" >&2; exit 2; }
done

skip() {
  echo "SKIPPED: $*"
  exit 77
}
[[ $(id -u) -eq 0 ]] || skip "network namespaces need root"
for tool in ip timeout; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done

prefix="wsm-$$"
ns_client=$prefix-client
ns_server=$prefix-server
work=$(mktemp -d)
server_pid=""

cleanup() {
  if [[ -n $server_pid ]]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  ip netns del "$ns_client" 2>/dev/null || true
  ip netns del "$ns_server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# CTest ends a test that runs too long with SIGTERM: leave through the EXIT
# trap, so that no namespace is left behind.
trap 'exit 143' TERM
trap 'exit 130' INT

fail() {
  echo "FAILED: $*" >&2
  for log in "$work"/*.out "$work"/*.err; do
    [[ -s $log ]] && { echo "--- $(basename "$log")" >&2; cat "$log" >&2; }
  done
  exit 1
}

wait_until() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

ip netns add "$ns_client" 2>/dev/null || skip "cannot create network namespaces (ip netns add failed)"
ip netns add "$ns_server"
ip -n "$ns_client" link set lo up
ip -n "$ns_server" link set lo up
ip -n "$ns_client" link add c0 type veth peer name s0 netns "$ns_server"

ip -n "$ns_server" addr add 198.51.100.2/24 dev s0
ip -n "$ns_server" addr add 198.51.100.3/24 dev s0
ip -n "$ns_server" link set s0 up

ip -n "$ns_client" addr add 198.51.100.10/24 dev c0
sources=()
for host in $(seq 100 163); do
  ip -n "$ns_client" addr add "198.51.100.$host/24" dev c0
  sources+=("198.51.100.$host")
done
ip -n "$ns_client" link set c0 up

# Started without a function around it, so that $! is the process itself
# (ip execs timeout, which passes SIGTERM on).
ip netns exec "$ns_server" timeout 120 "$server_bin" --listen 0.0.0.0:7171 --threads 4 \
  >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
wait_until 20 grep -q '^listening on 0.0.0.0:7171$' "$work/server.out" ||
  fail "probe server did not start"
grep -q '4 threads steered by source address' "$work/server.err" ||
  fail "the server did not start 4 steered threads"

for server_address in 198.51.100.2 198.51.100.3; do
  learned=$(ip netns exec "$ns_client" timeout 60 env WANSEER_LIBRARY="$library" \
    "$client_bin" --timeout 30 "$server_address:7171" 2>"$work/client.err") ||
    fail "wanseer asking $server_address exited with status $?"
  [[ $learned == 198.51.100.10 ]] ||
    fail "wanseer asking $server_address printed '$learned', expected 198.51.100.10"
  echo "ok: asking $server_address, wanseer learned 198.51.100.10"

  ip netns exec "$ns_client" timeout 60 "$probe_bin" "$server_address:7171" "${sources[@]}" \
    >"$work/probe.out" 2>"$work/probe.err" ||
    fail "answers to probes of $server_address went astray"
  echo "ok: $(cat "$work/probe.out")"
done

kill -TERM "$server_pid"
wait "$server_pid" || fail "probe server did not exit 0 on SIGTERM"
server_pid=""
expected=$((2 * (1 + ${#sources[@]})))
grep -q "answered=$expected " "$work/server.out" ||
  fail "the server's counters do not show $expected answers: $(tail -n 1 "$work/server.out")"
echo "PASSED"
