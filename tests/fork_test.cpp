// Forks at any moment of a worker that stores a new value every few
// milliseconds: the child can always read and stop, and the parent's worker
// keeps its pace.  (Fork, exec and teardown from a plain host with the
// built library: tests/host/fork_host.c and teardown_host.c.)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include "support/cpu_time.h"
#include "support/worker_harness.h"
#include "wanseer.h"

namespace wanseer::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int forks = 200;
// Only a child that hangs waits this long.
constexpr int child_deadline_ms = 20000;

enum class child_outcome { read_and_stopped, wrong_read, no_answer };

// In the child: one read and one stop, reported as a byte over `report`.
[[noreturn]] void read_and_stop(int report) {
  unsigned char address[4] = {};
  std::int32_t length = sizeof address;
  // A whole address the server sent (192.0.2.x), all four bytes of it.
  const bool read = wanseer_get(address, &length) == 0 && length == 4 && address[0] == 192 &&
                    address[1] == 0 && address[2] == 2;
  wanseer_stop();
  const char outcome = read ? 'y' : 'n';
  _exit(::write(report, &outcome, 1) == 1 ? 0 : 1);
}

child_outcome fork_reader() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    return child_outcome::no_answer;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    read_and_stop(ends[1]);
  }
  ::close(ends[1]);
  char outcome = 0;
  pollfd report = {ends[0], POLLIN, 0};
  const bool answered =
      child > 0 && ::poll(&report, 1, child_deadline_ms) == 1 && ::read(ends[0], &outcome, 1) == 1;
  ::close(ends[0]);
  if (child > 0) {
    if (!answered) {
      ::kill(child, SIGKILL);
    }
    ::waitpid(child, nullptr, 0);
  }
  if (!answered) {
    return child_outcome::no_answer;
  }
  return outcome == 'y' ? child_outcome::read_and_stopped : child_outcome::wrong_read;
}

TEST(Fork, ChildOfAWorkerThatStoresEveryFewMillisecondsNeverBlocks) {
  use_fresh_key();
  std::atomic<std::uint8_t> last{0};
  loopback_probe_server server([&](std::size_t index) {
    last = static_cast<std::uint8_t>(index);
    return answer::with(address_bytes{192, 0, 2, static_cast<std::uint8_t>(index)});
  });
  probe_schedule every_two_ms = scaled_schedule(milliseconds(1));
  every_two_ms.pause_steps = 1;
  every_two_ms.pause_step = 2;
  every_two_ms.interval_spread_percent = 0;
  const auto started = steady_clock::now();
  running_worker worker(server.address(), every_two_ms);
  ASSERT_TRUE(wait_until_stored({192, 0, 2, 0}));

  int hung = 0;
  int wrong = 0;
  for (int round = 0; round < forks && hung == 0; ++round) {
    switch (fork_reader()) {
      case child_outcome::read_and_stopped:
        break;
      case child_outcome::wrong_read:
        ++wrong;
        break;
      case child_outcome::no_answer:
        ++hung;
        break;
    }
  }
  EXPECT_EQ(hung, 0) << "a child blocked in the library";
  EXPECT_EQ(wrong, 0) << "a child did not read the stored address";

  // The worker stored all through the forks, and never faster than its
  // schedule allows: 2 ms from each answered request to the next.
  const std::size_t requests = server.request_count();
  const auto elapsed = steady_clock::now() - started;
  EXPECT_GT(requests, 2u);
  EXPECT_LE(requests, static_cast<std::size_t>(elapsed / milliseconds(2)) + 2);
  EXPECT_LT(worker.stop(), prompt_stop);
}

}  // namespace
}  // namespace wanseer::testing
