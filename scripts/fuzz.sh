#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan + LSan) and runs each
# for a bounded time, starting from its committed seed corpus in
# fuzz/corpus/<target>/.  Any crash, leak, sanitizer report or failed check
# fails the run; the input that caused it is kept in BUILD_DIR/artifacts/.
# usage: scripts/fuzz.sh [BUILD_DIR] [SECONDS_PER_TARGET]   (build-fuzz, 30)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-fuzz}
seconds=${2:-30}

CC=clang CXX=clang++ scripts/build.sh "$build_dir" -DWANSEER_SANITIZE=address \
  -DWANSEER_BUILD_FUZZ=ON -DWANSEER_BUILD_TESTS=OFF -DWANSEER_BUILD_TOOLS=OFF

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# Every target runs in a network namespace of its own with nothing but a
# loopback interface: server texts may name hosts, and should anything ever
# look one up, the lookup fails at once there and cannot leave the machine.
in_loopback_only_network() {
  local unshare=(unshare --net)
  if [ "$(id -u)" -ne 0 ]; then
    unshare=(unshare --map-root-user --net)
  fi
  "${unshare[@]}" -- sh -c 'ip link set lo up && exec "$@"' sh "$@"
}

fuzz() {
  local target=$1 max_len=$2
  shift 2
  local work="$build_dir/fuzz-run/$target" log="$build_dir/fuzz-run/$target.log"
  mkdir -p "$work" "$build_dir/artifacts"
  local started=$SECONDS
  # New inputs go to the scratch corpus (first); the committed seeds are only read.
  if ! in_loopback_only_network "$build_dir/fuzz/${target}_fuzzer" \
    -max_total_time="$seconds" -print_final_stats=1 -max_len="$max_len" -timeout=20 \
    -artifact_prefix="$build_dir/artifacts/$target-" "$@" \
    "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "== $target: FAILED; the input is in $build_dir/artifacts/"
    return 1
  fi
  local executions
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "== $target: $executions executions in $((SECONDS - started)) s, nothing found"
}

# The targets and their longest inputs, as fuzz/targets.cmake lists them.
failed=0
while read -r target max_len; do
  dictionary=()
  if [ -f "fuzz/$target.dict" ]; then
    dictionary=("-dict=fuzz/$target.dict")
  fi
  fuzz "$target" "$max_len" "${dictionary[@]}" || failed=1
done < <(sed -n 's/^wanseer_fuzz_target(\([a-z0-9_]*\) MAX_LEN \([0-9]*\).*/\1 \2/p' fuzz/targets.cmake)
exit "$failed"
