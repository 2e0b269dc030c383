// Workers that can never be answered, run through start_probe and stop_probe
// as wanseer_startup and wanseer_stop run them, for a scaled minute each:
// one whose every send fails at once, one whose socket cannot open because
// the host has no descriptor left, one whose server's port is closed, so
// that ICMP errors come back on its connected socket.  None may spin; all
// stop at once and leave no thread or descriptor behind.  (tests/stop_test.cpp covers the
// loop itself for a text that does not parse and a socket that does not
// open; these add the failing send and the whole start/stop path.)

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "probe_control.h"
#include "soak_budget.h"
#include "support/cpu_time.h"
#include "support/worker_harness.h"

namespace wanseer::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr milliseconds unit(20);
constexpr milliseconds scaled_minute = unit * 60;
// A worker that spun for the scaled minute would use most of it; one that
// waits uses a small share, however loaded the machine.
constexpr std::chrono::nanoseconds idle_cpu = scaled_minute / 10;

struct run_figures {
  std::chrono::nanoseconds cpu{};  // of the worker thread alone
  std::chrono::nanoseconds stop{};
};

// Starts a worker for `server`, lets it run for a scaled minute, stops it.
// `started` runs right after the start, which must report `start_errno`.
template <typename Started>
run_figures run_for_a_scaled_minute(const std::string& server, Started started,
                                    int start_errno = 0) {
  errno = 0;
  running_worker worker(server, scaled_schedule(unit));
  const int start_error = errno;
  started();
  EXPECT_EQ(start_error, start_errno) << std::strerror(start_error);
  std::this_thread::sleep_for(scaled_minute);  // the time the worker is watched
  run_figures figures;
  figures.stop = worker.stop();
  figures.cpu = worker.cpu_time();
  return figures;
}

double seconds_of(std::chrono::nanoseconds time) {
  return std::chrono::duration<double>(time).count();
}

TEST(FailingWorker, EverySendFailsAtOnce) {
  const char* server = "127.0.0.1:0";
  // Proof that a send there fails at once, and so never leaves the host.
  const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(probe, 0);
  sockaddr_in port_zero{};
  port_zero.sin_family = AF_INET;
  port_zero.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::sendto(probe, probe_request.data(), probe_request.size(), 0,
                     reinterpret_cast<sockaddr*>(&port_zero), sizeof port_zero),
            -1);
  EXPECT_EQ(errno, EINVAL);
  ::close(probe);

  use_fresh_key();
  // The first thread a process makes may bring a sanitizer's own thread
  // along: count after one start and stop.
  start_probe(server, scaled_schedule(unit));
  stop_probe();
  const auto threads_before = thread_count_without_worker();
  ASSERT_TRUE(threads_before) << "the worker is still running";
  const std::size_t descriptors_before = open_descriptor_count();
  // Port 0 is reported (EINVAL), and the worker runs all the same.
  const run_figures figures = run_for_a_scaled_minute(
      server, [] {}, EINVAL);
  EXPECT_LT(figures.cpu, idle_cpu);
  EXPECT_LT(figures.stop, prompt_stop);
  EXPECT_TRUE(eventually([&] { return thread_count() == *threads_before; }));
  EXPECT_EQ(open_descriptor_count(), descriptors_before);
  EXPECT_EQ(read_stored().status, -2);
  std::printf("failing sends: %.3f s CPU over %lld ms\n", seconds_of(figures.cpu),
              static_cast<long long>(scaled_minute.count()));
}

TEST(FailingWorker, PortUnreachableErrorsStillWaitOutEachAttempt) {
  use_fresh_key();
  const closed_port closed;
  const run_figures figures = run_for_a_scaled_minute(closed.address(), [] {});
  // Each error ending its attempt would make a send-error-send loop.
  EXPECT_LT(figures.cpu, idle_cpu);
  EXPECT_LT(figures.stop, prompt_stop);
  std::printf("port unreachable: %.3f s CPU over %lld ms\n", seconds_of(figures.cpu),
              static_cast<long long>(scaled_minute.count()));
}

TEST(FailingWorker, SocketThatCouldNotOpenIsOpenedOnceDescriptorsAreFree) {
  use_fresh_key();
  const address_bytes address = {198, 51, 100, 77};
  loopback_probe_server server([&](std::size_t) { return answer::with(address); });
  // A whole start and stop first, for the sanitizers' sake (see below).
  {
    running_worker warm_up(server.address(), scaled_schedule(unit));
    ASSERT_TRUE(server.wait_for_requests(1));
  }
  full_descriptor_table table;
  ASSERT_TRUE(table.holds_any());
  table.free_one();  // for the wake-up handle
  table.free_one();  // for the worker's wait set
  running_worker worker(server.address(), scaled_schedule(unit));
  ASSERT_EQ(::dup(0), -1);
  // Several attempts fail to open the socket and send nothing.
  EXPECT_FALSE(server.wait_for_requests(2, unit * 20));
  table.release();
  EXPECT_TRUE(server.wait_for_requests(2));
  EXPECT_TRUE(wait_until_stored(address));
}

TEST(FailingWorker, SocketCannotOpenThroughStartAndStop) {
  use_fresh_key();
  udp_socket server;
  const std::string address = "127.0.0.1:" + std::to_string(server.port());
  // One whole start and stop first.  UndefinedBehaviorSanitizer checks an
  // object's dynamic type through a pipe the first time it meets it, and
  // with no descriptor left that pipe fails and the check reports a false
  // error; a type met once is remembered.
  start_probe(address.c_str(), scaled_schedule(unit));
  ASSERT_TRUE(server.receive(seconds(30)).has_value());
  stop_probe();
  const auto threads_before = thread_count_without_worker();
  ASSERT_TRUE(threads_before) << "the worker is still running";
  // Every free descriptor but two: the start's wake-up handle and wait set
  // get them, and the worker's socket finds none.
  full_descriptor_table table;
  ASSERT_TRUE(table.holds_any());
  table.free_one();
  table.free_one();

  bool table_full_while_running = false;
  const run_figures figures = run_for_a_scaled_minute(address, [&] {
    const int spare = ::dup(0);
    table_full_while_running = spare < 0 && errno == EMFILE;
    if (spare >= 0) {
      ::close(spare);
    }
  });
  table.release();

  EXPECT_TRUE(table_full_while_running)
      << "the wake-up handle and wait set did not take the last descriptors";
  EXPECT_LT(figures.cpu, idle_cpu);
  EXPECT_LT(figures.stop, prompt_stop);
  EXPECT_TRUE(eventually([&] { return thread_count() == *threads_before; }));
  // The socket really never opened: not one request came.
  EXPECT_FALSE(server.receive(milliseconds(0)).has_value());
  std::printf("socket cannot open: %.3f s CPU over %lld ms\n", seconds_of(figures.cpu),
              static_cast<long long>(scaled_minute.count()));
}

}  // namespace
}  // namespace wanseer::testing
