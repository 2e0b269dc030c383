#!/usr/bin/env bash
# Runs a command under strace and prints each path that it, or any thread or
# child of it, asked to open and that names libwanseer or lies under one of
# the folders given, whether the open succeeded or not: where a program
# looks for its library, and whether it ever looks in a folder it must not.
# The command's output goes to stderr.
# usage: library_opens.sh [--under FOLDER]... -- COMMAND [ARGUMENT...]
# Exit: 0 traced (whatever the command's status), 1 strace failed, 77 no strace.
set -euo pipefail
folders=()
while [[ $# -gt 0 && $1 != -- ]]; do
  [[ $1 == --under && $# -ge 2 ]] || { echo "usage: $0 [--under FOLDER]... -- COMMAND..." >&2; exit 1; }
  folders+=("$2")
  shift 2
done
shift
command -v strace >/dev/null || exit 77
trace=$(mktemp)
trap 'rm -f "$trace"' EXIT
strace -f -qq -e trace=open,openat,openat2 -o "$trace" "$@" >&2 || (($? != 255)) ||
  { echo "strace could not run $1" >&2; exit 1; }
sed -nE 's/^([0-9]+ +)?open(at2?)?\((AT_FDCWD, |[0-9]+, )?"([^"]*)".*/\4/p' "$trace" |
  while IFS= read -r path; do
    wanted=0
    [[ $path == *libwanseer* ]] && wanted=1
    for folder in "${folders[@]}"; do
      [[ $path == "$folder"/* || $path == "$folder" ]] && wanted=1
    done
    if ((wanted)); then echo "$path"; fi
  done | sort -u
