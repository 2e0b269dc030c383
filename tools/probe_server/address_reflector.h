// One serving thread's receive-and-answer loop on its own bound UDP socket.
#ifndef WANSEER_TOOLS_ADDRESS_REFLECTOR_H
#define WANSEER_TOOLS_ADDRESS_REFLECTOR_H

#include "probe_counters.h"
#include "source_rate_limiter.h"
#include "throttle_log.h"

namespace wanseer_tools {

struct reflector_setup {
  int socket = -1;
  // Readable once the server is to stop.
  int stop_event = -1;
  // The socket is bound to a wildcard address and has IP_PKTINFO on: each
  // reply must leave from the address its request was sent to.
  bool reply_from_destination = false;
  // Datagrams taken per receive call.
  unsigned batch = 64;
};

// Answers requests until `stop_event` becomes readable.  Returns false, with
// errno set, if the socket fails.
bool serve_requests(const reflector_setup& setup, source_rate_limiter& limiter, throttle_log& log,
                    probe_counters& counters);

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_ADDRESS_REFLECTOR_H
