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
#
# Usage: scripts/nat-test.sh BUILD_DIR      (as root)
# Exit:  0 passed, 1 failed, 2 bad usage, 77 skipped (printed as "SKIPPED: reason").
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build_dir=$(cd "$1" && pwd)
server_bin=$build_dir/tools/wanseer-probe-server
client_bin=$build_dir/tools/wanseer
library=$build_dir/src/libwanseer.so.1
for file in "$server_bin" "$client_bin" "$library"; do
  [[ -e $file ]] || { echo "nat-test: $file not found; build first" >&2; exit 2; }
done

skip() {
  echo "SKIPPED: $*"
  exit 77
}
[[ $(id -u) -eq 0 ]] || skip "network namespaces need root"
for tool in ip nft ss timeout; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done

# Unique per run, with the pid of the run that made them: a run that was
# killed before its cleanup (SIGKILL) leaves namespaces that the next run
# removes, and two runs at once never share a name.
prefix="wsr-$$-$RANDOM"
ns_client=$prefix-client
ns_router=$prefix-router
ns_server=$prefix-server
work=$(mktemp -d)
pids=()
# No newline byte in it: bash's printf would flush, and send, at each one.
spoofed_payload='\x0b\x0b\x0b\x0b'  # would read as 11.11.11.11
spoofed_address=11.11.11.11

remove_stale_namespaces() {
  local ns owner
  for ns in $(ip netns list 2>/dev/null | awk '$1 ~ /^wsr-[0-9]+-/ { print $1 }'); do
    owner=${ns#wsr-}
    owner=${owner%%-*}
    if ! kill -0 "$owner" 2>/dev/null; then
      ip netns del "$ns" 2>/dev/null || true
    fi
  done
}

# Ends a process of ours and reaps it, within a bound: SIGKILL after 10 s.
end_process() {
  local pid=$1
  kill -TERM "$pid" 2>/dev/null || return 0
  wait_for_exit "$pid" 10 >/dev/null 2>&1 || true
}

cleaned=0
cleanup() {
  ((cleaned)) && return
  cleaned=1
  local pid
  for pid in "${pids[@]}"; do
    end_process "$pid"
  done
  for ns in "$ns_client" "$ns_router" "$ns_server"; do
    ip netns del "$ns" 2>/dev/null || true
  done
  rm -rf "$work"
}
# CTest ends a test that runs past its time with SIGTERM (or SIGKILL, which
# no trap sees: the next run's remove_stale_namespaces is for that).
trap cleanup EXIT
trap 'echo "FAILED: stopped by SIGTERM" >&2; exit 1' TERM
trap 'echo "FAILED: stopped by SIGINT" >&2; exit 1' INT

# Waits for a child of this script to end, at most $2 seconds, and returns
# its exit status; past the bound it is killed and the wait fails (status
# 124), so that no wait of this test can hang.  Bash reaps its children as
# they end, so kill -0 fails from then on and wait gives the saved status.
wait_for_exit() {
  local pid=$1 seconds=$2
  local deadline=$((SECONDS + seconds))
  while kill -0 "$pid" 2>/dev/null; do
    if ((SECONDS >= deadline)); then
      echo "nat-test: process $pid still ran $seconds s after it was asked to end; killed" >&2
      kill -KILL "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
      return 124
    fi
    sleep 0.05
  done
  wait "$pid"
}

fail() {
  echo "FAILED: $*" >&2
  for log in "$work"/*.out "$work"/*.err; do
    [[ -s $log ]] && { echo "--- $(basename "$log")" >&2; cat "$log" >&2; }
  done
  exit 1
}

in_ns() {
  local ns=$1
  shift
  ip netns exec "$ns" "$@"
}

# Waits until the command succeeds, for at most $1 seconds.  The command is
# run afresh each time: give a function, not a $(...) that is expanded once.
wait_until() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

remove_stale_namespaces
ip netns add "$ns_client" 2>/dev/null || skip "cannot create network namespaces (ip netns add failed)"
ip netns add "$ns_router"
ip netns add "$ns_server"
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
# SIGTERM from this script: timeout passes a SIGTERM on to its child, then
# sends SIGTERM and SIGCONT to its whole process group.  A sanitizer build
# checks for leaks at exit by stopping its threads from a helper process
# with ptrace; a SIGCONT that lands between the attach and the stop
# discards the stop, and the helper then waits for it for ever while the
# exiting program spins waiting for the helper.  The bounds of this test
# come from wait_for_exit and wait_until instead.
start_server() {
  : >"$work/server.out"
  # Started without the in_ns function, so that $! is the server itself
  # (ip netns exec execs it).
  ip netns exec "$ns_server" "$server_bin" --listen 198.51.100.2:7171 \
    >"$work/server.out" 2>"$work/server.err" &
  server_pid=$!
  pids+=("$server_pid")
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
pids+=("$watch_pid")

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
echo "PASSED"
