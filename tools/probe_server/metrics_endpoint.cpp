#include "metrics_endpoint.h"

#include <microhttpd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace wanseer_tools {

namespace {

// Scrapers reconnect; a connection idle this long is closed, so that idle or
// trickling clients cannot hold the slots.
constexpr unsigned connection_timeout_s = 10;
constexpr unsigned connection_limit = 64;
// So that one client cannot take all of them.
constexpr unsigned connections_per_address = 16;

MHD_Result on_request(void* endpoint, MHD_Connection* connection, const char* url,
                      const char* method, const char*, const char*, size_t*, void**) {
  return static_cast<metrics_endpoint*>(endpoint)->answer(connection, url, method) != 0 ? MHD_YES
                                                                                        : MHD_NO;
}

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

void metrics_endpoint::daemon_stop::operator()(MHD_Daemon* daemon) const {
  MHD_stop_daemon(daemon);
}

metrics_endpoint::~metrics_endpoint() = default;

bool metrics_endpoint::start(const sockaddr_in& address, renderer render) {
  render_ = std::move(render);
  address_ = address;
  daemon_.reset(MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL, ntohs(address.sin_port), nullptr, nullptr,
      &on_request, this, MHD_OPTION_SOCK_ADDR, &address_, MHD_OPTION_CONNECTION_TIMEOUT,
      connection_timeout_s, MHD_OPTION_CONNECTION_LIMIT, connection_limit,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, connections_per_address, MHD_OPTION_END));
  if (!daemon_) {
    if (errno == 0) {
      errno = EADDRNOTAVAIL;
    }
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_.get(), MHD_DAEMON_INFO_LISTEN_FD);
  if (info != nullptr) {
    socklen_t length = sizeof address_;
    getsockname(info->listen_fd, reinterpret_cast<sockaddr*>(&address_), &length);
  }
  return true;
}

int metrics_endpoint::answer(void* connection, const char* url, const char* method) {
  auto* const http = static_cast<MHD_Connection*>(connection);
  if (std::strcmp(url, "/metrics") != 0) {
    return respond(http, MHD_HTTP_NOT_FOUND, "only /metrics is served here\n", "text/plain");
  }
  if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
      std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    return respond(http, MHD_HTTP_METHOD_NOT_ALLOWED, "GET or HEAD only\n", "text/plain");
  }
  return respond(http, MHD_HTTP_OK, render_(), "text/plain; version=0.0.4; charset=utf-8");
}

}  // namespace wanseer_tools
