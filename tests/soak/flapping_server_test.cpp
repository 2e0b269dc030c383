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

#include "support/cpu_time.h"
#include "support/worker_harness.h"
#include "wanseer.h"

namespace wanseer::testing {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds unit(10);
constexpr int longest_timeout = 20;
constexpr int periods = 7;
// A request of each phase per period.
enum phase { answered, silent, short_answer, other_port, phase_count };
constexpr std::size_t requests_wanted = periods * phase_count + 1;
// The gap after each request, in units: the pause of 5 after a reply, and
// a receive timeout that grows by one with each miss (a short answer or one
// from another port is a miss too) up to 20, unchanged by a reply.
const std::vector<int> expected_gaps = {5,  5,  6, 7,  5,  8,  9, 10, 5,  11, 12, 13, 5,  14,
                                        15, 16, 5, 17, 18, 19, 5, 20, 20, 20, 5,  20, 20, 20};

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
    EXPECT_LT(worker.stop(), prompt_stop);
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
        EXPECT_EQ(bytes, nothing_stored);
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

  EXPECT_EQ(gaps_off_schedule(gaps_between(requests), expected_gaps, unit), "");
  std::printf("%zu requests, %ld reads, %zu distinct addresses seen\n", requests.size(), reads,
              seen_addresses.size());
}

}  // namespace
}  // namespace wanseer::testing
