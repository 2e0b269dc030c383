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
    lookup_result found = resolver_->look_up_ipv4(parts_.host_name, deadline, waits);
    if (found.how != lookup_result::outcome::found) {
      return std::nullopt;  // looked up again at the next attempt
    }
    take_fresh_addresses(std::move(found.addresses));
    lookup_due_ = false;
  }
  if (addresses_.empty()) {
    return std::nullopt;
  }
  return ipv4_endpoint(addresses_[asked_], parts_.port);
}

void server_locator::take_fresh_addresses(std::vector<std::uint32_t> fresh) {
  auto sorted = [](std::vector<std::uint32_t> set) {
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
