#include "network_watch.h"

#include <linux/filter.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "worker_descriptors.h"

namespace wanseer {

namespace {

// Netlink messages are in host order, the filter's loads in network order:
// constants are compared in the order the loads deliver them.
constexpr std::uint32_t loaded16(std::uint16_t value) {
  if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
    return static_cast<std::uint16_t>((value >> 8) | (value << 8));
  }
  return value;
}
constexpr std::uint32_t loaded32(std::uint32_t value) {
  if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
    return __builtin_bswap32(value);
  }
  return value;
}

constexpr std::uint32_t type_offset = offsetof(nlmsghdr, nlmsg_type);
constexpr std::uint32_t flags_offset = offsetof(nlmsghdr, nlmsg_flags);
constexpr std::uint32_t body = NLMSG_HDRLEN;
constexpr std::uint32_t link_flags_offset = body + offsetof(ifinfomsg, ifi_flags);
constexpr std::uint32_t link_change_offset = body + offsetof(ifinfomsg, ifi_change);
constexpr std::uint32_t route_dst_len_offset = body + offsetof(rtmsg, rtm_dst_len);

// Keeps dump replies, address news, default routes, and link news of links
// that are up or have just gone down.  Drops the rest: above all links
// that are down being made and removed, which a container host does
// thousands of times a second.  A message that a link was made or removed
// carries a change mask of all ones.
sock_filter relevance_filter[] = {
    /* 0 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, flags_offset),
    /* 1 */ BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, loaded16(NLM_F_MULTI), 13, 0),
    /* 2 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, type_offset),
    /* 3 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, loaded16(RTM_NEWLINK), 5, 0),
    /* 4 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, loaded16(RTM_DELLINK), 4, 0),
    /* 5 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, loaded16(RTM_NEWROUTE), 1, 0),
    /* 6 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, loaded16(RTM_DELROUTE), 0, 8),
    /* 7 */ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, route_dst_len_offset),
    /* 8 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 6, 5),
    /* 9 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, link_flags_offset),
    /* 10 */ BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, loaded32(IFF_UP), 4, 0),
    /* 11 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, link_change_offset),
    /* 12 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0xffffffffU, 1, 0),
    /* 13 */ BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, loaded32(IFF_UP), 1, 0),
    /* 14 */ BPF_STMT(BPF_RET | BPF_K, 0),            // drop
    /* 15 */ BPF_STMT(BPF_RET | BPF_K, 0xffffffffU),  // keep
};
// Jump offsets count from the next instruction.

bool is_carrying(unsigned flags) {
  return (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0;
}

}  // namespace

network_watch::network_watch() {
  unique_fd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
  if (!socket.valid()) {
    return;
  }
  // Without the filter every message wakes the worker, and is sorted here.
  sock_fprog program{
      static_cast<unsigned short>(sizeof relevance_filter / sizeof relevance_filter[0]),
      relevance_filter};
  ::setsockopt(socket.get(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
  socklen_t length = sizeof local;
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return;
  }
  port_id_ = local.nl_pid;
  // Which links carry traffic now: the answer arrives as messages of our
  // own, read by the first drain without counting as changes.
  struct {
    nlmsghdr header;
    ifinfomsg link;
  } dump{};
  dump.header.nlmsg_len = sizeof dump;
  dump.header.nlmsg_type = RTM_GETLINK;
  dump.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  dump.header.nlmsg_seq = 1;
  dump.link.ifi_family = AF_UNSPEC;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ::sendto(socket.get(), &dump, sizeof dump, 0, reinterpret_cast<const sockaddr*>(&kernel),
           sizeof kernel);
  track_worker_descriptor(socket.get());
  socket_ = std::move(socket);
}

network_watch::~network_watch() {
  untrack_worker_descriptor(socket_.get());
}

bool network_watch::drain_and_classify() {
  if (!socket_.valid()) {
    return false;
  }
  bool relevant = false;
  for (;;) {
    sockaddr_nl sender{};
    socklen_t sender_length = sizeof sender;
    // MSG_TRUNC: the length of the whole datagram, even where it did not fit.
    const ssize_t received = ::recvfrom(socket_.get(), buffer_.data(), buffer_.size(), MSG_TRUNC,
                                        reinterpret_cast<sockaddr*>(&sender), &sender_length);
    if (received < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == ENOBUFS) {
        relevant = true;  // messages were lost; one of them may have mattered
        continue;
      }
      return relevant;  // EAGAIN: all read
    }
    if (sender.nl_pid != 0) {
      continue;  // only the kernel speaks here
    }
    if (static_cast<std::size_t>(received) > buffer_.size()) {
      relevant = true;  // cut short: what was lost may have mattered
    }
    auto left = std::min(static_cast<std::size_t>(received), buffer_.size());
    const unsigned char* at = buffer_.data();
    while (left >= sizeof(nlmsghdr)) {
      nlmsghdr header;
      std::memcpy(&header, at, sizeof header);
      if (header.nlmsg_len < sizeof header || header.nlmsg_len > left) {
        break;
      }
      relevant = classify(at, header.nlmsg_len, header.nlmsg_pid) || relevant;
      const std::size_t step = NLMSG_ALIGN(header.nlmsg_len);
      if (step >= left) {
        break;
      }
      at += step;
      left -= step;
    }
  }
}

bool network_watch::classify(const unsigned char* message, std::uint32_t length,
                             std::uint32_t sender) {
  nlmsghdr header;
  std::memcpy(&header, message, sizeof header);
  const unsigned char* payload = message + NLMSG_HDRLEN;
  const std::size_t payload_length = length - NLMSG_HDRLEN;
  // The answer to the start's dump: the state to compare with, no change.
  const bool our_dump = sender == port_id_ && port_id_ != 0;
  switch (header.nlmsg_type) {
    case RTM_NEWADDR:
    case RTM_DELADDR: {
      ifaddrmsg address;
      if (payload_length < sizeof address) {
        return false;
      }
      std::memcpy(&address, payload, sizeof address);
      return address.ifa_family == AF_INET && address.ifa_scope != RT_SCOPE_HOST;
    }
    case RTM_NEWROUTE:
    case RTM_DELROUTE: {
      rtmsg route;
      if (payload_length < sizeof route) {
        return false;
      }
      std::memcpy(&route, payload, sizeof route);
      return route.rtm_family == AF_INET && route.rtm_dst_len == 0 &&
             route.rtm_table != RT_TABLE_LOCAL && route.rtm_type == RTN_UNICAST;
    }
    case RTM_NEWLINK:
    case RTM_DELLINK: {
      ifinfomsg link;
      if (payload_length < sizeof link) {
        return false;
      }
      std::memcpy(&link, payload, sizeof link);
      const bool carrying = header.nlmsg_type == RTM_NEWLINK && is_carrying(link.ifi_flags);
      return link_carrying_changed(link.ifi_index, carrying) && !our_dump;
    }
    default:
      return false;
  }
}

bool network_watch::link_carrying_changed(int index, bool carrying) {
  const auto end = carrying_links_.begin() + static_cast<std::ptrdiff_t>(carrying_count_);
  const auto known = std::find(carrying_links_.begin(), end, index);
  const bool was_carrying = known != end;
  if (was_carrying == carrying) {
    return false;
  }
  if (!carrying) {
    *known = *(end - 1);
    --carrying_count_;
  } else if (carrying_count_ < carrying_links_.size()) {
    carrying_links_[carrying_count_++] = index;
  }
  return true;
}

}  // namespace wanseer
