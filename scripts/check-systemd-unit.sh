#!/usr/bin/env bash
# Checks packaging/systemd/wanseer-probe-server.service, its XDP sibling
# wanseer-probe-server-xdp.service and the watcher's template
# wanseer-watch@.service (as an instance) with systemd-analyze: `verify`
# must pass (with ExecStart pointed at the built programs, since the
# installed paths need not exist here), and `security` must rate each
# unit's exposure at 2.0 or lower (1.1, 1.7 and 1.1 when written).
#
# Usage: scripts/check-systemd-unit.sh BUILD_DIR
# Exit:  0 passed, 1 failed, 2 bad usage, 77 skipped (printed as "SKIPPED: reason").
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
server_bin=$(cd "$1" && pwd)/tools/wanseer-probe-server
cli_bin=$(cd "$1" && pwd)/tools/wanseer
for bin in "$server_bin" "$cli_bin"; do
  [[ -x $bin ]] || { echo "check-systemd-unit: $bin not found; build first" >&2; exit 2; }
done
command -v systemd-analyze >/dev/null || { echo "SKIPPED: systemd-analyze is not installed"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A template is checked as an instance of it.
for name in wanseer-probe-server wanseer-probe-server-xdp wanseer-watch@check; do
unit=$root/packaging/systemd/${name/@*/@}.service
sed -e "s|^ExecStart=/usr/bin/wanseer-probe-server |ExecStart=$server_bin |" \
  -e "s|^ExecStart=/usr/bin/wanseer |ExecStart=$cli_bin |" "$unit" >"$work/$name.service"
timeout 60 systemd-analyze verify "$work/$name.service" ||
  { echo "FAILED: systemd-analyze verify $name" >&2; exit 1; }
echo "ok: systemd-analyze verify $name"

report=$(timeout 60 systemd-analyze security --offline=true "$work/$name.service" 2>&1) || true
exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$report")
[[ -n $exposure ]] || { echo "FAILED: no exposure figure in:" >&2; echo "$report" >&2; exit 1; }
awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' ||
  { echo "FAILED: exposure $exposure is above 2.0" >&2; grep '✗' <<<"$report" >&2; exit 1; }
echo "ok: systemd-analyze security rates $name at $exposure"
done
