// One attempt's STUN transaction: a Binding request with a fresh random
// transaction ID, sent again on the RFC 8489 schedule until an answer ends
// the transaction or it is given up.
#ifndef WANSEER_STUN_EXCHANGE_H
#define WANSEER_STUN_EXCHANGE_H

#include <optional>

#include "probe_channel.h"
#include "probe_schedule.h"
#include "readiness.h"
#include "stun_codec.h"
#include "worker_wait.h"

namespace wanseer {

struct stun_outcome {
  enum class kind {
    answered,         // `reply` holds the mapped address
    failed,           // the transaction is over without an address
    stopped,          // a stop came
    network_changed,  // a relevant network change came
  };
  kind how = kind::failed;
  // Where a 300 Try Alternate sent the client, when it named an IPv4 server.
  std::optional<stun::binding_answer::endpoint> alternate;
};

// Asks the server that `channel` is aimed at, on the timing of `schedule`
// (stun_rto and the rest), until `deadline` at the latest.  Answered, with
// the mapped address's 4 bytes in network order in `reply`, for a Binding
// success response that answers this request (stun::read_binding_answer).
// Failed at once for an error response or another response that ends the
// transaction, when the deadline passes, and stun_last_wait_rtos RTOs after
// the last request; no later answer is taken then.  Datagrams that answer
// nothing are dropped without ending the wait.  A stop, or a relevant
// network change that `waits` reports, ends it at once.  An attempt whose
// ID cannot be drawn (no entropy yet) sends nothing and fails: a guessable
// ID would let anyone plant an address.
stun_outcome ask_stun_server(probe_channel& channel, unsigned char (&reply)[reply_length],
                             steady_deadline deadline, const probe_schedule& schedule,
                             worker_wait& waits);

}  // namespace wanseer

#endif  // WANSEER_STUN_EXCHANGE_H
