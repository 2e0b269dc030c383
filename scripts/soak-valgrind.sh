#!/usr/bin/env bash
# Runs the soak hosts under valgrind's memcheck: the plain C host that loads,
# starts, stops and unloads the library many times, the start/stop cycles and
# the many-descriptors host, stops that cut host name lookups short, the
# bad-input tests, and the hosts that fork, exec, exit and unload with a
# running worker.  Any memory error, and
# any block definitely or indirectly lost, fails the run.  Blocks still
# reachable at exit (ACE's process-lifetime singletons, the value store that
# lives as long as the process) are not errors.
#
# usage: scripts/soak-valgrind.sh BUILD_DIR [CYCLES]
# Exits 77 (CTest's skip code here) with "SKIPPED: ..." when valgrind is not
# installed or BUILD_DIR is a sanitizer build, which valgrind cannot run.
set -euo pipefail
build_dir=${1:?usage: scripts/soak-valgrind.sh BUILD_DIR [CYCLES]}
cycles=${2:-200}

if ! command -v valgrind >/dev/null 2>&1; then
  echo "SKIPPED: valgrind is not installed"
  exit 77
fi
sanitize=$(sed -n 's/^WANSEER_SANITIZE:STRING=//p' "$build_dir/CMakeCache.txt")
if [ -n "$sanitize" ]; then
  echo "SKIPPED: $build_dir is a sanitizer build ($sanitize); valgrind cannot run it"
  exit 77
fi

# The one suppression file holds only reports wholly inside the dynamic
# loader; it says why each cannot be ours.
memcheck=(valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect
          --error-exitcode=1 --quiet
          --suppressions="$(dirname "$0")/valgrind-loader.supp")
soak=$build_dir/tests/soak

echo "== dlopen_churn_host, $cycles cycles"
"${memcheck[@]}" "$soak/dlopen_churn_host" "$build_dir/src/libwanseer.so.1" "$cycles"
echo "== soak_host_tests, $cycles cycles per server"
WANSEER_SOAK_CYCLES=$cycles "${memcheck[@]}" "$soak/soak_host_tests" --gtest_brief=1
echo "== lookup cycles, $cycles stops that cut host name lookups short"
WANSEER_SOAK_CYCLES=$cycles "${memcheck[@]}" "$soak/soak_worker_tests" --gtest_brief=1 \
  --gtest_filter='LookupCycles.*'
echo "== soak_bad_input_tests"
"${memcheck[@]}" "$soak/soak_bad_input_tests" --gtest_brief=1
echo "== teardown_host: exit and unload with a running worker"
"${memcheck[@]}" "$build_dir/tests/teardown_host" "$build_dir/src/libwanseer.so.1"
# A forked child holds copies of what the parent's worker thread owns, which
# nothing in the child can reach: memory errors only here; LeakSanitizer
# checks the parent's side in the ASan build.
echo "== fork_host, memory errors only"
"${memcheck[@]}" --leak-check=no "$build_dir/tests/fork_host" "$build_dir/src/libwanseer.so.1"
echo "memcheck: no errors, nothing definitely or indirectly lost"
