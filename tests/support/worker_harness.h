// Running the library's worker on a scaled schedule, and reading back what
// it stored, for tests that link the library's objects directly.
#ifndef WANSEER_TESTS_WORKER_HARNESS_H
#define WANSEER_TESTS_WORKER_HARNESS_H

#include <chrono>
#include <cstdint>
#include <string>

#include "loopback_probe_server.h"
#include "probe_schedule.h"

namespace wanseer::testing {

probe_schedule scaled_schedule(std::chrono::milliseconds unit);

// A worker started with start_probe and stopped when the scope ends.
class running_worker {
 public:
  running_worker(const std::string& server, const probe_schedule& schedule);
  running_worker(const running_worker&) = delete;
  running_worker& operator=(const running_worker&) = delete;
  ~running_worker();
  // Stops now; returns how long wanseer_stop took.
  std::chrono::nanoseconds stop();

 private:
  bool running_ = true;
};

// Sets a key no other test has used, so that no earlier value is found.
std::string use_fresh_key();

struct stored_read {
  std::int32_t status = 0;
  std::int32_t length = 0;
  address_bytes bytes{};
};
stored_read read_stored(std::int32_t room = 4);

// Polls wanseer_get until it delivers `expected`; false after `limit`.
bool wait_until_stored(const address_bytes& expected,
                       std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_WORKER_HARNESS_H
