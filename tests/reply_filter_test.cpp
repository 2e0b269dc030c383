// What the worker takes as a reply: exactly the configured server's address
// and port, and at least 4 bytes.  Anything else is dropped without ending
// the receive early and without moving where requests go.

#include <gtest/gtest.h>

#include "support/worker_harness.h"

namespace wanseer::testing {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds unit(20);

// The first two receives waited out their whole 5 and 6 units: what came
// in between did not end them early.
void expect_whole_first_waits(const loopback_probe_server& server) {
  const auto gaps = gaps_between(server.requests());
  ASSERT_GE(gaps.size(), 2U);
  EXPECT_GE(gaps[0] + milliseconds(1), unit * 5);
  EXPECT_GE(gaps[1] + milliseconds(1), unit * 6);
}

TEST(ReplyFilter, LongerDatagramGivesItsFirstFourBytes) {
  use_fresh_key();
  loopback_probe_server server([](std::size_t) {
    return answer::with(std::vector<std::uint8_t>{192, 0, 2, 44, 1, 2});
  });
  running_worker worker(server.address(), scaled_schedule(unit));
  EXPECT_TRUE(wait_until_stored({192, 0, 2, 44}));
}

TEST(ReplyFilter, ShortAndEmptyDatagramsAreNotAddresses) {
  use_fresh_key();
  const address_bytes address = {203, 0, 113, 50};
  // Request 0 gets 3 bytes, request 1 none, request 2 a whole address.
  loopback_probe_server server([&](std::size_t index) {
    switch (index) {
      case 0:
        return answer::with(std::vector<std::uint8_t>{9, 9, 9});
      case 1:
        return answer::with(std::vector<std::uint8_t>{});
      default:
        return answer::with(address);
    }
  });
  running_worker worker(server.address(), scaled_schedule(unit));
  ASSERT_TRUE(server.wait_for_requests(3));
  expect_whole_first_waits(server);
  ASSERT_TRUE(wait_until_stored(address));
}

TEST(ReplyFilter, ShortReplyNeverMixesWithAnEarlierAddress) {
  use_fresh_key();
  const address_bytes first = {198, 51, 100, 1};
  const address_bytes second = {198, 51, 100, 2};
  probe_schedule schedule = scaled_schedule(unit);
  schedule.pause_steps = 1;
  loopback_probe_server server([&](std::size_t index) {
    if (index == 0) {
      return answer::with(first);
    }
    if (index == 1) {
      return answer::with(std::vector<std::uint8_t>{7, 7});
    }
    return answer::with(second);
  });
  running_worker worker(server.address(), schedule);
  ASSERT_TRUE(wait_until_stored(first));
  // Until the whole second address replaces it, the first one stays as it
  // was: the short reply never shows, not even in part.  (The server counts
  // a request only after it has answered it, so the second address may be
  // read before the third request is counted.)
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    const stored_read value = read_stored();
    ASSERT_EQ(value.status, 0);
    if (value.bytes == second) {
      break;
    }
    ASSERT_EQ(value.bytes, first);
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the second address never came";
    server.wait_for_requests(3, milliseconds(1));
  }
}

TEST(ReplyFilter, AnswerFromAnotherPortOfTheServerHostIsDropped) {
  const address_bytes address = {192, 0, 2, 99};
  // Connected, the socket has the kernel drop the stranger; where connect()
  // fails, the worker's own check of the sender alone must.
  for (const worker_connects connects : {worker_connects::normally, worker_connects::never}) {
    SCOPED_TRACE(connects == worker_connects::never ? "connect fails" : "connected");
    use_fresh_key();
    loopback_probe_server server([&](std::size_t index) {
      return index < 2 ? answer::from_other_port({6, 6, 6, 6}) : answer::with(address);
    });
    running_worker worker(server.address(), scaled_schedule(unit), connects);
    EXPECT_TRUE(wait_until_stored(address, std::chrono::seconds(30), {nothing_stored, address}));
    // Every request still reached the configured port (they are counted there).
    expect_whole_first_waits(server);
  }
}

TEST(ReplyFilter, StrangerFloodingTheWorkerPortChangesNothing) {
  use_fresh_key();
  loopback_probe_server server;
  running_worker worker(server.address(), scaled_schedule(unit));
  ASSERT_TRUE(server.wait_for_requests(1));
  const std::uint16_t worker_port = server.requests().front().sender_port;
  udp_socket stranger;
  // Keep planting addresses until the worker has asked twice more.
  while (!server.wait_for_requests(3, milliseconds(2))) {
    stranger.send_to(worker_port, {10, 0, 0, 1});
  }
  const auto requests = server.requests();
  const auto gaps = gaps_between(requests);
  EXPECT_GE(gaps[0] + milliseconds(1), unit * 5);
  EXPECT_GE(gaps[1] + milliseconds(1), unit * 6);
  for (const auto& request : requests) {
    EXPECT_EQ(request.bytes, probe_request);
    EXPECT_EQ(request.sender_port, worker_port);
  }
  EXPECT_EQ(read_stored().status, -2);
}

}  // namespace
}  // namespace wanseer::testing
