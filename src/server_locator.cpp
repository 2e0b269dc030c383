#include "server_locator.h"

#include <netinet/in.h>

#include <algorithm>
#include <new>

#include "probe_channel.h"
#include "service_order.h"

namespace wanseer {

server_locator::server_locator(server_text_parts parts, schedule_random& random)
    : parts_(std::move(parts)), random_(random) {
  if (parts_.what == server_text_parts::kind::host_name) {
    resolver_.reset(new (std::nothrow) name_resolver());
  }
}

std::optional<sockaddr_in> server_locator::address_for_attempt(steady_deadline deadline,
                                                               const wait_set& waits,
                                                               const wake_check& ends_on_wake) {
  asking_alternate_ = alternate_.has_value();
  if (asking_alternate_) {
    const sockaddr_in alternate = *alternate_;
    alternate_.reset();
    return alternate;
  }
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
    std::vector<endpoint> found = look_up(deadline, waits, ends_on_wake);
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
                                                              const wait_set& waits,
                                                              const wake_check& ends_on_wake) {
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
    service_lookup_result service =
        resolver_->look_up_service("_stun._udp." + parts_.host_name, deadline, waits, ends_on_wake);
    switch (service.how) {
      case lookup_result::outcome::woken:
      case lookup_result::outcome::failed:
        // Name servers that fail now may know the records at the next
        // attempt: port 3478 might be no server at all.
        return found;
      case lookup_result::outcome::absent:
        break;  // no such record: the name itself, on port 3478
      case lookup_result::outcome::found:
        // Each target in turn, within the one deadline; a target that does
        // not resolve is left out.  Records that all decline the service
        // leave nothing to ask: no fallback to the name itself.
        order_service_targets(service.targets, random_);
        for (const service_target& target : service.targets) {
          const lookup_result addresses =
              resolver_->look_up_ipv4(target.host, deadline, waits, ends_on_wake);
          if (addresses.how == lookup_result::outcome::woken) {
            return {};
          }
          add_addresses(addresses, target.port);
        }
        return found;
    }
  }
  add_addresses(resolver_->look_up_ipv4(parts_.host_name, deadline, waits, ends_on_wake),
                parts_.port);
  return found;
}

void server_locator::take_fresh_addresses(std::vector<endpoint> fresh) {
  auto sorted = [](std::vector<endpoint> set) {
    std::sort(set.begin(), set.end());
    return set;
  };
  if (!addresses_.empty() && sorted(fresh) == sorted(addresses_)) {
    // The same set again after a miss: go on to the next in the order kept,
    // so that each is asked in turn however the name servers (or the SRV
    // weights' draw) order this answer.
    asked_ = (asked_ + 1) % addresses_.size();
    return;
  }
  addresses_ = std::move(fresh);
  asked_ = 0;
}

}  // namespace wanseer
