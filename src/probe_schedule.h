// The worker's timing.  Counts are in schedule seconds; `unit` says how long
// one of them lasts, a real second for the exported functions, less in tests
// that must see the whole schedule without waiting minutes.
#ifndef WANSEER_PROBE_SCHEDULE_H
#define WANSEER_PROBE_SCHEDULE_H

#include <chrono>

namespace wanseer {

struct probe_schedule {
  std::chrono::milliseconds unit{1000};
  // How long the first receive waits.
  int first_receive_timeout = 5;
  // The receive timeout grows by one after each miss, up to this.
  int longest_receive_timeout = 60;
  // After a reply the worker pauses pause_steps * pause_step, in one wait
  // that a stop ends at once.
  int pause_steps = 12;
  int pause_step = 5;

  std::chrono::milliseconds duration(int count) const { return unit * count; }
};

inline constexpr probe_schedule real_schedule{};

}  // namespace wanseer

#endif  // WANSEER_PROBE_SCHEDULE_H
