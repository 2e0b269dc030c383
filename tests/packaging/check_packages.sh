#!/usr/bin/env bash
# Installs the Debian packages that scripts/package.sh built, uses them as a
# user would, purges them, and checks that they left no file behind:
#   1. apt-get install ./BUILD_DIR/*.deb
#   2. the installed wanseer-probe-server on loopback, asked by the installed
#      wanseer at its address and at localhost, which must print 127.0.0.1;
#      under strace, wanseer opens libwanseer only where the loader's search
#      or WANSEER_LIBRARY says, never under /usr/src or /usr/bin/..
#   3. a host compiled through pkg-config wanseer (plain paths), and one
#      through CMake's find_package(wanseer) (wanseer::wanseer alone, every
#      file it names installed), each run against the installed server
#   4. man -w finds wanseer(1), wanseer(3) and wanseer-probe-server(8), and
#      every /usr/share/doc file that a page names is there; the libraries
#      are Multi-Arch: same
#   5. the systemd units: none enabled by installing; an administrator's
#      enabling kept by an upgrade, which restarts the units (and template
#      instances) that run; removal stops them; purge leaves no link, mask
#      or state behind
#   6. apt-get purge; every file that dpkg -L listed is gone, and every
#      directory left is owned by another package
# The packages are purged on any exit, so the machine is left as it was.
# usage: check_packages.sh BUILD_DIR      (as root)
# Exit: 0 passed, 1 failed, 2 bad usage.
set -euo pipefail
if [[ $# -ne 1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build_dir=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
consumer_source=$here/../install
debs=("$build_dir"/*.deb)
[[ -e ${debs[0]} ]] || { echo "no .deb in $build_dir: run scripts/package.sh first" >&2; exit 2; }
[[ $(id -u) -eq 0 ]] || { echo "installing packages needs root" >&2; exit 2; }

packages=()
for deb in "${debs[@]}"; do
  packages+=("$(dpkg-deb -f "$deb" Package)")
done
work=$(mktemp -d)
server_pid=""
export DEBIAN_FRONTEND=noninteractive
apt_options=(-y -qq -o DPkg::Lock::Timeout=300)

installed_packages() {
  local package
  for package in "${packages[@]}"; do
    if dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qvx 'not-installed'; then
      echo "$package"
    fi
  done
}
purge() {
  local present
  mapfile -t present < <(installed_packages)
  ((${#present[@]} == 0)) || apt-get purge "${apt_options[@]}" "${present[@]}" >"$work/purge.log" 2>&1
}
cleanup() {
  if [[ -n $server_pid ]]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  purge || cat "$work/purge.log" >&2
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# Waits until the command succeeds, for at most $1 seconds.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

# --- 1. install -------------------------------------------------------------
purge # a run that was killed may have left them
# Slim images tell dpkg to skip manual pages; ours are part of what is tested.
apt-get install "${apt_options[@]}" --no-install-recommends \
  -o 'DPkg::Options::=--path-include=/usr/share/man/man[138]/wanseer*' \
  "${debs[@]}" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "apt-get install of ${packages[*]}"; }
for package in "${packages[@]}"; do
  dpkg -L "$package" >>"$work/files"
done
echo "ok: installed ${packages[*]} ($(sort -u "$work/files" | wc -l) paths)"

# Only what the packages put on the system is used from here on.
unset WANSEER_LIBRARY LD_LIBRARY_PATH PKG_CONFIG_PATH CMAKE_PREFIX_PATH
cd "$work"

# --- 2. the installed server and CLI -------------------------------------------
/usr/bin/wanseer-probe-server --listen 127.0.0.1:0 >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
wait_until 30 grep -q '^listening on ' "$work/server.out" ||
  { cat "$work/server.err" >&2; fail "the installed wanseer-probe-server did not start"; }
endpoint=$(sed -n 's/^listening on //p' "$work/server.out")
learned=$(timeout -k 5 60 /usr/bin/wanseer --timeout 30 "$endpoint") ||
  fail "the installed wanseer exited with status $?"
[[ $learned == 127.0.0.1 ]] || fail "wanseer printed '$learned', expected 127.0.0.1"
echo "ok: installed wanseer learned $learned from the installed server at $endpoint"
# The same through a name from the hosts file, which the library looks up.
learned=$(timeout -k 5 60 /usr/bin/wanseer --timeout 30 "localhost:${endpoint##*:}") ||
  fail "the installed wanseer, asking localhost, exited with status $?"
[[ $learned == 127.0.0.1 ]] || fail "wanseer asking localhost printed '$learned', expected 127.0.0.1"

# Where the installed CLI looks for its library: a planted copy beside its
# binary must never be opened, only the loader's choice or the variable's.
library_opens=$here/../install/library_opens.sh
mkdir -p "$work/chosen"
cp /usr/lib/*/libwanseer.so.1 "$work/chosen/"
opens=$("$library_opens" --under /usr/src --under /usr/bin/.. -- \
  /usr/bin/wanseer --timeout 30 "$endpoint" 2>/dev/null) || fail "could not trace /usr/bin/wanseer"
[[ -n $opens ]] || fail "/usr/bin/wanseer opened no libwanseer"
while IFS= read -r path; do
  [[ $path =~ ^(/usr)?/lib/ && $path != */../* ]] ||
    fail "/usr/bin/wanseer opened $path, outside the loader's search"
done <<<"$opens"
opens=$(WANSEER_LIBRARY=$work/chosen/libwanseer.so.1 "$library_opens" --under /usr/src \
  --under /usr/bin/.. -- /usr/bin/wanseer --timeout 1 "$endpoint" 2>/dev/null) || true
[[ $opens == "$work/chosen/libwanseer.so.1" ]] ||
  fail "with WANSEER_LIBRARY set, /usr/bin/wanseer opened: $opens"
echo "ok: the installed wanseer loads libwanseer only through the loader's search or WANSEER_LIBRARY"

# --- 3. hosts built against the installed library ------------------------------
cc -Wall -Wextra -Werror -o "$work/by-pkg-config" "$consumer_source/consumer.c" \
  $(pkg-config --cflags --libs wanseer) || fail "no consumer through pkg-config wanseer"
for variable in prefix libdir includedir; do
  value=$(pkg-config --variable=$variable wanseer)
  [[ $value == /usr* && $value != */../* && $value != *pkgconfig* ]] ||
    fail "wanseer.pc's $variable is $value, not a plain path"
done
# The CMake package: wanseer::wanseer alone, each include folder once, and
# every file it names installed.
targets=$(cat /usr/lib/*/cmake/wanseer/wanseer-targets*.cmake)
[[ $(grep -oE 'add_library\([^ ]+' <<<"$targets") == "add_library(wanseer::wanseer" ]] ||
  fail "the CMake package exports $(grep -oE 'add_library\([^ ]+' <<<"$targets" | tr '\n' ' ')"
includes=$(sed -nE 's/.*INTERFACE_INCLUDE_DIRECTORIES "(.*)"/\1/p' <<<"$targets")
[[ $(tr ';' '\n' <<<"$includes" | sort | uniq -d) == "" ]] ||
  fail "the CMake package lists an include folder twice: $includes"
timeout -k 5 60 "$work/by-pkg-config" "$endpoint" 127.0.0.1 ||
  fail "the pkg-config consumer did not learn 127.0.0.1"
cmake -S "$consumer_source/consumer" -B "$work/by-cmake" >"$work/cmake.log" 2>&1 &&
  cmake --build "$work/by-cmake" >>"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log" >&2; fail "no consumer through find_package(wanseer)"; }
timeout -k 5 60 "$work/by-cmake/consumer" "$endpoint" 127.0.0.1 ||
  fail "the find_package consumer did not learn 127.0.0.1"
if readelf -d /usr/lib/*/libwanseer.so.1 | grep -qE 'R(UN)?PATH'; then
  fail "the installed libwanseer.so.1 carries a search path"
fi
echo "ok: hosts built through pkg-config and find_package learned the address"
kill -TERM "$server_pid"
wait "$server_pid" || fail "the installed server did not exit 0 on SIGTERM"
server_pid=""
grep -q 'answered=[1-9]' "$work/server.out" || fail "the server counted no answer"

# --- 4. manual pages ----------------------------------------------------------
for page in "1 wanseer" "3 wanseer" "8 wanseer-probe-server"; do
  # shellcheck disable=SC2086 # section and name
  path=$(man -w $page) || fail "man -w $page finds nothing"
  [[ $path == /usr/share/man/* ]] || fail "man -w $page gives $path"
done
[[ $(man -w wanseer) == */man1/wanseer.1.gz ]] || fail "man wanseer is not wanseer(1)"
for page in /usr/share/man/man[138]/wanseer*.gz; do
  for named in $(zcat "$page" | sed 's/\\-/-/g' | grep -oE '/usr/share/doc/[A-Za-z0-9._/-]*[A-Za-z0-9]' | sort -u); do
    [[ -e $named ]] || fail "$(basename "$page") names $named, which no package installed"
  done
done
for package in "${packages[@]}"; do
  [[ -e /usr/share/doc/$package/copyright ]] || fail "$package has no copyright file"
  if [[ $package == lib*[0-9] ]]; then
    [[ $(dpkg-query -W -f='${Multi-Arch}' "$package") == same ]] || fail "$package is not Multi-Arch: same"
  fi
done
echo "ok: man finds wanseer(1), wanseer(3), wanseer-probe-server(8) and the documents they name"

# --- 5. the systemd units ------------------------------------------------------
"$here/check_unit_scripts.sh" "${debs[@]}" || fail "the maintainer scripts mishandle the units"

# --- 6. purge -------------------------------------------------------------------
purge || { cat "$work/purge.log" >&2; fail "apt-get purge"; }
[[ -z $(installed_packages) ]] || fail "still installed after purge: $(installed_packages)"
left=0
while IFS= read -r path; do
  [[ -e $path || -L $path ]] || continue
  # The root, which a package made by dpkg-deb lists as "/.".
  [[ $path == /. ]] && continue
  if [[ -d $path ]] && { [[ -L $path ]] || dpkg-query -S "$path" >/dev/null 2>&1; }; then
    # A directory that another package owns too, such as /usr/bin, or one of
    # the system's links to a directory, such as a merged /usr's /lib.
    continue
  fi
  echo "left behind: $path" >&2
  left=$((left + 1))
done < <(sort -u "$work/files")
((left == 0)) || fail "$left paths left after purge"
leftover=$(find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
  /var/lib/systemd/deb-systemd-helper-masked -name '*wanseer*' 2>/dev/null || true)
[[ -z $leftover ]] || fail "systemd links or state left after purge:"$'\n'"$leftover"
echo "ok: purged; no file of the packages left"
echo "PASSED"
