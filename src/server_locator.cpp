#include "server_locator.h"

#include <netinet/in.h>

#include <algorithm>
#include <new>

#include "probe_channel.h"

namespace wanseer {

server_locator::server_locator(server_text_parts parts) : parts_(std::move(parts)) {
  if (parts_.what == server_text_parts::kind::host_name) {
    resolver_.reset(new (std::nothrow) name_resolver());
  }
}

std::optional<sockaddr_in> server_locator::address_for_attempt(steady_deadline deadline,
                                                               const wait_set& waits) {
  switch (parts_.what) {
    case server_text_parts::kind::address:
      return ipv4_endpoint(parts_.address, parts_.port);
    case server_text_parts::kind::unusable:
      return std::nullopt;
    case server_text_parts::kind::host_name:
      break;
  }
  if (lookup_due_) {
    if (!resolver_) {
      return std::nullopt;  // no memory for it at the start
    }
    std::vector<endpoint> found = look_up(deadline, waits);
    if (found.empty()) {
      return std::nullopt;  // looked up again at the next attempt
    }
    take_fresh_addresses(std::move(found));
    lookup_due_ = false;
  }
  if (addresses_.empty()) {
    return std::nullopt;
  }
  return ipv4_endpoint(addresses_[asked_].address, addresses_[asked_].port);
}

std::vector<server_locator::endpoint> server_locator::look_up(steady_deadline deadline,
                                                              const wait_set& waits) {
  std::vector<endpoint> found;
  auto add_addresses = [&found](const lookup_result& result, std::uint16_t port) {
    for (const std::uint32_t address : result.addresses) {
      const endpoint next{address, port};
      if (std::find(found.begin(), found.end(), next) == found.end()) {
        found.push_back(next);
      }
    }
  };
  if (parts_.look_up_service) {
    const service_lookup_result service =
        resolver_->look_up_service("_stun._udp." + parts_.host_name, deadline, waits);
    if (service.how == lookup_result::outcome::woken) {
      return found;
    }
    if (service.how == lookup_result::outcome::found) {
      // Each target in turn, within the one deadline; a target that does
      // not resolve is left out.  Records that all decline the service
      // leave nothing to ask: no fallback to the name itself.
      for (const service_target& target : service.targets) {
        const lookup_result addresses = resolver_->look_up_ipv4(target.host, deadline, waits);
        if (addresses.how == lookup_result::outcome::woken) {
          return {};
        }
        add_addresses(addresses, target.port);
      }
      return found;
    }
  }
  add_addresses(resolver_->look_up_ipv4(parts_.host_name, deadline, waits), parts_.port);
  return found;
}

void server_locator::take_fresh_addresses(std::vector<endpoint> fresh) {
  auto sorted = [](std::vector<endpoint> set) {
    std::sort(set.begin(), set.end());
    return set;
  };
  std::size_t next = 0;
  if (!addresses_.empty() && sorted(fresh) == sorted(addresses_)) {
    // The same set again after a miss: go on from the one last asked, in
    // the order of the fresh answer.
    const auto last = std::find(fresh.begin(), fresh.end(), addresses_[asked_]);
    next = (static_cast<std::size_t>(last - fresh.begin()) + 1) % fresh.size();
  }
  addresses_ = std::move(fresh);
  asked_ = next;
}

}  // namespace wanseer
