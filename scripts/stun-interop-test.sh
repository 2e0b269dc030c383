#!/usr/bin/env bash
# STUN against peers nobody here wrote, on loopback:
#
# 1. wanseer (loading the built library) learns 127.0.0.1 from coturn's
#    `turnserver --stun-only`, which signs its answers with FINGERPRINT.
# 2. coturn's `turnutils_stunclient` and Debian's `stun` (RFC 3489 test 1)
#    learn their own address and port from wanseer-probe-server, whose
#    metrics then pass `promtool check metrics` (Debian's prometheus).
# 3. `stun`'s whole NAT type test classifies loopback against
#    wanseer-probe-server as it does against coturn with one address (both
#    refuse the change flags with a 420): "Open", not "Firewall".
#
# The same peers behind the namespace NAT are in scripts/nat-test.sh.
# Usage: scripts/stun-interop-test.sh BUILD_DIR
# Exit:  0 passed, 1 failed, 2 bad usage, 77 skipped (printed as "SKIPPED: reason").
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/netns-lib.sh"

netns_build_dir stun-interop-test "$@"
require_files "$server_bin" "$client_bin" "$library"
require_tools turnserver turnutils_stunclient stun promtool curl ss timeout
netns_begin

# A UDP (or with -t, TCP) port nothing on this machine is bound to now.
free_udp_port() {
  local port protocol=${1:--u}
  for _ in $(seq 100); do
    port=$((20000 + RANDOM % 40000))
    if [[ -z $(ss "$protocol"anH "sport = :$port") ]]; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# --- 1. The library asks coturn ----------------------------------------------
coturn_answers() { timeout 2 turnutils_stunclient -p "$coturn_port" 127.0.0.1 >/dev/null 2>&1; }
# A port that was free may be taken before turnserver binds it: another try.
for attempt in 1 2 3; do
  coturn_port=$(free_udp_port) || fail "no free UDP port"
  turnserver -n --stun-only --fingerprint --no-cli --no-tls --no-dtls --listening-ip 127.0.0.1 \
    --listening-port "$coturn_port" --pidfile "$work/coturn.pid" --log-file stdout \
    >"$work/coturn.out" 2>&1 &
  coturn_pid=$!
  register_pid "$coturn_pid"
  wait_until 30 coturn_answers && break
  end_process "$coturn_pid"
  ((attempt < 3)) || fail "turnserver did not answer on 127.0.0.1:$coturn_port"
done
learned=$(timeout -k 10 60 env WANSEER_LIBRARY="$library" \
  "$client_bin" --timeout 20 "stun:127.0.0.1:$coturn_port" 2>"$work/client.err") ||
  fail "wanseer exited with status $? against coturn"
[[ $learned == 127.0.0.1 ]] || fail "wanseer learned '$learned' from coturn, expected 127.0.0.1"
echo "ok: wanseer learned 127.0.0.1 from turnserver --stun-only"

# --- 2. coturn's and stun-client's clients ask wanseer-probe-server ----------
metrics_port=$(free_udp_port -t) || fail "no free TCP port"
"$server_bin" --listen 127.0.0.1:0 --metrics "$metrics_port" >"$work/server.out" \
  2>"$work/server.err" &
server_pid=$!
register_pid "$server_pid"
wait_until 20 grep -q '^listening on ' "$work/server.out" || fail "probe server did not start"
port=$(sed -n 's/^listening on 127.0.0.1://p' "$work/server.out")

timeout 20 turnutils_stunclient -p "$port" 127.0.0.1 >"$work/stunclient.out" 2>&1 ||
  fail "turnutils_stunclient got no answer"
grep -q 'UDP reflexive addr: 127.0.0.1:[1-9]' "$work/stunclient.out" ||
  fail "turnutils_stunclient reported the wrong address"
echo "ok: turnutils_stunclient learned 127.0.0.1 from wanseer-probe-server"

source_port=$(free_udp_port) || fail "no free UDP port"
timeout 20 stun "127.0.0.1:$port" 1 -v -p "$source_port" >"$work/stun.out" 2>&1 ||
  fail "stun (RFC 3489 test 1) failed"
grep -q "mappedAddr=127.0.0.1:$source_port\$" "$work/stun.out" ||
  fail "stun reported the wrong mapped address"
echo "ok: stun (RFC 3489) learned 127.0.0.1:$source_port from wanseer-probe-server"

# --- 3. stun's NAT type test: the same verdict as from a one-address coturn --
# stun's exit status is its verdict's code, not success or failure.
nat_type() {
  { timeout 60 stun "127.0.0.1:$1" -p "$2" 2>&1 || true; } | sed -n 's/^Primary: *//p' | tr -d '\t'
}
coturn_type=$(nat_type "$coturn_port" "$(free_udp_port)")
wanseer_type=$(nat_type "$port" "$(free_udp_port)")
[[ $coturn_type == Open ]] || fail "stun calls loopback '$coturn_type' against coturn, not Open"
[[ $wanseer_type == "$coturn_type" ]] ||
  fail "stun calls loopback '$wanseer_type' against wanseer-probe-server, '$coturn_type' against coturn"
echo "ok: stun's NAT type test says $wanseer_type against wanseer-probe-server, as against coturn"

curl -sf "http://127.0.0.1:$metrics_port/metrics" >"$work/metrics.txt" ||
  fail "no metrics from the probe server"
grep -q '^wanseer_probe_stun_answered_total [1-9]' "$work/metrics.txt" ||
  fail "the metrics count no STUN answer"
promtool check metrics <"$work/metrics.txt" >"$work/promtool.out" 2>&1 ||
  fail "promtool check metrics: $(cat "$work/promtool.out")"
echo "ok: the server's metrics pass promtool check metrics"

kill -TERM "$server_pid"
wait_for_exit "$server_pid" 60 || fail "probe server did not exit 0 within 60 s of SIGTERM"
grep -q ' stun_answered=[1-9]' "$work/server.out" || fail "the server counted no STUN answer"
echo "PASSED"
