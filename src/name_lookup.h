// Looking a host name up for its IPv4 addresses without blocking the worker:
// the resolver's sockets and timers are waited on in one poll together with
// the stop handle, so that a stop ends a lookup that hangs at once.
#ifndef WANSEER_NAME_LOOKUP_H
#define WANSEER_NAME_LOOKUP_H

#include <cstdint>
#include <string>
#include <vector>

#include "readiness.h"

namespace wanseer {

struct lookup_result {
  enum class outcome { found, failed, woken };
  outcome how = outcome::failed;
  // Network byte order, in the order the resolver gave them; never empty
  // when found.
  std::vector<std::uint32_t> addresses;
};

// Looks `name` up (the hosts file, then the name servers, as the system's
// resolver configuration says) with a resolver made for this lookup alone,
// so that every lookup reads the configuration in force when it starts.
// Ends by `deadline` (failed) or when `wake` turns readable (woken); the
// resolver and its sockets are gone when it returns.
lookup_result look_up_ipv4(const std::string& name, steady_deadline deadline, int wake);

// One target of an SRV record.
struct service_target {
  std::string host;
  std::uint16_t port = 0;
  std::uint16_t priority = 0;
  std::uint16_t weight = 0;
};

struct service_lookup_result {
  lookup_result::outcome how = lookup_result::outcome::failed;
  // Lowest priority first, then heaviest weight first.  Found when the
  // name has SRV records; targets "." (the service is not offered) are left
  // out, so none may be left.
  std::vector<service_target> targets;
};

// Looks up the SRV records of `name` ("_stun._udp.example.org") the same
// way, on the same terms.
service_lookup_result look_up_service(const std::string& name, steady_deadline deadline, int wake);

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
