#include "probe_channel.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "worker_descriptors.h"

namespace wanseer {

namespace {

constexpr char request[] = "ip";  // sent with its terminating NUL: 3 bytes
static_assert(sizeof request == 3);

}  // namespace

probe_channel::probe_channel(const char* server_text) {
  server_known_ = server_address_.set(server_text, AF_INET) == 0;
  socket_open_ = open_socket();
}

probe_channel::~probe_channel() {
  if (socket_open_) {
    untrack_worker_descriptor(static_cast<int>(socket_.get_handle()));
    socket_.close();
  }
}

bool probe_channel::open_socket() {
  // Close-on-exec from the start, so that no fork and exec on another
  // thread of the host can catch it open; ACE takes the handle over.
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
    ::close(fd);
    return false;
  }
  track_worker_descriptor(fd);
  socket_.set_handle(fd);
  return true;
}

void probe_channel::send_request() {
  if (server_known_ && socket_open_) {
    // A failed send shows up as a miss in the receive that follows.
    socket_.send(request, sizeof request, server_address_, 0);
  }
}

bool probe_channel::await_reply(unsigned char (&reply)[reply_length], const ACE_Time_Value& timeout,
                                int wake) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::microseconds(timeout.sec() * 1000000LL + timeout.usec());
  const int socket = socket_open_ ? static_cast<int>(socket_.get_handle()) : -1;
  for (;;) {
    switch (wait_for(socket, wake, deadline)) {
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
  ACE_INET_Addr sender;
  // Only the first reply_length bytes are asked for; the kernel drops the rest
  // of a longer datagram.
  const ssize_t received = socket_.recv(datagram, sizeof datagram, sender, MSG_DONTWAIT);
  if (received != static_cast<ssize_t>(reply_length) || !server_known_ ||
      sender.get_ip_address() != server_address_.get_ip_address() ||
      sender.get_port_number() != server_address_.get_port_number()) {
    return false;
  }
  std::memcpy(reply, datagram, reply_length);
  return true;
}

unsigned short probe_channel::local_port() const {
  if (!socket_open_) {
    return 0;
  }
  ACE_INET_Addr bound;
  socket_.get_local_addr(bound);
  return bound.get_port_number();
}

}  // namespace wanseer
