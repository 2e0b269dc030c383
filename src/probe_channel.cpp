#include "probe_channel.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "worker_descriptors.h"

namespace wanseer {

namespace {

constexpr char request[] = "ip";  // sent with its terminating NUL: 3 bytes
static_assert(sizeof request == 3);

// Bound on the datagrams read away before one request; a socket's receive
// buffer holds far fewer.
constexpr int most_discarded = 4096;

// Close-on-exec from the start, so that a fork and exec in another host
// thread never hands it on; bound to any local address and a free port.
int open_worker_socket() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::uint16_t bound_port(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return 0;
  }
  return ntohs(local.sin_port);
}

}  // namespace

probe_channel::probe_channel() {
  reopen_if_closed();
}

probe_channel::~probe_channel() {
  close_socket();
}

void probe_channel::close_socket() {
  if (socket_open_) {
    untrack_worker_descriptor(socket_);
    ::close(socket_);
    socket_ = -1;
    socket_open_ = false;
    connected_ = false;
  }
}

bool probe_channel::reopen_if_closed() {
  if (!socket_open_) {
    const int fd = open_worker_socket();
    if (fd >= 0) {
      track_worker_descriptor(fd);
      socket_ = fd;
      socket_open_ = true;
      if (server_known_) {
        aim_at(server_address_);
      }
    }
  }
  return socket_open_;
}

void probe_channel::aim_at(const sockaddr_in& server) {
  server_address_ = server;
  server_known_ = true;
  if (!socket_open_) {
    return;
  }
  const auto* peer = reinterpret_cast<const sockaddr*>(&server_address_);
  if (::connect(socket_, peer, sizeof server_address_) == 0) {
    connected_ = true;
  } else {
    // A connect that fails leaves the socket as it was.  Undo an earlier
    // one, so that requests still go out with sendto and a reply from the
    // new server is not dropped by the kernel.
    disconnect();
  }
}

void probe_channel::disconnect() {
  if (!connected_) {
    return;
  }
  const int fd = socket_;
  const std::uint16_t port = bound_port(fd);
  sockaddr unspecified{};
  unspecified.sa_family = AF_UNSPEC;
  ::connect(fd, &unspecified, sizeof unspecified);
  connected_ = false;
  if (port != 0 && bound_port(fd) == 0) {
    // Linux gives a port that bind chose up with the connect.  Take it back,
    // so that the requests keep coming from one port; should another socket
    // have taken it meanwhile, the next connect or send picks a new one.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
  }
}

void probe_channel::discard_queued() {
  if (!socket_open_) {
    return;
  }
  const int fd = socket_;
  unsigned char ignored[reply_length];
  for (int read = 0; read < most_discarded; ++read) {
    // An error that the socket reports (ECONNREFUSED after an ICMP message)
    // is read away like a datagram; only an empty queue ends the loop.
    if (::recv(fd, ignored, sizeof ignored, MSG_DONTWAIT) < 0 &&
        (errno == EAGAIN || errno == EWOULDBLOCK || errno == EBADF)) {
      return;
    }
  }
}

void probe_channel::send_request() {
  send_datagram(reinterpret_cast<const unsigned char*>(request), sizeof request);
}

void probe_channel::send_datagram(const unsigned char* bytes, std::size_t length) {
  if (server_known_ && socket_open_) {
    // A failed send shows up as a miss in the receive that follows.
    ::sendto(socket_, bytes, length, MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&server_address_), sizeof server_address_);
  }
}

std::optional<std::size_t> probe_channel::take_server_datagram(unsigned char* buffer,
                                                               std::size_t size) {
  sockaddr_in sender{};
  socklen_t sender_length = sizeof sender;
  const ssize_t received = ::recvfrom(socket_, buffer, size, MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&sender), &sender_length);
  if (received < 0 || !server_known_ || sender.sin_family != AF_INET ||
      sender.sin_addr.s_addr != server_address_.sin_addr.s_addr ||
      sender.sin_port != server_address_.sin_port) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(received);
}

bool probe_channel::await_reply(unsigned char (&reply)[reply_length], steady_deadline deadline,
                                const wait_set& waits) {
  const int socket = socket_open_ ? socket_ : -1;
  for (;;) {
    switch (waits.wait_for(socket, deadline)) {
      case readiness::socket_readable:
        if (take_datagram(reply)) {
          return true;
        }
        break;
      case readiness::woken:
      case readiness::deadline_passed:
        return false;
    }
  }
}

bool probe_channel::take_datagram(unsigned char (&reply)[reply_length]) {
  // A separate buffer keeps a rejected datagram from touching the last reply.
  unsigned char datagram[reply_length];
  sockaddr_in sender{};
  socklen_t sender_length = sizeof sender;
  // Only the first reply_length bytes are asked for; the kernel drops the rest
  // of a longer datagram.
  const ssize_t received = ::recvfrom(socket_, datagram, sizeof datagram, MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&sender), &sender_length);
  if (received != static_cast<ssize_t>(reply_length) || !server_known_ ||
      sender.sin_family != AF_INET || sender.sin_addr.s_addr != server_address_.sin_addr.s_addr ||
      sender.sin_port != server_address_.sin_port) {
    return false;
  }
  std::memcpy(reply, datagram, reply_length);
  return true;
}

unsigned short probe_channel::local_port() const {
  return socket_open_ ? bound_port(socket_) : 0;
}

}  // namespace wanseer
