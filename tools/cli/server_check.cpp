#include "server_check.h"

#include "endpoint_text.h"

#include <ares.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace wanseer_tools {

namespace {

using clock = std::chrono::steady_clock;

// A lookup that takes longer tells nothing more than "no answer".
constexpr std::chrono::seconds lookup_bound{3};
// An ICMP error comes back within a round trip.
constexpr std::chrono::seconds refusal_bound{1};
constexpr std::uint16_t stun_default_port = 3478;

int milliseconds_until(clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Owner of one c-ares channel.  No ares_library_init: it is not needed
// outside Windows, and is not safe beside the library's worker, which uses
// the same c-ares in this process.
class resolver_channel {
 public:
  resolver_channel() {
    if (ares_init(&channel_) != ARES_SUCCESS) {
      channel_ = nullptr;
    }
  }
  resolver_channel(const resolver_channel&) = delete;
  resolver_channel& operator=(const resolver_channel&) = delete;
  ~resolver_channel() {
    if (channel_ != nullptr) {
      ares_destroy(channel_);
    }
  }
  ares_channel get() const { return channel_; }

 private:
  ares_channel channel_ = nullptr;
};

struct lookup {
  bool done = false;
  int status = ARES_ETIMEOUT;
  std::vector<in_addr> addresses;
};

void lookup_ended(void* argument, int status, int, ares_addrinfo* result) {
  auto& found = *static_cast<lookup*>(argument);
  found.done = true;
  found.status = status;
  if (result != nullptr) {
    for (const ares_addrinfo_node* node = result->nodes; node != nullptr; node = node->ai_next) {
      if (node->ai_family == AF_INET) {
        found.addresses.push_back(reinterpret_cast<const sockaddr_in*>(node->ai_addr)->sin_addr);
      }
    }
    ares_freeaddrinfo(result);
  }
}

// Runs the lookup until it ends, the bound passes or `stop` turns readable.
lookup look_up(const std::string& host, int stop) {
  lookup found;
  resolver_channel channel;
  if (channel.get() == nullptr) {
    found.status = ARES_ECANCELLED;  // nothing learned
    return found;
  }
  ares_addrinfo_hints hints{};
  hints.ai_family = AF_INET;
  ares_getaddrinfo(channel.get(), host.c_str(), nullptr, &hints, lookup_ended, &found);
  const auto deadline = clock::now() + lookup_bound;
  while (!found.done) {
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    const int mask = ares_getsock(channel.get(), sockets, ARES_GETSOCK_MAXNUM);
    std::vector<pollfd> waits{{stop, POLLIN, 0}};
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
      const short events = static_cast<short>((ARES_GETSOCK_READABLE(mask, i) ? POLLIN : 0) |
                                              (ARES_GETSOCK_WRITABLE(mask, i) ? POLLOUT : 0));
      if (events != 0) {
        waits.push_back({sockets[i], events, 0});
      }
    }
    timeval most{0, 200000};
    timeval resolver_wait{};
    const timeval* wait = ares_timeout(channel.get(), &most, &resolver_wait);
    const int timeout = std::min<int>(milliseconds_until(deadline),
                                      static_cast<int>(wait->tv_sec * 1000 + wait->tv_usec / 1000));
    const int ready = poll(waits.data(), waits.size(), timeout);
    if (waits[0].revents != 0) {
      ares_cancel(channel.get());
      found.status = ARES_ECANCELLED;
      break;
    }
    if (clock::now() >= deadline) {
      ares_cancel(channel.get());
      found.status = ARES_ETIMEOUT;
      break;
    }
    if (ready < 0 && errno != EINTR) {
      ares_cancel(channel.get());
      break;
    }
    bool any = false;
    for (std::size_t i = 1; i < waits.size(); ++i) {
      if (waits[i].revents != 0) {
        any = true;
        ares_process_fd(
            channel.get(),
            waits[i].revents & (POLLIN | POLLERR | POLLHUP) ? waits[i].fd : ARES_SOCKET_BAD,
            waits[i].revents & POLLOUT ? waits[i].fd : ARES_SOCKET_BAD);
      }
    }
    if (!any) {
      ares_process_fd(channel.get(), ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // the resolver's timers
    }
  }
  return found;
}

// errno of an ICMP error for an empty datagram to `address`, or 0 when none
// came within the bound (or `stop` turned readable).
int refusal(const sockaddr_in& address, int stop) {
  const wanseer::unique_fd socket_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket_fd.valid()) {
    return 0;
  }
  // Connected, so that the kernel hands this socket the ICMP error.
  if (connect(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return errno == ENETUNREACH || errno == EHOSTUNREACH ? errno : 0;
  }
  if (send(socket_fd.get(), "", 0, 0) < 0) {
    return errno == ECONNREFUSED || errno == ENETUNREACH || errno == EHOSTUNREACH ? errno : 0;
  }
  const auto deadline = clock::now() + refusal_bound;
  for (;;) {
    pollfd waits[] = {{socket_fd.get(), POLLIN, 0}, {stop, POLLIN, 0}};
    const int ready = poll(waits, 2, milliseconds_until(deadline));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0 || waits[1].revents != 0) {
      return 0;
    }
    char byte = 0;
    if (recv(socket_fd.get(), &byte, 1, 0) < 0 && errno != EAGAIN && errno != EINTR) {
      return errno;
    }
    if (clock::now() >= deadline) {
      return 0;
    }
  }
}

bool is_dotted(const std::string& host, in_addr& address) {
  return inet_pton(AF_INET, host.c_str(), &address) == 1;
}

}  // namespace

