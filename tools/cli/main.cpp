// wanseer: prints this machine's external IPv4 address, learned through
// libwanseer loaded at run time.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>

#include "address_output.h"
#include "address_poller.h"
#include "change_hook.h"
#include "cli_options.h"
#include "endpoint_text.h"
#include "hook_state.h"
#include "server_check.h"
#include "wanseer_library.h"

namespace {

using namespace wanseer_tools;

const char* const program = "wanseer";

// Runs the library's worker for as long as it lives: wanseer_stop is always
// called before the library can be unloaded.
class worker_session {
 public:
  explicit worker_session(const wanseer_exports& exports) : exports_(exports) {}
  worker_session(const worker_session&) = delete;
  worker_session& operator=(const worker_session&) = delete;
  ~worker_session() { exports_.stop(); }

  // errno after wanseer_startup: 0 when the worker started.
  int start(const std::string& server) {
    errno = 0;
    exports_.startup(server.c_str());
    return errno;
  }

 private:
  const wanseer_exports& exports_;
};

std::string utc_timestamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  gmtime_r(&now.tv_sec, &parts);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(text + length, sizeof text - length, ".%03ldZ", now.tv_nsec / 1000000);
  return text;
}

int report_read_failure(const address_reading& reading) {
  if (reading.status == WANSEER_ERROR) {
    std::fprintf(stderr, "%s: reading the address failed: %s\n", program,
                 std::strerror(reading.error));
  } else {
    std::fprintf(stderr, "%s: the value store answered status %d, not a 4-byte address\n", program,
                 static_cast<int>(reading.status));
  }
  return exit_library_failed;
}

int report_stopped_early(int signal) {
  std::fprintf(stderr, "%s: stopped by %s before an address was learned\n", program,
               strsignal(signal));
  return exit_no_answer;
}

int report_write_failure() {
  std::fprintf(stderr, "%s: cannot write the address: %s\n", program, std::strerror(errno));
  return exit_write_failed;
}

// How long before a "no answer" message the server check starts: time
// for its lookup and its wait for a refusal, both bounded.
constexpr std::chrono::milliseconds check_lead{4500};
// Never sooner than this after the start: the library's own first request
// goes first, and on a near server the answer is back by then.
constexpr std::chrono::seconds earliest_check{1};

// The reason from a server check that has ended, as ": REASON" (or "").
std::string cause_clause(const std::optional<server_check>& check) {
  const auto cause = check ? check->cause() : std::nullopt;
  return cause && !cause->empty() ? ": " + *cause : "";
}

int print_once(const address_poller& poller, const cli_options& options,
               const address_output& output) {
  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + options.timeout;
  const auto check_at = std::max(started + earliest_check, deadline - check_lead);
  std::optional<server_check> check;
  poll_interval interval(std::chrono::milliseconds(50));
  for (;;) {
    const address_reading reading = poller.read();
    if (reading.status == WANSEER_OK) {
      return output.write_line(format_ipv4(reading.address)) ? exit_ok : report_write_failure();
    }
    if (reading.status != WANSEER_NOT_FOUND) {
      return report_read_failure(reading);
    }
    const auto now = std::chrono::steady_clock::now();
    const auto left = deadline - now;
    if (left <= std::chrono::steady_clock::duration::zero()) {
      // Up to the millisecond, in plain digits: "1000", not "1e+03".
      std::fprintf(stderr, "%s: no answer from %s within %.12g s%s\n", program,
                   options.server.c_str(), static_cast<double>(options.timeout.count()) / 1000.0,
                   cause_clause(check).c_str());
      return exit_no_answer;
    }
    if (!check && now >= check_at) {
      check.emplace(options.server);
    }
    if (const auto signal =
            poller.wait(std::min<std::chrono::steady_clock::duration>(interval.next(), left))) {
      return report_stopped_early(*signal);
    }
  }
}

// While no address is known, --watch says so: when the library's first
// attempt has missed (its receive timeout is 5 s), then once a minute.
constexpr std::chrono::seconds first_silence_report{5};
constexpr std::chrono::seconds silence_report_interval{60};

