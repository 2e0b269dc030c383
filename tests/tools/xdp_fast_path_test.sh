#!/usr/bin/env bash
# wanseer-probe-server --xdp over veth between two network namespaces, in
# native XDP mode:
# - the same frames, well-formed and not, get byte-identical answers from
#   the fast path and from the socket path alone (over the limit included);
# - the CLI and coturn's STUN client get their address from the driver;
#   random bytes after valid
#   headers never get a malformed answer and the host stays reachable;
# - ping and another UDP port are untouched;
# - the program is gone after SIGTERM and after SIGKILL;
# - no privilege, no native XDP and no such interface each end in exit 1
#   with the reason.
# Usage: xdp_fast_path_test.sh BUILD_DIR.  Exit 0 passed, 1 failed, 77 skipped.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/netns-lib.sh"
source "$here/xdp_netns.sh"
netns_build_dir xdp_fast_path_test "$@"
require_files "$server_bin" "$client_bin" "$library"
require_root
require_tools ip ping setpriv turnutils_stunclient
netns_begin
xdp_link_setup "$build_dir/tests/tools/xdp_pass.bpf.o"
frame_probe=$build_dir/tests/tools/frame_probe
require_files "$frame_probe"

port=7171
# One thread: the sentinel (answered by a socket) must queue behind every
# request that reached the socket path before it.
limits=(--rate 0.001 --burst 1000 --threads 1)
in_server() { ip netns exec "$server_ns" "$@"; }
in_client() { ip netns exec "$client_ns" "$@"; }

counter() { sed -n "s/.*\\b$1=\\([0-9]*\\).*/\\1/p" <<<"$counters"; }

corpus() {
  in_client "$frame_probe" corpus "$client_if" "$server_mac" "$server_ip" "$port" "$client_ip" \
    "$extra_ip"
}

# --- the fast path
start_server xdp --listen 0.0.0.0:$port --xdp "$server_if" "${limits[@]}"
xdp_attached || fail "no XDP program on $server_if after start"
start_server_pid=$server_pid
address=$(in_client "$client_bin" --timeout 10 "$server_ip:$port") || fail "the CLI got no answer"
[[ $address == "$client_ip" ]] || fail "the CLI got '$address', not $client_ip"
echo "ok: the CLI gets $address"
in_client turnutils_stunclient -p "$port" "$server_ip" >"$work/stunclient.out" 2>&1 &&
  grep -q "reflexive addr: $client_ip:" "$work/stunclient.out" ||
  fail "turnutils_stunclient did not get $client_ip: $(cat "$work/stunclient.out")"
# Every answer so far but the first came from the driver: the kernel's
# answer to the first showed it the way back.
kill -USR1 "$server_pid"
wait_until 30 grep -qs "^counters: .*stun_answered=[1-9]" "$work/xdp.err" ||
  fail "no STUN answer counted: $(cat "$work/xdp.err")"
counters=$(grep "^counters: " "$work/xdp.err")
(($(counter answered) + $(counter stun_answered) - 1 == $(counter answered_at_driver))) ||
  fail "not every answer after the first came from the driver: $counters"
echo "ok: turnutils_stunclient gets $client_ip from the driver"
corpus >"$work/xdp-corpus.txt" || fail "the corpus did not get through the fast path"
in_client "$frame_probe" random "$client_if" "$server_mac" "$server_ip" "$port" "$client_ip" \
  300 "$RANDOM" || fail "random bytes after valid headers"
in_client ping -c 1 -W 10 "$server_ip" >/dev/null || fail "ping went unanswered under XDP"
# Another UDP port: a second server, on the socket path only.
server_pid=
start_server other --listen "$server_ip:7172"
address=$(in_client "$client_bin" --timeout 10 "$server_ip:7172") || fail "port 7172 went unanswered"
stop_server other
[[ $(counter answered) == 1 ]] || fail "port 7172: expected 1 answer from its socket: $counters"
echo "ok: ping and another UDP port are untouched"
server_pid=$start_server_pid
stop_server xdp
[[ $(counter answered_at_driver) -gt 0 && $(counter dropped_malformed) -gt 0 &&
   $(counter dropped_rate_limited) -eq 5 && $(counter stun_dropped_rate_limited) -eq 5 ]] ||
  fail "fast path counters: $counters"
wait_until 10 bash -c "! ip -n $server_ns link show dev $server_if | grep -q prog/xdp" ||
  fail "the program is still attached after SIGTERM"
echo "ok: fast path counters $counters; detached on SIGTERM"

# --- the socket path alone, with the same frames
start_server socket --listen 0.0.0.0:$port "${limits[@]}"
corpus >"$work/socket-corpus.txt" || fail "the corpus did not get through the socket path"
stop_server socket
diff -u "$work/socket-corpus.txt" "$work/xdp-corpus.txt" >&2 ||
  fail "the fast path and the socket path answered differently (above: - socket, + XDP)"
grep -q '^request: 45' "$work/xdp-corpus.txt" && grep -q '^stun-fingerprint: 45' "$work/xdp-corpus.txt" &&
  grep -q '^over-limit: 1000 of 1010' \
  "$work/xdp-corpus.txt" || fail "the corpus was not answered as expected: $(cat "$work/xdp-corpus.txt")"
echo "ok: $(wc -l <"$work/xdp-corpus.txt") cases answered byte for byte alike"

# --- SIGKILL leaves nothing attached
start_server killed --listen 0.0.0.0:$port --xdp "$server_if"
kill -KILL "$server_pid"
wait_for_exit "$server_pid" 30 || true
wait_until 10 bash -c "! ip -n $server_ns link show dev $server_if | grep -q prog/xdp" ||
  fail "the program is still attached after SIGKILL"
echo "ok: detached on SIGKILL"

# --- where XDP cannot be attached: exit 1 and the reason
ip -n "$server_ns" link add d0 type bridge
ip -n "$server_ns" link set d0 up
ip -n "$server_ns" addr add 198.51.100.1/24 dev d0
while IFS='|' read -r name reason command; do
  status=0
  in_server $command "$server_bin" --listen 0.0.0.0:0 --xdp "${name%%:*}" \
    >"$work/refused.out" 2>"$work/refused.err" </dev/null || status=$?
  [[ $status == 1 ]] && grep -q -- "$reason" "$work/refused.err" ||
    fail "--xdp ${name}: expected exit 1 and '$reason', got $status: $(cat "$work/refused.err")"
  echo "ok: --xdp $name: $(cat "$work/refused.err")"
done <<EOF
d0:no native XDP|driver has no native XDP support|
no-such-if|no interface named|
$server_if:no privilege|needs CAP_BPF|setpriv --reuid=65534 --regid=65534 --clear-groups
EOF
echo "PASSED"
