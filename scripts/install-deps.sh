#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need (the
# probe server's --xdp: clang, libbpf-dev, bpftool; its tests: ethtool and
# ping), and
# any named as arguments (scripts/bench.sh adds coturn), when any is missing.
# Needs root, or sudo as a normal user, only when something must be installed.
set -euo pipefail

packages=(cmake ninja-build g++ clang pkg-config libace-dev libc-ares-dev googletest
          libgtest-dev libbenchmark-dev iproute2 nftables valgrind libclang-rt-14-dev binutils
          libmicrohttpd-dev libsystemd-dev curl systemd coturn libbpf-dev bpftool
          ethtool iputils-ping zlib1g-dev stun-client prometheus
          dpkg-dev file lintian man-db groff-base strace "$@")

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps: installing needs root; run this as root or install sudo" >&2
    exit 1
  fi
  sudo=sudo
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
