// Answers per second and server CPU per answer, on loopback, of
// wanseer-probe-server or of coturn's STUN-only server, under the same load:
// sources on 127.0.0.1 to 127.0.0.16 sending probe requests (or STUN
// Binding requests to coturn) in batches, with a bounded number in flight.
// `stun` sends wanseer-probe-server the STUN Binding requests that coturn
// gets: the same work on the same wire.
//
// Usage: probe_server_load probe|stun|coturn SECONDS [--pin] [--window N]
//                          [-- SERVER ARGUMENTS...]
//   --pin  runs the server on the last processor and the load on the others
//          (the server's threads then share one core)
//   --window N  requests in flight at most (default 4096)
// Prints one line of figures.

#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "running_coturn.h"
#include "running_probe_server.h"
#include "support/cpu_time.h"

namespace {

using wanseer::testing::cpu_seconds;

constexpr unsigned batch = 64;
constexpr unsigned source_count = 16;
// Requests in flight at most, by default: enough to keep the server busy,
// few enough that no socket queue overflows.
unsigned window = 4096;
constexpr int reply_wait_ms = 50;
constexpr unsigned short coturn_port = 34780;

class load_socket {
 public:
  load_socket(unsigned source, unsigned short server_port, bool stun)
      : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK + source);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(server_port);
    // Connected: the kernel fills in the destination and filters replies.
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd_, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
      std::perror("load socket");
      std::exit(1);
    }
    const int queue_bytes = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &queue_bytes, sizeof queue_bytes);
    for (unsigned i = 0; i < batch; ++i) {
      requests_[i] = stun ? wanseer_bench::stun_binding_request(source * batch + i)
                          : std::vector<unsigned char>{'i', 'p', '\0'};
      out_vectors_[i] = {requests_[i].data(), requests_[i].size()};
      out_[i].msg_hdr.msg_iov = &out_vectors_[i];
      out_[i].msg_hdr.msg_iovlen = 1;
      in_vectors_[i] = {replies_[i].data(), replies_[i].size()};
      in_[i].msg_hdr.msg_iov = &in_vectors_[i];
      in_[i].msg_hdr.msg_iovlen = 1;
    }
  }
  ~load_socket() { close(fd_); }
  load_socket(const load_socket&) = delete;
  load_socket& operator=(const load_socket&) = delete;

  int handle() const { return fd_; }

  unsigned send() {
    const int sent = sendmmsg(fd_, out_.data(), batch, MSG_DONTWAIT);
    return sent > 0 ? static_cast<unsigned>(sent) : 0;
  }

  unsigned drain() {
    unsigned total = 0;
    for (;;) {
      const int got = recvmmsg(fd_, in_.data(), batch, MSG_DONTWAIT, nullptr);
      if (got <= 0) {
        return total;
      }
      total += static_cast<unsigned>(got);
    }
  }

 private:
  int fd_;
  std::array<std::vector<unsigned char>, batch> requests_{};
  std::array<iovec, batch> out_vectors_{};
  std::array<mmsghdr, batch> out_{};
  std::array<std::array<unsigned char, 128>, batch> replies_{};
  std::array<iovec, batch> in_vectors_{};
  std::array<mmsghdr, batch> in_{};
};

struct load_result {
  unsigned long long sent = 0;
  unsigned long long answered = 0;
  double seconds = 0;
};

load_result run_load(unsigned short port, bool stun, double seconds) {
  std::vector<std::unique_ptr<load_socket>> sockets;
  std::vector<pollfd> waits;
  for (unsigned source = 0; source < source_count; ++source) {
    sockets.push_back(std::make_unique<load_socket>(source, port, stun));
    waits.push_back({sockets.back()->handle(), POLLIN, 0});
  }
  load_result result;
  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + std::chrono::duration<double>(seconds);
  unsigned in_flight = 0;
  unsigned next = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    while (in_flight + batch <= window) {
      const unsigned went = sockets[next]->send();
      next = (next + 1) % source_count;
      result.sent += went;
      in_flight += went;
      if (went == 0) {
        break;
      }
    }
    if (poll(waits.data(), waits.size(), reply_wait_ms) <= 0) {
      in_flight = 0;  // a quiet spell: the rest in flight were lost
      continue;
    }
    for (unsigned i = 0; i < source_count; ++i) {
      if (waits[i].revents != 0) {
        const unsigned got = sockets[i]->drain();
        result.answered += got;
        in_flight -= std::min(in_flight, got);
      }
    }
  }
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return result;
}

