// wanseer_startup/wanseer_stop over and over, through the built library as a
// host links it, on the real schedule, against a server that answers, one
// that stays silent and a port where nothing is bound.  Every stop must be
// prompt and the process must end up holding what it held before: the same
// descriptors, the same threads and (outside sanitizer builds) about the
// same heap.

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <thread>

#include "soak_budget.h"
#include "support/cpu_time.h"
#include "support/loopback_probe_server.h"
#include "support/stored_value.h"
#include "support/udp_socket.h"
#include "wanseer.h"

namespace wanseer::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

// A handful of cycles first, so that one-time allocations of ACE and the C
// library are made before the heap is counted.
constexpr int warm_up_cycles = 5;
// Allowed heap growth over all counted cycles: less than one leaked
// thread manager (and far less than one per cycle).
constexpr std::size_t heap_slack = 4096;

const address_bytes known_address = {203, 0, 113, 42};
const std::vector<std::uint8_t> sentinel = {0, 0, 0, 0};

struct baseline {
  std::size_t descriptors = open_descriptor_count();
  // nullopt: a worker is still running.
  std::optional<std::size_t> threads = thread_count_without_worker();
  std::size_t heap = heap_in_use();
};

class StartStopCycles : public ::testing::Test {
 protected:
  void SetUp() override { wanseer_init(nullptr, key_.c_str()); }

  // One start, `between` while the worker runs, one timed stop.
  template <typename Between>
  void cycle(const std::string& server, int round, Between between) {
    errno = 0;
    wanseer_startup(server.c_str());
    ASSERT_EQ(errno, 0) << "round " << round;
    between(round);
    const auto started = steady_clock::now();
    wanseer_stop();
    const nanoseconds took = steady_clock::now() - started;
    longest_stop_ = std::max(longest_stop_, took);
    ASSERT_LT(took, prompt_stop) << "round " << round;
  }

  // The warm-up cycles, then the counted ones from a baseline, then the
  // check that the process is back to that baseline.  `before_each` runs
  // ahead of every start.
  template <typename Between, typename BeforeEach>
  void soak(const std::string& server, Between between, const char* server_kind,
            BeforeEach before_each) {
    for (int round = 0; round < warm_up_cycles; ++round) {
      before_each();
      cycle(server, round, between);
    }
    const baseline before;
    ASSERT_TRUE(before.threads) << "the worker is still running";
    for (int round = 0; round < soak_cycles(); ++round) {
      before_each();
      cycle(server, round, between);
      if (HasFatalFailure()) {
        return;
      }
    }
    expect_back_to(before, server_kind);
  }

  template <typename Between>
  void soak(const std::string& server, Between between, const char* server_kind) {
    soak(server, between, server_kind, [] {});
  }

  void expect_back_to(const baseline& before, const char* server_kind) {
    const baseline after;
    EXPECT_EQ(after.descriptors, before.descriptors);
    EXPECT_EQ(after.threads, before.threads)
        << thread_count() << " threads, " << *before.threads << " before";
    if (before.heap != 0) {
      EXPECT_LE(after.heap, before.heap + heap_slack) << "heap grew from " << before.heap;
    }
    std::printf(
        "%s: %d cycles, longest stop %.1f ms, descriptors %zu -> %zu, threads %zu -> %zu"
        ", heap %zu -> %zu\n",
        server_kind, soak_cycles(),
        std::chrono::duration<double, std::milli>(longest_stop_).count(), before.descriptors,
        after.descriptors, *before.threads, thread_count(), before.heap, after.heap);
  }

  const std::string key_ =
      "soak-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
  nanoseconds longest_stop_{0};
};

TEST_F(StartStopCycles, AnsweringServer) {
  loopback_probe_server server([](std::size_t) { return answer::with(known_address); },
                               request_records::counted_only);
  // Counted before each start: the answer may come before the test looks.
  std::size_t answered_before_start = 0;
  // Stop at three points in turn: at once, once the request is out, and
  // in the pause after the address was stored.
  const auto between = [&](int round) {
    switch (round % 3) {
      case 0:
        break;
      case 1:
        ASSERT_TRUE(eventually([&] { return server.request_count() > answered_before_start; },
                               seconds(30)));
        break;
      case 2:
        ASSERT_TRUE(wait_until_stored(known_address));
        break;
    }
  };
  soak(server.address(), between, "answering server", [&] {
    ASSERT_TRUE(store_under(key_, sentinel));
    answered_before_start = server.request_count();
  });
  EXPECT_GE(server.request_count(), static_cast<std::size_t>(soak_cycles() * 2 / 3));
}

TEST_F(StartStopCycles, SilentServer) {
  udp_socket server;
  const std::string address = "127.0.0.1:" + std::to_string(server.port());
  // Every other stop comes while the worker waits for its first answer.
  const auto between = [&](int round) {
    if (round % 2 == 1) {
      ASSERT_TRUE(server.receive(seconds(30)).has_value()) << "no request in round " << round;
    }
  };
  soak(address, between, "silent server");
  EXPECT_EQ(read_stored().status, -2);
}

TEST_F(StartStopCycles, AbsentServer) {
  // Requests go nowhere and nothing answers.
  const closed_port absent;
  const std::string address = absent.address();
  const auto between = [&](int round) {
    // Vary the moment of the stop a little; nothing is asserted on it.
    std::this_thread::sleep_for(std::chrono::microseconds(100 * (round % 4)));
  };
  soak(address, between, "absent server");
  EXPECT_EQ(read_stored().status, -2);
}

}  // namespace
}  // namespace wanseer::testing
