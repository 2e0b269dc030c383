// wanseer_get against its floor: a 4-byte copy out of a mutex-guarded map in
// the same process.  Both run single-threaded and with 2 reading threads
// while a writer replaces the value about every millisecond (for wanseer_get
// the real worker, answered by a loopback probe server).  Prints the ratio
// of wanseer_get to the floor for each case; the goal is at most 1.5.

#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/loopback_probe_server.h"
#include "support/worker_harness.h"
#include "wanseer.h"

namespace {

using wanseer::testing::address_bytes;

class floor_map {
 public:
  void write(const std::string& key, const address_bytes& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    values_[key] = value;
  }
  bool read(const char* key, unsigned char* buffer) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = values_.find(std::string_view(key));
    if (found == values_.end()) {
      return false;
    }
    std::memcpy(buffer, found->second.data(), found->second.size());
    return true;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, address_bytes, std::less<>> values_;
};

floor_map the_floor;

// A writer for the floor at the worker's pace while the multi-threaded
// cases run.
class floor_writer {
 public:
  floor_writer()
      : thread_([this] {
          for (std::uint8_t n = 0; running_.load(); ++n) {
            the_floor.write("IP", {n, n, n, n});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        }) {}
  ~floor_writer() {
    running_ = false;
    thread_.join();
  }

 private:
  std::atomic<bool> running_{true};
  std::thread thread_;
};

void floor_read(benchmark::State& state) {
  std::unique_ptr<floor_writer> writer;
  if (state.thread_index() == 0 && state.threads() > 1) {
    writer = std::make_unique<floor_writer>();
  }
  unsigned char buffer[4];
  for (auto _ : state) {
    benchmark::DoNotOptimize(the_floor.read("IP", buffer));
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

BENCHMARK(floor_read)->Name("floor/threads:1");
BENCHMARK(wanseer_get_read)->Name("wanseer_get/threads:1");
BENCHMARK(floor_read)->Threads(2)->Name("floor/threads:2+writer");
BENCHMARK(wanseer_get_read)->Threads(2)->Name("wanseer_get/threads:2+writer");

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
    print_ratio("threads:2+writer");
  }

 private:
  void print_ratio(const std::string& which) {
    const double floor = times_["floor/" + which];
    const double get = times_["wanseer_get/" + which];
    if (floor > 0) {
      std::printf("ratio wanseer_get / floor, %s: %.2f (%.1f ns / %.1f ns)\n", which.c_str(),
                  get / floor, get, floor);
    }
  }
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  // Under the wanseer_get cases the worker stores a new address after every
  // request, as fast as a loopback round trip and a 1 ms pause allow.
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
  the_floor.write("IP", {1, 2, 3, 4});
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
