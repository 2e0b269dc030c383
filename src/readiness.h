// Waiting for a socket or the stop handle, whichever comes first, with a
// deadline.  Uses poll(2), so descriptor numbers of any size work.
#ifndef WANSEER_READINESS_H
#define WANSEER_READINESS_H

#include <chrono>

namespace wanseer {

using steady_deadline = std::chrono::steady_clock::time_point;

enum class readiness { socket_readable, woken, deadline_passed };

// Blocks until `socket` (ignored when negative) has a datagram to read, the
// `wake` handle (ignored when negative) turns readable, or `deadline` passes.
// A readable socket wins over a wake-up that comes at the same moment, so
// that a reply already there is still taken.
readiness wait_for(int socket, int wake, steady_deadline deadline);

}  // namespace wanseer

#endif  // WANSEER_READINESS_H
