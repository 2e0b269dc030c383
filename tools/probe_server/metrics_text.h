// The probe server's counters in the Prometheus text exposition format.
#ifndef WANSEER_TOOLS_METRICS_TEXT_H
#define WANSEER_TOOLS_METRICS_TEXT_H

#include <cstdint>
#include <string>

#include "probe_counters.h"

namespace wanseer_tools {

struct metrics_snapshot {
  counter_values totals;  // summed over threads
  unsigned threads = 0;
  std::uint64_t log_lines_suppressed = 0;
  std::uint64_t log_lines_dropped = 0;
  double start_time_seconds = 0;  // since the Unix epoch
  // Of totals.answered, those sent by the XDP fast path (0 without it).
  std::uint64_t answered_at_driver = 0;
  // Whether the XDP fast path is attached now (false without --xdp), and
  // what it left to the kernel.
  bool xdp_attached = false;
  driver_passes passed_to_kernel;
};

std::string format_metrics(const metrics_snapshot& snapshot);

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_METRICS_TEXT_H
