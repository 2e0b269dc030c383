// Running the library's worker on a scaled schedule, and reading back what
// it stored, for tests that link the library's objects directly.
#ifndef WANSEER_TESTS_WORKER_HARNESS_H
#define WANSEER_TESTS_WORKER_HARNESS_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <time.h>

#include "loopback_probe_server.h"
#include "probe_schedule.h"

namespace wanseer::testing {

probe_schedule scaled_schedule(std::chrono::milliseconds unit);

// Whether the worker's connect() calls reach the kernel, or all fail with
// EPERM (a seccomp filter on the worker thread alone), as a host's security
// policy may make them fail, so that its socket stays unconnected.
enum class worker_connects { normally, never };

// A worker started with start_probe and stopped when the scope ends.
class running_worker {
 public:
  running_worker(const std::string& server, const probe_schedule& schedule,
                 worker_connects connects = worker_connects::normally);
  running_worker(const running_worker&) = delete;
  running_worker& operator=(const running_worker&) = delete;
  ~running_worker();
  // Stops now; returns how long wanseer_stop took.
  std::chrono::nanoseconds stop();
  // CPU time the worker thread has used (CLOCK_THREAD_CPUTIME_ID of that
  // thread alone, whatever the rest of the process or a sanitizer's threads
  // do); after stop(), what it had used just before.
  std::chrono::nanoseconds cpu_time() const;

 private:
  bool running_ = true;
  clockid_t worker_clock_{};
  bool clock_known_ = false;
  mutable std::chrono::nanoseconds last_cpu_{0};
};

// Sets a key no other test has used, so that no earlier value is found.
std::string use_fresh_key();

struct stored_read {
  std::int32_t status = 0;
  std::int32_t length = 0;
  address_bytes bytes{};
};
stored_read read_stored(std::int32_t room = 4);
// The bytes read_stored gives while nothing is stored.
inline constexpr address_bytes nothing_stored = {0, 0, 0, 0};

// Polls wanseer_get until it delivers `expected`; false after `limit`.
// When `may_show` is not empty, reading any other value on the way (a value
// the worker should never have stored) ends the wait with false at once.
bool wait_until_stored(const address_bytes& expected,
                       std::chrono::milliseconds limit = std::chrono::seconds(30),
                       const std::vector<address_bytes>& may_show = {});

}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_WORKER_HARNESS_H
