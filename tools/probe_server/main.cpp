// wanseer-probe-server: tells each sender the IPv4 address it is seen from.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>

#include "address_reflector.h"
#include "endpoint_text.h"
#include "server_options.h"
#include "unique_fd.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;

extern "C" void on_stop_signal(int) {
  stop_requested = 1;
}

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

wanseer::unique_fd bind_socket(sockaddr_in& address) {
  wanseer::unique_fd socket_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket_fd.valid()) {
    return socket_fd;
  }
  // A larger queue rides out bursts; the kernel caps it, and a smaller one
  // still works.
  const int queue_bytes = 4 << 20;
  setsockopt(socket_fd.get(), SOL_SOCKET, SO_RCVBUF, &queue_bytes, sizeof queue_bytes);
  if (bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    socket_fd.reset();
    return socket_fd;
  }
  socklen_t length = sizeof address;
  getsockname(socket_fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return socket_fd;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace wanseer_tools;
  const char* const program = "wanseer-probe-server";
  const auto parsed = parse_server_options(argc, argv);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, parsed.error.c_str(), program);
    return exit_usage;
  }
  server_options options = parsed.options;
  if (options.show_help) {
    std::fputs(server_usage(program).c_str(), stdout);
    return 0;
  }
  if (options.show_version) {
    std::printf("%s %s\n", program, WANSEER_TOOLS_VERSION);
    return 0;
  }

  // The stop signals stay blocked except inside the wait of the loop.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigset_t wait_mask;
  sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGTERM);
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const std::string requested = format_endpoint(options.listen);
  const wanseer::unique_fd socket_fd = bind_socket(options.listen);
  if (!socket_fd.valid()) {
    std::fprintf(stderr, "%s: cannot listen on %s: %s\n", program, requested.c_str(),
                 std::strerror(errno));
    return exit_failure;
  }
  std::printf("listening on %s\n", format_endpoint(options.listen).c_str());
  std::fflush(stdout);

  std::random_device entropy;
  const std::uint64_t seed = (static_cast<std::uint64_t>(entropy()) << 32) | entropy();
  source_rate_limiter limiter(options.limit, seed);
  probe_counters counters;
  const bool clean = serve_requests(socket_fd.get(), limiter, wait_mask, stop_requested, counters);
  const int failure = errno;
  std::printf("%s\n", counters.summary().c_str());
  std::fflush(stdout);
  if (!clean) {
    std::fprintf(stderr, "%s: socket failed: %s\n", program, std::strerror(failure));
    return exit_failure;
  }
  return 0;
}
