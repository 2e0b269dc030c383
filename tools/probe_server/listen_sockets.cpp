#include "listen_sockets.h"

#include <linux/filter.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace wanseer_tools {

namespace {

// Returns the socket index for a datagram: a multiplicative hash of the
// seeded IPv4 source address, modulo the number of sockets.  The program
// sees the UDP payload; SKF_NET_OFF reaches back into the IP header.
bool attach_steering(int socket, unsigned sockets, std::uint32_t seed) {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(SKF_NET_OFF) + 12),
      BPF_STMT(BPF_ALU | BPF_XOR | BPF_K, seed),
      BPF_STMT(BPF_ALU | BPF_MUL | BPF_K, 0x9E3779B1U),
      BPF_STMT(BPF_ALU | BPF_RSH | BPF_K, 16),
      BPF_STMT(BPF_ALU | BPF_MOD | BPF_K, sockets),
      BPF_STMT(BPF_RET | BPF_A, 0),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  return setsockopt(socket, SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &program, sizeof program) == 0;
}

wanseer::unique_fd open_one(const sockaddr_in& address, bool shared, bool wildcard,
                            const socket_tuning& tuning) {
  wanseer::unique_fd socket_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket_fd.valid()) {
    return socket_fd;
  }
  const int on = 1;
  if ((shared && setsockopt(socket_fd.get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) ||
      (wildcard && setsockopt(socket_fd.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0)) {
    socket_fd.reset();
    return socket_fd;
  }
  // A larger queue rides out bursts; the kernel caps it, and a smaller one
  // still works.
  const int queue_bytes = 4 << 20;
  setsockopt(socket_fd.get(), SOL_SOCKET, SO_RCVBUF, &queue_bytes, sizeof queue_bytes);
  // Left alone, the kernel's path-MTU discovery sets don't-fragment anyway;
  // the option asks for replies without it, so it is turned off outright.
  const int mode = tuning.dont_fragment ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT;
  if (setsockopt(socket_fd.get(), IPPROTO_IP, IP_MTU_DISCOVER, &mode, sizeof mode) != 0) {
    socket_fd.reset();
    return socket_fd;
  }
  if (bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    socket_fd.reset();
  }
  return socket_fd;
}

}  // namespace

listen_sockets open_listen_sockets(const sockaddr_in& address, unsigned threads,
                                   const socket_tuning& tuning, std::uint32_t steering_seed) {
  listen_sockets result;
  result.bound = address;
  result.wildcard = address.sin_addr.s_addr == htonl(INADDR_ANY);
  // The first socket binds alone, so that a port another process holds,
  // even with SO_REUSEPORT, is refused instead of shared; only then does it
  // open the port to the sockets of the other threads.
  wanseer::unique_fd first = open_one(address, false, result.wildcard, tuning);
  if (!first.valid()) {
    return result;
  }
  socklen_t length = sizeof result.bound;
  getsockname(first.get(), reinterpret_cast<sockaddr*>(&result.bound), &length);
  const int on = 1;
  if (threads > 1 && setsockopt(first.get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) {
    result.fallback_reason = std::string("SO_REUSEPORT refused (") + std::strerror(errno) + ")";
    threads = 1;
  }
  result.sockets.push_back(std::move(first));
  for (unsigned i = 1; i < threads; ++i) {
    // Later sockets join on the port the first one got.
    wanseer::unique_fd next = open_one(result.bound, true, result.wildcard, tuning);
    if (!next.valid()) {
      const int error = errno;
      result.sockets.clear();
      errno = error;
      return result;
    }
    result.sockets.push_back(std::move(next));
    // The program goes on the group once there is one.
    if (i == 1 && !attach_steering(result.sockets[0].get(), threads, steering_seed)) {
      result.fallback_reason =
          std::string("the kernel refused source steering (") + std::strerror(errno) + ")";
      // Without steering one source's datagrams would spread over threads,
      // and each thread would grant it a full budget: serve with one socket.
      result.sockets.pop_back();
      const int off = 0;
      setsockopt(result.sockets[0].get(), SOL_SOCKET, SO_REUSEPORT, &off, sizeof off);
      return result;
    }
  }
  return result;
}

}  // namespace wanseer_tools
