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
#include "stored_value.h"

namespace wanseer::testing {

probe_schedule scaled_schedule(std::chrono::milliseconds unit);

// Makes the system call `number` fail with `error` on the calling thread
// and the threads it starts from now on (a seccomp filter), for failures a
// real machine gives only rarely; true when the filter is in place.
bool fail_syscall_from_this_thread(long number, int error);

// Whether the worker's connect() calls reach the kernel, or all fail with
// EPERM (a seccomp filter on the worker thread alone), as a host's security
// policy may make them fail, so that its socket stays unconnected.
enum class worker_connects { normally, never };

// A worker started with start_probe (errno as it left it) and stopped when
// the scope ends.
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
}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_WORKER_HARNESS_H
