#include "throttle_log.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace wanseer_tools {

throttle_log::throttle_log(double per_second_limit, unsigned lines_per_second, line_writer& output)
    : output_(output),
      per_second_limit_(per_second_limit),
      interval_ns_(1000000000ULL / std::max(lines_per_second, 1U)),
      tolerance_ns_(interval_ns_ * (std::max(lines_per_second, 1U) - 1)) {}

void throttle_log::report(std::uint32_t ipv4, std::uint64_t now_ns) {
  std::uint64_t seen = arrival_ns_.load(std::memory_order_relaxed);
  for (;;) {
    const std::uint64_t arrival = std::max(seen, now_ns);
    if (arrival - now_ns > tolerance_ns_) {
      suppressed_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (arrival_ns_.compare_exchange_weak(seen, arrival + interval_ns_,
                                          std::memory_order_relaxed)) {
      break;
    }
  }
  char text[INET_ADDRSTRLEN] = "?";
  in_addr address{};
  address.s_addr = ipv4;
  inet_ntop(AF_INET, &address, text, sizeof text);
  char line[160];
  std::snprintf(line, sizeof line,
                "rate-limited %s: more than %g requests/s; its drops are not logged again "
                "for a minute",
                text, per_second_limit_);
  output_.write_line(STDERR_FILENO, line);
}

}  // namespace wanseer_tools
