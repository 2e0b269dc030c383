// probe_from SERVER_ADDR:PORT SOURCE...: from each SOURCE address in turn,
// sends one probe to the server and checks that the answer comes from
// exactly SERVER_ADDR:PORT and names SOURCE.  For the network-namespace
// tests, where the sources are addresses of a test interface.
// Exit: 0 every source answered correctly, 1 otherwise, 2 bad usage.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "endpoint_text.h"
#include "unique_fd.h"

namespace {

constexpr int reply_wait_ms = 5000;

// An error text, empty if `source` got the right answer from `server`.
std::string probe(const sockaddr_in& server, const char* source) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (inet_pton(AF_INET, source, &local.sin_addr) != 1) {
    return "not an IPv4 address";
  }
  const wanseer::unique_fd socket_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket_fd.valid() ||
      bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    return std::string("cannot bind: ") + std::strerror(errno);
  }
  const unsigned char request[] = {'i', 'p', '\0'};
  if (sendto(socket_fd.get(), request, sizeof request, 0,
             reinterpret_cast<const sockaddr*>(&server), sizeof server) != sizeof request) {
    return std::string("cannot send: ") + std::strerror(errno);
  }
  pollfd readable{socket_fd.get(), POLLIN, 0};
  if (poll(&readable, 1, reply_wait_ms) != 1) {
    return "no answer within 5 s";
  }
  unsigned char reply[8];
  sockaddr_in sender{};
  socklen_t length = sizeof sender;
  const ssize_t got = recvfrom(socket_fd.get(), reply, sizeof reply, 0,
                               reinterpret_cast<sockaddr*>(&sender), &length);
  if (sender.sin_addr.s_addr != server.sin_addr.s_addr || sender.sin_port != server.sin_port) {
    return "answer came from " + wanseer_tools::format_endpoint(sender);
  }
  if (got != 4 || std::memcmp(reply, &local.sin_addr, 4) != 0) {
    return "answer does not name the source";
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  const auto server = argc > 2 ? wanseer_tools::parse_ipv4_endpoint(argv[1]) : std::nullopt;
  if (!server) {
    std::fprintf(stderr, "usage: %s SERVER_ADDR:PORT SOURCE...\n", argv[0]);
    return 2;
  }
  int failed = 0;
  for (int i = 2; i < argc; ++i) {
    const std::string error = probe(*server, argv[i]);
    if (!error.empty()) {
      std::fprintf(stderr, "%s asking %s: %s\n", argv[i], argv[1], error.c_str());
      ++failed;
    }
  }
  std::printf("%d of %d sources answered from %s\n", argc - 2 - failed, argc - 2, argv[1]);
  return failed == 0 ? 0 : 1;
}
