#!/usr/bin/env bash
# A storm of network news in the host's namespace, as on a container host:
# for 10 s, `ip -batch` makes and removes veth pairs (the kernel here has no
# dummy links), changes the MTU of a link that is down and takes a link
# without a carrier up and down, as fast as it goes, with an IPv4 address
# added to and removed from the loopback now and then.  Making and removing
# a veth pair takes the kernel milliseconds; the other two bring the storm
# to the 10,000 link messages a second of a busy container host.  The worker of `wanseer --watch` must spend
# at most 2 % of a core on it (its own thread's CPU time), and the address
# news may bring requests forward at most once every 5 s.
#
#   host 192.0.2.2/24 --- 192.0.2.1/24 server
#
# Usage: network_storm_cli_test.sh BUILD_DIR      (as root)
# Exit:  0 passed, 1 failed, 2 bad usage, 77 skipped ("SKIPPED: reason").
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/netns-lib.sh"

netns_build_dir network_storm_cli_test "$@"
require_files "$server_bin" "$client_bin" "$library"
require_root
require_tools ip awk

netns_begin
ns_host=$ns_prefix-h
ns_server=$ns_prefix-s
netns_pair "$ns_host" h0 192.0.2.2/24 "$ns_server" s0 192.0.2.1/24

start_probe_server "$ns_server" 192.0.2.1:7171
start_watch "$ns_host" 192.0.2.1:7171
wait_until 30 grep -q ' 192\.0\.2\.2$' "$work/watch.out" || fail "the first address was not 192.0.2.2"

[[ $(ls /proc/"$watch_pid"/task | wc -l) -ge 2 ]] || fail "the watch has no worker thread"

# One batch: 10 veth pairs made and removed, 4,000 MTU changes of a link
# that is down, 1,000 times up and down for a link whose peer is down, then
# the loopback address added and removed.
ip -n "$ns_host" link add quiet0 type veth peer name quiet1
ip -n "$ns_host" link add flap0 type veth peer name flap1
batch=$work/batch
{
  for i in $(seq 10); do
    echo "link add st$i type veth peer name sp$i"
    echo "link del st$i"
  done
  for i in $(seq 2000); do
    echo "link set quiet0 mtu 1400"
    echo "link set quiet0 mtu 1500"
  done
  for i in $(seq 500); do
    echo "link set flap0 up"
    echo "link set flap0 down"
  done
  echo "address add 198.51.100.77/32 dev lo"
  echo "address del 198.51.100.77/32 dev lo"
} >"$batch"

# Every link message of the storm, one a line.
ip -n "$ns_host" -o monitor link >"$work/monitor.lines" 2>&1 &
monitor_pid=$!
register_pid "$monitor_pid"
# It is listening once it sees news: the first link made is its sign.
monitor_listens() {
  ip -n "$ns_host" link add probe0 type veth peer name probe1
  ip -n "$ns_host" link del probe0
  grep -q probe0 "$work/monitor.lines"
}
wait_until 20 monitor_listens || fail "ip monitor did not start"

ticks_before=$(other_threads_ticks "$watch_pid")
started=$(date +%s.%N)
batches=0
end=$((SECONDS + 10))
while ((SECONDS < end)); do
  ip -n "$ns_host" -batch "$batch" || fail "ip -batch failed"
  batches=$((batches + 1))
done
finished=$(date +%s.%N)
ticks_after=$(other_threads_ticks "$watch_pid")
end_process "$monitor_pid"
messages=$(grep -vc probe "$work/monitor.lines" || true)

end_process "$server_pid"
received=$(grep -o 'received=[0-9]*' "$work/server.out" | cut -d= -f2)
[[ -n $received ]] || fail "the probe server printed no counters"
clock_ticks=$(getconf CLK_TCK)
awk -v ticks=$((ticks_after - ticks_before)) -v hz="$clock_ticks" -v from="$started" \
  -v to="$finished" -v events="$messages" -v received="$received" '
  BEGIN {
    seconds = to - from
    cpu = ticks / hz
    early = received - 1
    printf "storm: %.1f s, %d link messages (%.0f a second); worker CPU %.3f s (%.2f %% of a core)\n",
      seconds, events, events / seconds, cpu, 100 * cpu / seconds
    printf "requests: %d (1 at the start, %d brought forward by address news)\n", received, early
    # The news may leave one early request due just after the storm.
    if (cpu > 0.02 * seconds) { print "FAILED: the worker spent more than 2 % of a core"; exit 1 }
    if (early > int(seconds / 5) + 2) { print "FAILED: early requests more often than once in 5 s"; exit 1 }
    if (early < 1) { print "FAILED: address news brought no request forward"; exit 1 }
  }' || fail "see above"
echo "PASSED"
