// The probe server's XDP fast path: loads the program of
// probe_fast_path.bpf.c, attaches it to one interface in the driver's own
// (native) mode, and reads back what it counted.
//
// The attachment is a BPF link owned by this process: it ends when the
// object is destroyed or the process ends in any way (SIGKILL and a crash
// included), and the interface is then as it was.
#ifndef WANSEER_TOOLS_XDP_FAST_PATH_H
#define WANSEER_TOOLS_XDP_FAST_PATH_H

#include <netinet/in.h>

#include <cstdint>
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

  // The answers the program sent itself, of both protocols.
  std::uint64_t answered_at_driver() const {
    const counter_values values = totals();
    return values.answered + values.stun_answered;
  }

  // Writes the line for each throttled source the program names, through
  // `log`, until `stop_event` becomes readable.  Returns false, with errno
  // set, if waiting fails.
  bool forward_reports(int stop_event, throttle_log& log);

  struct state;

 private:
  explicit xdp_fast_path(std::unique_ptr<state> loaded);
  std::unique_ptr<state> state_;
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_XDP_FAST_PATH_H
