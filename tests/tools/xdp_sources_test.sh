#!/usr/bin/env bash
# wanseer-probe-server --xdp answers only what the kernel's socket path
# answers, and a source has one budget on both paths, over veth between
# two network namespaces in native XDP mode:
# - requests forged from each source class (the server's own addresses,
#   with and without its port, another interface's, subnet broadcasts,
#   0/8, 127/8, 224/4, 240/4, 255.255.255.255, no route back, a route back
#   through another interface, a neighbour that never resolves) get the
#   same answers and the same counters from --xdp as from the socket path
#   alone, and the driver counts why it left each to the kernel; the same
#   again with the interface forwarding, where the program asks the
#   kernel's route lookup instead of learning the way back;
# - a source splitting its requests between the paths (every other one
#   with IP options, which only the socket path takes) gets --burst
#   answers in all, not twice that, is named once in the log, and
#   sources_tracked stays within --sources.
# Usage: xdp_sources_test.sh BUILD_DIR.  Exit 0 passed, 1 failed, 77 skipped.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/netns-lib.sh"
source "$here/xdp_netns.sh"
netns_build_dir xdp_sources_test "$@"
require_files "$server_bin"
require_root
require_tools ip curl
netns_begin
xdp_link_setup "$build_dir/tests/tools/xdp_pass.bpf.o"
frame_probe=$build_dir/tests/tools/frame_probe
require_files "$frame_probe"

port=7171
metrics=127.0.0.1:9187
# Another interface of the server's, with a route back through it.
ip -n "$server_ns" link add d1 type veth peer name d1p
ip -n "$server_ns" link set d1p up
ip -n "$server_ns" addr add 198.51.100.1/24 dev d1
ip -n "$server_ns" link set d1 up
ip -n "$server_ns" route add 203.0.113.0/24 dev d1
# Sources of the client's own, for the budget.
split_source=192.0.2.4
many_sources=()
for i in $(seq 10 21); do
  many_sources+=("192.0.2.$i")
done
for address in "$split_source" "${many_sources[@]}"; do
  ip -n "$client_ns" addr add "$address/24" dev "$client_if"
done

# Every server here: one thread, metrics on.  The counter lines compared
# leave out the fast path's own share (from log_lines_dropped on).
server_args=(--listen "0.0.0.0:$port" --threads 1 --metrics "$metrics")

scrape() { ip netns exec "$server_ns" curl -sf "http://$metrics/metrics"; }
metric() { scrape | awk -v name="$1" '$1 == name { print $2 }'; }

probe() { ip netns exec "$client_ns" "$frame_probe" "$@"; }
sources() {
  probe sources "$client_if" "$server_mac" "$server_ip" "$port" "$client_ip" \
    client=$client_ip own=$server_ip own-server-port=$server_ip:$port \
    other-interface=198.51.100.1 subnet-broadcast=192.0.2.255 other-broadcast=198.51.100.255 \
    zero-network=0.0.0.5 loopback=127.0.0.1 multicast=224.0.0.1 reserved=240.0.0.1 \
    broadcast=255.255.255.255 no-route=10.9.9.9 other-route=203.0.113.5 \
    no-neighbour=192.0.2.77
}

# --- each source class
start_server xdp-sources "${server_args[@]}" --xdp "$server_if"
sources >"$work/xdp-sources.txt" || fail "the sources did not get through the fast path"
passed() { metric "wanseer_probe_xdp_passed_total{reason=\"$1\"}"; }
martian=$(passed martian_source) own=$(passed own_address) unknown=$(passed route_unknown)
stop_server xdp-sources
counters=${counters% log_lines_dropped=*}
xdp_counters=$counters
start_server socket-sources "${server_args[@]}"
sources >"$work/socket-sources.txt" || fail "the sources did not get through the socket path"
stop_server socket-sources
counters=${counters% log_lines_dropped=*}
diff -u "$work/socket-sources.txt" "$work/xdp-sources.txt" >&2 ||
  fail "the fast path answered other sources than the socket path (above: - socket, + XDP)"
[[ $(grep -c ': 0 answered$' "$work/xdp-sources.txt") == 13 ]] &&
  grep -qx 'client: 6 answered' "$work/xdp-sources.txt" ||
  fail "not only the client was answered: $(cat "$work/xdp-sources.txt")"
[[ $xdp_counters == "$counters" ]] ||
  fail "the counters differ: socket path $counters, fast path $xdp_counters"
# Five classes each of martians and of the host's own addresses, six
# requests each; no way back known for three classes and the client's first.
[[ $martian == 30 && $own == 30 && $unknown -ge 19 ]] ||
  fail "passed to the kernel: martian_source=$martian own_address=$own route_unknown=$unknown"
echo "ok: only the client answered, on both paths alike ($counters)"

ip netns exec "$server_ns" sysctl -qw "net.ipv4.conf.$server_if.forwarding=1"
start_server xdp-forwarding "${server_args[@]}" --xdp "$server_if"
sources >"$work/xdp-forwarding.txt" || fail "the sources did not get through the fast path"
no_route=$(passed no_route)
stop_server xdp-forwarding
counters=${counters% log_lines_dropped=*}
ip netns exec "$server_ns" sysctl -qw "net.ipv4.conf.$server_if.forwarding=0"
diff -u "$work/socket-sources.txt" "$work/xdp-forwarding.txt" >&2 ||
  fail "forwarding, the fast path answered other sources than the socket path"
[[ $counters == "$xdp_counters" ]] ||
  fail "forwarding, the counters differ: $counters, socket path $xdp_counters"
# No route back, and one through another interface.
[[ $no_route == 12 ]] || fail "forwarding, no_route=$no_route, not 12"
at_driver=$(sed -n 's/.*answered_at_driver=\([0-9]*\).*/\1/p' "$work/xdp-forwarding.out")
((at_driver >= 5)) || fail "forwarding, the driver answered $at_driver of the client's 6"
echo "ok: forwarding, the kernel's route lookup leaves the same sources to the kernel"

# --- one budget across both paths
split() {
  probe split "$client_if" "$server_mac" "$server_ip" "$port" "$client_ip" "$@"
}
limits=(--rate 0.001 --burst 1000 --sources 8)
start_server xdp-split "${server_args[@]}" --xdp "$server_if" "${limits[@]}"
result=$(split 1010 "$split_source") || fail "the split flood did not get through"
[[ $result == "split: 1000 of 1010 answered" ]] || fail "a split flood got $result"
split 4 "${many_sources[@]}" >/dev/null || fail "the many sources did not get through"
tracked=$(metric wanseer_probe_sources_tracked)
stop_server xdp-split
counters=${counters% log_lines_dropped=*}
answered=$(sed -n 's/.*\banswered=\([0-9]*\).*/\1/p' <<<"$counters")
at_driver=$(sed -n 's/.*answered_at_driver=\([0-9]*\).*/\1/p' "$work/xdp-split.out")
((at_driver > 0 && answered - at_driver > 0)) ||
  fail "the split flood did not take both paths: $counters answered_at_driver=$at_driver"
((tracked <= 8)) || fail "sources_tracked is $tracked with --sources 8"
lines=$(grep -c "^rate-limited $split_source:" "$work/xdp-split.err" || true)
[[ $lines == 1 ]] || fail "the split source was named $lines times, not once"
echo "ok: $result across both paths ($at_driver at the driver); sources_tracked $tracked of 8"
echo "PASSED"