// `hook` runs the --on-change command; null without one.
int watch_changes(const address_poller& poller, const address_output& output,
                  const std::string& server, change_hook* hook) {
  poll_interval interval(std::chrono::milliseconds(100));
  bool known = false;
  unsigned char last[4] = {};
  const auto started = std::chrono::steady_clock::now();
  auto next_report = started + first_silence_report;
  std::optional<server_check> check;
  for (;;) {
    // Read once more after a stop signal, so a change that came just before
    // it is still shown.
    const auto signal = poller.wait(interval.next());
    const address_reading reading = poller.read();
    if (reading.status == WANSEER_OK &&
        (!known || std::memcmp(last, reading.address, sizeof last) != 0)) {
      known = true;
      std::memcpy(last, reading.address, sizeof last);
      if (!output.write_line(utc_timestamp() + " " + format_ipv4(reading.address))) {
        return report_write_failure();
      }
      if (hook != nullptr && !signal) {
        hook->address_changed(format_ipv4(reading.address));
      }
    } else if (reading.status != WANSEER_OK && reading.status != WANSEER_NOT_FOUND) {
      return report_read_failure(reading);
    }
    if (signal) {
      // A run under way is ended rather than waited for: a service manager
      // that stops the watcher wants it gone promptly.
      if (hook != nullptr) {
        hook->stop();
      }
      // Stopped before anything was learned: as in the one-shot mode, the
      // caller learns that the server never answered.
      return known ? exit_ok : report_stopped_early(*signal);
    }
    if (hook != nullptr) {
      hook->check();
    }
    if (known) {
      check.reset();
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!check && now >= std::max(started + earliest_check, next_report - check_lead)) {
      check.emplace(server);
    }
    if (now >= next_report) {
      const auto waited = std::chrono::duration_cast<std::chrono::seconds>(now - started);
      std::fprintf(stderr, "%s: no answer from %s for %lld s%s\n", program, server.c_str(),
                   static_cast<long long>(waited.count()), cause_clause(check).c_str());
      check.reset();
      next_report += silence_report_interval;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const address_output output;
  const auto parsed = parse_cli_options(argc, argv);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, parsed.error.c_str(), program);
    return exit_bad_arguments;
  }
  const cli_options& options = parsed.options;
  if (options.show_help) {
    std::fputs(cli_usage(program).c_str(), stdout);
    return exit_ok;
  }
  if (options.show_version) {
    std::printf("%s %s\n", program, WANSEER_TOOLS_VERSION);
    return exit_ok;
  }

  // Blocked before the library starts its thread, which inherits the mask:
  // only the waits of the main thread take these signals.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::string load_error;
  const std::unique_ptr<wanseer_library> library = wanseer_library::load(load_error);
  if (!library) {
    std::fprintf(stderr, "%s: cannot load %s:\n%s", program, library_file_name, load_error.c_str());
    return exit_library_unloadable;
  }
  const wanseer_exports& exports = library->exports();

  if (options.key) {
    errno = 0;
    exports.init(nullptr, options.key->c_str());
    if (errno != 0) {
      std::fprintf(stderr, "%s: key refused by the library: %s\n", program, std::strerror(errno));
      return exit_bad_arguments;
    }
  }

  worker_session worker(exports);
  if (const int error = worker.start(options.server); error != 0) {
    std::fprintf(stderr, "%s: the library could not start: %s\n", program, std::strerror(error));
    return exit_library_failed;
  }
  const address_poller poller(exports, stop_signals);
  if (!options.watch) {
    return print_once(poller, options, output);
  }
  std::optional<change_hook> hook;
  if (options.on_change) {
    hook_timing timing;
    timing.timeout = options.hook_timeout.value_or(default_hook_timeout);
    std::string delivered;
    std::function<void(const std::string&)> keep;
    if (options.state_file) {
      delivered = load_hook_state(*options.state_file);
      keep = [path = *options.state_file](const std::string& address) {
        if (!store_hook_state(path, address)) {
          std::fprintf(stderr, "%s: cannot keep %s in --state %s: %s\n", program, address.c_str(),
                       path.c_str(), std::strerror(errno));
        }
      };
    }
    hook.emplace(*options.on_change, timing, delivered, keep);
  }
  return watch_changes(poller, output, options.server, hook ? &*hook : nullptr);
}
