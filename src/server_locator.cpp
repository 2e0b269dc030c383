#include "server_locator.h"

#include <netinet/in.h>

#include <algorithm>

#include "name_lookup.h"

namespace wanseer {

std::optional<ACE_INET_Addr> server_locator::address_for_attempt(steady_deadline deadline,
                                                                 int wake) {
  switch (parts_.what) {
    case server_text_parts::kind::address:
      return parts_.address;
    case server_text_parts::kind::unusable:
      return std::nullopt;
    case server_text_parts::kind::host_name:
      break;
  }
  if (lookup_due_) {
    lookup_result found = look_up_ipv4(parts_.host_name, deadline, wake);
    if (found.how != lookup_result::outcome::found) {
      return std::nullopt;  // looked up again at the next attempt
    }
    take_fresh_addresses(std::move(found.addresses));
    lookup_due_ = false;
  }
  if (addresses_.empty()) {
    return std::nullopt;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(parts_.port);
  address.sin_addr.s_addr = addresses_[asked_];
  return ACE_INET_Addr(&address, static_cast<int>(sizeof address));
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
