#include "name_lookup.h"

#include <ares.h>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "resolver_configuration.h"
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

constexpr char resolver_file[] = "/etc/resolv.conf";
constexpr char hosts_file[] = "/etc/hosts";
constexpr std::uint16_t name_server_port = 53;

const char* resolver_file_in_use() {
  return resolver_for_tests.configuration_file.empty()
             ? resolver_file
             : resolver_for_tests.configuration_file.c_str();
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

struct pending_service_lookup {
  bool done = false;
  service_lookup_result result;
};

void service_lookup_finished(void* argument, int status, int /*timeouts*/, unsigned char* answer,
                             int length) {
  auto& pending = *static_cast<pending_service_lookup*>(argument);
  pending.done = true;
  // No such name, or no SRV record under it: the name servers have spoken,
  // and the caller may fall back.  Anything else (SERVFAIL, a refusal, no
  // answer, garbage) says nothing about the records.
  auto absent = [](int code) { return code == ARES_ENOTFOUND || code == ARES_ENODATA; };
  if (absent(status)) {
    pending.result.how = lookup_result::outcome::absent;
    return;
  }
  ares_srv_reply* records = nullptr;
  if (status != ARES_SUCCESS || answer == nullptr) {
    return;
  }
  const int parsed = ares_parse_srv_reply(answer, length, &records);
  if (parsed != ARES_SUCCESS) {
    if (absent(parsed)) {
      pending.result.how = lookup_result::outcome::absent;
    }
    return;
  }
  pending.result.how =
      records != nullptr ? lookup_result::outcome::found : lookup_result::outcome::absent;
  for (const ares_srv_reply* record = records; record != nullptr; record = record->next) {
    // A target "." says the service is not offered there.
    if (record->host != nullptr && std::strcmp(record->host, ".") != 0 &&
        std::strcmp(record->host, "") != 0 && record->port != 0) {
      pending.result.targets.push_back(
          {record->host, record->port, record->priority, record->weight});
    }
  }
  ares_free_data(records);
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

}  // namespace

name_resolver::name_resolver() {
  try {
    const resolver_configuration configuration =
        read_resolver_configuration(resolver_file_in_use());
    std::vector<char*> domains;
    for (const std::string& domain : configuration.search) {
      domains.push_back(const_cast<char*>(domain.c_str()));
    }
    // Every setting given, so that the resolver library reads neither the
    // resolver configuration nor the environment; "b" alone keeps it off
    // the hosts file, which look_up_ipv4 reads itself.
    ares_options options{};
    options.timeout = configuration.timeout_seconds * 1000;
    options.tries = configuration.attempts;
    options.ndots = configuration.ndots;
    options.domains = domains.data();
    options.ndomains = static_cast<int>(domains.size());
    options.lookups = const_cast<char*>("b");
    options.servers = nullptr;
    options.nservers = 0;
    options.sortlist = nullptr;
    options.nsort = 0;
    const int mask = ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_NDOTS | ARES_OPT_DOMAINS |
                     ARES_OPT_LOOKUPS | ARES_OPT_SERVERS | ARES_OPT_SORTLIST |
                     (configuration.rotate ? ARES_OPT_ROTATE : ARES_OPT_NOROTATE);
    if (ares_init_options(&channel_, &options, mask) != ARES_SUCCESS) {
      channel_ = nullptr;
      return;
    }
    ares_set_socket_functions(channel_, &resolver_sockets, nullptr);
  } catch (const std::bad_alloc&) {
    // No resolver: every lookup of a name server is a miss.
  }
}

name_resolver::~name_resolver() {
  if (channel_ != nullptr) {
    ares_destroy(channel_);
  }
}

bool name_resolver::use_current_name_servers() {
  const resolver_configuration configuration = read_resolver_configuration(resolver_file_in_use());
  const std::uint16_t port =
      resolver_for_tests.port != 0 ? resolver_for_tests.port : name_server_port;
  std::vector<ares_addr_port_node> servers(configuration.name_servers.size());
  for (std::size_t i = 0; i < servers.size(); ++i) {
    ares_addr_port_node& server = servers[i];
    const char* text = configuration.name_servers[i].c_str();
    server.family = ::inet_pton(AF_INET, text, &server.addr.addr4) == 1 ? AF_INET : AF_INET6;
    if (server.family == AF_INET6) {
      ::inet_pton(AF_INET6, text, &server.addr.addr6);
    }
    server.udp_port = port;
    server.tcp_port = port;
    server.next = i + 1 < servers.size() ? &servers[i + 1] : nullptr;
  }
  return ares_set_servers_ports(channel_, servers.data()) == ARES_SUCCESS;
}

lookup_result name_resolver::look_up_ipv4(const std::string& name, steady_deadline deadline,
                                          const wait_set& waits, const wake_check& ends_on_wake) {
  pending_lookup pending;
  std::string hosts;
  if (read_whole_file(hosts_file, hosts)) {
    pending.result.addresses = hosts_file_ipv4(hosts, name);
    if (!pending.result.addresses.empty()) {
      pending.result.how = lookup_result::outcome::found;
      return pending.result;
    }
  }
  if (channel_ == nullptr || !use_current_name_servers()) {
    return pending.result;
  }
  ares_addrinfo_hints hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  ares_getaddrinfo(channel_, name.c_str(), nullptr, &hints, lookup_finished, &pending);
  const lookup_result::outcome how = drive(pending.done, deadline, waits, ends_on_wake);
  if (how != lookup_result::outcome::found) {
    pending.result.how = how;
    pending.result.addresses.clear();
  }
  return pending.result;
}

service_lookup_result name_resolver::look_up_service(const std::string& name,
                                                     steady_deadline deadline,
                                                     const wait_set& waits,
                                                     const wake_check& ends_on_wake) {
  pending_service_lookup pending;
  if (channel_ == nullptr || !use_current_name_servers()) {
    return pending.result;
  }
  ares_search(channel_, name.c_str(), ns_c_in, ns_t_srv, service_lookup_finished, &pending);
  const lookup_result::outcome how = drive(pending.done, deadline, waits, ends_on_wake);
  if (how != lookup_result::outcome::found) {
    pending.result.how = how;
    pending.result.targets.clear();
  }
  return pending.result;
}

lookup_result::outcome name_resolver::drive(const bool& done, steady_deadline deadline,
                                            const wait_set& waits, const wake_check& ends_on_wake) {
  while (!done) {
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    const int wanted = ares_getsock(channel_, sockets, ARES_GETSOCK_MAXNUM);
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
    switch (waits.wait_for_any(watched, count, resolver_timer(channel_, deadline))) {
      case readiness::woken:
        if (ends_on_wake && !ends_on_wake()) {
          break;  // news that does not matter, read away
        }
        ares_cancel(channel_);
        return lookup_result::outcome::woken;
      case readiness::deadline_passed:
        if (std::chrono::steady_clock::now() >= deadline) {
          ares_cancel(channel_);
          return lookup_result::outcome::failed;
        }
        ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
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
              channel_, readable ? watched[i].fd : ARES_SOCKET_BAD,
              writable && (watched[i].events & POLLOUT) != 0 ? watched[i].fd : ARES_SOCKET_BAD);
        }
        break;
    }
  }
  return lookup_result::outcome::found;
}

}  // namespace wanseer
