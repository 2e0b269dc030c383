#!/usr/bin/env bash
# wanseer-probe-server --allow-fragmenting over veth between two network
# namespaces: every answer, from the driver (--xdp) and from the socket path
# (alone, and beside the driver for what the driver passes on), leaves
# without don't-fragment and with an IP ID of its own, not 0 on every one.
# Usage: allow_fragmenting_test.sh BUILD_DIR.  Exit 0 passed, 1 failed, 77 skipped.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/netns-lib.sh"
source "$here/xdp_netns.sh"
netns_build_dir allow_fragmenting_test "$@"
require_files "$server_bin"
require_root
require_tools ip
netns_begin
xdp_link_setup "$build_dir/tests/tools/xdp_pass.bpf.o"
frame_probe=$build_dir/tests/tools/frame_probe
require_files "$frame_probe"
port=7171

# check_answers NAME SERVER_ARGS...: the corpus of frame_probe against a
# server started with SERVER_ARGS; fails unless the driver's and the socket
# path's cases were answered, none with don't-fragment, and not all with
# one IP ID.
check_answers() {
  local name=$1
  shift
  start_server "$name" --listen "0.0.0.0:$port" --threads 1 --allow-fragmenting "$@"
  ip netns exec "$client_ns" "$frame_probe" corpus "$client_if" "$server_mac" "$server_ip" \
    "$port" "$client_ip" "$extra_ip" >"$work/$name.corpus" || fail "$name: the corpus did not get through"
  stop_server "$name"
  # Answers are IP packets in hex: the ID is bytes 4-5, the flags 6-7.
  local case_name packets packet ids=() answered=0
  while read -r case_name packets; do
    [[ $case_name == *: && $packets != none ]] || continue
    for packet in $packets; do
      [[ $packet =~ ^45[0-9a-f]{38} ]] || continue # a count, not a packet
      ((answered += 1))
      (((16#${packet:12:4} & 16#4000) == 0)) ||
        fail "$name: ${case_name%:} answered with don't-fragment: $packet"
      ids+=("${packet:8:4}")
    done
  done <"$work/$name.corpus"
  grep -q '^request: 45' "$work/$name.corpus" &&
    grep -q '^request-with-ip-options: 45' "$work/$name.corpus" ||
    fail "$name: the corpus was not answered as expected: $(cat "$work/$name.corpus")"
  # The three the driver answers when it runs: one ID for all of them (0, as
  # with don't-fragment) would be a chance of 1 in 2^32 with random IDs.
  local distinct
  distinct=$(sed -n 's/^\(request\|stun-binding\|stun-fingerprint\): 45[0-9a-f]\{6\}\([0-9a-f]\{4\}\).*/\2/p' \
    "$work/$name.corpus" | sort -u | wc -l)
  ((distinct > 1)) || fail "$name: request, stun-binding and stun-fingerprint share one IP ID"
  echo "ok: $name: $answered answers without don't-fragment, $(printf '%s\n' "${ids[@]}" | sort -u | wc -l) IP IDs"
}

check_answers driver --xdp "$server_if"
check_answers socket
echo "PASSED"
