#include "loopback_udp.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace wanseer_tests {

loopback_udp::loopback_udp(const char* address)
    : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, address, &local.sin_addr);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    throw std::runtime_error(std::string("udp socket on ") + address + ": " + std::strerror(errno));
  }
}

loopback_udp::~loopback_udp() {
  close(fd_);
}

unsigned short loopback_udp::port() const {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.sin_port);
}

void loopback_udp::send_to(unsigned short port, const bytes& payload) const {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  target.sin_port = htons(port);
  if (sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&target),
             sizeof target) != static_cast<ssize_t>(payload.size())) {
    throw std::runtime_error(std::string("sendto: ") + std::strerror(errno));
  }
}

std::optional<datagram> loopback_udp::receive(std::chrono::steady_clock::duration timeout) const {
  pollfd readable{fd_, POLLIN, 0};
  const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(timeout);
  if (poll(&readable, 1, static_cast<int>(milliseconds.count())) <= 0) {
    return std::nullopt;
  }
  return take_queued();
}

std::optional<datagram> loopback_udp::take_queued() const {
  datagram received;
  received.payload.resize(2048);
  socklen_t length = sizeof received.sender;
  const ssize_t got = recvfrom(fd_, received.payload.data(), received.payload.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&received.sender), &length);
  if (got < 0) {
    return std::nullopt;
  }
  received.payload.resize(static_cast<std::size_t>(got));
  return received;
}

unsigned short listening_port(const std::string& line) {
  const std::string prefix = "listening on ";
  const auto colon = line.rfind(':');
  if (line.compare(0, prefix.size(), prefix) != 0 || colon == std::string::npos) {
    return 0;
  }
  return static_cast<unsigned short>(std::stoul(line.substr(colon + 1)));
}

}  // namespace wanseer_tests
