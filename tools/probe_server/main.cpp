// wanseer-probe-server: tells each sender the IPv4 address it is seen from.

#include <fcntl.h>
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
#include <system_error>
#include <thread>
#include <vector>

#include "address_reflector.h"
#include "endpoint_text.h"
#include "line_writer.h"
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
// How long the last lines may wait for a stalled output at the end: a stop
// must not wait on whoever reads them.
constexpr std::chrono::milliseconds output_patience{50};

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
  // Why the fast path could no longer follow its interface; written before
  // failure_event is signalled, read after the threads are joined.
  std::string fast_path_failure;

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

// The counters, one line: the same on SIGUSR1 and at the end.
std::string counter_line(const serving_state& state, const line_writer& output) {
  std::string line =
      state.totals().summary() + " log_lines_dropped=" + std::to_string(output.dropped());
  if (state.fast_path) {
    line += " answered_at_driver=" + std::to_string(state.fast_path->answered_at_driver());
  }
  return line;
}

// Reports the server's counters on SIGUSR1 and returns on any other signal
// of the set (SIGINT, SIGTERM, SIGHUP) or when a serving thread fails.
void wait_for_stop(int signals, int failure_event, const serving_state& state,
                   line_writer& output) {
  std::array<pollfd, 2> waits = {pollfd{signals, POLLIN, 0}, pollfd{failure_event, POLLIN, 0}};
  for (;;) {
    if (poll(waits.data(), waits.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (waits[1].revents != 0) {
      return;
    }
    signalfd_siginfo received{};
    if (read(signals, &received, sizeof received) != sizeof received ||
        received.ssi_signo != SIGUSR1) {
      return;
    }
    output.write_line(STDERR_FILENO, "counters: " + counter_line(state, output));
  }
}

// A descriptor 0, 1 or 2 left closed by whoever started the server would be
// the next socket opened, and the lines meant for the terminal would go to
// it: /dev/null stands in instead.
void keep_standard_descriptors_taken() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      const int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
      if (null >= 0 && null != fd) {
        dup2(null, fd);
        close(null);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Writes that fail (a reader gone, a closed socket) are handled where
  // they happen; the signal would end the server instead.
  std::signal(SIGPIPE, SIG_IGN);
  keep_standard_descriptors_taken();
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
  // mask and these signals reach only the signalfd.
  sigset_t handled_signals;
  sigemptyset(&handled_signals);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
    sigaddset(&handled_signals, signal_number);
  }
  pthread_sigmask(SIG_BLOCK, &handled_signals, nullptr);
  const wanseer::unique_fd signals(signalfd(-1, &handled_signals, SFD_CLOEXEC));

  // From here on every line goes through the writer, so that no output can
  // hold up answering or stopping.
  line_writer output;
  if (!output.start()) {
    std::fprintf(stderr, "%s: cannot start the output threads: %s\n", program, std::strerror(errno));
    return exit_failure;
  }
  const auto fail = [&output](const std::string& message) {
    output.write_line(STDERR_FILENO, std::string(program) + ": " + message);
    output.finish(output_patience);
    return exit_failure;
  };

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
    return fail("cannot listen on " + format_endpoint(options.listen) + ": " +
                std::strerror(errno));
  }
  const auto threads = static_cast<unsigned>(sockets.sockets.size());
  serving_state state(threads);
  if (!signals.valid() || !state.stop_event.valid() || !state.failure_event.valid()) {
    return fail(std::string("cannot set up: ") + std::strerror(errno));
  }
  throttle_log rate_limit_log(options.limit.per_second, rate_limit_lines_per_second, output);

  // Each thread's share of the source table and its buffers, made (and the
  // table's pages touched) before the server says it is ready.
  const std::size_t slots_per_thread = (options.limit.table_slots + threads - 1) / threads;
  std::vector<reflector_setup> setups(threads);
  std::vector<std::unique_ptr<source_rate_limiter>> limiters;
  std::vector<std::unique_ptr<reflector_buffers>> buffers;
  for (unsigned i = 0; i < threads; ++i) {
    setups[i].socket = sockets.sockets[i].get();
    setups[i].stop_event = state.stop_event.get();
    setups[i].reply_from_destination = sockets.wildcard;
    setups[i].batch = options.batch;
    try {
      limiters.push_back(std::make_unique<source_rate_limiter>(options.limit, slots_per_thread,
                                                               seed + i, state.counters[i]));
    } catch (const std::bad_alloc&) {
      return fail("not enough memory for a source table of " +
                  std::to_string(options.limit.table_slots) + " slots; lower --sources");
    }
    try {
      buffers.push_back(std::make_unique<reflector_buffers>(setups[i]));
    } catch (const std::bad_alloc&) {
      return fail("not enough memory for the receive buffers of " + std::to_string(threads) +
                  " threads; lower --batch or --threads");
    }
  }
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
      return fail("--xdp " + options.xdp_interface + ": " + reason);
    }
  }
  // What each serving thread asks before it answers: with --xdp, the
  // driver's table, so that both paths spend one budget per source.
  std::vector<std::unique_ptr<shared_source_admission>> shared_limits;
  std::vector<source_admission*> admissions;
  for (unsigned i = 0; i < threads; ++i) {
    if (state.fast_path) {
      shared_limits.push_back(
          std::make_unique<shared_source_admission>(*state.fast_path, *limiters[i]));
      admissions.push_back(shared_limits.back().get());
    } else {
      admissions.push_back(limiters[i].get());
    }
  }

  std::unique_ptr<metrics_endpoint> metrics;
  if (options.metrics) {
    metrics = std::make_unique<metrics_endpoint>();
    const bool started =
        metrics->start(*options.metrics, [&state, &rate_limit_log, &output, threads, start_time] {
          metrics_snapshot snapshot;
          snapshot.totals = state.totals();
          if (state.fast_path) {
            snapshot.answered_at_driver = state.fast_path->answered_at_driver();
            snapshot.xdp_attached = state.fast_path->attached();
            snapshot.passed_to_kernel = state.fast_path->passes();
          }
          snapshot.threads = threads;
          snapshot.log_lines_suppressed = rate_limit_log.suppressed();
          snapshot.log_lines_dropped = output.dropped();
          snapshot.start_time_seconds = start_time;
          return format_metrics(snapshot);
        });
    if (!started) {
      return fail("cannot serve metrics on " + format_endpoint(*options.metrics) + ": " +
                  std::strerror(errno));
    }
  }

  std::vector<std::thread> workers;
  const auto stop_workers = [&] {
    signal_event(state.stop_event.get());
    for (auto& worker : workers) {
      worker.join();
    }
  };
  for (unsigned i = 0; i < threads; ++i) {
    try {
      workers.emplace_back([i, &state, &setups, &buffers, &admissions, &rate_limit_log] {
        if (!serve_requests(setups[i], *buffers[i], *admissions[i], rate_limit_log,
                            state.counters[i])) {
          int expected = 0;
          state.failure.compare_exchange_strong(expected, errno);
          signal_event(state.failure_event.get());
        }
      });
    } catch (const std::system_error& failure) {
      stop_workers();
      return fail("cannot start thread " + std::to_string(i + 1) + " of " +
                  std::to_string(threads) + " (" + failure.code().message() + "); lower --threads");
    }
  }

  if (state.fast_path) {
    try {
      workers.emplace_back([&state, &rate_limit_log] {
        if (!state.fast_path->forward_reports(state.stop_event.get(), rate_limit_log)) {
          int expected = 0;
          state.failure.compare_exchange_strong(expected, errno);
          signal_event(state.failure_event.get());
        }
      });
      workers.emplace_back([&state, &output, &options] {
        const auto log = [&output](const std::string& line) {
          output.write_line(STDERR_FILENO, std::string(program) + ": " + line);
        };
        std::string reason;
        if (!state.fast_path->follow_interface(state.stop_event.get(), log, reason)) {
          state.fast_path_failure = "--xdp " + options.xdp_interface + ": " + reason;
          int expected = 0;
          state.failure.compare_exchange_strong(expected, EIO);
          signal_event(state.failure_event.get());
        }
      });
    } catch (const std::system_error& failure) {
      stop_workers();
      return fail("cannot start the XDP threads (" + failure.code().message() + ")");
    }
  }

  output.write_line(STDOUT_FILENO, "listening on " + format_endpoint(sockets.bound));
  output.write_line(STDERR_FILENO, describe_start(options, sockets, metrics.get()));
  sd_notifyf(0, "READY=1\nSTATUS=answering on %s with %u %s",
             format_endpoint(sockets.bound).c_str(), threads, threads == 1 ? "thread" : "threads");

  wait_for_stop(signals.get(), state.failure_event.get(), state, output);
  sd_notify(0, "STOPPING=1");
  stop_workers();
  metrics.reset();

  output.write_line(STDOUT_FILENO, counter_line(state, output));
  if (!state.fast_path_failure.empty()) {
    return fail(state.fast_path_failure);
  }
  if (const int failure = state.failure.load(); failure != 0) {
    return fail(std::string("socket failed: ") + std::strerror(failure));
  }
  output.finish(output_patience);
  return 0;
}
