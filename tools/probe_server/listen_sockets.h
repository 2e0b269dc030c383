// The serving threads' sockets: one per thread, all bound to one address
// and port with SO_REUSEPORT, and a classic-BPF program on the group that
// picks the socket from the source address alone.  All datagrams of one
// source then reach one thread, so each thread's rate limit is exact
// without a lock.
#ifndef WANSEER_TOOLS_LISTEN_SOCKETS_H
#define WANSEER_TOOLS_LISTEN_SOCKETS_H

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace wanseer_tools {

struct socket_tuning {
  // Set don't-fragment on replies: the kernel then skips choosing an IP ID
  // for each one.  A reply is at most 72 bytes, so it never needs
  // fragmenting.  Off, replies never carry it, and each gets an IP ID.
  bool dont_fragment = true;
};

struct listen_sockets {
  std::vector<wanseer::unique_fd> sockets;  // empty: failed, errno set
  sockaddr_in bound{};                      // with the port the kernel chose
  // Bound to 0.0.0.0: replies must name their source address.
  bool wildcard = false;
  // Why fewer sockets than asked were opened; empty if all were.
  std::string fallback_reason;
};

// Opens `threads` sockets on `address`.  If the kernel refuses the steering
// program, opens one socket and says why in fallback_reason.
listen_sockets open_listen_sockets(const sockaddr_in& address, unsigned threads,
                                   const socket_tuning& tuning, std::uint32_t steering_seed);

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_LISTEN_SOCKETS_H
