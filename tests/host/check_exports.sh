#!/bin/sh
# The library exports exactly its four functions and nothing else.
set -eu
library=$1
exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort | tr '\n' ' ')
expected="wanseer_get wanseer_init wanseer_startup wanseer_stop "
if [ "$exported" != "$expected" ]; then
  echo "exports of $library: $exported"
  echo "expected:            $expected"
  exit 1
fi
soname=$(readelf -d "$library" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
if [ "$soname" != "libwanseer.so.1" ]; then
  echo "SONAME is '$soname', expected libwanseer.so.1"
  exit 1
fi
echo "exports: $exported; SONAME $soname"
