#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks (Release) and runs them.
# usage: scripts/bench.sh [extra Google Benchmark flags for the query bench]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DWANSEER_BUILD_BENCH=ON \
  -DWANSEER_BUILD_TESTS=OFF
echo "== wanseer_get against its floor (goal: ratio at most 1.5)"
build-bench/bench/query_bench --benchmark_min_time=1 --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true "$@"
