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
# Usage: route_switch_cli_test.sh BUILD_DIR      (as root)
# Exit:  0 passed, 1 failed, 2 bad usage, 77 skipped ("SKIPPED: reason").
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/netns-lib.sh"

netns_build_dir route_switch_cli_test "$@"
require_files "$server_bin" "$client_bin" "$library"
require_root
require_tools ip nft

netns_begin
netns_route_switch

start_probe_server "$ns_server" 203.0.113.10:7171
record=$work/changes
start_watch "$ns_host" 203.0.113.10:7171 \
  --on-change "printf '%s>%s\n' \"\$WANSEER_PREVIOUS\" \"\$WANSEER_ADDRESS\" >>'$record'"
wait_until 30 grep -q ' 198\.51\.100\.1$' "$work/watch.out" || fail "the first address was not 198.51.100.1"

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

ip -n "$ns_host" route replace default via 192.0.2.1
back_at_a() { [[ $(grep -c ' 198\.51\.100\.1$' "$work/watch.out") -ge 2 ]]; }
wait_until 60 back_at_a ||
  fail "the address did not change back after the route moved to router A"
second_change=$(watch_line_time 198.51.100.1)
# The watch reads the store every 100 ms, so a line is up to 0.1 s late.
gap=$(within "$first_change" "$second_change" 4.8 7.1) ||
  fail "the second early request came $gap s after the first (5 to 7 s wanted)"
echo "ok: back to router A's address $gap s after the first change"

three_runs() { [[ -f $record && $(wc -l <"$record") -ge 3 ]]; }
wait_until 20 three_runs || fail "the --on-change command ran $(wc -l <"$record") times"
expected=$'>198.51.100.1\n198.51.100.1>198.51.100.129\n198.51.100.129>198.51.100.1'
[[ $(cat "$record") == "$expected" ]] || fail "the --on-change command saw: $(cat "$record")"
echo "ok: --on-change ran once per change with the previous address"
echo "PASSED"
