#!/usr/bin/env bash
# Builds the Debian packages into BUILD_DIR (default build-pkg) and checks
# them with lintian:
#   libwanseer1  libpellary1  libwanseer-dev  wanseer  wanseer-probe-server
# Compiler and linker flags are Debian's (dpkg-buildflags, all hardening on);
# the packages' dependencies come from dpkg-shlibdeps, their version from the
# project version.  Any lintian error, or a warning not overridden in
# packaging/debian/*.lintian-overrides, fails the run.
# usage: scripts/package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-pkg}
scripts/install-deps.sh

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CFLAGS CXXFLAGS LDFLAGS

# A fresh tree: CMake reads the flags above only when it first configures,
# and old packages must not be mistaken for new ones.
rm -rf "$build_dir"
scripts/build.sh "$build_dir" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
  -DWANSEER_DEBIAN_PACKAGE=ON \
  -DCMAKE_SKIP_INSTALL_RPATH=ON -DWANSEER_BUILD_TESTS=OFF
(cd "$build_dir" && cpack -G DEB >cpack.log) || { cat "$build_dir/cpack.log"; exit 1; }

packages=("$build_dir"/*.deb)
# A library package's symbols file names exactly the functions it exports.
for package in "${packages[@]}"; do
  name=$(dpkg-deb -f "$package" Package)
  [[ $name =~ ^lib.*[0-9]$ ]] || continue
  unpacked="$build_dir/check-$name"
  rm -rf "$unpacked"
  dpkg-deb -R "$package" "$unpacked"
  exported=$(find "$unpacked" -name 'lib*.so.*.*' -type f -exec nm -D --defined-only {} + |
    awk '$2 == "T" { print $3 }' | sort)
  listed=$(awk '/^ / { sub(/@.*/, "", $1); print $1 }' "$unpacked/DEBIAN/symbols" | sort)
  rm -rf "$unpacked"
  if [[ $exported != "$listed" ]]; then
    echo "$name: the symbols file lists"$'\n'"$listed"$'\n'"but the library exports"$'\n'"$exported" >&2
    exit 1
  fi
done
for package in "${packages[@]}"; do
  echo "== $(dpkg-deb -f "$package" Package) $(dpkg-deb -f "$package" Version): $(basename "$package")"
  dpkg-deb -f "$package" Depends | sed 's/^/   Depends: /'
done
# --fail-on warning: a warning must be mended or overridden with a reason.
lintian --fail-on error,warning --display-info "${packages[@]}"
echo "lintian: no errors, no warnings left (${#packages[@]} packages)"
