// CPU that a flood of foreign 4-byte datagrams at the worker's port costs
// the host while the worker waits for a reply that does not come.  The
// flood comes from another port of the loopback address; none of it may be
// stored.
//
// Usage: foreign_flood_bench [SECONDS]   (default 3)

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "probe_control.h"
#include "support/cpu_time.h"
#include "support/worker_harness.h"

namespace {

using namespace wanseer;
using namespace wanseer::testing;

double thread_cpu_seconds() {
  timespec used{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 3;
  if (seconds < 1) {
    std::fprintf(stderr, "usage: %s [SECONDS]\n", argv[0]);
    return 2;
  }
  loopback_probe_server server;  // silent
  use_fresh_key();
  start_probe(server.address().c_str(), real_schedule);
  if (!server.wait_for_requests(1)) {
    std::fprintf(stderr, "the worker sent no request\n");
    return 1;
  }
  const std::uint16_t worker_port = server.requests().front().sender_port;

  // The flooder's own CPU is taken off the process's: what is left is the
  // worker's and what the kernel charged to it.  The loopback probe server
  // sleeps in poll and costs nothing while no request comes.
  std::atomic<bool> flooding{true};
  double flooder_cpu = 0;
  long long sent = 0;
  const double before = cpu_seconds();
  std::thread flooder([&] {
    const udp_socket stranger;
    const std::vector<std::uint8_t> forged = {6, 6, 6, 6};
    while (flooding.load(std::memory_order_relaxed)) {
      stranger.send_to(worker_port, forged);
      ++sent;
    }
    flooder_cpu = thread_cpu_seconds();
  });
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  flooding = false;
  flooder.join();
  const double host_cpu = cpu_seconds() - before - flooder_cpu;
  stop_probe();
  const bool untouched = read_stored().status == -2;
  std::printf(
      "foreign flood: %lld datagrams in %d s; CPU left to the host: %.3f s (%.1f %% of a "
      "core); %s\n",
      sent, seconds, host_cpu, 100.0 * host_cpu / seconds,
      untouched ? "nothing stored" : "SOMETHING STORED");
  return untouched ? 0 : 1;
}
