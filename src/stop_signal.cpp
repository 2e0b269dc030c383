#include "stop_signal.h"

#include <sys/eventfd.h>

#include <cstdint>

namespace wanseer {

bool stop_signal::arm() noexcept {
  unique_fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake.valid()) {
    return false;
  }
  wake_ = std::move(wake);
  raised_.store(false, std::memory_order_relaxed);
  return true;
}

void stop_signal::raise() noexcept {
  raised_.store(true, std::memory_order_relaxed);
  if (wake_.valid()) {
    const std::uint64_t one = 1;
    // A full counter (never reached) would still leave the handle readable.
    [[maybe_unused]] auto written = ::write(wake_.get(), &one, sizeof one);
  }
}

}  // namespace wanseer
