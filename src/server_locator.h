// Where each attempt sends its request.  A dotted address is used as it is.
// A host name is looked up at the first attempt and again after every miss,
// so that a server that moved is found and a name that failed to resolve
// heals; while the server answers, its address is kept.  When the name has
// several addresses, each miss moves on to the next one, in the order of the
// lookup that first found them.  A STUN host name given without a port is
// looked up by its SRV record first: the targets' addresses, in the order
// of service_order.h, each with its own port; where the name servers say
// it has no such record, the name's own addresses on port 3478; where they
// fail to say, the attempt is a miss.  A STUN server's 300 Try Alternate
// sends the next attempt to the alternate server once.
#ifndef WANSEER_SERVER_LOCATOR_H
#define WANSEER_SERVER_LOCATOR_H

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "name_lookup.h"
#include "readiness.h"
#include "schedule_random.h"
#include "server_text.h"

namespace wanseer {

class server_locator {
 public:
  // Made on the worker at its start; a host name gets its resolver here.
  // SRV targets are ordered with draws from `random`, the worker's.
  server_locator(server_text_parts parts, schedule_random& random);

  // The address this attempt asks, looking the name up first when it is
  // due; the lookup ends by `deadline`, or when `waits` wakes it and
  // `ends_on_wake` agrees.  Empty when there is nothing to ask: the attempt
  // is a miss (or was ended by the wake).
  std::optional<sockaddr_in> address_for_attempt(steady_deadline deadline, const wait_set& waits,
                                                 const wake_check& ends_on_wake = {});

  // A STUN server answered 300 Try Alternate, naming `alternate`: the next
  // attempt asks it, the one after asks the configured server again.  An
  // alternate's own 300 is not followed, so two servers cannot send the
  // worker back and forth.
  void ask_alternate_next(sockaddr_in alternate) {
    if (!asking_alternate_) {
      alternate_ = alternate;
    }
  }

  // The attempt got no reply: a name is looked up again before the next.
  void attempt_missed() { lookup_due_ = true; }

  // The network changed: a name is looked up afresh (the new network may
  // have other name servers and other answers), from its first address.
  void network_changed() {
    lookup_due_ = true;
    addresses_.clear();
    asked_ = 0;
    alternate_.reset();
  }

  // The server is asked by STUN rather than by the probe protocol.
  bool speaks_stun() const { return parts_.stun; }

  struct endpoint {
    std::uint32_t address;  // network byte order
    std::uint16_t port;
    bool operator<(const endpoint& other) const {
      return address != other.address ? address < other.address : port < other.port;
    }
    bool operator==(const endpoint& other) const {
      return address == other.address && port == other.port;
    }
  };

 private:
  // The endpoints the name stands for now; empty when the lookup failed.
  std::vector<endpoint> look_up(steady_deadline deadline, const wait_set& waits,
                                const wake_check& ends_on_wake);
  void take_fresh_addresses(std::vector<endpoint> fresh);

  server_text_parts parts_;
  schedule_random& random_;
  std::optional<sockaddr_in> alternate_;
  bool asking_alternate_ = false;            // this attempt asks an alternate
  std::unique_ptr<name_resolver> resolver_;  // for a host name only
  bool lookup_due_ = true;
  std::vector<endpoint> addresses_;
  std::size_t asked_ = 0;  // index into addresses_
};

}  // namespace wanseer

#endif  // WANSEER_SERVER_LOCATOR_H
