#!/bin/sh
# What the dynamic loader is told by every binary and library of a build:
# - no library asks for static TLS (STATIC_TLS): a host that loads it with
#   dlopen after using up the static TLS block would fail to load it;
# - no run path has an empty entry, which the loader takes as the current
#   folder, so that a library planted there would be loaded.
# usage: check_load_flags.sh BUILD_DIR
set -eu
build_dir=$1
failed=0
checked=0
for file in $(find "$build_dir" -path '*/CMakeFiles' -prune -o -type f \( -perm -u+x -o -name '*.so*' \) -print); do
  head -c 4 "$file" | grep -q 'ELF' || continue
  checked=$((checked + 1))
  dynamic=$(readelf -d "$file" 2>/dev/null) || continue
  case $file in
    *.so*)
      if printf '%s\n' "$dynamic" | grep -q 'STATIC_TLS'; then
        echo "$file: asks for static TLS"
        failed=1
      fi
      ;;
  esac
  for path in $(printf '%s\n' "$dynamic" | sed -n 's/.*R\(UN\)\{0,1\}PATH).*: \[\(.*\)\]/\2/p'); do
    case ":$path:" in
      *::*)
        echo "$file: run path '$path' has an empty entry (the current folder)"
        failed=1
        ;;
    esac
  done
done
[ "$checked" -gt 0 ] || { echo "no ELF file under $build_dir"; exit 1; }
[ "$failed" -eq 0 ] || exit 1
echo "load flags: $checked ELF files, none with static TLS or an empty run path entry"
