// One serving thread's receive-and-answer loop on its own bound UDP socket.
#ifndef WANSEER_TOOLS_ADDRESS_REFLECTOR_H
#define WANSEER_TOOLS_ADDRESS_REFLECTOR_H

#include <memory>

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

class datagram_batch;

// One serving thread's receive and reply buffers, made before the server
// reports ready, so that a lack of memory shows at start and not later.
class reflector_buffers {
 public:
  // Throws std::bad_alloc.
  explicit reflector_buffers(const reflector_setup& setup);
  reflector_buffers(const reflector_buffers&) = delete;
  reflector_buffers& operator=(const reflector_buffers&) = delete;
  ~reflector_buffers();

  datagram_batch& batch() const { return *batch_; }

 private:
  std::unique_ptr<datagram_batch> batch_;
};

// Answers requests until `stop_event` becomes readable.  Returns false, with
// errno set, if the socket fails.
bool serve_requests(const reflector_setup& setup, reflector_buffers& buffers,
                    source_admission& limiter, throttle_log& log, probe_counters& counters);

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_ADDRESS_REFLECTOR_H
