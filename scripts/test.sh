#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs the whole
# test suite.
# usage: scripts/test.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
scripts/install-deps.sh
scripts/build.sh "$build_dir"
ctest --test-dir "$build_dir" --output-on-failure -j2 --timeout 300
