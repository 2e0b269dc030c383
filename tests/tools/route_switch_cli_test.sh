#!/usr/bin/env bash
# The host's default route moves between two routers, each masquerading to
# an external address of its own, both towards the same probe server: the
# worker must learn the new address within 2 s of each switch (without the
# network watch it takes up to a minute), and `wanseer --watch --on-change`
# must run its command once per change with the right previous address.
#
# The namespaces are netns_route_switch's (scripts/netns-lib.sh).
#
# The second switch follows the first at once: its request must wait for
# the 5 s that keep early requests apart, and then come within 2 s.
#
# With `stun`, coturn's turnserver on 203.0.113.10:3478 is the server, and
# router A drops the requests at first: the first switch comes while the
# worker's first STUN transaction is still waiting on the old network, and
# must end it (otherwise the new address would wait for the attempt's 5 s).
#
# Usage: route_switch_cli_test.sh BUILD_DIR [stun]      (as root)
# Exit:  0 passed, 1 failed, 2 bad usage, 77 skipped ("SKIPPED: reason").
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/netns-lib.sh"

mode=${2:-probe}
[[ $mode == probe || $mode == stun ]] || { echo "usage: $0 BUILD_DIR [stun]" >&2; exit 2; }
netns_build_dir route_switch_cli_test "${@:1:1}"
require_files "$server_bin" "$client_bin" "$library"
require_root
require_tools ip nft
[[ $mode == probe ]] || require_tools turnserver ss

netns_begin
netns_route_switch

record=$work/changes
on_change="printf '%s>%s\n' \"\$WANSEER_PREVIOUS\" \"\$WANSEER_ADDRESS\" >>'$record'"
if [[ $mode == probe ]]; then
  start_probe_server "$ns_server" 203.0.113.10:7171
  start_watch "$ns_host" 203.0.113.10:7171 --on-change "$on_change"
  wait_until 30 grep -q ' 198\.51\.100\.1$' "$work/watch.out" || fail "the first address was not 198.51.100.1"
else
  ip netns exec "$ns_a" nft -f - <<NFT
table ip wanseer_block {
  chain forward {
    type filter hook forward priority filter; policy accept;
    udp dport 3478 counter drop
  }
}
NFT
  ip netns exec "$ns_server" turnserver -n --stun-only --no-cli --no-tls --no-dtls \
    --listening-ip 203.0.113.10 --listening-port 3478 --pidfile "$work/coturn.pid" \
    --log-file stdout >"$work/coturn.out" 2>&1 &
  register_pid $!
  coturn_listens() { ip netns exec "$ns_server" ss -Hlun 'sport = 3478' | grep -q 203.0.113.10; }
  wait_until 30 coturn_listens || fail "turnserver did not listen on 203.0.113.10:3478"
  start_watch "$ns_host" stun:203.0.113.10 --on-change "$on_change"
  request_dropped() {
    ip netns exec "$ns_a" nft list table ip wanseer_block | grep -Eq 'packets [1-9]'
  }
  wait_until 30 request_dropped || fail "no STUN request reached router A"
fi

within() {  # FROM TO LOW HIGH: LOW <= TO - FROM <= HIGH
  awk -v from="$1" -v to="$2" -v low="$3" -v high="$4" \
    'BEGIN { d = to - from; printf "%.3f", d; exit !(d >= low && d <= high) }'
}

switched=$(date +%s.%N)
ip -n "$ns_host" route replace default via 192.0.2.129
wait_until 60 grep -q ' 198\.51\.100\.129$' "$work/watch.out" ||
  fail "the address did not change after the route moved to router B"
first_change=$(watch_line_time 198.51.100.129)
took=$(within "$switched" "$first_change" 0 2) || fail "router B's address came $took s after the switch"
echo "ok: router B's address within $took s of the switch"
if [[ $mode == stun ]]; then
  ip netns exec "$ns_a" nft delete table ip wanseer_block
fi

ip -n "$ns_host" route replace default via 192.0.2.1
# By STUN, router A's address is the first it learns.
a_lines=$([[ $mode == probe ]] && echo 2 || echo 1)
back_at_a() { [[ $(grep -c ' 198\.51\.100\.1$' "$work/watch.out") -ge $a_lines ]]; }
wait_until 60 back_at_a ||
  fail "the address did not change back after the route moved to router A"
second_change=$(watch_line_time 198.51.100.1)
# The watch reads the store every 100 ms, so a line is up to 0.1 s late.
gap=$(within "$first_change" "$second_change" 4.8 7.1) ||
  fail "the second early request came $gap s after the first (5 to 7 s wanted)"
echo "ok: back to router A's address $gap s after the first change"

if [[ $mode == probe ]]; then
  expected=$'>198.51.100.1\n198.51.100.1>198.51.100.129\n198.51.100.129>198.51.100.1'
else
  expected=$'>198.51.100.129\n198.51.100.129>198.51.100.1'
fi
all_runs() { [[ -f $record && $(wc -l <"$record") -ge $(wc -l <<<"$expected") ]]; }
wait_until 20 all_runs || fail "the --on-change command ran $(wc -l <"$record") times"
[[ $(cat "$record") == "$expected" ]] || fail "the --on-change command saw: $(cat "$record")"
echo "ok: --on-change ran once per change with the previous address"
echo "PASSED"
