// What the probe server did, reported when it ends.
#ifndef WANSEER_TOOLS_PROBE_COUNTERS_H
#define WANSEER_TOOLS_PROBE_COUNTERS_H

#include <cstdint>
#include <string>

namespace wanseer_tools {

struct probe_counters {
  std::uint64_t received = 0;
  std::uint64_t answered = 0;
  std::uint64_t dropped_malformed = 0;
  std::uint64_t dropped_rate_limited = 0;
  std::uint64_t send_failed = 0;

  // One line of name=value pairs, stable for scripts.
  std::string summary() const {
    return "received=" + std::to_string(received) + " answered=" + std::to_string(answered) +
           " dropped_malformed=" + std::to_string(dropped_malformed) +
           " dropped_rate_limited=" + std::to_string(dropped_rate_limited) +
           " send_failed=" + std::to_string(send_failed);
  }
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_PROBE_COUNTERS_H
