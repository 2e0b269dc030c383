#!/usr/bin/env bash
# The host's own address changes under a running worker, as on a new DHCP
# lease: the worker must keep asking from the new address.  Two network
# namespaces of our own joined by a veth pair:
#
#   client 192.0.2.2/24 (later 192.0.2.3/24) --- 192.0.2.1/24 server
#
# `wanseer --watch` in the client learns 192.0.2.2 from wanseer-probe-server
# (which answers with the sender's address); then the client's address is
# replaced, and the watch must print 192.0.2.3: at once, since the address
# news brings the next request forward (else after the pause of 45 to 75 s).
#
# Usage: address_change_cli_test.sh BUILD_DIR      (as root)
# Exit:  0 passed, 1 failed, 2 bad usage, 77 skipped ("SKIPPED: reason").
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/netns-lib.sh"

netns_build_dir address_change_cli_test "$@"
require_root
require_tools ip

netns_begin
ns_client=$ns_prefix-c
ns_server=$ns_prefix-s
netns_pair "$ns_client" c0 192.0.2.2/24 "$ns_server" s0 192.0.2.1/24

ip netns exec "$ns_server" "$server_bin" --listen 192.0.2.1:7171 --rate 0 >"$work/server.out" 2>&1 &
register_pid $!
wait_until 20 grep -q '^listening on' "$work/server.out" || fail "the probe server did not start"

# Started directly, not under timeout(1): the cleanup ends it with one
# SIGTERM, and the waits below bound the test.
ip netns exec "$ns_client" env WANSEER_LIBRARY="$library" \
  "$client_bin" --watch 192.0.2.1:7171 >"$work/watch.out" 2>"$work/watch.err" &
register_pid $!
wait_until 30 grep -q ' 192\.0\.2\.2$' "$work/watch.out" || fail "the first address was not 192.0.2.2"

# Removed before the new one is added: removing a primary address removes
# the secondary addresses of its subnet with it.
ip -n "$ns_client" addr del 192.0.2.2/24 dev c0
ip -n "$ns_client" addr add 192.0.2.3/24 dev c0
# The next request leaves half a second after the news (at the latest when
# the pause ends).
wait_until 150 grep -q ' 192\.0\.2\.3$' "$work/watch.out" ||
  fail "the worker did not ask from the new address 192.0.2.3"
echo "ok: after the address change the worker learned 192.0.2.3"
echo "PASSED"
