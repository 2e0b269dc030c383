#include "udp_socket.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace wanseer::testing {

namespace {

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

udp_socket::udp_socket(const char* address, std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    fail("socket");
  }
  // Software receive stamps without the fallback of SO_TIMESTAMPNS, which
  // fills in the time of the read for a datagram that came while the kernel
  // was still switching stamps on: a missing stamp stays missing.
  const int stamps = SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE;
  ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPING, &stamps, sizeof stamps);
  sockaddr_in local = loopback(port);
  if (::inet_pton(AF_INET, address, &local.sin_addr) != 1 ||
      ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    const int error = errno;
    ::close(fd_);
    errno = error;
    fail("bind");
  }
  socklen_t length = sizeof local;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
  port_ = ntohs(local.sin_port);
}

udp_socket::~udp_socket() {
  ::close(fd_);
}

void udp_socket::send_to(std::uint16_t port, const std::vector<std::uint8_t>& bytes) const {
  const sockaddr_in address = loopback(port);
  if (::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
               sizeof address) < 0) {
    fail("sendto");
  }
}

std::optional<datagram> udp_socket::receive(std::chrono::milliseconds limit) const {
  pollfd watched{fd_, POLLIN, 0};
  const int ready = ::poll(&watched, 1, static_cast<int>(limit.count()));
  if (ready <= 0) {
    return std::nullopt;
  }
  std::uint8_t bytes[2048];
  sockaddr_in sender{};
  iovec part{bytes, sizeof bytes};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(scm_timestamping))];
  msghdr message{};
  message.msg_name = &sender;
  message.msg_namelen = sizeof sender;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t received = ::recvmsg(fd_, &message, MSG_DONTWAIT);
  if (received < 0) {
    return std::nullopt;
  }
  datagram result;
  result.bytes.assign(bytes, bytes + received);
  result.sender_port = ntohs(sender.sin_port);
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPING) {
      scm_timestamping stamps{};
      std::memcpy(&stamps, CMSG_DATA(header), sizeof stamps);
      const timespec& stamp = stamps.ts[0];
      result.arrival = std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec);
    }
  }
  return result;
}

bool udp_socket::wait_for_kernel_stamps(const udp_socket& sender) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    sender.send_to(port_, {0});
    const auto probe = receive(std::chrono::seconds(1));
    if (probe && probe->arrival.count() != 0) {
      return true;
    }
  }
  return false;
}

}  // namespace wanseer::testing
