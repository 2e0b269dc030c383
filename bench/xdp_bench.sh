#!/usr/bin/env bash
# The probe server's XDP fast path against its socket path and against
# coturn's STUN-only server, over veth between two network namespaces:
# the load generator (bench/frame_flood) on processor 0, everything the
# server side does, its receive path (threaded NAPI) included, on
# processor 1.
#
# 1. Answers per CPU-second: the generator floods from 508 forged sources
#    for SECONDS, with probe requests and then with STUN Binding requests
#    (no attribute, the form the fast path answers; coturn gets the same);
#    the answers are the frames the client's end receives, the
#    CPU is processor 1's busy time (user, nice, system, irq, softirq,
#    steal) from /proc/stat over the same span.
# 2. A legitimate host during the flood: 50 single requests, 100 ms apart,
#    each counted if answered within a second, while the generator floods
#    the socket path (default rate limit) and then the fast path, from 32
#    forged sources: the answers the limit lets through (32,000 a second)
#    share the way back with the legitimate host's, and more would fill the
#    client end's ring, which shares processor 0 with the generator.
#
# Usage: bench/xdp_bench.sh BUILD_DIR [SECONDS]   (root; Release build with
# -DWANSEER_BUILD_BENCH=ON; scripts/bench.sh runs it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/netns-lib.sh"
source "$root/tests/tools/xdp_netns.sh"
netns_build_dir xdp_bench "${1:-}"
seconds=${2:-5}
flood=$build_dir/bench/frame_flood
require_files "$server_bin" "$flood"
require_root
require_tools ip ethtool taskset chrt turnserver turnutils_stunclient
(($(nproc) >= 2)) || skip "needs two processors"
netns_begin
xdp_link_setup "$build_dir/bench/xdp_pass.bpf.o"
port=7171
stun_port=3478
for network in 198.51.100.0/24 203.0.113.0/24; do
  ip -n "$server_ns" route add "$network" via "$client_ip"
done
ip -n "$client_ns" link set dev "$client_if" xdp off
ip -n "$client_ns" link set dev "$client_if" xdpdrv obj "$build_dir/bench/xdp_sink.bpf.o" sec xdp
# NAPI on both ends, each in a thread of its own that can be pinned.
ip netns exec "$server_ns" ethtool -K "$server_if" gro on >/dev/null
ip netns exec "$server_ns" sh -c "echo 1 >/sys/class/net/$server_if/threaded"
ip netns exec "$client_ns" sh -c "echo 1 >/sys/class/net/$client_if/threaded"
# Real-time, as softirq work is on a dedicated host: a process of someone
# else's on the same processor cannot hold up the receive path.
pin_napi() {
  local pid
  for pid in $(pgrep "^napi/$server_if-"); do
    taskset -pc 1 "$pid" >/dev/null
    chrt -f -p 50 "$pid"
  done
  for pid in $(pgrep "^napi/$client_if-"); do
    taskset -pc 0 "$pid" >/dev/null
    chrt -f -p 50 "$pid"
  done
}

# CPU ticks of the server (every thread) and of the server end's NAPI
# thread, which runs the whole receive path, XDP program included: what
# the server side costs, whatever else the machine runs on processor 1.
server_ticks() {
  local pid
  for pid in "$server_pid" $(pgrep "^napi/$server_if-"); do
    cat /proc/"$pid"/task/*/stat 2>/dev/null || true
  done | awk '{ sub(/^.*\) /, ""); s += $12 + $13 } END { print s + 0 }'
}
busy_ticks() { awk '$1 == "cpu1" { print $2 + $3 + $4 + $7 + $8 + $9 }' /proc/stat; }
softirq_ticks() { awk '$1 == "cpu1" { print $8 }' /proc/stat; }
all_ticks() { awk '$1 == "cpu1" { s = 0; for (i = 2; i <= NF; ++i) s += $i; print s }' /proc/stat; }
server_sent() {
  ip netns exec "$server_ns" sh -c "cat /sys/class/net/$server_if/statistics/tx_packets \
    /sys/class/net/$server_if/statistics/tx_dropped" | awk '{ s += $1 } END { print s }'
}
hz=$(getconf CLK_TCK)

# start NAME COMMAND...: the server side, on processor 1.
start() {
  local name=$1
  shift
  ip netns exec "$server_ns" taskset -c 1 "$@" >"$work/$name.out" 2>"$work/$name.err" &
  server_pid=$!
  register_pid "$server_pid"
  pin_napi
}
wait_probe_server() {
  wait_until 30 grep -qs '^listening on' "$work/$1.out" || fail "$1 did not start"
}
wait_coturn() {
  wait_until 30 timeout 5 ip netns exec "$client_ns" turnutils_stunclient -p "$stun_port" "$server_ip" \
    >/dev/null 2>&1 || fail "turnserver did not answer"
}

stop() {
  end_process "$server_pid" 30
  [[ -s $work/$1.out ]] && grep -h '^received=' "$work/$1.out" | sed "s/^/   $1 counters: /" || true
}

# measure NAME probe|stun PORT: floods for $seconds, stops the server and
# prints the figures.  Answers are those the server made: the probe
# server's own count (sent by its sockets or its XDP program), and for
# coturn the frames its end of the link took to send (sent or dropped for
# a full ring on the client's side).
measure() {
  local name=$1 kind=$2 target_port=$3
  local busy0 soft0 all0 tx0 own0 busy1 soft1 all1 tx1 own1 sent answers
  busy0=$(busy_ticks) soft0=$(softirq_ticks) all0=$(all_ticks) tx0=$(server_sent)
  own0=$(server_ticks)
  sent=$(ip netns exec "$client_ns" taskset -c 0 "$flood" flood "$client_if" "$server_mac" \
    "$server_ip" "$target_port" "$seconds" "$kind" | awk '{ print $2 }')
  busy1=$(busy_ticks) soft1=$(softirq_ticks) all1=$(all_ticks) tx1=$(server_sent)
  own1=$(server_ticks)
  stop "$name"
  local counted=answered
  [[ $kind == stun ]] && counted=stun_answered
  answers=$(sed -n "s/^received=.* $counted=\([0-9]*\).*/\1/p" "$work/$name.out")
  awk -v n="$name" -v s="$sent" -v a="${answers:-$((tx1 - tx0))}" -v b=$((busy1 - busy0)) \
    -v q=$((soft1 - soft0)) -v t=$((all1 - all0)) -v o=$((own1 - own0)) -v hz="$hz" \
    -v secs="$seconds" -v figures="$work/figures" 'BEGIN {
      cpu = b / hz; own = o / hz
      printf "%-11s sent %8d answered %8d (%7.0f/s) | cpu1 %4.2f s (%3.0f%%, softirq %4.2f s): %8.0f/CPU-s | server+NAPI %4.2f s: %8.0f/CPU-s\n",
        n, s, a, a / secs, cpu, 100 * b / (t > 0 ? t : 1), q / hz, (cpu > 0 ? a / cpu : 0),
        own, (own > 0 ? a / own : 0)
      printf "%s %f %f\n", n, (cpu > 0 ? a / cpu : 0), (own > 0 ? a / own : 0) >> figures
    }' 
}

