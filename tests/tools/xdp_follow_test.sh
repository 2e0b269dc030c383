#!/usr/bin/env bash
# wanseer-probe-server --xdp follows its interface while it runs, over
# veth between two network namespaces in native XDP mode:
# - after a MAC change, frames to the old MAC get no answer and frames to
#   the new one are answered from the new one only;
# - an address added is answered to; once removed, never again;
# - down and up again, it answers as before;
# - with 300 more addresses than the 256 it once held, it starts;
# - deleted, the server says so in one line and wanseer_probe_xdp_attached
#   reads 0; made again, the program is attached again, the gauge reads 1
#   and the driver answers.
# Usage: xdp_follow_test.sh BUILD_DIR.  Exit 0 passed, 1 failed, 77 skipped.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/netns-lib.sh"
source "$here/xdp_netns.sh"
netns_build_dir xdp_follow_test "$@"
require_files "$server_bin"
require_root
require_tools ip curl
netns_begin
xdp_pass=$build_dir/tests/tools/xdp_pass.bpf.o
xdp_link_setup "$xdp_pass"
frame_probe=$build_dir/tests/tools/frame_probe
require_files "$frame_probe"

port=7171
metrics=127.0.0.1:9188
for i in $(seq 1 300); do
  echo "addr add 10.1.$((i / 250)).$((i % 250 + 1))/32 dev $server_if"
done >"$work/addresses.batch"
ip -n "$server_ns" -batch "$work/addresses.batch"
start_server server --listen "0.0.0.0:$port" --threads 1 --xdp "$server_if" --metrics "$metrics"

gauge() {
  ip netns exec "$server_ns" curl -sf "http://$metrics/metrics" |
    awk '$1 == "wanseer_probe_xdp_attached" { print $2 }'
}
# ask MAC DESTINATION: what the client's requests to DESTINATION, sent to
# MAC, get ("client: N answered" from the server's MAC now, and "client: N
# from another MAC").
ask() {
  ip netns exec "$client_ns" "$frame_probe" sources "$client_if" "$server_mac" "$server_ip" \
    "$port" "$client_ip" "client=$client_ip@$1/$2"
}
# answers_become MAC DESTINATION EXPECTED: waits until ask gives EXPECTED.
answers_become() {
  local deadline=$((SECONDS + 20))
  while ((SECONDS < deadline)); do
    [[ $(ask "$1" "$2") == "$3" ]] && return 0
  done
  fail "requests to $2 at $1 never got '$3', last: $(ask "$1" "$2")"
}

[[ $(gauge) == 1 ]] || fail "wanseer_probe_xdp_attached is not 1 after start"
[[ $(ask "$server_mac" "$server_ip") == "client: 6 answered" ]] || fail "no answers at start"

# --- MAC change
old_mac=$server_mac
server_mac=02:00:00:00:0a:01
ip -n "$server_ns" link set dev "$server_if" address "$server_mac"
answers_become "$old_mac" "$server_ip" "client: 0 answered"
[[ $(ask "$server_mac" "$server_ip") == "client: 6 answered" ]] ||
  fail "after a MAC change: $(ask "$server_mac" "$server_ip")"
echo "ok: after a MAC change, answers from the new MAC only"

# --- an address added, then removed
ip -n "$server_ns" addr add 192.0.2.10/24 dev "$server_if"
answers_become "$server_mac" 192.0.2.10 "client: 6 answered"
ip -n "$server_ns" addr del 192.0.2.10/24 dev "$server_if"
answers_become "$server_mac" 192.0.2.10 "client: 0 answered"
echo "ok: an address removed is answered to no more"

# --- down and up
ip -n "$server_ns" link set dev "$server_if" down
ip -n "$server_ns" link set dev "$server_if" up
answers_become "$server_mac" "$server_ip" "client: 6 answered"
echo "ok: down and up, answered again"

# --- deleted and made again
ip -n "$server_ns" link del "$server_if"
wait_until 20 grep -qs "the interface is gone" "$work/server.err" ||
  fail "no line when the interface went away"
[[ $(grep -c "$server_if: the interface is gone" "$work/server.err") == 1 ]] ||
  fail "not one line when the interface went away"
[[ $(gauge) == 0 ]] || fail "wanseer_probe_xdp_attached is not 0 with the interface gone"
ip link add "$server_if" netns "$server_ns" type veth peer name "$client_if" netns "$client_ns"
ip -n "$server_ns" addr add "$server_ip/24" dev "$server_if"
ip -n "$client_ns" addr add "$client_ip/24" dev "$client_if"
ip -n "$server_ns" link set "$server_if" up
ip -n "$client_ns" link set "$client_if" up
ip netns exec "$client_ns" ethtool -K "$client_if" tx off >/dev/null
ip netns exec "$server_ns" ethtool -K "$server_if" tx off >/dev/null
ip -n "$client_ns" link set dev "$client_if" xdpdrv obj "$xdp_pass" sec xdp
server_mac=$(ip -n "$server_ns" -br link show dev "$server_if" | awk '{ print $3 }')
wait_until 20 grep -qs "the interface is back" "$work/server.err" ||
  fail "not attached again when the interface came back"
xdp_attached || fail "no XDP program on the new $server_if"
[[ $(gauge) == 1 ]] || fail "wanseer_probe_xdp_attached is not 1 with the interface back"
[[ $(ask "$server_mac" "$server_ip") == "client: 6 answered" ]] ||
  fail "no answers on the new interface: $(ask "$server_mac" "$server_ip")"
kill -USR1 "$server_pid"
wait_until 30 grep -qs "^counters: " "$work/server.err" || fail "no counter line"
before=$(sed -n 's/^counters: .*answered_at_driver=\([0-9]*\).*/\1/p' "$work/server.err")
[[ $(ask "$server_mac" "$server_ip") == "client: 6 answered" ]] || fail "no answers again"
kill -USR1 "$server_pid"
wait_until 30 bash -c "[[ \$(grep -c '^counters: ' '$work/server.err') == 2 ]]" ||
  fail "no second counter line"
after=$(sed -n 's/^counters: .*answered_at_driver=\([0-9]*\).*/\1/p' "$work/server.err" | tail -1)
((after - before == 6)) || fail "the driver answered $((after - before)) of 6 on the new interface"
echo "ok: deleted, said so and showed 0; made again, attached and answering in the driver"

stop_server server
echo "PASSED"
