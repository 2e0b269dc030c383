// A loopback probe server that answers every request with the same address
// and only counts them: unlike loopback_probe_server it keeps no record per
// request, so its memory stays flat over thousands of cycles.
#ifndef WANSEER_TESTS_SOAK_STEADY_ANSWER_SERVER_H
#define WANSEER_TESTS_SOAK_STEADY_ANSWER_SERVER_H

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/udp_socket.h"

namespace wanseer::testing {

class steady_answer_server {
 public:
  explicit steady_answer_server(std::vector<std::uint8_t> answer);
  steady_answer_server(const steady_answer_server&) = delete;
  steady_answer_server& operator=(const steady_answer_server&) = delete;
  ~steady_answer_server();

  std::string address() const { return "127.0.0.1:" + std::to_string(socket_.port()); }
  std::size_t requests() const { return requests_.load(); }

 private:
  void serve();

  std::vector<std::uint8_t> answer_;
  udp_socket socket_;
  udp_socket stop_socket_;  // a datagram from here ends serve()
  std::atomic<std::size_t> requests_{0};
  std::thread thread_;
};

}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_SOAK_STEADY_ANSWER_SERVER_H
