// Random bits for the worker's schedule: each worker seeds its own small
// generator from the system's random source, so that hosts started together
// (a fleet booted from one image, or restarted at once) draw different
// intervals.  Not for anything secret.
#ifndef WANSEER_SCHEDULE_RANDOM_H
#define WANSEER_SCHEDULE_RANDOM_H

#include <cstdint>

namespace wanseer {

class schedule_random {
 public:
  // Seeds from getrandom(2); where that fails (an old kernel, a sandbox that
  // forbids it) from the clocks and the thread, which still differ between
  // hosts.
  schedule_random() noexcept;

  // 64 bits, evenly spread (splitmix64).
  std::uint64_t next() noexcept;

 private:
  std::uint64_t state_;
};

}  // namespace wanseer

#endif  // WANSEER_SCHEDULE_RANDOM_H
