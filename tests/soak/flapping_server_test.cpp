// A server that flaps in a loop: answers, goes silent, answers short,
// answers from another port, answers again.  Meanwhile two threads read the
// stored value over and over.  The store may only ever show "nothing yet"
// or a whole address the configured server sent; the worker's receive
// timeout must grow with every miss and be kept, not reset, after a reply.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "support/worker_harness.h"
#include "wanseer.h"

namespace wanseer::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr milliseconds unit(10);
constexpr int longest_timeout = 20;
constexpr int periods = 7;
// A request of each phase per period.
enum phase { answered, silent, short_answer, other_port, phase_count };
constexpr std::size_t requests_wanted = periods * phase_count + 1;
constexpr nanoseconds stamp_tolerance = milliseconds(1);

// The address the server sends in answer to request `index` (a phase
// "answered" one); odd periods send it with two bytes more.
std::vector<std::uint8_t> answer_bytes(std::size_t index) {
  const auto period = static_cast<std::uint8_t>(index / phase_count);
  std::vector<std::uint8_t> bytes = {198, 51, 100, static_cast<std::uint8_t>(period + 1)};
  if (period % 2 == 1) {
    bytes.resize(6, 0xEE);
  }
  return bytes;
}

answer flapping(std::size_t index) {
  switch (index % phase_count) {
    case answered:
      return answer::with(answer_bytes(index));
    case silent:
      return answer::silent();
    case short_answer:
      return answer::with(std::vector<std::uint8_t>{9, 9});
    default:
      // A whole address, but not from the configured port.
      return answer::from_other_port({6, 6, 6, 6});
  }
}

// Reads the store over and over and keeps every distinct result.
class store_watcher {
 public:
  store_watcher() : thread_([this] { watch(); }) {}
  store_watcher(const store_watcher&) = delete;
  store_watcher& operator=(const store_watcher&) = delete;
  ~store_watcher() { finish(); }

  void finish() {
    if (thread_.joinable()) {
      done_ = true;
      thread_.join();
    }
  }
  // (status, bytes) pairs seen, with how often.
  const std::map<std::pair<std::int32_t, address_bytes>, long>& seen() const { return seen_; }

 private:
  void watch() {
    while (!done_) {
      const stored_read value = read_stored();
      ++seen_[{value.status, value.bytes}];
      // Often enough to fall on every store, while leaving the machine's
      // cores to the worker and the server.
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  }

  std::atomic<bool> done_{false};
  std::map<std::pair<std::int32_t, address_bytes>, long> seen_;
  std::thread thread_;
};

TEST(FlappingServer, StoreHoldsOnlyWholeAddressesAndTimeoutGrowsAndIsKept) {
  use_fresh_key();
  probe_schedule schedule = scaled_schedule(unit);
  schedule.longest_receive_timeout = longest_timeout;
  schedule.pause_steps = 1;  // 5 units from an answered request to the next
  schedule.interval_spread_percent = 0;
  loopback_probe_server server(flapping);
  store_watcher first_reader;
  store_watcher second_reader;
  {
    running_worker worker(server.address(), schedule);
    ASSERT_TRUE(server.wait_for_requests(requests_wanted, std::chrono::seconds(60)));
    EXPECT_LT(worker.stop(), std::chrono::seconds(2));
  }
  first_reader.finish();
  second_reader.finish();

  // Every value seen is "nothing yet" or an address the server answered.
  // An answer followed by another request was stored before that request;
  // the answer to the very last request may have come before the stop or
  // not.
  const auto requests = server.requests();
  std::set<address_bytes> sent;
  std::set<address_bytes> may_stay;
  for (std::size_t index = 0; index < requests.size(); ++index) {
    if (index % phase_count == answered) {
      const auto bytes = answer_bytes(index);
      const address_bytes address = {bytes[0], bytes[1], bytes[2], bytes[3]};
      sent.insert(address);
      if (index + 1 < requests.size()) {
        may_stay = {address};
      } else {
        may_stay.insert(address);
      }
    }
  }
  std::set<address_bytes> seen_addresses;
  long reads = 0;
  for (const store_watcher* reader : {&first_reader, &second_reader}) {
    for (const auto& [value, count] : reader->seen()) {
      reads += count;
      const auto& [status, bytes] = value;
      if (status == -2) {
        EXPECT_EQ(bytes, (address_bytes{0, 0, 0, 0}));
        continue;
      }
      ASSERT_EQ(status, 0);
      EXPECT_EQ(sent.count(bytes), 1u) << "seen " << int(bytes[0]) << "." << int(bytes[1]) << "."
                                       << int(bytes[2]) << "." << int(bytes[3]);
      seen_addresses.insert(bytes);
    }
  }
  // The readers did see the value change as the server flapped.
  EXPECT_GE(seen_addresses.size(), static_cast<std::size_t>(periods / 2));
  // The last answer stored is what stays.
  EXPECT_EQ(may_stay.count(read_stored().bytes), 1u);

  // The receive timeout: +1 unit per miss up to the longest, unchanged by
  // a reply.  A reply ends its receive at once and is followed by the pause.
  const auto gaps = gaps_between(requests);
  int timeout = schedule.first_receive_timeout;
  nanoseconds expected_total{0};
  for (std::size_t index = 0; index + 1 < requests_wanted; ++index) {
    const bool replied = index % phase_count == answered;
    const int units = replied ? schedule.pause_steps * schedule.pause_step : timeout;
    EXPECT_GE(gaps[index] + stamp_tolerance, unit * units)
        << "gap " << index << ", expected at least " << units << " units";
    expected_total += unit * units;
    if (!replied) {
      timeout = std::min(timeout + 1, longest_timeout);
    }
  }
  nanoseconds total{0};
  for (std::size_t index = 0; index + 1 < requests_wanted; ++index) {
    total += gaps[index];
  }
  // Room for a loaded machine; a timeout that grew on replies or faster
  // than one unit per miss overshoots this.
  EXPECT_LT(total, expected_total + milliseconds(20) * (requests_wanted - 1) + milliseconds(300));
  std::printf("%zu requests, %ld reads, %zu distinct addresses seen, timeouts 5 to %d units\n",
              requests.size(), reads, seen_addresses.size(), timeout);
}

}  // namespace
}  // namespace wanseer::testing
