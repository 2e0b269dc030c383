// A UDP socket on a loopback address, for talking to the tools in tests.
#ifndef WANSEER_TESTS_TOOLS_LOOPBACK_UDP_H
#define WANSEER_TESTS_TOOLS_LOOPBACK_UDP_H

#include <netinet/in.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace wanseer_tests {

using bytes = std::vector<unsigned char>;

struct datagram {
  bytes payload;
  sockaddr_in sender{};
};

class loopback_udp {
 public:
  // Bound to `address` (any of 127.0.0.0/8) on a free port.
  explicit loopback_udp(const char* address = "127.0.0.1");
  loopback_udp(const loopback_udp&) = delete;
  loopback_udp& operator=(const loopback_udp&) = delete;
  ~loopback_udp();

  unsigned short port() const;
  void send_to(unsigned short port, const bytes& payload) const;
  std::optional<datagram> receive(
      std::chrono::steady_clock::duration timeout = generous_deadline) const;
  // Whatever is already queued, without waiting.
  std::optional<datagram> take_queued() const;

 private:
  int fd_;
};

// Port of a "listening on ADDR:PORT" line, 0 if the line is not one.
unsigned short listening_port(const std::string& line);

}  // namespace wanseer_tests

#endif  // WANSEER_TESTS_TOOLS_LOOPBACK_UDP_H
