#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks (Release) and runs them all,
# on loopback only:
#   query_bench        wanseer_get against the store's open, read and close
#                      called directly (goal: ratio at most 1.1)
#   startup_bench      time from wanseer_startup to the first wanseer_get that
#                      returns the address (goal: median well under 1 ms)
#   probe_server_load  answered requests per second of wanseer-probe-server
#                      under a bounded load, and the CPU time it used
#   cli_bench          whole-process time of the wanseer command against
#                      coturn's turnutils_stunclient asking a turnserver
#                      --stun-only, both on loopback (goal: ratio at most 0.85)
# Environment: STARTUP_RUNS (1000), LOAD_REQUESTS (2000000), LOAD_SECONDS (10),
# CLI_RUNS (500).
# Figures depend on what else the machine is doing; run it on a quiet one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh coturn
scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DWANSEER_BUILD_BENCH=ON \
  -DWANSEER_BUILD_TESTS=OFF

echo "== wanseer_get against the store called directly"
build-bench/bench/query_bench --benchmark_min_time=1 --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true
echo "== startup to first address"
timeout 300 build-bench/bench/startup_bench "${STARTUP_RUNS:-1000}"
echo "== probe server throughput"
timeout 300 build-bench/bench/probe_server_load "${LOAD_REQUESTS:-2000000}" "${LOAD_SECONDS:-10}"
echo "== wanseer command against turnutils_stunclient"
timeout 600 build-bench/bench/cli_bench "${CLI_RUNS:-500}"