server_check::server_check(const std::string& server) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    done_ = true;
    return;
  }
  stop_read_.reset(ends[0]);
  stop_write_.reset(ends[1]);
  thread_ = std::thread([this, server] { run(server); });
}

server_check::~server_check() {
  if (thread_.joinable()) {
    [[maybe_unused]] const ssize_t written = write(stop_write_.get(), "", 1);
    thread_.join();
  }
}

std::optional<std::string> server_check::cause() const {
  if (!done_.load(std::memory_order_acquire)) {
    return std::nullopt;
  }
  return cause_;
}

void server_check::run(std::string server) {
  const std::optional<server_text_parts> split = split_server_text(server);
  if (!split) {
    done_.store(true, std::memory_order_release);
    return;
  }
  const server_text_parts& parts = *split;
  in_addr address{};
  if (!is_dotted(parts.host, address)) {
    if (!parts.port) {
      // The SRV record names the host; that is the library's to look up.
      done_.store(true, std::memory_order_release);
      return;
    }
    const lookup found = look_up(parts.host, stop_read_.get());
    if (found.status == ARES_SUCCESS && !found.addresses.empty()) {
      address = found.addresses.front();
    } else if (found.status == ARES_ETIMEOUT) {
      cause_ = "no name server answered for " + parts.host;
    } else if (found.status != ARES_ECANCELLED && found.status != ARES_EDESTRUCTION) {
      cause_ = "the name " + parts.host + " could not be resolved (" +
               (found.status == ARES_SUCCESS ? std::string("no IPv4 address")
                                             : std::string(ares_strerror(found.status))) +
               ")";
    }
    if (address.s_addr == 0) {
      done_.store(true, std::memory_order_release);
      return;
    }
  }
  sockaddr_in endpoint{};
  endpoint.sin_family = AF_INET;
  endpoint.sin_addr = address;
  endpoint.sin_port = htons(parts.port.value_or(stun_default_port));
  if (const int error = refusal(endpoint, stop_read_.get()); error != 0) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    cause_ = error == ECONNREFUSED ? std::string(text) + " refused port " +
                                         std::to_string(parts.port.value_or(stun_default_port)) +
                                         " (nothing listens there)"
                                   : std::string(text) + ": " + std::strerror(error);
  }
  done_.store(true, std::memory_order_release);
}

}  // namespace wanseer_tools
