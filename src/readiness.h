// Waiting for sockets or the stop handle, whichever comes first, with a
// deadline.  Uses poll(2), so descriptor numbers of any size work.
#ifndef WANSEER_READINESS_H
#define WANSEER_READINESS_H

#include <poll.h>

#include <chrono>
#include <cstddef>

namespace wanseer {

using steady_deadline = std::chrono::steady_clock::time_point;

enum class readiness { socket_readable, woken, deadline_passed };

// Blocks until `socket` (ignored when negative) has a datagram to read, the
// `wake` handle (ignored when negative) turns readable, or `deadline` passes.
// A readable socket wins over a wake-up that comes at the same moment, so
// that a reply already there is still taken.
readiness wait_for(int socket, int wake, steady_deadline deadline);

// The same for several sockets, each with the events it asks for in
// `watched[i].events`; entries with a negative descriptor are skipped.  On
// socket_readable, the `revents` of the entries tell which are ready (an
// error or hang-up counts as ready, so that the owner reads it away).
readiness wait_for_any(pollfd* watched, std::size_t count, int wake, steady_deadline deadline);

}  // namespace wanseer

#endif  // WANSEER_READINESS_H
