// The probe server's XDP fast path: loads the program of
// probe_fast_path.bpf.c, attaches it to one interface in the driver's own
// (native) mode, and reads back what it counted.
//
// The attachment is a BPF link owned by this process: it ends when the
// object is destroyed or the process ends in any way (SIGKILL and a crash
// included), and the interface is then as it was.
//
// The program learns the host's addresses from the loader, which follows
// them (and the interface) through rtnetlink while the server runs; the
// MAC addresses of each answer come from the kernel's route and neighbour
// tables at the moment it is sent.
#ifndef WANSEER_TOOLS_XDP_FAST_PATH_H
#define WANSEER_TOOLS_XDP_FAST_PATH_H

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "probe_counters.h"
#include "source_rate_limiter.h"
#include "throttle_log.h"

namespace wanseer_tools {

struct fast_path_settings {
  std::string interface;
  // The address and port the socket path is bound to; address 0 stands for
  // every IPv4 address the interface has when the program is attached.
  sockaddr_in bound{};
  rate_limit limit;
  std::uint64_t hash_seed = 0;
  bool dont_fragment = true;
};

class xdp_fast_path {
 public:
  // Attaches the program, or returns null with `error` saying why (no such
  // interface, no privilege, no native XDP in the driver, another program
  // in place, or a build without XDP support).
  static std::unique_ptr<xdp_fast_path> attach(const fast_path_settings& settings,
                                               std::string& error);
  ~xdp_fast_path();
  xdp_fast_path(const xdp_fast_path&) = delete;
  xdp_fast_path& operator=(const xdp_fast_path&) = delete;

  // The program's counters, summed over CPUs.  Any thread may call it.
  counter_values totals() const;

  // The requests the program left to the kernel, by reason.
  driver_passes passes() const;

  // The answers the program sent itself, of both protocols.
  std::uint64_t answered_at_driver() const {
    const counter_values values = totals();
    return values.answered + values.stun_answered;
  }

  // Writes the line for each throttled source the program names, through
  // `log`, until `stop_event` becomes readable.  Returns false, with errno
  // set, if waiting fails.
  bool forward_reports(int stop_event, throttle_log& log);

  // Whether the program is attached to the interface now.  Any thread may
  // call it.
  bool attached() const { return attached_.load(std::memory_order_relaxed); }

  // Keeps the program's picture of the host's addresses true as they
  // change, until `stop_event` becomes readable.  When the interface goes
  // away it says so through `log`, and attaches the program again when an
  // interface of the same name comes back.  Returns false, with `error`
  // saying why, when it cannot follow any more (the interface came back
  // without native XDP, more addresses than the program holds, a netlink
  // failure): the fast path can no longer be trusted.
  bool follow_interface(int stop_event, const std::function<void(const std::string&)>& log,
                        std::string& error);

  // Weighs a request that reached the socket path under the program's own
  // source table.  False (verdict untouched) if the kernel would not run
  // the program.  Any thread may call it.
  bool admit(std::uint32_t ipv4, admission& verdict) const;

  struct state;

 private:
  explicit xdp_fast_path(std::unique_ptr<state> loaded);
  std::unique_ptr<state> state_;
  std::atomic<bool> attached_{true};
};

// The socket path's limit with --xdp: the driver's table, so that a source
// splitting its requests between the paths gets one budget in all, and the
// table is the one --sources sizes.  The thread's own limiter stands in
// only if the kernel refuses to run the program.
class shared_source_admission final : public source_admission {
 public:
  shared_source_admission(const xdp_fast_path& driver, source_admission& fallback)
      : driver_(driver), fallback_(fallback) {}
  admission admit(std::uint32_t ipv4, std::uint64_t now_ns) override {
    admission verdict = admission::drop;
    return driver_.admit(ipv4, verdict) ? verdict : fallback_.admit(ipv4, now_ns);
  }

 private:
  const xdp_fast_path& driver_;
  source_admission& fallback_;
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_XDP_FAST_PATH_H
