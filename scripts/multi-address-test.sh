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

source "$(dirname "${BASH_SOURCE[0]}")/netns-lib.sh"

netns_build_dir multi-address-test "$@"
probe_bin=$build_dir/tests/tools/probe_from
require_files "$server_bin" "$client_bin" "$probe_bin" "$library"
require_root
require_tools ip timeout

netns_begin
ns_client=$ns_prefix-client
ns_server=$ns_prefix-server

netns_add "$ns_client" || skip "cannot create network namespaces (ip netns add failed)"
netns_add "$ns_server"
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

# Started directly, without a function or timeout(1) around it, so that $!
# is the server itself (ip execs it) and it gets only this script's SIGTERM.
ip netns exec "$ns_server" "$server_bin" --listen 0.0.0.0:7171 --threads 4 \
  >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
register_pid "$server_pid"
wait_until 20 grep -q '^listening on 0.0.0.0:7171$' "$work/server.out" ||
  fail "probe server did not start"
grep -q '4 threads steered by source address' "$work/server.err" ||
  fail "the server did not start 4 steered threads"

for server_address in 198.51.100.2 198.51.100.3; do
  learned=$(ip netns exec "$ns_client" timeout -k 10 60 env WANSEER_LIBRARY="$library" \
    "$client_bin" --timeout 30 "$server_address:7171" 2>"$work/client.err") ||
    fail "wanseer asking $server_address exited with status $?"
  [[ $learned == 198.51.100.10 ]] ||
    fail "wanseer asking $server_address printed '$learned', expected 198.51.100.10"
  echo "ok: asking $server_address, wanseer learned 198.51.100.10"

  ip netns exec "$ns_client" timeout -k 10 60 "$probe_bin" "$server_address:7171" "${sources[@]}" \
    >"$work/probe.out" 2>"$work/probe.err" ||
    fail "answers to probes of $server_address went astray"
  echo "ok: $(cat "$work/probe.out")"
done

kill -TERM "$server_pid"
wait_for_exit "$server_pid" 60 || fail "probe server did not exit 0 on SIGTERM"
expected=$((2 * (1 + ${#sources[@]})))
grep -q "answered=$expected " "$work/server.out" ||
  fail "the server's counters do not show $expected answers: $(tail -n 1 "$work/server.out")"
echo "PASSED"
