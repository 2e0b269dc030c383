// wanseer-probe-server: tells each sender the IPv4 address it is seen from.

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "address_reflector.h"
#include "endpoint_text.h"
#include "listen_sockets.h"
#include "metrics_endpoint.h"
#include "metrics_text.h"
#include "server_options.h"
#include "unique_fd.h"
#include "xdp_fast_path.h"

namespace {

using namespace wanseer_tools;

const char* const program = "wanseer-probe-server";
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
constexpr unsigned rate_limit_lines_per_second = 5;

void signal_event(int event) {
  const std::uint64_t one = 1;
  // An eventfd write of 1 fails only when the count is about to overflow.
  [[maybe_unused]] const ssize_t written = write(event, &one, sizeof one);
}

// What the serving threads share with the main thread.
struct serving_state {
  explicit serving_state(unsigned threads) : counters(threads) {}

  std::vector<probe_counters> counters;
  wanseer::unique_fd stop_event{eventfd(0, EFD_CLOEXEC)};
  wanseer::unique_fd failure_event{eventfd(0, EFD_CLOEXEC)};
  std::atomic<int> failure{0};
  std::unique_ptr<xdp_fast_path> fast_path;

  counter_values totals() const {
    counter_values sum;
    for (const auto& thread_counters : counters) {
      sum += thread_counters.snapshot();
    }
    if (fast_path) {
      sum += fast_path->totals();
    }
    return sum;
  }
};

std::string describe_start(const server_options& options, const listen_sockets& sockets,
                           const metrics_endpoint* metrics) {
  const std::string xdp =
      options.xdp_interface.empty() ? "" : "; answering in the driver of " + options.xdp_interface;
  std::string line = std::string(program) + " " + WANSEER_TOOLS_VERSION + ": listening on " +
                     format_endpoint(sockets.bound) + ", " +
                     std::to_string(sockets.sockets.size()) +
                     (sockets.sockets.size() == 1 ? " thread" : " threads");
  if (!sockets.fallback_reason.empty()) {
    line += " (" + std::to_string(options.threads) + " asked; " + sockets.fallback_reason +
            ", so one thread keeps the rate limit exact)";
  } else if (sockets.sockets.size() > 1) {
    line += " steered by source address";
  }
  char limits[160];
  if (options.limit.per_second > 0) {
    std::snprintf(limits, sizeof limits, "; limit %g answers/s per source, burst %u, %zu sources",
                  options.limit.per_second, options.limit.burst, options.limit.table_slots);
  } else {
    std::snprintf(limits, sizeof limits, "; no rate limit");
  }
  line += limits;
  line += metrics != nullptr
              ? "; metrics on http://" + format_endpoint(metrics->address()) + "/metrics"
              : "; metrics off";
  return line + xdp;
}

// Waits for SIGINT or SIGTERM, or for a serving thread to fail.
void wait_for_stop(int signals, int failure_event) {
  std::array<pollfd, 2> waits = {pollfd{signals, POLLIN, 0}, pollfd{failure_event, POLLIN, 0}};
  while (poll(waits.data(), waits.size(), -1) < 0 && errno == EINTR) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  const auto parsed = parse_server_options(argc, argv);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, parsed.error.c_str(), program);
    return exit_usage;
  }
  const server_options& options = parsed.options;
  if (options.show_help) {
    std::fputs(server_usage(program).c_str(), stdout);
    return 0;
  }
  if (options.show_version) {
    std::printf("%s %s\n", program, WANSEER_TOOLS_VERSION);
    return 0;
  }

  // Blocked before any thread starts, so that every thread inherits the
  // mask and the stop signals reach only the signalfd.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  const wanseer::unique_fd signals(signalfd(-1, &stop_signals, SFD_CLOEXEC));

  const double start_time =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  std::random_device entropy;
  const std::uint64_t seed = (static_cast<std::uint64_t>(entropy()) << 32) | entropy();

  socket_tuning tuning;
  tuning.dont_fragment = options.dont_fragment;
  // Steering hashes with the seed's upper half and another multiplier than
  // the limiters', so that the addresses one thread gets do not crowd some
  // sets of its table.
  const listen_sockets sockets = open_listen_sockets(options.listen, options.threads, tuning,
                                                     static_cast<std::uint32_t>(seed >> 32));
  if (sockets.sockets.empty()) {
    std::fprintf(stderr, "%s: cannot listen on %s: %s\n", program,
                 format_endpoint(options.listen).c_str(), std::strerror(errno));
    return exit_failure;
  }
  const auto threads = static_cast<unsigned>(sockets.sockets.size());
  serving_state state(threads);
  if (!signals.valid() || !state.stop_event.valid() || !state.failure_event.valid()) {
    std::fprintf(stderr, "%s: cannot set up: %s\n", program, std::strerror(errno));
    return exit_failure;
  }
  throttle_log rate_limit_log(options.limit.per_second, rate_limit_lines_per_second);
  if (!options.xdp_interface.empty()) {
    fast_path_settings settings;
    settings.interface = options.xdp_interface;
    settings.bound = sockets.bound;
    settings.limit = options.limit;
    settings.hash_seed = seed;
    settings.dont_fragment = options.dont_fragment;
    std::string reason;
    state.fast_path = xdp_fast_path::attach(settings, reason);
    if (!state.fast_path) {
      std::fprintf(stderr, "%s: --xdp %s: %s\n", program, options.xdp_interface.c_str(),
                   reason.c_str());
      return exit_failure;
    }
  }

  std::unique_ptr<metrics_endpoint> metrics;
  if (options.metrics) {
    metrics = std::make_unique<metrics_endpoint>();
    const bool started =
        metrics->start(*options.metrics, [&state, &rate_limit_log, threads, start_time] {
          metrics_snapshot snapshot;
          snapshot.totals = state.totals();
          if (state.fast_path) {
            snapshot.answered_at_driver = state.fast_path->totals().answered;
          }
          snapshot.threads = threads;
          snapshot.log_lines_suppressed = rate_limit_log.suppressed();
          snapshot.start_time_seconds = start_time;
          return format_metrics(snapshot);
        });
    if (!started) {
      std::fprintf(stderr, "%s: cannot serve metrics on %s: %s\n", program,
                   format_endpoint(*options.metrics).c_str(), std::strerror(errno));
      return exit_failure;
    }
  }

  // Each thread gets its share of the source table.
  const std::size_t slots_per_thread = (options.limit.table_slots + threads - 1) / threads;
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < threads; ++i) {
    reflector_setup setup;
    setup.socket = sockets.sockets[i].get();
    setup.stop_event = state.stop_event.get();
    setup.reply_from_destination = sockets.wildcard;
    setup.batch = options.batch;
    workers.emplace_back([setup, i, &state, &options, &rate_limit_log, slots_per_thread, seed] {
      source_rate_limiter limiter(options.limit, slots_per_thread, seed + i, state.counters[i]);
      if (!serve_requests(setup, limiter, rate_limit_log, state.counters[i])) {
        int expected = 0;
        state.failure.compare_exchange_strong(expected, errno);
        signal_event(state.failure_event.get());
      }
    });
  }

  if (state.fast_path) {
    workers.emplace_back([&state, &rate_limit_log] {
      if (!state.fast_path->forward_reports(state.stop_event.get(), rate_limit_log)) {
        int expected = 0;
        state.failure.compare_exchange_strong(expected, errno);
        signal_event(state.failure_event.get());
      }
    });
  }

  std::printf("listening on %s\n", format_endpoint(sockets.bound).c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", describe_start(options, sockets, metrics.get()).c_str());
  sd_notifyf(0, "READY=1\nSTATUS=answering on %s with %u threads",
             format_endpoint(sockets.bound).c_str(), threads);

  wait_for_stop(signals.get(), state.failure_event.get());
  sd_notify(0, "STOPPING=1");
  signal_event(state.stop_event.get());
  for (auto& worker : workers) {
    worker.join();
  }
  metrics.reset();

  std::string summary = state.totals().summary();
  if (state.fast_path) {
    summary += " answered_at_driver=" + std::to_string(state.fast_path->totals().answered);
  }
  std::printf("%s\n", summary.c_str());
  std::fflush(stdout);
  if (const int failure = state.failure.load(); failure != 0) {
    std::fprintf(stderr, "%s: socket failed: %s\n", program, std::strerror(failure));
    return exit_failure;
  }
  return 0;
}
