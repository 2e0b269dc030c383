// Host names: how long wanseer_stop takes while a lookup hangs on a silent
// name server, and the time from the start to the first address when the
// name is served by a name server on loopback.  The worker's code is linked
// in, so that its lookups can be pointed at the test name server.
//
// Usage: lookup_bench [STOPS [RUNS]]   (defaults 200 and 1000)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "probe_control.h"
#include "spread.h"
#include "support/test_name_server.h"
#include "support/worker_harness.h"

namespace {

using namespace wanseer;
using namespace wanseer::testing;
using clock_type = std::chrono::steady_clock;

const std::string probe_name = "probe.example.net";

void report(const char* what, const std::vector<double>& figures) {
  std::printf("%s, %zu runs, microseconds:\n", what, figures.size());
  wanseer_bench::print_spread(figures);
}

double microseconds_since(clock_type::time_point started) {
  return std::chrono::duration<double, std::micro>(clock_type::now() - started).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int stops = argc > 1 ? std::atoi(argv[1]) : 200;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 1000;
  if (stops < 1 || runs < 1) {
    std::fprintf(stderr, "usage: %s [STOPS [RUNS]]\n", argv[0]);
    return 2;
  }

  std::vector<double> stop_times;
  {
    test_name_server names;
    names.set_behaviour(test_name_server::behaviour::silent);
    test_resolver_configuration resolver({&names});
    const std::string server = probe_name + ":7171";
    for (int stop = 0; stop < stops; ++stop) {
      start_probe(server.c_str(), real_schedule);
      if (!names.wait_for_queries(probe_name, static_cast<std::size_t>(stop) + 1)) {
        std::fprintf(stderr, "no lookup began\n");
        return 1;
      }
      const auto started = clock_type::now();
      stop_probe();
      stop_times.push_back(microseconds_since(started));
    }
  }
  report("wanseer_stop during a hung lookup", stop_times);

  std::vector<double> startup_times;
  int unanswered = 0;
  {
    const address_bytes address = {192, 0, 2, 1};
    loopback_probe_server server([&](std::size_t) { return answer::with(address); });
    test_name_server names;
    names.set_addresses(probe_name, {{127, 0, 0, 1}});
    test_resolver_configuration resolver({&names});
    const std::string endpoint = probe_name + ":" + std::to_string(server.port());
    const timespec poll_pause{0, 20000};
    for (int run = 0; run < runs; ++run) {
      use_fresh_key();
      const auto started = clock_type::now();
      start_probe(endpoint.c_str(), real_schedule);
      bool known = false;
      while (!known && clock_type::now() - started < std::chrono::seconds(10)) {
        known = read_stored().status == 0;
        if (!known) {
          nanosleep(&poll_pause, nullptr);
        }
      }
      const double elapsed = microseconds_since(started);
      stop_probe();
      if (known) {
        startup_times.push_back(elapsed);
      } else {
        ++unanswered;
      }
    }
  }
  if (startup_times.empty()) {
    std::fprintf(stderr, "no run got an answer\n");
    return 1;
  }
  report("startup to first address for a host name", startup_times);
  std::printf("  (%d unanswered)\n", unanswered);
  return unanswered == 0 ? 0 : 1;
}
