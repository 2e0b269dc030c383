// A probe server on 127.0.0.1 for tests and benchmarks: records every
// request with its kernel arrival time (or only counts them) and answers
// each one as the test's policy says.
#ifndef WANSEER_TESTS_LOOPBACK_PROBE_SERVER_H
#define WANSEER_TESTS_LOOPBACK_PROBE_SERVER_H

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "udp_socket.h"

namespace wanseer::testing {

using address_bytes = std::array<std::uint8_t, 4>;

// What the worker sends: "ip" and its terminating NUL.
inline const std::vector<std::uint8_t> probe_request = {'i', 'p', 0};

struct request_record {
  std::chrono::nanoseconds arrival;  // kernel receive time
  std::uint16_t sender_port;
  std::vector<std::uint8_t> bytes;
};

// What the server does with the request numbered `index` (from 0).
struct answer {
  enum class kind { silence, reply, reply_from_other_port };
  kind how = kind::silence;
  std::vector<std::uint8_t> bytes;

  static answer silent() { return {}; }
  static answer with(std::vector<std::uint8_t> bytes) { return {kind::reply, std::move(bytes)}; }
  static answer with(const address_bytes& address) {
    return with(std::vector<std::uint8_t>(address.begin(), address.end()));
  }
  static answer from_other_port(const address_bytes& address) {
    return {kind::reply_from_other_port, {address.begin(), address.end()}};
  }
};

using answer_policy = std::function<answer(std::size_t index)>;
// The same, for answers made from the request's bytes (a STUN answer
// carries the request's transaction ID).
using request_answer_policy =
    std::function<answer(std::size_t index, const std::vector<std::uint8_t>& request)>;

// Whether the server keeps a record of every request, or only counts them
// (so that its memory stays flat over thousands of soak cycles).
enum class request_records { kept, counted_only };

class loopback_probe_server {
 public:
  explicit loopback_probe_server(
      answer_policy policy = [](std::size_t) { return answer::silent(); },
      request_records records = request_records::kept);
  loopback_probe_server(const loopback_probe_server&) = delete;
  loopback_probe_server& operator=(const loopback_probe_server&) = delete;
  ~loopback_probe_server();

  // "127.0.0.1:PORT", as wanseer_startup takes it.
  std::string address() const;
  std::uint16_t port() const { return socket_.port(); }

  void set_policy(answer_policy policy);
  // Answers from the request's bytes instead, from the next request on.
  void set_policy(request_answer_policy policy);

  // Blocks until `count` requests have arrived or `limit` has passed; true
  // when they have.
  bool wait_for_requests(std::size_t count,
                         std::chrono::milliseconds limit = std::chrono::seconds(30));
  // Empty when the server only counts.
  std::vector<request_record> requests() const;
  // Counted once the request is answered: a test that sees the count rise
  // may stop the worker and still find the answer stored.
  std::size_t request_count() const;

  // Sends `bytes` to the port the last request came from, from the server's
  // own socket or from another one.
  void send_to_worker(const std::vector<std::uint8_t>& bytes, bool from_other_port = false);

 private:
  void serve();

  udp_socket socket_;
  udp_socket other_socket_;
  udp_socket stop_socket_;  // wakes serve() to see stopping_
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  answer_policy policy_;
  request_answer_policy request_policy_;
  const request_records records_;
  std::vector<request_record> requests_;
  std::size_t request_count_ = 0;
  std::uint16_t last_sender_port_ = 0;
  std::thread thread_;
};

// Gaps between consecutive request arrivals.
std::vector<std::chrono::nanoseconds> gaps_between(const std::vector<request_record>& requests);

// Arrival stamps and the worker's own clock differ by far less than this.
inline constexpr std::chrono::nanoseconds stamp_tolerance = std::chrono::milliseconds(1);

// Checks that gap i lasted at least `units[i]` units (stamp_tolerance
// allowed) and that all of them together lasted less than `slack` times
// their sum: a loaded machine only ever makes a wait longer, by a share of
// it.  Empty when they did; otherwise what was wrong, with every gap.
std::string gaps_off_schedule(const std::vector<std::chrono::nanoseconds>& gaps,
                              const std::vector<int>& units, std::chrono::milliseconds unit,
                              double slack = 1.25);

}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_LOOPBACK_PROBE_SERVER_H
