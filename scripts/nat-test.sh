#!/usr/bin/env bash
# End-to-end test behind a NAT router, in network namespaces of our own:
#
#   client 192.0.2.2/24 --- 192.0.2.1 router 198.51.100.1 --- 198.51.100.2/24 server
#                           (masquerade on the outside interface)
#
# 1. wanseer in the client learns 198.51.100.1 (the router's outside
#    address) from wanseer-probe-server in the server namespace.
# 2. While `wanseer --watch` runs and its worker waits for an answer, 4-byte
#    datagrams from another client-side address (192.0.2.3, on the router)
#    are sent to the client's probe port; none may become the stored address, and
#    the real answer is still taken once the server is up.
# 3. STUN through the NAT: wanseer learns 198.51.100.1 from coturn's
#    `turnserver --stun-only` in the server namespace (stun:198.51.100.2, on
#    STUN's port 3478), and coturn's `turnutils_stunclient` and Debian's
#    `stun` learn it from wanseer-probe-server.
#
# Usage: scripts/nat-test.sh BUILD_DIR      (as root)
# Exit:  0 passed, 1 failed, 2 bad usage, 77 skipped (printed as "SKIPPED: reason").
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/netns-lib.sh"

netns_build_dir nat-test "$@"
require_files "$server_bin" "$client_bin" "$library"
require_root
require_tools ip nft ss timeout turnserver turnutils_stunclient stun

netns_begin
ns_client=$ns_prefix-client
ns_router=$ns_prefix-router
ns_server=$ns_prefix-server
# No newline byte in it: bash's printf would flush, and send, at each one.
spoofed_payload='\x0b\x0b\x0b\x0b'  # would read as 11.11.11.11
spoofed_address=11.11.11.11

in_ns() {
  local ns=$1
  shift
  ip netns exec "$ns" "$@"
}

netns_add "$ns_client" || skip "cannot create network namespaces (ip netns add failed)"
netns_add "$ns_router"
netns_add "$ns_server"
for ns in "$ns_client" "$ns_router" "$ns_server"; do
  ip -n "$ns" link set lo up
done

# Links are made inside the namespaces, so their names never meet the host's.
ip -n "$ns_client" link add c0 type veth peer name r0 netns "$ns_router"
ip -n "$ns_router" link add r1 type veth peer name s0 netns "$ns_server"

ip -n "$ns_client" addr add 192.0.2.2/24 dev c0
ip -n "$ns_client" link set c0 up
ip -n "$ns_client" route add default via 192.0.2.1

ip -n "$ns_router" addr add 192.0.2.1/24 dev r0
ip -n "$ns_router" addr add 198.51.100.1/24 dev r1
ip -n "$ns_router" link set r0 up
ip -n "$ns_router" link set r1 up
in_ns "$ns_router" sysctl -qw net.ipv4.ip_forward=1
in_ns "$ns_router" nft -f - <<'NFT'
table ip wanseer_nat {
  chain postrouting {
    type nat hook postrouting priority srcnat; policy accept;
    oifname "r1" masquerade
  }
}
NFT

ip -n "$ns_server" addr add 198.51.100.2/24 dev s0
ip -n "$ns_server" link set s0 up

# The tools are started directly, never under timeout(1), and each gets one
# SIGTERM from this script (see netns-lib.sh for why).
start_server() {
  : >"$work/server.out"
  # Started without the in_ns function, so that $! is the server itself
  # (ip netns exec execs it).
  ip netns exec "$ns_server" "$server_bin" --listen 198.51.100.2:7171 \
    >"$work/server.out" 2>"$work/server.err" &
  server_pid=$!
  register_pid "$server_pid"
  wait_until 20 grep -q '^listening on 198.51.100.2:7171$' "$work/server.out" ||
    fail "probe server did not start"
}

stop_server() {
  kill -TERM "$server_pid"
  wait_for_exit "$server_pid" 60 || fail "probe server did not exit 0 within 60 s of SIGTERM"
  grep -q 'answered=[1-9]' "$work/server.out" || fail "probe server answered nothing"
}

# --- 1. The address seen through the NAT -----------------------------------
start_server
# Its own --timeout ends it; timeout(1) only bounds a hang, and its signals
# come only then.
learned=$(in_ns "$ns_client" timeout -k 10 90 env WANSEER_LIBRARY="$library" \
  "$client_bin" --timeout 30 198.51.100.2:7171 2>"$work/client.err") ||
  fail "wanseer exited with status $?"
[[ $learned == 198.51.100.1 ]] ||
  fail "wanseer printed '$learned', expected the router's outside address 198.51.100.1"
echo "ok: client behind the NAT learned 198.51.100.1"
stop_server

# --- 2. Forged answers from another client-side address ---------------------
ip netns exec "$ns_client" env WANSEER_LIBRARY="$library" \
  "$client_bin" --watch 198.51.100.2:7171 >"$work/watch.out" 2>"$work/watch.err" &
