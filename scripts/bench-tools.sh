#!/usr/bin/env bash
# Benchmarks of the tools on loopback:
#   startup_bench      time from wanseer_startup to the first wanseer_get that
#                      returns the address (median and spread over many runs)
#   probe_server_load  answered requests per second of wanseer-probe-server
#                      under a bounded load, and the CPU time it used
#
# Usage: scripts/bench-tools.sh [BUILD_DIR]     (default: build-bench)
# Environment: STARTUP_RUNS (1000), LOAD_REQUESTS (2000000), LOAD_SECONDS (10).
# Figures depend on what else the machine is doing; run it on a quiet one.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
generator=()
[[ -f $build/CMakeCache.txt ]] || generator=(-G Ninja -DCMAKE_BUILD_TYPE=Release)
cmake -S "$root" -B "$build" "${generator[@]}" -DWANSEER_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target startup_bench probe_server_load

timeout 300 "$build/bench/startup_bench" "${STARTUP_RUNS:-1000}"
timeout 300 "$build/bench/probe_server_load" "${LOAD_REQUESTS:-2000000}" "${LOAD_SECONDS:-10}"
