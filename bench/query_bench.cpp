// wanseer_get against the store's own open, read and close called directly,
// in the same process and on the same store: the difference is the
// library's own cost.  Both run single-threaded and with 2 reading threads,
// while the real worker, answered by a loopback probe server, replaces the
// value about every millisecond.  Prints the ratio of wanseer_get to the
// direct calls for each case; the goal is at most 1.1.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "pellary.h"
#include "support/loopback_probe_server.h"
#include "support/worker_harness.h"
#include "wanseer.h"

namespace {

using wanseer::testing::address_bytes;

void store_read(benchmark::State& state) {
  unsigned char buffer[4];
  for (auto _ : state) {
    std::int32_t length = sizeof buffer;
    pellary_open();
    benchmark::DoNotOptimize(pellary_read("IP", buffer, &length));
    pellary_close();
    benchmark::ClobberMemory();
  }
}

void wanseer_get_read(benchmark::State& state) {
  unsigned char buffer[4];
  for (auto _ : state) {
    std::int32_t length = sizeof buffer;
    benchmark::DoNotOptimize(wanseer_get(buffer, &length));
    benchmark::ClobberMemory();
  }
}

BENCHMARK(store_read)->Name("store/threads:1");
BENCHMARK(wanseer_get_read)->Name("wanseer_get/threads:1");
BENCHMARK(store_read)->Threads(2)->Name("store/threads:2");
BENCHMARK(wanseer_get_read)->Threads(2)->Name("wanseer_get/threads:2");

// Remembers each case's time per read and prints the ratios at the end.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
        times_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    print_ratio("threads:1");
    print_ratio("threads:2");
  }

 private:
  void print_ratio(const std::string& which) {
    const double direct = times_["store/" + which];
    const double get = times_["wanseer_get/" + which];
    if (direct > 0) {
      std::printf("ratio wanseer_get / store open+read+close, %s: %.2f (%.1f ns / %.1f ns)\n",
                  which.c_str(), get / direct, get, direct);
    }
  }
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  // Throughout, the worker stores a new address after every request, as fast
  // as a loopback round trip and a 1 ms pause allow.
  wanseer::testing::loopback_probe_server server([](std::size_t index) {
    const auto n = static_cast<std::uint8_t>(index);
    return wanseer::testing::answer::with(address_bytes{n, n, n, n});
  });
  wanseer::probe_schedule schedule =
      wanseer::testing::scaled_schedule(std::chrono::milliseconds(1));
  schedule.pause_steps = 1;
  schedule.pause_step = 1;
  wanseer_init(nullptr, "IP");
  wanseer::testing::running_worker worker(server.address(), schedule);
  if (!server.wait_for_requests(2)) {
    std::fprintf(stderr, "the worker did not probe the server\n");
    return 1;
  }
  if (wanseer::testing::read_stored().status != 0) {
    std::fprintf(stderr, "the worker stored nothing\n");
    return 1;
  }

  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
