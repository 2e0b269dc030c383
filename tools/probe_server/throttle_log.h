// Lines about throttled sources, for the journal: the limiter already keeps
// them to one per source per minute; this keeps all threads together to a
// few lines a second, however many sources a flood forges.
#ifndef WANSEER_TOOLS_THROTTLE_LOG_H
#define WANSEER_TOOLS_THROTTLE_LOG_H

#include <atomic>
#include <cstdint>

#include "line_writer.h"

namespace wanseer_tools {

class throttle_log {
 public:
  // At most `lines_per_second`, with that many at once after a quiet spell.
  throttle_log(double per_second_limit, unsigned lines_per_second, line_writer& output);

  // Queues one line for `ipv4` (network byte order) on standard error
  // unless the shared budget is spent.  Any thread may call it; it never
  // waits for the output.
  void report(std::uint32_t ipv4, std::uint64_t now_ns);

  std::uint64_t suppressed() const { return suppressed_.load(std::memory_order_relaxed); }

 private:
  line_writer& output_;
  double per_second_limit_;
  std::uint64_t interval_ns_;
  std::uint64_t tolerance_ns_;
  std::atomic<std::uint64_t> arrival_ns_{0};
  std::atomic<std::uint64_t> suppressed_{0};
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_THROTTLE_LOG_H
