// The worker's timing against a real loopback server, on a scaled unit:
// request gaps while unanswered, the cap, the pause after a reply, and the
// timeout kept across a reply.  Lower bounds are exact (kernel arrival
// stamps); upper bounds are sums with room for a loaded machine.

#include <gtest/gtest.h>

#include "support/worker_harness.h"

namespace wanseer::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// Arrival stamps and the worker's own clock differ by far less than this.
constexpr nanoseconds stamp_tolerance = milliseconds(1);

void expect_gaps_at_least(const std::vector<nanoseconds>& gaps, const std::vector<int>& counts,
                          milliseconds unit) {
  ASSERT_GE(gaps.size(), counts.size());
  for (std::size_t i = 0; i < counts.size(); ++i) {
    EXPECT_GE(gaps[i] + stamp_tolerance, unit * counts[i]) << "gap " << i;
  }
}

nanoseconds sum(const std::vector<nanoseconds>& gaps, std::size_t from, std::size_t to) {
  nanoseconds total{0};
  for (std::size_t i = from; i < to; ++i) {
    total += gaps[i];
  }
  return total;
}

TEST(WorkerSchedule, UnansweredRequestsWaitFiveSixSevenUnitsAndStoreNothing) {
  use_fresh_key();
  const milliseconds unit(20);
  loopback_probe_server server;
  running_worker worker(server.address(), scaled_schedule(unit));
  ASSERT_TRUE(server.wait_for_requests(8));
  worker.stop();

  const auto gaps = gaps_between(server.requests());
  const std::vector<int> expected = {5, 6, 7, 8, 9, 10, 11};
  expect_gaps_at_least(gaps, expected, unit);
  // A timeout that grew faster, or a pause between attempts, overshoots this.
  // (Growing by 2 instead of 1 would add 21 units, 420 ms.)
  EXPECT_LT(sum(gaps, 0, 7), unit * 56 + milliseconds(350));
  for (const auto& request : server.requests()) {
    EXPECT_EQ(request.bytes, probe_request);
  }
  EXPECT_EQ(read_stored().status, -2);
}

TEST(WorkerSchedule, ReceiveTimeoutStopsGrowingAtItsLongest) {
  use_fresh_key();
  const milliseconds unit(40);
  probe_schedule schedule = scaled_schedule(unit);
  schedule.longest_receive_timeout = 8;
  loopback_probe_server server;
  running_worker worker(server.address(), schedule);
  ASSERT_TRUE(server.wait_for_requests(9));
  worker.stop();

  const auto gaps = gaps_between(server.requests());
  expect_gaps_at_least(gaps, {5, 6, 7, 8, 8, 8, 8, 8}, unit);
  // Still growing would make these four 9 + 10 + 11 + 12 units: 400 ms more.
  EXPECT_LT(sum(gaps, 4, 8), unit * 32 + milliseconds(300));
}

TEST(WorkerSchedule, AnsweredServerIsAskedOncePerTwelvePauseSteps) {
  use_fresh_key();
  const milliseconds unit(80);  // a pause step of 400 ms, a pause of 4.8 s
  const address_bytes address = {203, 0, 113, 7};
  loopback_probe_server server([&](std::size_t) { return answer::with(address); });
  running_worker worker(server.address(), scaled_schedule(unit));
  ASSERT_TRUE(server.wait_for_requests(2));
  worker.stop();

  const auto gaps = gaps_between(server.requests());
  expect_gaps_at_least(gaps, {60}, unit);
  // A thirteenth step would add 400 ms.
  EXPECT_LT(gaps[0], unit * 60 + milliseconds(300));
  EXPECT_TRUE(wait_until_stored(address, std::chrono::seconds(5)));
}

TEST(WorkerSchedule, GrownTimeoutIsKeptAfterAReply) {
  use_fresh_key();
  const milliseconds unit(20);
  const address_bytes address = {198, 51, 100, 9};
  probe_schedule schedule = scaled_schedule(unit);
  schedule.pause_steps = 1;  // keep the pause short; its length is checked above
  // Misses with timeouts 5, 6, 7; a reply within 8; then silence again.
  loopback_probe_server server(
      [&](std::size_t index) { return index == 3 ? answer::with(address) : answer::silent(); });
  running_worker worker(server.address(), schedule);
  ASSERT_TRUE(server.wait_for_requests(7));
  worker.stop();

  const auto gaps = gaps_between(server.requests());
  // gap 3 is the pause of one step; the receive after it waits 8, not 5.
  expect_gaps_at_least(gaps, {5, 6, 7, 5, 8, 9}, unit);
  EXPECT_TRUE(wait_until_stored(address));
}

}  // namespace
}  // namespace wanseer::testing
