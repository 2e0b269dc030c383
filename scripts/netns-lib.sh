# Shared parts of the shell tests and benchmarks that make network
# namespaces of their own (every script that sources this file: grep -l
# netns-lib.sh scripts tests bench).
# Sourced, not run:
#
#   source "$(dirname "${BASH_SOURCE[0]}")/netns-lib.sh"
#   netns_build_dir NAME "$@"    # usage check; build_dir, server_bin, client_bin, library
#   require_root; require_tools ip ...
#   netns_begin                  # work dir, stale sweep, traps
#   netns_add "$ns_prefix-client" || skip "..."
#   ... & register_pid $!
#
# Exit statuses: 0 passed, 1 failed, 2 bad usage, 77 skipped.
#
# Every namespace is named "wsr-PID-RANDOM-..." with the pid of the run that
# made it: a run killed before its cleanup (SIGKILL, which no trap sees)
# leaves namespaces that the next run of any of these tests removes, and two
# runs at once never share a name.  The tools are started directly, never
# under timeout(1), wherever this script sends them SIGTERM: timeout passes
# a SIGTERM on to its child, then sends SIGTERM and SIGCONT to its whole
# process group.  A sanitizer build checks for leaks at exit by stopping its
# threads from a helper process with ptrace; a SIGCONT that lands between
# the attach and the stop discards the stop, and the helper then waits for
# it for ever while the exiting program spins waiting for the helper.  The
# bounds come from wait_for_exit and wait_until instead.

netns_script=${netns_script:-$(basename "$0" .sh)}
netns_pids=()   # processes of ours still to be ended and reaped
netns_names=()  # namespaces to delete
netns_paths=()  # files and folders to remove (e.g. /etc/netns/NAME)
work=""

