// A bound UDP socket on 127.0.0.1 for tests.
#ifndef WANSEER_TESTS_UDP_SOCKET_H
#define WANSEER_TESTS_UDP_SOCKET_H

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wanseer::testing {

struct datagram {
  std::vector<std::uint8_t> bytes;
  std::uint16_t sender_port = 0;
  // Kernel receive time (CLOCK_REALTIME); zero when the kernel took none
  // (stamps switch on a moment after the first socket asks for them).
  std::chrono::nanoseconds arrival{};
};

class udp_socket {
 public:
  // Binds to 127.0.0.1 on `port` (0: any free port), with kernel receive
  // timestamps on.
  explicit udp_socket(std::uint16_t port = 0) : udp_socket("127.0.0.1", port) {}
  // Binds to `address`, any of 127.0.0.0/8, on `port`.
  explicit udp_socket(const char* address, std::uint16_t port = 0);
  udp_socket(const udp_socket&) = delete;
  udp_socket& operator=(const udp_socket&) = delete;
  ~udp_socket();

  int handle() const { return fd_; }
  std::uint16_t port() const { return port_; }

  void send_to(std::uint16_t port, const std::vector<std::uint8_t>& bytes) const;
  // Waits up to `limit` for a datagram.
  std::optional<datagram> receive(std::chrono::milliseconds limit = std::chrono::seconds(30)) const;
  // Whatever is already queued, without waiting.
  std::optional<datagram> take_queued() const { return receive(std::chrono::milliseconds(0)); }
  // Sends itself datagrams from `sender` until the kernel stamps them, so
  // that every later arrival time is the kernel's; false after 10 s.
  bool wait_for_kernel_stamps(const udp_socket& sender) const;

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A loopback address and port where nothing listens, for as long as this
// lives: requests to 127.0.0.2 at the port draw ICMP "port unreachable",
// and the port is held on 127.0.0.1, so that no other socket (of this test
// or of another one running meanwhile) can take it on any address.
class closed_port {
 public:
  std::string address() const { return "127.0.0.2:" + std::to_string(holder_.port()); }

 private:
  udp_socket holder_;
};

}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_UDP_SOCKET_H
