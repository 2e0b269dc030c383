// Stopping the worker: at every point of its loop the stop ends the wait
// under way, a reply already there is still taken, and no request follows.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <unistd.h>

#include <thread>

#include "module_state.h"
#include "probe_channel.h"
#include "probe_worker.h"
#include "support/cpu_time.h"
#include "support/process_resources.h"
#include "support/worker_harness.h"

namespace wanseer::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(Stop, DuringTheFirstReceiveOnTheRealSchedule) {
  use_fresh_key();
  loopback_probe_server server;
  running_worker worker(server.address(), real_schedule);
  ASSERT_TRUE(server.wait_for_requests(1));
  EXPECT_LT(worker.stop(), prompt_stop);
  EXPECT_EQ(server.request_count(), 1u);
}

TEST(Stop, DuringThePauseOnTheRealScheduleSendsNoFurtherRequest) {
  use_fresh_key();
  const address_bytes address = {203, 0, 113, 1};
  loopback_probe_server server([&](std::size_t) { return answer::with(address); });
  running_worker worker(server.address(), real_schedule);
  ASSERT_TRUE(wait_until_stored(address));
  EXPECT_LT(worker.stop(), prompt_stop);
  // Counted after it was answered, the request may show a moment later.
  EXPECT_TRUE(server.wait_for_requests(1));
  EXPECT_EQ(server.request_count(), 1u);
  // The value outlives the worker.
  EXPECT_EQ(read_stored().bytes, address);
}

TEST(Stop, RaisedBeforeTheFirstTestSendsNoRequest) {
  use_fresh_key();
  udp_socket server;
  ASSERT_TRUE(stop_requested.arm());
  stop_requested.raise();
  run_probe(
      {parse_server_text(("127.0.0.1:" + std::to_string(server.port())).c_str()), real_schedule});
  stop_requested.disarm();
  // Loopback delivery happens inside sendto, so a request would be here.
  EXPECT_FALSE(server.receive(milliseconds(0)).has_value());
}

TEST(Stop, ReplyAlreadyWaitingIsTakenDespiteTheStop) {
  udp_socket server;
  probe_channel channel;
  channel.aim_at(ipv4_endpoint(htonl(INADDR_LOOPBACK), server.port()));
  ASSERT_NE(channel.local_port(), 0);
  server.send_to(channel.local_port(), {192, 0, 2, 1});
  stop_signal stop;
  ASSERT_TRUE(stop.arm());
  wait_set waits;
  ASSERT_TRUE(waits.arm(stop.wake_handle()));
  stop.raise();
  unsigned char reply[reply_length] = {};
  const auto in_five_seconds = [] { return std::chrono::steady_clock::now() + seconds(5); };
  ASSERT_TRUE(channel.await_reply(reply, in_five_seconds(), waits));
  EXPECT_EQ(reply[3], 1);
  // With nothing waiting, the raised stop ends the next receive at once.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(channel.await_reply(reply, in_five_seconds(), waits));
  EXPECT_LT(std::chrono::steady_clock::now() - started, prompt_stop);
}

TEST(Stop, WithoutAStartedWorkerDoesNothing) {
  errno = 0;
  wanseer_stop();
  wanseer_startup(nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  wanseer_stop();
  EXPECT_EQ(errno, 0);
}

// A worker watched for a second, its first twenty scaled receives, uses a
// small share of it if it waits, most of it if it spins.
constexpr milliseconds watched(1000);
constexpr std::chrono::nanoseconds idle_cpu = watched / 10;

TEST(BusyLoop, UnparseableServerTextWaitsOutEachTimeout) {
  use_fresh_key();
  running_worker worker("no such host, no port", scaled_schedule(milliseconds(5)));
  std::this_thread::sleep_for(watched);
  EXPECT_LT(worker.cpu_time(), idle_cpu);
}

TEST(BusyLoop, SocketThatCannotOpenWaitsOutEachTimeout) {
  use_fresh_key();
  // The worker's socket will find no descriptor left: arm the stop handle
  // first, then fill every free slot.
  udp_socket server;
  std::chrono::nanoseconds used{};
  {
    const std::string text = "127.0.0.1:" + std::to_string(server.port());
    probe_job job{parse_server_text(text.c_str()), scaled_schedule(milliseconds(5))};
    // One run that ends at once first: sanitizer runtimes need descriptors
    // of their own the first time they look at these types and this thread.
    const auto run = [&] { run_probe(job); };
    ASSERT_TRUE(stop_requested.arm());
    stop_requested.raise();
    std::thread(run).join();
    ASSERT_TRUE(stop_requested.arm());
    ASSERT_TRUE(worker_waits.arm(stop_requested.wake_handle()));
    const full_descriptor_table table;
    std::thread thread(run);
    clockid_t worker_clock{};
    EXPECT_EQ(::pthread_getcpuclockid(thread.native_handle(), &worker_clock), 0);
    std::this_thread::sleep_for(watched);
    used = thread_cpu_time(worker_clock);
    stop_requested.raise();
    thread.join();
    worker_waits.disarm();
    stop_requested.disarm();
  }
  EXPECT_LT(used, idle_cpu);
  // Proof that the socket really never opened: not one request came.
  EXPECT_FALSE(server.receive(milliseconds(0)).has_value());
}

}  // namespace
}  // namespace wanseer::testing
