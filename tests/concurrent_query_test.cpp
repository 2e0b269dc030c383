// Many host threads reading while the worker stores a new address after every
// request: each read is either "nothing yet" or a whole address that some
// reply carried, never a mix.  Run under ThreadSanitizer in CI.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/worker_harness.h"
#include "wanseer.h"

namespace wanseer::testing {
namespace {

// Every byte depends on the reply's number, so a mix of two replies shows.
address_bytes address_number(std::size_t index) {
  const auto n = static_cast<std::uint8_t>(index);
  return {n, static_cast<std::uint8_t>(255 - n), static_cast<std::uint8_t>(n ^ 0x5A),
          static_cast<std::uint8_t>(n * 7 + 1)};
}

TEST(ConcurrentQuery, ReadersSeeOnlyWholeAddresses) {
  use_fresh_key();
  loopback_probe_server server(
      [](std::size_t index) { return answer::with(address_number(index)); });
  probe_schedule schedule = scaled_schedule(std::chrono::milliseconds(1));
  schedule.pause_steps = 0;  // ask again right after each reply
  running_worker worker(server.address(), schedule);

  std::atomic<bool> writing{true};
  std::atomic<long> reads{0};
  std::atomic<long> whole{0};
  std::atomic<long> torn{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (writing.load()) {
        const stored_read value = read_stored();
        ++reads;
        if (value.status == -2) {
          continue;
        }
        if (value.status == 0 && value.length == 4 &&
            value.bytes == address_number(value.bytes[0])) {
          ++whole;
        } else {
          ++torn;
        }
      }
    });
  }
  const bool enough = server.wait_for_requests(300);
  writing = false;
  for (auto& reader : readers) {
    reader.join();
  }
  worker.stop();
  ASSERT_TRUE(enough);
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
  EXPECT_GT(whole, 0);
}

}  // namespace
}  // namespace wanseer::testing
