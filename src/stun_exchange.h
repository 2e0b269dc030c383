// One attempt's exchange with a STUN server: a Binding request with a fresh
// random transaction ID, sent again on the RFC 8489 schedule until an answer
// comes or the attempt's deadline passes.
#ifndef WANSEER_STUN_EXCHANGE_H
#define WANSEER_STUN_EXCHANGE_H

#include <chrono>

#include "probe_channel.h"
#include "readiness.h"

namespace wanseer {

// The first retransmission waits this long; each next one twice as long as
// the one before.  At most stun_most_sends requests go out per attempt.
inline constexpr std::chrono::milliseconds stun_first_retransmission{500};
inline constexpr int stun_most_sends = 7;

// Asks the server that `channel` is aimed at, waiting until `deadline` or
// until the stop handle in `waits` turns readable.  True, with the mapped address's 4 bytes in
// network order in `reply`, for a Binding success response that answers
// this request (see stun::read_binding_success); anything else is dropped
// without ending the wait.  An attempt whose ID cannot be drawn (no
// entropy yet) sends nothing and waits out its deadline: a guessable ID
// would let anyone plant an address.
bool ask_stun_server(probe_channel& channel, unsigned char (&reply)[reply_length],
                     steady_deadline deadline, const wait_set& waits);

}  // namespace wanseer

#endif  // WANSEER_STUN_EXCHANGE_H
