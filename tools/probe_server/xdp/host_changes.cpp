#include "host_changes.h"

#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>

namespace wanseer_tools {

bool host_changes::take(const void* data, std::size_t length) {
  bool changed = false;
  const auto* at = static_cast<const char*>(data);
  std::size_t left = length;
  while (left >= sizeof(nlmsghdr)) {
    const auto* message = reinterpret_cast<const nlmsghdr*>(at);
    if (message->nlmsg_len < sizeof(nlmsghdr) || message->nlmsg_len > left) {
      break;
    }
    switch (message->nlmsg_type) {
      case RTM_NEWNEIGH:
      case RTM_DELNEIGH:
        changed |= take_neighbour(message, message->nlmsg_len, message->nlmsg_type == RTM_DELNEIGH);
        break;
      case NLMSG_DONE:
      case NLMSG_NOOP:
        break;
      default:
        changed = true;
        break;
    }
    const std::size_t step = NLMSG_ALIGN(message->nlmsg_len);
    if (step >= left) {
      break;
    }
    at += step;
    left -= step;
  }
  return changed;
}

bool host_changes::take_neighbour(const void* message, std::size_t length, bool deleted) {
  const auto* header = static_cast<const nlmsghdr*>(message);
  if (length < NLMSG_LENGTH(sizeof(ndmsg))) {
    return true;
  }
  const auto* neighbour = static_cast<const ndmsg*>(NLMSG_DATA(header));
  if (neighbour->ndm_family != AF_INET ||
      static_cast<unsigned>(neighbour->ndm_ifindex) != ifindex_) {
    return false;
  }
  bool has_address = false;
  bool has_link_address = false;
  std::uint32_t address = 0;
  link_address link{};
  auto remaining = static_cast<int>(length - NLMSG_LENGTH(sizeof(ndmsg)));
  for (auto* attribute = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(neighbour) +
                                                         NLMSG_ALIGN(sizeof(ndmsg)));
       RTA_OK(attribute, remaining); attribute = RTA_NEXT(attribute, remaining)) {
    if (attribute->rta_type == NDA_DST && RTA_PAYLOAD(attribute) == sizeof address) {
      std::memcpy(&address, RTA_DATA(attribute), sizeof address);
      has_address = true;
    } else if (attribute->rta_type == NDA_LLADDR && RTA_PAYLOAD(attribute) == link.size()) {
      std::memcpy(link.data(), RTA_DATA(attribute), link.size());
      has_link_address = true;
    }
  }
  if (!has_address) {
    return true;
  }
  const auto known = neighbours_.find(address);
  if (deleted || (neighbour->ndm_state & NUD_FAILED) != 0) {
    // One never seen may be one a reply left through before we looked.
    const bool was_known = known != neighbours_.end();
    if (was_known) {
      neighbours_.erase(known);
    }
    return was_known || deleted;
  }
  if (!has_link_address) {
    return false;  // not resolved yet: no reply has left through it
  }
  if (known == neighbours_.end()) {
    neighbours_.emplace(address, link);
    return false;
  }
  if (known->second == link) {
    return false;
  }
  known->second = link;
  return true;
}

}  // namespace wanseer_tools
