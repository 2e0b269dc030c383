#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: a plain C host
# loads libwanseer.so.1 with dlopen, answers its probe on loopback, and
# prints the address the library stored.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
build/tests/dlopen_host build/src/libwanseer.so.1 1
