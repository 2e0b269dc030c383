#!/usr/bin/env bash
# Configures and builds into a build directory.
# usage: scripts/build.sh [BUILD_DIR] [extra cmake arguments...]
# With BUILD_TARGETS set (names separated by spaces), only those targets and
# what they need are built.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
shift || true
cmake -S . -B "$build_dir" -G Ninja -DWANSEER_WERROR=ON "$@" >/dev/null
# shellcheck disable=SC2086  # one argument per target name
cmake --build "$build_dir" -j"$(nproc)" ${BUILD_TARGETS:+--target $BUILD_TARGETS}
