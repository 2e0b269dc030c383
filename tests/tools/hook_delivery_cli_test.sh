#!/usr/bin/env bash
# `wanseer --watch --on-change` delivers each address as a dynamic-DNS
# update must be delivered, while the host's default route moves between two
# masquerading routers (netns_route_switch): the command keeps a "record"
# file as a name server keeps an A record.
#
#   1. The run for the first address (router A) hangs: --hook-timeout ends
#      it, and the change to router B's address, waiting behind it, is
#      delivered.
#   2. Back at router A, the command fails twice and then succeeds: the
#      record follows, after pauses of 10 s and 20 s.
#   3. A restart with --state runs nothing for router A's address again; the
#      next change (router B) gets the stored address as WANSEER_PREVIOUS.
#   4. That run hangs, ignoring SIGTERM, with a child doing the same: a
#      SIGTERM to the watcher ends it within 1 s, and the run's process
#      group is gone.
#
# Usage: hook_delivery_cli_test.sh BUILD_DIR      (as root)
# Exit:  0 passed, 1 failed, 2 bad usage, 77 skipped ("SKIPPED: reason").
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/netns-lib.sh"

netns_build_dir hook_delivery_cli_test "$@"
require_files "$server_bin" "$client_bin" "$library"
require_root
require_tools ip nft

netns_begin
netns_route_switch
start_probe_server "$ns_server" 203.0.113.10:7171

a=198.51.100.1
b=198.51.100.129
runs=$work/runs      # one line per run: PREVIOUS>ADDRESS
record=$work/record  # what the command last delivered
state=$work/state
group=$work/group    # the process group of the run that waits for SIGTERM
hook=$work/hook.sh
cat >"$hook" <<HOOK
#!/bin/sh
echo "\$WANSEER_PREVIOUS>\$WANSEER_ADDRESS" >>'$runs'
case "\$WANSEER_ADDRESS/\$(grep -c ">\$WANSEER_ADDRESS\\\$" '$runs')" in
  $a/1) sleep 1000 ;;
  $a/2 | $a/3) exit 1 ;;
  $b/2) echo \$\$ >'$group'; trap '' TERM; sleep 1000 & sleep 1000 ;;
esac
echo "\$WANSEER_ADDRESS" >'$record'
HOOK
chmod +x "$hook"

runs_are() { [[ -f $runs && $(cat "$runs") == "$1" ]]; }
record_is() { [[ -f $record && $(cat "$record") == "$1" ]]; }
state_is() { [[ -f $state && $(cat "$state") == "$1" ]]; }
watch_saw() { grep -q " ${1//./\\.}\$" "$work/watch.out"; }
said() { grep -q "$1" "$work/watch.err"; }

start_watch "$ns_host" --on-change "$hook" --hook-timeout 4 --state "$state" 203.0.113.10:7171
wait_until 30 runs_are ">$a" || fail "the command did not run for $a"
ip -n "$ns_host" route replace default via 192.0.2.129
wait_until 30 watch_saw "$b" || fail "the address did not change to $b"
wait_until 30 record_is "$b" || fail "the change to $b was not delivered"
said "for $a still runs after 4 s (--hook-timeout); ending it" ||
  fail "the hanging run was not reported as ended"
runs_are ">$a"$'\n'">$b" || fail "the runs were: $(cat "$runs")"
echo "ok: the hanging run for $a was ended after 4 s and $b delivered"

ip -n "$ns_host" route replace default via 192.0.2.1
wait_until 60 record_is "$a" || fail "the record did not come to $a"
# The state is written once the run has ended, a moment after the record.
wait_until 30 state_is "$a" || fail "the state file holds $(cat "$state" 2>/dev/null), not $a"
said "for $a exited with status 1; trying again in 10 s" || fail "no retry in 10 s was reported"
said "for $a exited with status 1; trying again in 20 s" || fail "no retry in 20 s was reported"
echo "ok: the command failed twice for $a, was run again after 10 s and 20 s, and succeeded"
end_process "$watch_pid"

start_watch "$ns_host" --on-change "$hook" --hook-timeout 4 --state "$state" 203.0.113.10:7171
wait_until 30 watch_saw "$a" || fail "the restarted watch did not see $a"
ip -n "$ns_host" route replace default via 192.0.2.129
wait_until 30 test -s "$group" || fail "the command did not run for $b after the restart"
# A run for $a would have started when the watch first saw it, before $b's.
expected=">$a"$'\n'">$b"$'\n'"$b>$a"$'\n'"$b>$a"$'\n'"$b>$a"$'\n'"$a>$b"
runs_are "$expected" || fail "after the restart the runs were: $(cat "$runs")"
echo "ok: after the restart nothing ran for $a, and $b's run was given $a as the previous address"

run_group=$(cat "$group")
asked=$(date +%s%N)
kill -TERM "$watch_pid"
wait_for_exit "$watch_pid" 10 || fail "the watcher did not exit 0 after SIGTERM"
took_ms=$((($(date +%s%N) - asked) / 1000000))
((took_ms < 1000)) || fail "the watcher took $took_ms ms to exit after SIGTERM"
! kill -0 -- "-$run_group" 2>/dev/null || fail "the run's process group $run_group is still there"
state_is "$a" || fail "the state file holds $(cat "$state"), not $a: the ended run counted"
echo "ok: SIGTERM during a run: the watcher exited in $took_ms ms, the run's process group is gone"
echo "PASSED"
