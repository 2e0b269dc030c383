// Whole-process time of the wanseer command, from start to exit with the
// address printed, against coturn's turnutils_stunclient asking a local
// STUN server (turnserver --stun-only) for the same thing.  Both run on
// loopback, in turns, so that a change in the machine's load falls on both.
// The same for `wanseer stun:`, asking that STUN server.  Prints the median,
// the 10th percentile and the minimum of each, and the ratios of the
// medians; the goals are at most 0.85 (probe protocol) and 0.9 (STUN).
// usage: cli_bench [RUNS]   (exit 77 when coturn is not installed)

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "running_coturn.h"
#include "running_probe_server.h"
#include "support/udp_socket.h"

namespace {

using wanseer_tests::child_process;
using wanseer_tests::run_to_end;

// Milliseconds from start to exit of one run; negative if it failed.
double timed_run(const std::vector<std::string>& argv,
                 const child_process::environment_changes& environment = {}) {
  const auto started = std::chrono::steady_clock::now();
  const auto run = run_to_end(argv, environment);
  const auto took = std::chrono::steady_clock::now() - started;
  return run.status == 0 ? std::chrono::duration<double, std::milli>(took).count() : -1.0;
}

struct figures {
  double median, p10, min;
};

figures summary(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], times[times.size() / 10], times.front()};
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 500;
  if (runs < 10) {
    std::fprintf(stderr, "usage: %s [RUNS, at least 10]\n", argv[0]);
    return 2;
  }
  if (!wanseer_bench::coturn_installed()) {
    std::printf("SKIPPED: coturn (turnserver, turnutils_stunclient) is not installed\n");
    return 77;
  }
  // Every run comes from the same address: the rate limit would otherwise
  // be what is measured.
  wanseer_tests::running_probe_server probe_server({"--rate", "0"});
  // A port that was free a moment ago, for the STUN server.
  const unsigned short stun_port = wanseer::testing::udp_socket().port();
  const wanseer_bench::running_coturn stun_server(stun_port);
  const std::vector<std::string> stun_client = {wanseer_bench::stunclient_path, "-p",
                                                std::to_string(stun_port), "127.0.0.1"};
  // The library is found as the command finds it by default: beside it.
  const std::vector<std::string> wanseer_client = {WANSEER_CLI_PATH, probe_server.endpoint()};
  const std::vector<std::string> wanseer_stun_client = {
      WANSEER_CLI_PATH, "stun:127.0.0.1:" + std::to_string(stun_port)};
  const child_process::environment_changes default_search = {{"WANSEER_LIBRARY", {}}};

  for (int warm_up = 0; warm_up < 10; ++warm_up) {
    timed_run(wanseer_client, default_search);
    timed_run(wanseer_stun_client, default_search);
    timed_run(stun_client);
  }

  std::vector<double> wanseer_times;
  std::vector<double> wanseer_stun_times;
  std::vector<double> stun_times;
  for (int run = 0; run < runs; ++run) {
    const double wanseer_took = timed_run(wanseer_client, default_search);
    const double wanseer_stun_took = timed_run(wanseer_stun_client, default_search);
    const double stun_took = timed_run(stun_client);
    if (wanseer_took < 0 || wanseer_stun_took < 0 || stun_took < 0) {
      std::fprintf(stderr, "run %d failed (%s)\n", run,
                   wanseer_took < 0        ? "wanseer"
                   : wanseer_stun_took < 0 ? "wanseer stun:"
                                           : "stunclient");
      return 1;
    }
    wanseer_times.push_back(wanseer_took);
    wanseer_stun_times.push_back(wanseer_stun_took);
    stun_times.push_back(stun_took);
  }
  const figures ours = summary(wanseer_times);
  const figures ours_stun = summary(wanseer_stun_times);
  const figures theirs = summary(stun_times);
  std::printf("whole-process time to the address on loopback, %d runs each, ms:\n", runs);
  std::printf("  wanseer               median %.3f  p10 %.3f  min %.3f\n", ours.median, ours.p10,
              ours.min);
  std::printf("  wanseer stun:         median %.3f  p10 %.3f  min %.3f\n", ours_stun.median,
              ours_stun.p10, ours_stun.min);
  std::printf("  turnutils_stunclient  median %.3f  p10 %.3f  min %.3f\n", theirs.median,
              theirs.p10, theirs.min);
  std::printf("ratio wanseer / turnutils_stunclient: median %.2f, p10 %.2f (goal: at most 0.85)\n",
              ours.median / theirs.median, ours.p10 / theirs.p10);
  std::printf(
      "ratio wanseer stun: / turnutils_stunclient: median %.2f, p10 %.2f (goal: at most 0.9)\n",
      ours_stun.median / theirs.median, ours_stun.p10 / theirs.p10);
  return 0;
}
