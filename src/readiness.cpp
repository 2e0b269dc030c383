#include "readiness.h"

#include <poll.h>

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

}  // namespace

readiness wait_for(int socket, int wake, steady_deadline deadline) {
  // poll() skips entries with a negative descriptor.
  pollfd watched[2] = {{socket, POLLIN, 0}, {wake, POLLIN, 0}};
  for (;;) {
    const int timeout = milliseconds_until(deadline);
    if (timeout == 0) {
      return readiness::deadline_passed;
    }
    const int ready = ::poll(watched, 2, timeout);
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
    for (auto& entry : watched) {
      if ((entry.revents & POLLNVAL) != 0) {
        entry.fd = -1;
        entry.revents = 0;
      }
    }
    if (watched[0].revents != 0) {
      return readiness::socket_readable;
    }
    if (watched[1].revents != 0) {
      return readiness::woken;
    }
  }
}

}  // namespace wanseer
