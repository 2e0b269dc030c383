#!/usr/bin/env bash
# wanseer-probe-server --xdp names a throttled source at most once in any
# 60 s, whichever path drops its requests: a source kept over its limit for
# 58 s, at the driver and on the socket path, is named exactly once, however
# the minutes of the clock fall (about a minute; root and native XDP only).
# Usage: xdp_throttle_lines_test.sh BUILD_DIR.  Exit 0 passed, 1 failed, 77 skipped.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/netns-lib.sh"
source "$here/xdp_netns.sh"
netns_build_dir xdp_throttle_lines_test "$@"
require_files "$server_bin"
require_root
require_tools ip
netns_begin
xdp_link_setup "$build_dir/tests/tools/xdp_pass.bpf.o"
frame_probe=$build_dir/tests/tools/frame_probe
require_files "$frame_probe"

port=7171
start_server server --listen "0.0.0.0:$port" --threads 1 --xdp "$server_if" --rate 1 --burst 2

# Six requests a round from the client's address, every other one for the
# socket path, and the sentinel that marks the round's end from its other
# address, which a second's pause keeps
# within the limit (the pause paces the load; nothing waits on it).
started=$SECONDS
rounds=0
while ((SECONDS - started < 58)); do
  ip netns exec "$client_ns" "$frame_probe" split "$client_if" "$server_mac" "$server_ip" \
    "$port" "$extra_ip" 6 "$client_ip" >/dev/null || fail "the server became unreachable"
  rounds=$((rounds + 1))
  sleep 1
done
stop_server server
at_driver=$(sed -n 's/.*answered_at_driver=\([0-9]*\).*/\1/p' "$work/server.out")
dropped=$(sed -n 's/.*\bdropped_rate_limited=\([0-9]*\).*/\1/p' "$work/server.out")
((at_driver > 0 && dropped > rounds)) ||
  fail "the source was not kept over its limit at the driver: $(cat "$work/server.out")"
lines=$(grep -c "^rate-limited $client_ip:" "$work/server.err" || true)
[[ $lines == 1 ]] || fail "named $lines times in 58 s, not once"
echo "ok: $rounds rounds in 58 s, $dropped dropped, named once"
echo "PASSED"
