// Looking a host name up for its IPv4 addresses without blocking the worker:
// the hosts file first, then the name servers, whose sockets and timers are
// waited on in the worker's wait set together with the stop handle, so that
// a stop ends a lookup that hangs at once.
#ifndef WANSEER_NAME_LOOKUP_H
#define WANSEER_NAME_LOOKUP_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "readiness.h"

struct ares_channeldata;

namespace wanseer {

struct lookup_result {
  // `absent`: the name servers say there is no such record (NXDOMAIN, or no
  // record of the type asked); SRV lookups only.
  enum class outcome { found, failed, woken, absent };
  outcome how = outcome::failed;
  // Network byte order, in the order the hosts file or the resolver gave
  // them; never empty when found.
  std::vector<std::uint32_t> addresses;
};

// One target of an SRV record.
struct service_target {
  std::string host;
  std::uint16_t port = 0;
  std::uint16_t priority = 0;
  std::uint16_t weight = 0;
};

struct service_lookup_result {
  lookup_result::outcome how = lookup_result::outcome::failed;
  // In the order of the answer.  Found when the name has SRV records;
  // targets "." (the service is not offered) are left out, so none may be
  // left.
  std::vector<service_target> targets;
};

// Asked when a wait of a lookup is woken (a stop, or network news): true
// ends the lookup (woken), false lets it go on.  Empty: every wake ends it.
using wake_check = std::function<bool()>;

// One resolver for the worker's life, made at the worker's start, which a
// fork waits for: the resolver library reads /dev/urandom then, for a
// moment and without close-on-exec, and never opens a file again.  The
// resolver options and search list are the ones in force at the start; the
// name servers and the hosts file are read afresh for every lookup.
class name_resolver {
 public:
  name_resolver();
  name_resolver(const name_resolver&) = delete;
  name_resolver& operator=(const name_resolver&) = delete;
  ~name_resolver();

  // Looks `name` up.  Ends by `deadline` (failed) or when `waits` wakes it
  // and `ends_on_wake` agrees (woken); no query is left under way.
  lookup_result look_up_ipv4(const std::string& name, steady_deadline deadline,
                             const wait_set& waits, const wake_check& ends_on_wake = {});

  // Looks up the SRV records of `name` ("_stun._udp.example.org") from the
  // name servers, on the same terms.  Absent for NXDOMAIN and for a name
  // without SRV records; failed for any other failure (SERVFAIL, no answer).
  service_lookup_result look_up_service(const std::string& name, steady_deadline deadline,
                                        const wait_set& waits, const wake_check& ends_on_wake = {});

 private:
  bool use_current_name_servers();
  // Runs the channel until `done` is set (by a callback), the deadline
  // passes (failed) or a wake ends it (woken); a query still under way is
  // cancelled.
  lookup_result::outcome drive(const bool& done, steady_deadline deadline, const wait_set& waits,
                               const wake_check& ends_on_wake);

  ares_channeldata* channel_ = nullptr;  // null: no resolver, every lookup fails
};

// For tests, which must keep every query on a name server of their own:
// the resolver configuration file used instead of the system's, and the
// port that its name servers listen on.  Set while no worker runs.
struct resolver_override {
  std::string configuration_file;  // empty: the system's
  std::uint16_t port = 0;          // 0: the standard port
};
extern resolver_override resolver_for_tests;

}  // namespace wanseer

#endif  // WANSEER_NAME_LOOKUP_H