# Checks the one argument, BUILD_DIR, and names the built parts: build_dir,
# server_bin, client_bin, library.  $1 is the name for messages.
netns_build_dir() {
  netns_script=$1
  shift
  if [[ $# -ne 1 ]]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
  fi
  build_dir=$(cd "$1" && pwd)
  server_bin=$build_dir/tools/wanseer-probe-server
  client_bin=$build_dir/tools/wanseer
  library=$build_dir/src/libwanseer.so.1
}

# Exits 2 unless every file exists.
require_files() {
  local file
  for file in "$@"; do
    [[ -e $file ]] || { echo "$netns_script: $file not found; build first" >&2; exit 2; }
  done
}

skip() {
  echo "SKIPPED: $*"
  exit 77
}

# Prints the reason and the logs of the work dir, and exits 1.
fail() {
  echo "FAILED: $*" >&2
  local log
  if [[ -n $work ]]; then
    for log in "$work"/*.out "$work"/*.err; do
      [[ -s $log ]] && { echo "--- $(basename "$log")" >&2; cat "$log" >&2; }
    done
  fi
  exit 1
}

require_root() {
  [[ $(id -u) -eq 0 ]] || skip "network namespaces need root"
}

require_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
}

# Deletes the namespaces (and their /etc/netns folders) of runs that are no
# longer running.
remove_stale_namespaces() {
  local ns owner
  for ns in $(
    ip netns list 2>/dev/null | awk '$1 ~ /^wsr-[0-9]+-/ { print $1 }'
    ls /etc/netns 2>/dev/null | grep -E '^wsr-[0-9]+-' || true
  ); do
    owner=${ns#wsr-}
    owner=${owner%%-*}
    if ! kill -0 "$owner" 2>/dev/null; then
      ip netns del "$ns" 2>/dev/null || true
      rm -rf "/etc/netns/$ns"
    fi
  done
}

# Makes the work dir and ns_prefix, removes stale namespaces, and sets the
# cleanup on EXIT and the exits on TERM and INT.  CTest ends a test that runs
# past its time with SIGTERM (or SIGKILL, which no trap sees: the next run's
# remove_stale_namespaces is for that).
netns_begin() {
  ns_prefix="wsr-$$-$RANDOM"
  work=$(mktemp -d)
  netns_paths+=("$work")
  trap netns_cleanup EXIT
  trap 'echo "FAILED: stopped by SIGTERM" >&2; exit 1' TERM
  trap 'echo "FAILED: stopped by SIGINT" >&2; exit 1' INT
  remove_stale_namespaces
}

# Makes a namespace, to be deleted at cleanup; fails as `ip netns add` does.
netns_add() {
  netns_names+=("$1")
  ip netns add "$1" 2>/dev/null
}

# Two namespaces joined by a veth pair, loopback and both ends up; skips the
# test where either cannot be made.
#   netns_pair NS_A LINK_A ADDRESS_A/PREFIX NS_B LINK_B ADDRESS_B/PREFIX
netns_pair() {
  netns_add "$1" || skip "cannot make a network namespace here"
  netns_add "$4"
  ip -n "$1" link add "$2" type veth peer name "$5" netns "$4" ||
    skip "cannot make a veth pair here"
  ip -n "$1" addr add "$3" dev "$2"
  ip -n "$4" addr add "$6" dev "$5"
  ip -n "$1" link set lo up
  ip -n "$4" link set lo up
  ip -n "$1" link set "$2" up
  ip -n "$4" link set "$5" up
}

# The host's two ways out, each through a router that masquerades to an
# external address of its own, to the same server; the default route goes
# through router A.  Sets ns_host, ns_a, ns_b, ns_server; skips the test
# where namespaces or veth pairs cannot be made.
#
#   host 192.0.2.2/25   --- 192.0.2.1/25   router A 198.51.100.1/25   --- 198.51.100.2/25
#   host 192.0.2.130/25 --- 192.0.2.129/25 router B 198.51.100.129/25 --- 198.51.100.130/25
#                                      server 203.0.113.10 (on its loopback)
netns_route_switch() {
  local ns link
  ns_host=$ns_prefix-h
  ns_a=$ns_prefix-a
  ns_b=$ns_prefix-b
  ns_server=$ns_prefix-s
  netns_add "$ns_host" || skip "cannot make a network namespace here"
  for ns in "$ns_a" "$ns_b" "$ns_server"; do
    netns_add "$ns"
    ip -n "$ns" link set lo up
  done
  ip -n "$ns_host" link set lo up
  ip -n "$ns_host" link add ha type veth peer name ah netns "$ns_a" || skip "cannot make a veth pair here"
  ip -n "$ns_host" link add hb type veth peer name bh netns "$ns_b"
  ip -n "$ns_a" link add as type veth peer name sa netns "$ns_server"
  ip -n "$ns_b" link add bs type veth peer name sb netns "$ns_server"

  ip -n "$ns_host" addr add 192.0.2.2/25 dev ha
  ip -n "$ns_host" addr add 192.0.2.130/25 dev hb
  ip -n "$ns_server" addr add 198.51.100.2/25 dev sa
  ip -n "$ns_server" addr add 198.51.100.130/25 dev sb
  ip -n "$ns_server" addr add 203.0.113.10/32 dev lo
  netns_masquerading_router "$ns_a" ah as 192.0.2.1/25 198.51.100.1/25 198.51.100.2
  netns_masquerading_router "$ns_b" bh bs 192.0.2.129/25 198.51.100.129/25 198.51.100.130
  for link in ha hb; do ip -n "$ns_host" link set "$link" up; done
  for link in sa sb; do ip -n "$ns_server" link set "$link" up; done
  ip -n "$ns_host" route add default via 192.0.2.1
}

# One router of netns_route_switch, masquerading what leaves by OUTSIDE.
#   netns_masquerading_router NAMESPACE INSIDE OUTSIDE INSIDE_ADDRESS OUTSIDE_ADDRESS SERVER_SIDE
netns_masquerading_router() {
  ip -n "$1" addr add "$4" dev "$2"
  ip -n "$1" addr add "$5" dev "$3"
  ip -n "$1" link set "$2" up
  ip -n "$1" link set "$3" up
  ip -n "$1" route add 203.0.113.10/32 via "$6"
  ip netns exec "$1" sysctl -qw net.ipv4.ip_forward=1
  ip netns exec "$1" nft -f - <<NFT
table ip wanseer_nat {
  chain postrouting {
    type nat hook postrouting priority srcnat; policy accept;
    oifname "$3" masquerade
  }
}
NFT
}

register_pid() { netns_pids+=("$1"); }
register_path() { netns_paths+=("$1"); }

forget_pid() {
  local pid kept=()
  for pid in "${netns_pids[@]}"; do
    [[ $pid == "$1" ]] || kept+=("$pid")
  done
  netns_pids=("${kept[@]}")
}

# Waits for a child of this script to end, at most $2 seconds, and returns
# its exit status; past the bound it is killed and the wait fails (status
# 124), so that no wait of a test can hang.  Bash reaps its children as
# they end, so kill -0 fails from then on and wait gives the saved status.
# A reaped pid is dropped from the registry, so that the cleanup never
# signals a stranger that got the pid since.
wait_for_exit() {
  local pid=$1 seconds=$2 status=0
  local deadline=$((SECONDS + seconds))
  while kill -0 "$pid" 2>/dev/null; do
    if ((SECONDS >= deadline)); then
      echo "$netns_script: process $pid still ran $seconds s after it was asked to end; killed" >&2
      kill -KILL "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
      forget_pid "$pid"
      return 124
    fi
    sleep 0.05
  done
  wait "$pid" || status=$?
  forget_pid "$pid"
  return "$status"
}

# Ends a process of ours with one SIGTERM and reaps it, within a bound
# ($2 seconds, 10 by default; then SIGKILL).  Its status is not checked.
end_process() {
  local pid=$1
  kill -TERM "$pid" 2>/dev/null || { forget_pid "$pid"; return 0; }
  wait_for_exit "$pid" "${2:-10}" || true
}

# Waits until the command succeeds, for at most $1 seconds.  The command is
# run afresh each time: give a function, not a $(...) that is expanded once.
wait_until() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

netns_cleaned=0
netns_cleanup() {
  ((netns_cleaned)) && return
  netns_cleaned=1
  local pid ns path
  for pid in "${netns_pids[@]}"; do
    end_process "$pid"
  done
  for ns in "${netns_names[@]}"; do
    ip netns del "$ns" 2>/dev/null || true
  done
  for path in "${netns_paths[@]}"; do
    rm -rf "$path"
  done
}

# Starts wanseer-probe-server in namespace $1 answering on $2 (ADDR:PORT)
# without a rate limit, and waits until it listens; sets server_pid.
start_probe_server() {
  ip netns exec "$1" "$server_bin" --listen "$2" --rate 0 >"$work/server.out" 2>"$work/server.err" &
  server_pid=$!
  register_pid "$server_pid"
  wait_until 20 grep -qs '^listening on' "$work/server.out" || fail "the probe server did not start"
}

# Starts `wanseer --watch` on the built library in namespace $1, the other
# arguments its own, its lines in $work/watch.out; sets watch_pid.
start_watch() {
  local ns=$1
  shift
  ip netns exec "$ns" env WANSEER_LIBRARY="$library" "$client_bin" --watch "$@" \
    >"$work/watch.out" 2>"$work/watch.err" &
  watch_pid=$!
  register_pid "$watch_pid"
}

# Seconds since the epoch of the last line of $work/watch.out that ends in
# " $1" (the time the watch printed).
watch_line_time() {
  date -d "$(grep " $1\$" "$work/watch.out" | tail -n 1 | cut -d' ' -f1)" +%s.%N
}

# CPU clock ticks (user + system) of every thread of process $1 but its
# main one: a library's worker in a host whose main thread does the rest.
other_threads_ticks() {
  local task total=0
  for task in /proc/"$1"/task/*; do
    [[ ${task##*/} == "$1" ]] && continue
    total=$((total + $(sed 's/^.*) //' "$task/stat" | awk '{ print $12 + $13 }')))
  done
  echo "$total"
}
