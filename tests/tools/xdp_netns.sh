# The link that the XDP tests and benchmark run over, on top of
# scripts/netns-lib.sh (sourced first, netns_begin done): a server
# namespace and a client namespace joined by veth, native XDP ready on both
# ends.  Sourced, not run:
#
#   xdp_link_setup XDP_PASS_OBJECT   # or skips with the reason
#   start_server NAME ARGS...        # the server in its namespace, started
#   stop_server NAME                 # ended by SIGTERM; its counter line
#
# XDP_PASS_OBJECT is the build's xdp_pass.bpf.o.  Sets server_ns,
# client_ns, server_if (vs), client_if (vc), server_ip (192.0.2.1),
# client_ip (192.0.2.2), extra_ip (192.0.2.3, also the client's) and
# server_mac.

xdp_link_setup() {
  local xdp_pass_object=$1
  [[ -e $xdp_pass_object ]] ||
    skip "the server was built without XDP support (libbpf, clang or bpftool missing)"
  require_tools ethtool
  server_ns=$ns_prefix-s client_ns=$ns_prefix-c server_if=vs client_if=vc
  server_ip=192.0.2.1 client_ip=192.0.2.2 extra_ip=192.0.2.3
  netns_add "$server_ns" || skip "cannot make network namespaces"
  netns_add "$client_ns" || skip "cannot make network namespaces"
  ip link add "$server_if" netns "$server_ns" type veth peer name "$client_if" netns "$client_ns" ||
    skip "cannot make a veth pair"
  ip -n "$server_ns" addr add "$server_ip/24" dev "$server_if"
  ip -n "$client_ns" addr add "$client_ip/24" dev "$client_if"
  ip -n "$client_ns" addr add "$extra_ip/24" dev "$client_if"
  local ns
  for ns in "$server_ns" "$client_ns"; do
    ip -n "$ns" link set lo up
  done
  ip -n "$server_ns" link set "$server_if" up
  ip -n "$client_ns" link set "$client_if" up
  # Both stacks send whole UDP checksums, as on a wire: the fast path
  # leaves a datagram whose checksum it cannot check (one left to
  # offloading) to the kernel, and answers are compared byte for byte.
  ip netns exec "$client_ns" ethtool -K "$client_if" tx off >/dev/null &&
    ip netns exec "$server_ns" ethtool -K "$server_if" tx off >/dev/null ||
    fail "cannot turn off checksum offloading on the veth pair"
  ip -n "$client_ns" link set dev "$client_if" xdpdrv obj "$xdp_pass_object" sec xdp 2>"$work/xdp-pass.err" ||
    skip "native XDP on veth is not available here: $(head -1 "$work/xdp-pass.err")"
  server_mac=$(ip -n "$server_ns" -br link show dev "$server_if" | awk '{ print $3 }')
}

# Whether an XDP program is attached to the server's interface.
xdp_attached() {
  ip -n "$server_ns" link show dev "$server_if" | grep -q 'prog/xdp'
}

# start_server NAME ARGS...: starts the server in the server namespace with
# ARGS, its output in $work/NAME.out and $work/NAME.err, and waits for its
# "listening on" line; sets server_pid.
start_server() {
  local name=$1
  shift
  ip netns exec "$server_ns" "$server_bin" "$@" >"$work/$name.out" 2>"$work/$name.err" &
  server_pid=$!
  register_pid "$server_pid"
  wait_until 30 grep -qs "^listening on" "$work/$name.out" ||
    fail "$name: the server did not start"
}

# stop_server NAME: SIGTERM, exit 0, and the counter line in $counters.
stop_server() {
  kill -TERM "$server_pid"
  wait_for_exit "$server_pid" 30 || fail "$1: the server did not exit 0 on SIGTERM"
  counters=$(grep '^received=' "$work/$1.out") || fail "$1: no counter line"
}
