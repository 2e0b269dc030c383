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
for file in include/wanseer.h include/wanseer_version.h include/pellary.h; do
  test -f "$scratch/prefix/$file" || { echo "missing $file"; exit 1; }
done

# The installed library searches only beside itself.
runpath=$(readelf -d "$libdir/libwanseer.so.1" | sed -n 's/.*RUNPATH).*: \[\(.*\)\]/\1/p')
[ "$runpath" = '$ORIGIN' ] || { echo "installed RUNPATH is '$runpath', not \$ORIGIN"; exit 1; }

export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -o "$scratch/by-pkg-config" "$here/consumer.c" $(pkg-config --cflags --libs wanseer)
output=$(LD_LIBRARY_PATH="$libdir" "$scratch/by-pkg-config")
echo "$output"
# The headers' major version is the SONAME's, and the package's version.
version=$(echo "$output" | sed -n 's/^version //p')
soname=$(readelf -d "$libdir/libwanseer.so.1" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libwanseer.so.${version%%.*}" ] ||
  { echo "header version $version does not match SONAME $soname"; exit 1; }
[ "$(pkg-config --modversion wanseer)" = "$version" ] ||
  { echo "wanseer.pc says $(pkg-config --modversion wanseer), the header $version"; exit 1; }

cmake -S "$here/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
LD_LIBRARY_PATH="$libdir" "$scratch/consumer/consumer"
echo "install: pkg-config and find_package consumers built and ran"
