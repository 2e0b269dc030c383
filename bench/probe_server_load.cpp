// Answered requests per second of wanseer-probe-server on loopback, and the
// CPU time it used, under a bounded load: a fixed number of requests or a
// fixed time, whichever ends first, with a bounded number in flight.
//
// Usage: probe_server_load [REQUESTS [SECONDS]]   (default 2000000, 10)

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "running_probe_server.h"
#include "support/cpu_time.h"

namespace {

constexpr unsigned batch = 64;
// Requests in flight at most: enough to keep the server busy, few enough
// that no socket queue overflows.
constexpr unsigned window = 2048;
constexpr int reply_wait_ms = 50;

class load_socket {
 public:
  explicit load_socket(unsigned short server_port) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(server_port);
    // Connected: the kernel fills in the destination and filters replies.
    if (fd_ < 0 || connect(fd_, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
      std::perror("load socket");
      std::exit(1);
    }
    const int queue_bytes = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &queue_bytes, sizeof queue_bytes);
    for (unsigned i = 0; i < batch; ++i) {
      out_vectors_[i] = {const_cast<char*>(request_), sizeof request_};
      out_[i].msg_hdr.msg_iov = &out_vectors_[i];
      out_[i].msg_hdr.msg_iovlen = 1;
      in_vectors_[i] = {replies_[i].data(), replies_[i].size()};
      in_[i].msg_hdr.msg_iov = &in_vectors_[i];
      in_[i].msg_hdr.msg_iovlen = 1;
    }
  }
  ~load_socket() { close(fd_); }

  unsigned send(unsigned count) {
    const int sent = sendmmsg(fd_, out_.data(), count, 0);
    return sent > 0 ? static_cast<unsigned>(sent) : 0;
  }

  // Replies that arrive within reply_wait_ms, at most one batch.
  unsigned receive() {
    int got = recvmmsg(fd_, in_.data(), batch, MSG_DONTWAIT, nullptr);
    if (got <= 0) {
      pollfd readable{fd_, POLLIN, 0};
      if (poll(&readable, 1, reply_wait_ms) <= 0) {
        return 0;
      }
      got = recvmmsg(fd_, in_.data(), batch, MSG_DONTWAIT, nullptr);
    }
    return got > 0 ? static_cast<unsigned>(got) : 0;
  }

 private:
  int fd_;
  const char request_[3] = {'i', 'p', '\0'};
  std::array<iovec, batch> out_vectors_{};
  std::array<mmsghdr, batch> out_{};
  std::array<std::array<unsigned char, 8>, batch> replies_{};
  std::array<iovec, batch> in_vectors_{};
  std::array<mmsghdr, batch> in_{};
};

}  // namespace

int main(int argc, char** argv) {
  const unsigned long long requests = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000000;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 10.0;
  if (requests == 0 || seconds <= 0) {
    std::fprintf(stderr, "usage: %s [REQUESTS [SECONDS]]\n", argv[0]);
    return 2;
  }
  // One load source: without this the rate limit would answer its burst
  // and drop the rest.
  wanseer_tests::running_probe_server server({"--rate", "0"});
  load_socket load(server.port());

  const double cpu_before = wanseer::testing::cpu_seconds(server.pid());
  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + std::chrono::duration<double>(seconds);
  unsigned long long sent = 0;
  unsigned long long answered = 0;
  unsigned in_flight = 0;
  while (sent < requests && std::chrono::steady_clock::now() < deadline) {
    while (in_flight + batch <= window && sent < requests) {
      const auto count =
          static_cast<unsigned>(std::min<unsigned long long>(batch, requests - sent));
      const unsigned went = load.send(count);
      sent += went;
      in_flight += went;
      if (went < count) {
        break;
      }
    }
    const unsigned got = load.receive();
    answered += got;
    // A quiet socket means the rest in flight were lost.
    in_flight = got == 0 ? 0 : in_flight - std::min(in_flight, got);
  }
  while (in_flight > 0) {
    const unsigned got = load.receive();
    if (got == 0) {
      break;
    }
    answered += got;
    in_flight -= std::min(in_flight, got);
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double cpu = wanseer::testing::cpu_seconds(server.pid()) - cpu_before;
  const std::string counters = wanseer_tests::counter_line(server.stop());

  std::printf("probe server on loopback: %llu requests sent, %llu answered in %.2f s\n", sent,
              answered, elapsed);
  std::printf(
      "  %.0f answered requests/s; server CPU %.2f s (%.0f%% of one core, %.2f us per answer)\n",
      static_cast<double>(answered) / elapsed, cpu, 100.0 * cpu / elapsed,
      answered ? 1e6 * cpu / static_cast<double>(answered) : 0.0);
  std::printf("  probe server: %s\n", counters.c_str());
  return answered > 0 ? 0 : 1;
}
