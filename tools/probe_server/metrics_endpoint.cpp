#include "metrics_endpoint.h"

#include <microhttpd.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "unique_fd.h"

namespace wanseer_tools {

namespace {

using clock_type = std::chrono::steady_clock;

// A scraper sends its request at once; a client that has not delivered a
// whole request this long after connecting is not going to.
constexpr std::chrono::seconds first_request_time{5};
// After an answer, for the next request on a kept-alive connection: longer,
// so that a scraper that asks every 15 or 30 s keeps its connection.
constexpr std::chrono::seconds next_request_time{30};
constexpr unsigned connection_limit = 64;
// So that one client cannot take all of them.
constexpr unsigned connections_per_address = 16;

int respond(MHD_Connection* connection, unsigned status, const std::string& body,
            const char* content_type) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) {
    return 0;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  }
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued == MHD_YES ? 1 : 0;
}

}  // namespace

class metrics_endpoint::server {
 public:
  server(const sockaddr_in& address, renderer render)
      : render_(std::move(render)), address_(address) {
    connections_.reserve(2 * connection_limit);
  }

  ~server() {
    if (thread_.joinable()) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t written = write(stop_event_.get(), &one, sizeof one);
      thread_.join();
    }
    daemon_.reset();
  }

  bool start() {
    // The library's own limit leaves room for newcomers while the
    // connections they push out close; the caps are kept here.
    daemon_.reset(MHD_start_daemon(
        MHD_USE_EPOLL, ntohs(address_.sin_port), nullptr, nullptr, &on_request, this,
        MHD_OPTION_SOCK_ADDR, &address_, MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(next_request_time.count()), MHD_OPTION_CONNECTION_LIMIT,
        2 * connection_limit, MHD_OPTION_NOTIFY_CONNECTION, &on_connection, this,
        MHD_OPTION_NOTIFY_COMPLETED, &on_completed, this, MHD_OPTION_END));
    if (!daemon_ || !stop_event_.valid()) {
      if (errno == 0) {
        errno = EADDRNOTAVAIL;
      }
      return false;
    }
    const MHD_DaemonInfo* listening = MHD_get_daemon_info(daemon_.get(), MHD_DAEMON_INFO_LISTEN_FD);
    if (listening != nullptr) {
      socklen_t length = sizeof address_;
      getsockname(listening->listen_fd, reinterpret_cast<sockaddr*>(&address_), &length);
    }
    const MHD_DaemonInfo* events = MHD_get_daemon_info(daemon_.get(), MHD_DAEMON_INFO_EPOLL_FD);
    if (events == nullptr) {
      errno = EINVAL;
      return false;
    }
    try {
      thread_ = std::thread([this, epoll_fd = events->epoll_fd] { serve(epoll_fd); });
    } catch (const std::system_error& failure) {
      errno = failure.code().value();
      return false;
    }
    return true;
  }

  const sockaddr_in& address() const { return address_; }

 private:
  struct tracked {
    MHD_Connection* connection;
    int fd;
    in_addr_t client;
    clock_type::time_point deadline;
    bool closing;
  };

  struct daemon_stop {
    void operator()(MHD_Daemon* daemon) const { MHD_stop_daemon(daemon); }
  };

  void serve(int epoll_fd) {
    for (;;) {
      int timeout_ms = -1;
      MHD_UNSIGNED_LONG_LONG library_timeout = 0;
      if (MHD_get_timeout(daemon_.get(), &library_timeout) == MHD_YES) {
        timeout_ms = static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(library_timeout, 60000));
      }
      const auto next = next_deadline();
      if (next != clock_type::time_point::max()) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(next - clock_type::now()).count();
        const int until_deadline = static_cast<int>(std::clamp<std::int64_t>(left, 0, 60000));
        timeout_ms = timeout_ms < 0 ? until_deadline : std::min(timeout_ms, until_deadline);
      }
      std::array<pollfd, 2> waits = {pollfd{epoll_fd, POLLIN, 0},
                                     pollfd{stop_event_.get(), POLLIN, 0}};
      if (poll(waits.data(), waits.size(), timeout_ms) < 0 && errno != EINTR) {
        return;
      }
      if (waits[1].revents != 0) {
        return;
      }
      MHD_run(daemon_.get());
      const auto now = clock_type::now();
      for (tracked& entry : connections_) {
        if (!entry.closing && entry.deadline <= now) {
          close_connection(entry);
        }
      }
    }
  }

  clock_type::time_point next_deadline() const {
    auto next = clock_type::time_point::max();
    for (const tracked& entry : connections_) {
      if (!entry.closing) {
        next = std::min(next, entry.deadline);
      }
    }
    return next;
  }

  // The library has no call that closes a connection: shutting its socket
  // down makes it see the end and close it on its next run.
  static void close_connection(tracked& entry) {
    shutdown(entry.fd, SHUT_RDWR);
    entry.closing = true;
  }

  // Closes, among the open connections that `pick` accepts other than the
  // newest, the one whose time is nearest its end, if more than `cap` are
  // open.
  template <typename Pick>
  void keep_to(unsigned cap, Pick pick) {
    unsigned open = 0;
    tracked* victim = nullptr;
    for (std::size_t i = 0; i < connections_.size(); ++i) {
      tracked& entry = connections_[i];
      if (entry.closing || !pick(entry)) {
        continue;
      }
      ++open;
      if (i + 1 < connections_.size() && (victim == nullptr || entry.deadline < victim->deadline)) {
        victim = &entry;
      }
    }
    if (open > cap && victim != nullptr) {
      close_connection(*victim);
    }
  }

  void connection_started(MHD_Connection* connection) {
    const MHD_ConnectionInfo* fd_info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo* client_info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (fd_info == nullptr || client_info == nullptr) {
      return;
    }
    in_addr_t client = 0;
    if (client_info->client_addr->sa_family == AF_INET) {
      client = reinterpret_cast<const sockaddr_in*>(client_info->client_addr)->sin_addr.s_addr;
    }
    connections_.push_back(
        {connection, fd_info->connect_fd, client, clock_type::now() + first_request_time, false});
    keep_to(connections_per_address,
            [client](const tracked& entry) { return entry.client == client; });
    keep_to(connection_limit, [](const tracked&) { return true; });
  }

  void connection_closed(MHD_Connection* connection) {
    connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                      [connection](const tracked& entry) {
                                        return entry.connection == connection;
                                      }),
                       connections_.end());
  }

  void request_completed(MHD_Connection* connection) {
    for (tracked& entry : connections_) {
      if (entry.connection == connection && !entry.closing) {
        entry.deadline = clock_type::now() + next_request_time;
      }
    }
  }

  int answer(MHD_Connection* connection, const char* url, const char* method, size_t* upload_size,
             void** request_state) {
    // The answer is queued on the second call, once the whole request is
    // in: one queued on the first makes the library close the connection.
    if (*request_state == nullptr) {
      *request_state = this;
      return 1;
    }
    if (*upload_size != 0) {
      *upload_size = 0;  // a body is read and ignored
      return 1;
    }
    if (std::strcmp(url, "/metrics") != 0) {
      return respond(connection, MHD_HTTP_NOT_FOUND, "only /metrics is served here\n",
                     "text/plain");
    }
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
        std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
      return respond(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "GET or HEAD only\n", "text/plain");
    }
    return respond(connection, MHD_HTTP_OK, render_(), "text/plain; version=0.0.4; charset=utf-8");
  }

  static MHD_Result on_request(void* self, MHD_Connection* connection, const char* url,
                               const char* method, const char*, const char*, size_t* upload_size,
                               void** request_state) {
    return static_cast<server*>(self)->answer(connection, url, method, upload_size,
                                              request_state) != 0
               ? MHD_YES
               : MHD_NO;
  }

  static void on_connection(void* self, MHD_Connection* connection, void**,
                            MHD_ConnectionNotificationCode event) {
    auto* const endpoint = static_cast<server*>(self);
    if (event == MHD_CONNECTION_NOTIFY_STARTED) {
      endpoint->connection_started(connection);
    } else {
      endpoint->connection_closed(connection);
    }
  }

  static void on_completed(void* self, MHD_Connection* connection, void**,
                           MHD_RequestTerminationCode) {
    static_cast<server*>(self)->request_completed(connection);
  }

  renderer render_;
  sockaddr_in address_;
  std::vector<tracked> connections_;  // touched only by the endpoint's thread
  wanseer::unique_fd stop_event_{eventfd(0, EFD_CLOEXEC)};
  std::unique_ptr<MHD_Daemon, daemon_stop> daemon_;
  std::thread thread_;
};

metrics_endpoint::metrics_endpoint() = default;

metrics_endpoint::~metrics_endpoint() = default;

bool metrics_endpoint::start(const sockaddr_in& address, renderer render) {
  server_ = std::make_unique<server>(address, std::move(render));
  errno = 0;
  return server_->start();
}

const sockaddr_in& metrics_endpoint::address() const {
  return server_->address();
}

}  // namespace wanseer_tools
