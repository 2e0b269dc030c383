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

# The installed wanseer finds the library only as a host does: through the
# loader's search (here LD_LIBRARY_PATH) or WANSEER_LIBRARY.  It has no run
# path, never looks beside its binary (a library planted in the prefix's
# src/ or lib/ is not loaded) and never in the build tree.
cli=$scratch/prefix/bin/wanseer
if [ -x "$cli" ]; then
  ! readelf -d "$cli" | grep -E 'R(UN)?PATH' || { echo "the installed wanseer carries a run path"; exit 1; }
  for planted in src lib; do
    mkdir -p "$scratch/prefix/$planted"
    cp "$libdir/libwanseer.so.1" "$scratch/prefix/$planted/" 2>/dev/null || true
  done
  status=0
  (cd "$scratch" && env -u WANSEER_LIBRARY -u LD_LIBRARY_PATH "$cli" --timeout 0.2 127.0.0.1:9 2>/dev/null) ||
    status=$?
  [ "$status" -eq 3 ] || { echo "the installed wanseer loaded a library from beside its binary ($status)"; exit 1; }
  for how in "LD_LIBRARY_PATH=$libdir" "WANSEER_LIBRARY=$libdir/libwanseer.so.1"; do
    opens=$(cd "$scratch" && env -u WANSEER_LIBRARY -u LD_LIBRARY_PATH "$how" \
      "$here/library_opens.sh" --under "$scratch/prefix/src" --under "$scratch/prefix/bin/.." \
      --under "$build_dir" -- "$cli" --timeout 0.2 127.0.0.1:9 2>/dev/null) || {
      status=$?
      [ "$status" -eq 77 ] && { echo "strace is missing: the installed wanseer's opens are not traced"; break; }
      echo "could not trace the installed wanseer"; exit 1
    }
    [ -n "$opens" ] || { echo "with $how the installed wanseer opened no library"; exit 1; }
    unwanted=$(grep -v "^$libdir/" <<<"$opens" || true)
    [ -z "$unwanted" ] || { echo "with $how the installed wanseer opened:"; echo "$unwanted"; exit 1; }
  done
  echo "install: the installed wanseer loads the library only through the loader's search or WANSEER_LIBRARY"
fi
echo "install: pkg-config and find_package consumers built and ran"
