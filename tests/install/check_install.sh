#!/usr/bin/env bash
# Installs a build into a scratch prefix, then builds and runs a small host
# against it twice: once through pkg-config, once through find_package.
# usage: check_install.sh BUILD_DIR
set -euo pipefail
build_dir=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build_dir" --prefix "$scratch/prefix" >/dev/null
libdir=$(dirname "$(find "$scratch/prefix" -name 'libwanseer.so.1' | head -n 1)")
for file in include/wanseer.h include/pellary.h; do
  test -f "$scratch/prefix/$file" || { echo "missing $file"; exit 1; }
done

export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -o "$scratch/by-pkg-config" "$here/consumer.c" $(pkg-config --cflags --libs wanseer)
LD_LIBRARY_PATH="$libdir" "$scratch/by-pkg-config"

cmake -S "$here/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
LD_LIBRARY_PATH="$libdir" "$scratch/consumer/consumer"
echo "install: pkg-config and find_package consumers built and ran"
