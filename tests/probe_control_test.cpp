// Starting the worker: a second start is refused without losing the running
// worker, and a successful start leaves errno alone.  (A thread that cannot
// be created is tried in a fresh process: tests/host/spawn_failure_host.c.)

#include <gtest/gtest.h>

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
  EXPECT_LT(worker.stop(), std::chrono::seconds(2));
  EXPECT_EQ(other.request_count(), 0u);
}

TEST(Startup, SuccessLeavesTheCallersErrnoAlone) {
  loopback_probe_server server;
  errno = 12345;
  wanseer_startup(server.address().c_str());
  EXPECT_EQ(errno, 12345);
  wanseer_stop();
  EXPECT_EQ(errno, 12345);
}

}  // namespace
}  // namespace wanseer::testing
