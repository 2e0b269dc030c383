#include "readiness.h"

#include <cerrno>
#include <climits>

namespace wanseer {

namespace {

// Whole milliseconds left, rounded up so that the wait never ends early and
// never turns into a string of zero-length polls just before the deadline.
int milliseconds_until(steady_deadline deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) {
    return 0;
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// The worker never watches more than the resolver's sockets and its own.
constexpr std::size_t most_watched = 32;

}  // namespace

readiness wait_for(int socket, int wake, steady_deadline deadline) {
  pollfd watched{socket, POLLIN, 0};
  return wait_for_any(&watched, 1, wake, deadline);
}

readiness wait_for_any(pollfd* watched, std::size_t count, int wake, steady_deadline deadline) {
  // The wake handle goes last; poll() skips entries with a negative
  // descriptor.
  pollfd entries[most_watched + 1];
  if (count > most_watched) {
    count = most_watched;
  }
  for (std::size_t i = 0; i < count; ++i) {
    entries[i] = {watched[i].fd, watched[i].events, 0};
    watched[i].revents = 0;
  }
  entries[count] = {wake, POLLIN, 0};
  const auto total = static_cast<nfds_t>(count + 1);
  for (;;) {
    const int timeout = milliseconds_until(deadline);
    if (timeout == 0) {
      return readiness::deadline_passed;
    }
    const int ready = ::poll(entries, total, timeout);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      // Nothing can be watched (not expected with valid handles): sleep out
      // the deadline rather than spin.
      ::poll(nullptr, 0, milliseconds_until(deadline));
      return readiness::deadline_passed;
    }
    // A handle that is not open would be reported at once, forever: stop
    // watching it and wait out the deadline on what is left.
    for (std::size_t i = 0; i < total; ++i) {
      if ((entries[i].revents & POLLNVAL) != 0) {
        entries[i].fd = -1;
        entries[i].revents = 0;
      }
    }
    bool socket_ready = false;
    for (std::size_t i = 0; i < count; ++i) {
      watched[i].revents = entries[i].revents;
      socket_ready = socket_ready || entries[i].revents != 0;
    }
    if (socket_ready) {
      return readiness::socket_readable;
    }
    if (entries[count].revents != 0) {
      return readiness::woken;
    }
  }
}

}  // namespace wanseer