watch_pid=$!
register_pid "$watch_pid"

probe_port() {
  in_ns "$ns_client" ss -uanpH | awk '/"wanseer"/ { n = split($4, a, ":"); print a[n]; exit }'
}
has_probe_port() { [[ -n $(probe_port) ]]; }
wait_until 20 has_probe_port || fail "no UDP socket of wanseer in the client namespace"
port=$(probe_port)

# Datagrams that a socket read, plus those that matched no socket (the
# worker's socket is connected to the server, so the kernel drops others'
# datagrams to its port as if no socket were there).
udp_delivered() {
  in_ns "$ns_client" awk '/^Udp:/ { if (names) { print $2 + $3; exit } names = 1 }' /proc/net/snmp
}
queued_on_probe_port() {
  in_ns "$ns_client" ss -uanH "sport = :$port" | awk '{ print $2; exit }'
}

# Sent from 192.0.2.3, an address of the router's inside interface.
ip -n "$ns_router" addr add 192.0.2.3/24 dev r0
ip -n "$ns_router" route replace 192.0.2.0/24 dev r0 src 192.0.2.3
spoofs=20
delivered_before=$(udp_delivered)
in_ns "$ns_router" timeout -k 5 20 bash -c '
  for ((i = 0; i < '"$spoofs"'; i++)); do
    printf "'"$spoofed_payload"'" >/dev/udp/192.0.2.2/'"$port"'
  done' || fail "could not send the forged datagrams"

# The worker is waiting for an answer, so none stays queued: the kernel
# drops them, or the worker reads them at once (Linux counts a UDP datagram
# as delivered when a socket reads it).
all_read() { (($(udp_delivered) - delivered_before >= spoofs)) && [[ $(queued_on_probe_port) == 0 ]]; }
watch_printed() { [[ -s $work/watch.out ]]; }
read_or_printed() { all_read || watch_printed; }
wait_until 20 read_or_printed || fail "the forged datagrams were neither dropped nor read"
watch_printed && fail "a forged datagram became the stored address"

# A forged value taken would now be stored for a minute, and would be the
# first address the watch prints.
start_server
wait_until 30 grep -q . "$work/watch.out" || fail "wanseer --watch printed no address"
first=$(head -n 1 "$work/watch.out")
[[ $first == *" 198.51.100.1" ]] || fail "first address printed was '$first', not 198.51.100.1"

kill -TERM "$watch_pid"
wait_for_exit "$watch_pid" 60 || fail "wanseer --watch did not exit 0 within 60 s of SIGTERM"
if grep -q "$spoofed_address" "$work/watch.out"; then
  fail "a forged datagram changed the stored address"
fi
[[ $(wc -l <"$work/watch.out") -eq 1 ]] || fail "the stored address changed: $(cat "$work/watch.out")"
stop_server
echo "ok: $spoofs forged datagrams from 192.0.2.3 to port $port left the stored address alone"

# --- 3. STUN through the NAT ---------------------------------------------------
ip netns exec "$ns_server" turnserver -n --stun-only --no-cli --no-tls --no-dtls \
  --listening-ip 198.51.100.2 --listening-port 3478 --pidfile "$work/coturn.pid" \
  --log-file stdout >"$work/coturn.out" 2>&1 &
coturn_pid=$!
register_pid "$coturn_pid"
coturn_answers() { in_ns "$ns_client" timeout 2 turnutils_stunclient 198.51.100.2 >/dev/null 2>&1; }
wait_until 30 coturn_answers || fail "turnserver did not answer on 198.51.100.2:3478"
learned=$(in_ns "$ns_client" timeout -k 10 90 env WANSEER_LIBRARY="$library" \
  "$client_bin" --timeout 30 stun:198.51.100.2 2>"$work/client.err") ||
  fail "wanseer stun:198.51.100.2 exited with status $?"
[[ $learned == 198.51.100.1 ]] ||
  fail "wanseer learned '$learned' from coturn, expected the router's outside address 198.51.100.1"
echo "ok: wanseer behind the NAT learned 198.51.100.1 from turnserver --stun-only"
end_process "$coturn_pid"

start_server
in_ns "$ns_client" timeout 20 turnutils_stunclient -p 7171 198.51.100.2 >"$work/stunclient.out" 2>&1 ||
  fail "turnutils_stunclient got no answer through the NAT"
grep -q 'UDP reflexive addr: 198.51.100.1:[1-9]' "$work/stunclient.out" ||
  fail "turnutils_stunclient reported the wrong address"
in_ns "$ns_client" timeout 20 stun 198.51.100.2:7171 1 -v >"$work/stun.out" 2>&1 ||
  fail "stun (RFC 3489 test 1) failed through the NAT"
grep -q 'mappedAddr=198.51.100.1:[1-9]' "$work/stun.out" || fail "stun reported the wrong address"
stop_server
echo "ok: turnutils_stunclient and stun behind the NAT learned 198.51.100.1 from wanseer-probe-server"
echo "PASSED"
