#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks (Release) and runs them all,
# on loopback only:
#   query_bench        wanseer_get against the store's open, read and close
#                      called directly (goal: ratio at most 1.1)
#   startup_bench      time from wanseer_startup to the first wanseer_get that
#                      returns the address (goal: median well under 1 ms)
#   probe_server_load  answers per second and server CPU per answer of
#                      wanseer-probe-server and of coturn's STUN-only server
#                      under the same load, on one core and on all; then the
#                      kernel-side levers one by one (batch size,
#                      don't-fragment), each comparison twice
#   fleet_simulation   a million hosts on the library's schedule through a
#                      one-minute outage of the server: steady and peak rates,
#                      and the peak from 1, 3 and 5 minutes after the outage
#                      (goal: at most 1.5 times steady from 5 minutes), then
#                      the same for the 1.1 schedule
#   lookup_bench       wanseer_stop while a name lookup hangs (goal: at most
#                      5 ms, median and max over 200 stops), and startup to
#                      first address for a host name on a loopback name server
#   foreign_flood_bench  CPU that a flood of foreign datagrams at the worker's
#                      port costs the host while the worker waits for a reply
#   xdp_bench.sh       (root) the probe server's XDP fast path against its
#                      socket path and coturn over veth between namespaces:
#                      answers per CPU-second (goal: fast path at least 5x the
#                      socket path), and a legitimate host during a flood
#                      (goal: answered on its first request)
#   cli_bench          whole-process time of the wanseer command against
#                      coturn's turnutils_stunclient asking a turnserver
#                      --stun-only, both on loopback (goal: ratio at most 0.85),
#                      and of `wanseer stun:` asking that turnserver (goal: at
#                      most 0.9)
#   probe_server_load stun  STUN answers per CPU-second of wanseer-probe-server
#                      against turnserver --stun-only, the same STUN load, each
#                      pinned to one core (goal: at least 2.0 times coturn's)
# Environment: STARTUP_RUNS (1000), CLI_RUNS (500), LOAD_SECONDS (5),
# BENCH_ONLY=server to run only the probe server's part, BENCH_ONLY=xdp
# only the XDP fast path's.
# Figures depend on what else the machine is doing; run it on a quiet one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh coturn
scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DWANSEER_BUILD_BENCH=ON \
  -DWANSEER_BUILD_TESTS=OFF

if [[ ${BENCH_ONLY:-} != server ]]; then
  echo "== wanseer_get against the store called directly"
  build-bench/bench/query_bench --benchmark_min_time=1 --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true
  echo "== startup to first address"
  timeout 300 build-bench/bench/startup_bench "${STARTUP_RUNS:-1000}"
  echo "== host names: stop during a hung lookup, startup to first address"
  timeout 300 build-bench/bench/lookup_bench 200 "${STARTUP_RUNS:-1000}"
  echo "== foreign datagrams at the worker's port"
  timeout 60 build-bench/bench/foreign_flood_bench 3
  echo "== wanseer command against turnutils_stunclient"
  timeout 600 build-bench/bench/cli_bench "${CLI_RUNS:-500}"
fi

if [[ ${BENCH_ONLY:-} == xdp ]]; then
  bash bench/xdp_bench.sh build-bench "${LOAD_SECONDS:-5}"
  exit
fi

load=build-bench/bench/probe_server_load
seconds=${LOAD_SECONDS:-5}
# The server's own log lines go to stderr; only the figures are shown.
run_load() { timeout 120 "$load" "$@" 2>/dev/null | grep -v 'server counters'; }
echo "== probe server against coturn --stun-only, same load generator"
echo "   (--pin: server on the last processor, load on the others)"
for round in 1 2; do
  echo "-- round $round"
  run_load probe "$seconds" --pin -- --threads 1
  run_load coturn "$seconds" --pin
  run_load probe "$seconds"
  run_load coturn "$seconds"
done
echo "== STUN answers: probe server against coturn --stun-only, same STUN load,"
echo "   each on one pinned core"
for round in 1 2 3; do
  echo "-- round $round"
  run_load stun "$seconds" --pin -- --threads 1
  run_load coturn "$seconds" --pin
done
echo "== kernel-side levers, probe server on one pinned core"
for round in 1 2; do
  echo "-- round $round"
  for batch in 8 64 256; do
    echo -n "batch $batch, don't-fragment:  "
    run_load probe "$seconds" --pin -- --threads 1 --batch "$batch"
  done
  echo -n "batch 64, may fragment:        "
  run_load probe "$seconds" --pin -- --threads 1 --allow-fragmenting
done
echo "== fleet of a million hosts through a one-minute outage"
build-bench/bench/fleet_simulation | tail -n 2
echo "-- the 1.1 schedule (a fixed 60 s pause after each reply)"
build-bench/bench/fleet_simulation --before | tail -n 2
echo "== XDP fast path against the socket path and coturn, over veth"
if [[ $(id -u) -eq 0 ]]; then
  timeout 900 bash bench/xdp_bench.sh build-bench "$seconds" || true
else
  echo "skipped: needs root for network namespaces and XDP"
fi
