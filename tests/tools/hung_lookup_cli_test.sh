#!/usr/bin/env bash
# `wanseer --timeout 1` gives up on time while a host name lookup hangs, and
# `wanseer --watch` says why nothing comes: no name server answers, or (with
# the name server gone) the name cannot be resolved.  In a
# network namespace of our own, whose resolv.conf (/etc/netns/NAME/) names a
# name server on 127.0.0.1 that takes every query and never answers
# (wanseer-probe-server, which drops them as malformed), with resolver
# timeouts that would hold a blocking lookup for 30 s.  No query can leave
# the namespace: it has nothing but loopback.
#
# Usage: hung_lookup_cli_test.sh BUILD_DIR      (as root)
# Exit:  0 passed, 1 failed, 2 bad usage, 77 skipped ("SKIPPED: reason").
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/netns-lib.sh"

netns_build_dir hung_lookup_cli_test "$@"
require_root
require_tools ip

netns_begin
ns=$ns_prefix-dns
netns_add "$ns" || skip "cannot make a network namespace here"
ip -n "$ns" link set lo up
register_path "/etc/netns/$ns"
mkdir -p "/etc/netns/$ns"
printf 'nameserver 127.0.0.1\noptions timeout:15 attempts:2\n' >"/etc/netns/$ns/resolv.conf"

ip netns exec "$ns" "$server_bin" --listen 127.0.0.1:53 --rate 0 >"$work/server.out" 2>&1 &
server_pid=$!
register_pid "$server_pid"
wait_until 20 grep -q '^listening on' "$work/server.out" || fail "the silent name server did not start"

started=$(date +%s%N)
status=0
# Its own --timeout ends it; timeout(1) only bounds a hang.
ip netns exec "$ns" env WANSEER_LIBRARY="$library" timeout -k 10 60 \
  "$client_bin" --timeout 1 probe.example.net:7171 >"$work/cli.out" 2>"$work/cli.err" || status=$?
elapsed_ms=$((($(date +%s%N) - started) / 1000000))

[[ $status -eq 1 ]] || fail "wanseer exited $status, not 1 (no answer): $(cat "$work/cli.err")"
# A lookup that held the exit would take the resolver's 30 s; give a loaded
# machine plenty of room above the 1 s asked for.
((elapsed_ms < 10000)) || fail "wanseer took $elapsed_ms ms to give up after --timeout 1"
echo "ok: wanseer --timeout 1 gave up after $elapsed_ms ms while the lookup hung"

# The watch's first word, 5 s in, names the silent name server; a SIGTERM
# then ends it at once, though lookups hang.
start_watch "$ns" probe.example.net:7171
said() { grep -q "$1" "$work/watch.err"; }
wait_until 30 said 'no answer from probe.example.net:7171 for 5 s: no name server answered for probe.example.net$' ||
  fail "the watch did not say that no name server answered"
echo "ok: --watch: $(grep 'no answer' "$work/watch.err")"
end_process "$watch_pid" 5

end_process "$server_pid" 60
grep -Eq 'dropped_malformed=[1-9]' "$work/server.out" ||
  fail "no lookup reached the silent name server: $(cat "$work/server.out")"

# Without a name server the name cannot be resolved, and the one-shot
# message says so.
status=0
ip netns exec "$ns" env WANSEER_LIBRARY="$library" timeout -k 10 60 \
  "$client_bin" --timeout 6 probe.example.net:7171 >"$work/cli.out" 2>"$work/cli.err" || status=$?
[[ $status -eq 1 ]] || fail "wanseer exited $status, not 1 (no answer): $(cat "$work/cli.err")"
grep -q 'within 6 s: the name probe.example.net could not be resolved' "$work/cli.err" ||
  fail "the message does not say that the name could not be resolved"
echo "ok: $(cat "$work/cli.err")"
echo "PASSED"
