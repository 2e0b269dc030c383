// The one channel from the controlling thread to the worker: a flag the
// worker tests at fixed points of its loop, and a wake-up handle that ends
// any wait the worker is in as soon as the flag is raised.
#ifndef WANSEER_STOP_SIGNAL_H
#define WANSEER_STOP_SIGNAL_H

#include <atomic>

#include "unique_fd.h"

namespace wanseer {

class stop_signal {
 public:
  constexpr stop_signal() noexcept = default;

  // Lowers the flag and makes a fresh wake-up handle.  Returns false with
  // errno set when no handle can be had.
  bool arm() noexcept;
  // Raises the flag and wakes the worker; the handle stays readable from
  // then on, so every later wait ends at once too.
  void raise() noexcept;
  // Drops the wake-up handle once no worker can be waiting on it.
  void disarm() noexcept { wake_.reset(); }

  bool is_raised() const noexcept { return raised_.load(std::memory_order_relaxed); }
  // Becomes readable (POLLIN) when the flag is raised; -1 when not armed.
  int wake_handle() const noexcept { return wake_.get(); }

 private:
  std::atomic<bool> raised_{false};
  unique_fd wake_;
};

}  // namespace wanseer

#endif  // WANSEER_STOP_SIGNAL_H
