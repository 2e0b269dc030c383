// The worker's timing against a real loopback server, on a scaled unit:
// request gaps while unanswered, the cap, the pause after a reply, and the
// timeout kept across a reply.  Lower bounds are exact (kernel arrival
// stamps); upper bounds are a share of the whole, which a loaded machine
// stays under and a timeout that grows too fast goes over.

#include <gtest/gtest.h>

#include "support/worker_harness.h"

namespace wanseer::testing {
namespace {

using std::chrono::milliseconds;

// The exported functions' schedule, as wanseer.h documents it.
TEST(WorkerSchedule, RealScheduleIsFiveToSixtySecondsAndAPauseOfTwelveFiveSecondSteps) {
  EXPECT_EQ(real_schedule.unit, std::chrono::seconds(1));
  EXPECT_EQ(real_schedule.first_receive_timeout, 5);
  EXPECT_EQ(real_schedule.longest_receive_timeout, 60);
  EXPECT_EQ(real_schedule.pause_steps, 12);
  EXPECT_EQ(real_schedule.pause_step, 5);
}

// The whole real schedule on a 3 ms unit: receives wait first, first + 1, ...
// up to the longest, then the longest three times more; a reply brings the
// pause, and the receive after it still waits the longest.
TEST(WorkerSchedule, RealScheduleWalkedOnAFastUnit) {
  use_fresh_key();
  probe_schedule schedule = real_schedule;
  schedule.unit = milliseconds(3);
  std::vector<int> units;
  for (int timeout = schedule.first_receive_timeout; timeout < schedule.longest_receive_timeout;
       ++timeout) {
    units.push_back(timeout);
  }
  units.insert(units.end(), 3, schedule.longest_receive_timeout);
  const std::size_t answered = units.size();
  units.push_back(schedule.pause_steps * schedule.pause_step);
  units.push_back(schedule.longest_receive_timeout);
  const address_bytes address = {203, 0, 113, 60};
  loopback_probe_server server([&](std::size_t index) {
    return index == answered ? answer::with(address) : answer::silent();
  });
  running_worker worker(server.address(), schedule);
  ASSERT_TRUE(server.wait_for_requests(units.size() + 1, std::chrono::seconds(120)));
  worker.stop();
  EXPECT_EQ(gaps_off_schedule(gaps_between(server.requests()), units, schedule.unit), "");
  EXPECT_TRUE(wait_until_stored(address));
}

TEST(WorkerSchedule, UnansweredRequestsWaitFiveSixSevenUnitsAndStoreNothing) {
  use_fresh_key();
  const milliseconds unit(20);
  loopback_probe_server server;
  running_worker worker(server.address(), scaled_schedule(unit));
  ASSERT_TRUE(server.wait_for_requests(8));
  worker.stop();
  // Growing by 2 instead of 1 would take 77 units, over 1.25 times 56.
  EXPECT_EQ(gaps_off_schedule(gaps_between(server.requests()), {5, 6, 7, 8, 9, 10, 11}, unit), "");
  for (const auto& request : server.requests()) {
    EXPECT_EQ(request.bytes, probe_request);
  }
  EXPECT_EQ(read_stored().status, -2);
}

TEST(WorkerSchedule, ReceiveTimeoutStopsGrowingAtItsLongest) {
  use_fresh_key();
  const milliseconds unit(20);
  probe_schedule schedule = scaled_schedule(unit);
  schedule.longest_receive_timeout = 8;
  loopback_probe_server server;
  running_worker worker(server.address(), schedule);
  ASSERT_TRUE(server.wait_for_requests(14));
  worker.stop();
  // Still growing would make the last nine 9 to 17 units: 166 in all
  // instead of 114 for the whole, over 1.25 times as much.
  EXPECT_EQ(gaps_off_schedule(gaps_between(server.requests()),
                              {5, 6, 7, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8}, unit),
            "");
}

TEST(WorkerSchedule, AnsweredServerIsAskedOncePerTwelvePauseSteps) {
  use_fresh_key();
  const milliseconds unit(80);  // a pause step of 400 ms, a pause of 4.8 s
  const address_bytes address = {203, 0, 113, 7};
  loopback_probe_server server([&](std::size_t) { return answer::with(address); });
  running_worker worker(server.address(), scaled_schedule(unit));
  ASSERT_TRUE(server.wait_for_requests(2));
  worker.stop();
  // (Its upper bound is not the point here: twice the pause.)
  EXPECT_EQ(gaps_off_schedule(gaps_between(server.requests()), {60}, unit, 2.0), "");
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
  // gap 3 is the pause of one step; the receive after it waits 8, not 5.
  // (Only the lower bounds are the point here.)
  EXPECT_EQ(gaps_off_schedule(gaps_between(server.requests()), {5, 6, 7, 5, 8, 9}, unit, 2.0), "");
  EXPECT_TRUE(wait_until_stored(address));
}

}  // namespace
}  // namespace wanseer::testing
