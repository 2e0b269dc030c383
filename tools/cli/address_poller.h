// Reads the stored address through wanseer_get, sleeping between reads in a
// way that a stop signal ends at once.
#ifndef WANSEER_TOOLS_ADDRESS_POLLER_H
#define WANSEER_TOOLS_ADDRESS_POLLER_H

#include <signal.h>

#include <chrono>
#include <optional>

#include "wanseer.h"
#include "wanseer_library.h"

namespace wanseer_tools {

struct address_reading {
  std::int32_t status = WANSEER_NOT_FOUND;  // wanseer_get's result
  int error = 0;                            // errno after a failed read
  unsigned char address[4] = {};
};

class address_poller {
 public:
  // `stop_signals` must be blocked in every thread of the process, so that
  // they are only taken by wait().
  address_poller(const wanseer_exports& exports, const sigset_t& stop_signals)
      : exports_(exports), stop_signals_(stop_signals) {}

  address_reading read() const;

  // Sleeps for `duration` unless a stop signal comes first; returns the
  // signal then.
  std::optional<int> wait(std::chrono::steady_clock::duration duration) const;

 private:
  const wanseer_exports& exports_;
  sigset_t stop_signals_;
};

// Waits between reads: short at first, since on a near server the answer
// comes within a fraction of a millisecond (a first wait of 250 us cost the
// command a tenth of its run time on loopback), then doubling up to
// `longest`, so that a far or silent server costs only a few dozen reads.
class poll_interval {
 public:
  explicit poll_interval(std::chrono::microseconds longest) : longest_(longest) {}
  std::chrono::microseconds next() {
    const auto current = current_;
    current_ = std::min(longest_, current_ * 2);
    return current;
  }

 private:
  std::chrono::microseconds current_{20};
  std::chrono::microseconds longest_;
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_ADDRESS_POLLER_H