echo "== answers per CPU-second, $seconds s each, load on processor 0, server side on processor 1"
for round in 1 2; do
  echo "-- round $round"
  start socket "$server_bin" --listen "0.0.0.0:$port" --threads 1 --rate 0
  wait_probe_server socket
  measure socket probe "$port"
  start xdp "$server_bin" --listen "0.0.0.0:$port" --threads 1 --rate 0 --xdp "$server_if"
  wait_probe_server xdp
  measure xdp probe "$port"
  start socket-stun "$server_bin" --listen "0.0.0.0:$port" --threads 1 --rate 0
  wait_probe_server socket-stun
  measure socket-stun stun "$port"
  start xdp-stun "$server_bin" --listen "0.0.0.0:$port" --threads 1 --rate 0 --xdp "$server_if"
  wait_probe_server xdp-stun
  measure xdp-stun stun "$port"
  start coturn turnserver -n --stun-only --no-cli --no-tls --no-dtls --listening-ip "$server_ip" \
    --listening-port "$stun_port" --log-file /dev/null --no-stdout-log
  wait_coturn
  measure coturn stun "$stun_port"
done
awk '{ c[$1] += $2; o[$1] += $3 } END {
  printf "answers per CPU-second, processor 1: socket %.0f, xdp %.0f, coturn %.0f; xdp/socket %.1fx, xdp/coturn %.1fx\n",
    c["socket"] / 2, c["xdp"] / 2, c["coturn"] / 2, c["xdp"] / c["socket"], c["xdp"] / c["coturn"]
  printf "answers per CPU-second, server+NAPI: socket %.0f, xdp %.0f, coturn %.0f; xdp/socket %.1fx, xdp/coturn %.1fx\n",
    o["socket"] / 2, o["xdp"] / 2, o["coturn"] / 2, o["xdp"] / o["socket"], o["xdp"] / o["coturn"]
  printf "STUN answers per CPU-second, processor 1: socket %.0f, xdp %.0f, coturn %.0f; xdp/socket %.1fx, xdp/coturn %.1fx\n",
    c["socket-stun"] / 2, c["xdp-stun"] / 2, c["coturn"] / 2, c["xdp-stun"] / c["socket-stun"], c["xdp-stun"] / c["coturn"] }' "$work/figures"

echo "== a legitimate host during a forged-source flood (default rate limit)"
for path in socket xdp; do
  args=(--listen "0.0.0.0:$port" --threads 1)
  [[ $path == xdp ]] && args+=(--xdp "$server_if")
  start "flood-$path" "$server_bin" "${args[@]}"
  wait_probe_server "flood-$path"
  ip netns exec "$client_ns" taskset -c 0 "$flood" flood "$client_if" "$server_mac" "$server_ip" \
    "$port" 12 probe 32 >"$work/flood-$path.sent" &
  flood_pid=$!
  register_pid "$flood_pid"
  busy0=$(busy_ticks) all0=$(all_ticks)
  legit=$(ip netns exec "$client_ns" "$flood" legit "$server_ip" "$port" 50)
  busy1=$(busy_ticks) all1=$(all_ticks)
  wait_for_exit "$flood_pid" 60 || true
  echo "$path: $legit; processor 1 $(((busy1 - busy0) * 100 / (all1 - all0 > 0 ? all1 - all0 : 1)))% busy; $(cat "$work/flood-$path.sent")"
  stop "flood-$path"
done
