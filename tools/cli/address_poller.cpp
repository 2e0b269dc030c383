#include "address_poller.h"

#include <cerrno>
#include <ctime>

namespace wanseer_tools {

address_reading address_poller::read() const {
  address_reading reading;
  std::int32_t length = sizeof reading.address;
  errno = 0;
  reading.status = exports_.get(reading.address, &length);
  reading.error = errno;
  if (reading.status == WANSEER_OK && length != static_cast<std::int32_t>(sizeof reading.address)) {
    // A value of another size under the key is not an IPv4 address.
    reading.status = WANSEER_BUFFER_TOO_SMALL;
  }
  return reading;
}

std::optional<int> address_poller::wait(std::chrono::steady_clock::duration duration) const {
  const auto deadline = std::chrono::steady_clock::now() + duration;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return std::nullopt;
    }
    const timespec pause{static_cast<time_t>(left.count() / 1000000000),
                         static_cast<long>(left.count() % 1000000000)};
    const int signal = sigtimedwait(&stop_signals_, nullptr, &pause);
    if (signal > 0) {
      return signal;
    }
    if (errno == EAGAIN) {
      return std::nullopt;
    }
    // EINTR from another signal: wait out the rest.
  }
}

}  // namespace wanseer_tools
