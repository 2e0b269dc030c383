#include "name_lookup.h"

#include <ares.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "worker_descriptors.h"

namespace wanseer {

resolver_override resolver_for_tests;

namespace {

// The resolver's sockets, made close-on-exec from the start and listed with
// the worker's descriptors so that a forked child can close its copies.
// Non-blocking, as the resolver expects of sockets it does not make itself.
ares_socket_t open_resolver_socket(int domain, int type, int protocol, void*) {
  const int fd = ::socket(domain, type | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
  if (fd >= 0) {
    track_worker_descriptor(fd);
  }
  return fd;
}

int close_resolver_socket(ares_socket_t fd, void*) {
  untrack_worker_descriptor(fd);
  return ::close(fd);
}

int connect_resolver_socket(ares_socket_t fd, const sockaddr* address, ares_socklen_t length,
                            void*) {
  return ::connect(fd, address, length);
}

ares_ssize_t receive_on_resolver_socket(ares_socket_t fd, void* buffer, size_t length, int flags,
                                        sockaddr* from, ares_socklen_t* from_length, void*) {
  return ::recvfrom(fd, buffer, length, flags, from, from_length);
}

// MSG_NOSIGNAL: a name server that drops a TCP connection must not raise
// SIGPIPE in the host.
ares_ssize_t send_on_resolver_socket(ares_socket_t fd, const iovec* parts, int count, void*) {
  msghdr message{};
  message.msg_iov = const_cast<iovec*>(parts);
  message.msg_iovlen = static_cast<std::size_t>(count);
  return ::sendmsg(fd, &message, MSG_NOSIGNAL);
}

const ares_socket_functions resolver_sockets = {open_resolver_socket, close_resolver_socket,
                                                connect_resolver_socket, receive_on_resolver_socket,
                                                send_on_resolver_socket};

struct channel_deleter {
  void operator()(ares_channeldata* channel) const noexcept { ares_destroy(channel); }
};
using channel_ptr = std::unique_ptr<ares_channeldata, channel_deleter>;

channel_ptr make_channel() {
  ares_options options{};
  int mask = 0;
  if (!resolver_for_tests.configuration_file.empty()) {
    options.resolvconf_path = const_cast<char*>(resolver_for_tests.configuration_file.c_str());
    mask |= ARES_OPT_RESOLVCONF;
  }
  if (resolver_for_tests.port != 0) {
    options.udp_port = resolver_for_tests.port;
    options.tcp_port = resolver_for_tests.port;
    mask |= ARES_OPT_UDP_PORT | ARES_OPT_TCP_PORT;
  }
  ares_channel channel = nullptr;
  if (ares_init_options(&channel, &options, mask) != ARES_SUCCESS) {
    return nullptr;
  }
  ares_set_socket_functions(channel, &resolver_sockets, nullptr);
  return channel_ptr(channel);
}

// Filled by the resolver's callback, which also runs when the channel is
// destroyed with the lookup still under way.
struct pending_lookup {
  bool done = false;
  lookup_result result;
};

void lookup_finished(void* argument, int status, int /*timeouts*/, ares_addrinfo* found) {
  auto& pending = *static_cast<pending_lookup*>(argument);
  pending.done = true;
  if (status == ARES_SUCCESS && found != nullptr) {
    for (const ares_addrinfo_node* node = found->nodes; node != nullptr; node = node->ai_next) {
      if (node->ai_family == AF_INET && node->ai_addr != nullptr) {
        const auto* address = reinterpret_cast<const sockaddr_in*>(node->ai_addr);
        const std::uint32_t bytes = address->sin_addr.s_addr;
        auto& addresses = pending.result.addresses;
        if (std::find(addresses.begin(), addresses.end(), bytes) == addresses.end()) {
          addresses.push_back(bytes);
        }
      }
    }
    if (!pending.result.addresses.empty()) {
      pending.result.how = lookup_result::outcome::found;
    }
  }
  ares_freeaddrinfo(found);
}

steady_deadline resolver_timer(ares_channeldata* channel, steady_deadline deadline) {
  timeval left{};
  if (ares_timeout(channel, nullptr, &left) == nullptr) {
    return deadline;
  }
  const auto timer = std::chrono::steady_clock::now() + std::chrono::seconds(left.tv_sec) +
                     std::chrono::microseconds(left.tv_usec);
  return std::min(timer, deadline);
}

// Runs the channel's lookups until `done` is set (by a callback), the
// deadline passes (failed) or `wake` turns readable (woken).
lookup_result::outcome drive_channel(ares_channeldata* channel, const bool& done,
                                     steady_deadline deadline, int wake) {
  while (!done) {
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    const int wanted = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
    pollfd watched[ARES_GETSOCK_MAXNUM];
    std::size_t count = 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
      short events = 0;
      if (ARES_GETSOCK_READABLE(wanted, i)) {
        events |= POLLIN;
      }
      if (ARES_GETSOCK_WRITABLE(wanted, i)) {
        events |= POLLOUT;
      }
      if (events != 0) {
        watched[count++] = {sockets[i], events, 0};
      }
    }
    switch (wait_for_any(watched, count, wake, resolver_timer(channel, deadline))) {
      case readiness::woken:
        return lookup_result::outcome::woken;  // the channel's end cancels the lookup
      case readiness::deadline_passed:
        if (std::chrono::steady_clock::now() >= deadline) {
          return lookup_result::outcome::failed;
        }
        ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        break;
      case readiness::socket_readable:
        for (std::size_t i = 0; i < count && !done; ++i) {
          const short ready = watched[i].revents;
          if (ready == 0) {
            continue;
          }
          const bool readable = (ready & (POLLIN | POLLERR | POLLHUP)) != 0;
          const bool writable = (ready & (POLLOUT | POLLERR | POLLHUP)) != 0;
          ares_process_fd(
              channel, readable ? watched[i].fd : ARES_SOCKET_BAD,
              writable && (watched[i].events & POLLOUT) != 0 ? watched[i].fd : ARES_SOCKET_BAD);
        }
        break;
    }
  }
  return lookup_result::outcome::found;
}

struct pending_service_lookup {
  bool done = false;
  service_lookup_result result;
};

void service_lookup_finished(void* argument, int status, int /*timeouts*/, unsigned char* answer,
                             int length) {
  auto& pending = *static_cast<pending_service_lookup*>(argument);
  pending.done = true;
  ares_srv_reply* records = nullptr;
  if (status != ARES_SUCCESS || answer == nullptr ||
      ares_parse_srv_reply(answer, length, &records) != ARES_SUCCESS) {
    return;
  }
  if (records != nullptr) {
    pending.result.how = lookup_result::outcome::found;
  }
  for (const ares_srv_reply* record = records; record != nullptr; record = record->next) {
    // A target "." says the service is not offered there.
    if (record->host != nullptr && std::strcmp(record->host, ".") != 0 &&
        std::strcmp(record->host, "") != 0 && record->port != 0) {
      pending.result.targets.push_back(
          {record->host, record->port, record->priority, record->weight});
    }
  }
  ares_free_data(records);
  // Lowest priority first; among equals, the heavier first, so that the
  // order is the same at every lookup.
  std::stable_sort(pending.result.targets.begin(), pending.result.targets.end(),
                   [](const service_target& left, const service_target& right) {
                     return left.priority != right.priority ? left.priority < right.priority
                                                            : left.weight > right.weight;
                   });
}

}  // namespace

lookup_result look_up_ipv4(const std::string& name, steady_deadline deadline, int wake) {
  pending_lookup pending;
  const channel_ptr channel = make_channel();
  if (!channel) {
    // No resolver (no memory, no descriptor): a miss like any other.
    return pending.result;
  }
  ares_addrinfo_hints hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  ares_getaddrinfo(channel.get(), name.c_str(), nullptr, &hints, lookup_finished, &pending);
  const lookup_result::outcome how = drive_channel(channel.get(), pending.done, deadline, wake);
  if (how != lookup_result::outcome::found) {
    pending.result.how = how;
    pending.result.addresses.clear();
  }
  return pending.result;
}

service_lookup_result look_up_service(const std::string& name, steady_deadline deadline, int wake) {
  pending_service_lookup pending;
  const channel_ptr channel = make_channel();
  if (!channel) {
    return pending.result;
  }
  ares_search(channel.get(), name.c_str(), ns_c_in, ns_t_srv, service_lookup_finished, &pending);
  const lookup_result::outcome how = drive_channel(channel.get(), pending.done, deadline, wake);
  if (how != lookup_result::outcome::found) {
    pending.result.how = how;
    pending.result.targets.clear();
  }
  return pending.result;
}

}  // namespace wanseer
