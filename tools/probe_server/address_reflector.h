// The probe server's receive-and-answer loop on one bound UDP socket.
#ifndef WANSEER_TOOLS_ADDRESS_REFLECTOR_H
#define WANSEER_TOOLS_ADDRESS_REFLECTOR_H

#include <csignal>

#include "probe_counters.h"
#include "source_rate_limiter.h"

namespace wanseer_tools {

// Answers requests on `socket` until one of the signals blocked in the
// calling thread, and unblocked in `wait_mask`, sets `stop_flag`.  Returns
// false, with errno set, if the socket fails.
bool serve_requests(int socket, source_rate_limiter& limiter, const sigset_t& wait_mask,
                    const volatile std::sig_atomic_t& stop_flag, probe_counters& counters);

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_ADDRESS_REFLECTOR_H