void pin_to(unsigned first, unsigned last) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (unsigned cpu = first; cpu <= last; ++cpu) {
    CPU_SET(cpu, &set);
  }
  sched_setaffinity(0, sizeof set, &set);
}

void report(const char* name, unsigned threads, const load_result& load, double cpu) {
  const double rate = static_cast<double>(load.answered) / load.seconds;
  std::printf(
      "%-7s %u thread%s: %9.0f answers/s, %6.2f s CPU (%3.0f%% of a core), %5.2f us CPU per "
      "answer, %8.0f answers per CPU-second (%llu of %llu answered)\n",
      name, threads, threads == 1 ? " " : "s", rate, cpu, 100.0 * cpu / load.seconds,
      load.answered ? 1e6 * cpu / static_cast<double>(load.answered) : 0.0,
      cpu > 0 ? static_cast<double>(load.answered) / cpu : 0.0, load.answered, load.sent);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (argc < 3 || (mode != "probe" && mode != "stun" && mode != "coturn") ||
      std::atof(argv[2]) <= 0) {
    std::fprintf(stderr,
                 "usage: %s probe|stun|coturn SECONDS [--pin] [--window N] [-- SERVER "
                 "ARGUMENTS...]\n",
                 argv[0]);
    return 2;
  }
  const bool coturn = mode == "coturn";
  const bool stun = mode == "stun";
  const double seconds = std::atof(argv[2]);
  bool pin = false;
  std::vector<std::string> server_arguments;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pin") == 0) {
      pin = true;
    } else if (std::strcmp(argv[i], "--window") == 0 && i + 1 < argc) {
      window = static_cast<unsigned>(std::max(std::atoi(argv[++i]), static_cast<int>(batch)));
    } else if (std::strcmp(argv[i], "--") == 0) {
      server_arguments.assign(argv + i + 1, argv + argc);
      break;
    }
  }
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  pin = pin && processors > 1;
  const auto last = static_cast<unsigned>(processors - 1);
  // The server inherits the affinity it is started with.
  if (pin) {
    pin_to(last, last);
  }
  if (coturn) {
    wanseer_bench::running_coturn server(coturn_port, server_arguments);
    if (pin) {
      pin_to(0, last - 1);
    }
    const double cpu_before = cpu_seconds(server.pid());
    const load_result load = run_load(server.port(), true, seconds);
    report("coturn", server.threads(), load, cpu_seconds(server.pid()) - cpu_before);
  } else {
    // Few load sources: without this the rate limit would answer their
    // bursts and drop the rest.
    server_arguments.insert(server_arguments.begin(), {"--rate", "0"});
    wanseer_tests::running_probe_server server(server_arguments);
    if (pin) {
      pin_to(0, last - 1);
    }
    const double cpu_before = cpu_seconds(server.pid());
    const load_result load = run_load(server.port(), stun, seconds);
    const double cpu = cpu_seconds(server.pid()) - cpu_before;
    unsigned threads = 0;
    for (std::size_t i = 0; i + 1 < server_arguments.size(); ++i) {
      if (server_arguments[i] == "--threads") {
        threads = static_cast<unsigned>(std::stoul(server_arguments[i + 1]));
      }
    }
    report(stun ? "stun" : "probe", threads ? threads : static_cast<unsigned>(processors), load,
           cpu);
    std::printf("        server counters: %s\n",
                wanseer_tests::counter_line(server.stop()).c_str());
  }
  return 0;
}
