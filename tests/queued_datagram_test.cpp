// What is already queued on the worker's socket when it sends a request can
// never answer that request: a late or duplicated reply is read away first.

#include <gtest/gtest.h>

#include "support/worker_harness.h"

namespace wanseer::testing {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds unit(40);

TEST(QueuedDatagrams, DuplicateOfAnEarlierReplyIsNotTakenAsTheNextAnswer) {
  use_fresh_key();
  const address_bytes first = {192, 0, 2, 10};
  const address_bytes duplicate = {192, 0, 2, 11};
  const address_bytes fresh = {192, 0, 2, 12};
  // A whole scaled minute of pause leaves room to queue the duplicate.
  loopback_probe_server server(
      [&](std::size_t index) { return index == 0 ? answer::with(first) : answer::with(fresh); });
  running_worker worker(server.address(), scaled_schedule(unit));
  ASSERT_TRUE(wait_until_stored(first));
  server.send_to_worker({duplicate.begin(), duplicate.end()});
  // Loopback delivery is done when the send returns: with no second request
  // yet, the duplicate was queued before it.
  ASSERT_EQ(server.request_count(), 1u) << "the pause ended before the duplicate was queued";
  // Taken as the answer, the duplicate would stay stored for a whole pause.
  EXPECT_TRUE(wait_until_stored(fresh, std::chrono::seconds(30), {first, fresh}));
}

}  // namespace
}  // namespace wanseer::testing
