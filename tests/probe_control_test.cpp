// Starting the worker: a second start is refused without losing the running
// worker, a start that lacks a descriptor or memory says so and starts
// nothing, a server text that names no server is reported and still runs, a
// successful start leaves errno alone, and nothing the library does writes
// to stdout or stderr.  (A thread that cannot be created is tried in a fresh
// process: tests/host/spawn_failure_host.c.)

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <thread>

#include "support/cpu_time.h"
#include "support/process_resources.h"
#include "support/worker_harness.h"
#include "wanseer.h"

namespace wanseer::testing {
namespace {

TEST(Startup, SecondStartWhileAWorkerRunsIsRefusedAndTheFirstKeepsWorking) {
  use_fresh_key();
  const address_bytes address = {192, 0, 2, 200};
  loopback_probe_server server([&](std::size_t) { return answer::with(address); });
  loopback_probe_server other;
  running_worker worker(server.address(), scaled_schedule(std::chrono::milliseconds(10)));
  ASSERT_TRUE(wait_until_stored(address));

  errno = 0;
  wanseer_startup(other.address().c_str());
  EXPECT_EQ(errno, EBUSY);
  // The first worker is still the one running, and still answers a stop.
  ASSERT_TRUE(server.wait_for_requests(2));
  EXPECT_LT(worker.stop(), prompt_stop);
  EXPECT_EQ(other.request_count(), 0u);
}

// The name is what the tests' thread baselines wait on: without it they
// would wait for nothing.
TEST(Startup, WorkerThreadCarriesItsDocumentedName) {
  loopback_probe_server server;
  ASSERT_EQ(worker_task_count(), 0u);
  wanseer_startup(server.address().c_str());
  EXPECT_TRUE(server.wait_for_requests(1));
  EXPECT_EQ(worker_task_count(), 1u);
  wanseer_stop();
  EXPECT_TRUE(thread_count_without_worker());
}

TEST(Startup, SuccessLeavesTheCallersErrnoAlone) {
  loopback_probe_server server;
  errno = 12345;
  wanseer_startup(server.address().c_str());
  EXPECT_EQ(errno, 12345);
  wanseer_stop();
  EXPECT_EQ(errno, 12345);
}

#if !defined(WANSEER_SANITIZED)
// What the process maps now, in bytes.
rlim_t mapped_now() {
  std::size_t pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}
#endif

int start_with(const std::string& text) {
  errno = 0;
  wanseer_startup(text.c_str());
  return errno;
}

TEST(Startup, MissingDescriptorOrMemoryIsReportedAndStartsNothing) {
  use_fresh_key();
  loopback_probe_server server;
  const std::string text = server.address();
  // A first start and stop: a sanitizer may add a thread of its own then.
  ASSERT_EQ(start_with(text), 0);
  wanseer_stop();
  const auto threads_before = thread_count_without_worker();
  ASSERT_TRUE(threads_before) << "the worker is still running";
  const struct {
    const char* what;
    int error;
    std::function<int()> start;
  } cases[] = {
    {"no descriptor left in the process", EMFILE,
     [&] {
       const full_descriptor_table table;
       return start_with(text);
     }},
    {"no descriptor left in the system", ENFILE,
     [&] {
       int error = -1;
       // Only this thread, and a worker it would start, see the failure.
       std::thread([&] {
         if (fail_syscall_from_this_thread(__NR_eventfd2, ENFILE)) {
           error = start_with(text);
         }
       }).join();
       return error;
     }},
#if !defined(WANSEER_SANITIZED)
    // (Sanitizers reserve address space far beyond any such limit.)
    {"no memory for the copy of the text", ENOMEM,
     [&] {
       const std::string huge = text + std::string(std::size_t{64} << 20, ' ');
       const resource_limit limit(RLIMIT_AS, mapped_now() + (16 << 20));
       return start_with(huge);
     }},
#endif
  };
  for (const auto& failing : cases) {
    SCOPED_TRACE(failing.what);
    EXPECT_EQ(failing.start(), failing.error);
    EXPECT_TRUE(eventually([&] { return thread_count() == *threads_before; }));
    wanseer_stop();  // nothing to stop
  }
  // Nothing was left half started: the next start works.
  EXPECT_EQ(start_with(text), 0);
  EXPECT_TRUE(server.wait_for_requests(1));
  wanseer_stop();
}

// A text the CLI would refuse is reported as EINVAL, yet the worker runs as
// it always did, so a host that never looks at errno sees no change; a
// usable text leaves errno alone.  (Only loopback and hosts-file names: a
// usable name must not reach a name server.)
TEST(Startup, UnusableServerTextIsReportedYetTheWorkerRuns) {
  use_fresh_key();
  loopback_probe_server server;
  const std::string port = std::to_string(server.port());
  const std::string unusable[] = {
      "127.0.0.1",
      "7171",
      ":" + port,
      "127.0.0.1:",
      "127.0.0.1:0",
      "127.0.0.1:70000",
      "127.0.0.1:no-such-service",
      "0.0.0.0:" + port,
      "256.1.1.1:" + port,
      "stun:",
      "stun:127.0.0.1:0",
      "stun:127.0.0.1:",
  };
  for (const auto& text : unusable) {
    SCOPED_TRACE(text);
    EXPECT_EQ(start_with(text), EINVAL);
    EXPECT_EQ(start_with(server.address()), EBUSY) << "no worker was started";
    wanseer_stop();
  }
  EXPECT_EQ(server.request_count(), 0u);
  const std::string usable[] = {server.address(), "localhost:" + port, "stun:127.0.0.1:" + port};
  for (const auto& text : usable) {
    SCOPED_TRACE(text);
    EXPECT_EQ(start_with(text), 0);
    wanseer_stop();
  }
}

// Through a worker's whole life, answered, unanswered and with a text that
// cannot be used, and the stops, the library prints nothing.
TEST(Library, WritesNoLog) {
  use_fresh_key();
  const address_bytes address = {192, 0, 2, 201};
  loopback_probe_server answering([&](std::size_t) { return answer::with(address); });
  loopback_probe_server silent;
  const probe_schedule schedule = scaled_schedule(std::chrono::milliseconds(5));
  captured_output output;
  {
    running_worker worker(answering.address(), schedule);
    EXPECT_TRUE(wait_until_stored(address));
  }
  {
    running_worker worker(silent.address(), schedule);
    EXPECT_TRUE(silent.wait_for_requests(2));
  }
  {
    running_worker worker("no such text", schedule);
    EXPECT_TRUE(eventually(other_threads_blocked));
  }
  EXPECT_EQ(output.finish(), "");
}

}  // namespace
}  // namespace wanseer::testing
