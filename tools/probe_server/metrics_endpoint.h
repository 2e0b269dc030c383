// Serves the probe server's metrics over HTTP in the Prometheus text format,
// at GET /metrics, from a thread of the HTTP library's own, so that slow or
// malformed requests never reach the UDP threads.
#ifndef WANSEER_TOOLS_METRICS_ENDPOINT_H
#define WANSEER_TOOLS_METRICS_ENDPOINT_H

#include <netinet/in.h>

#include <functional>
#include <memory>
#include <string>

struct MHD_Daemon;

namespace wanseer_tools {

class metrics_endpoint {
 public:
  // Text of one scrape; called on the HTTP thread.
  using renderer = std::function<std::string()>;

  metrics_endpoint() = default;
  metrics_endpoint(const metrics_endpoint&) = delete;
  metrics_endpoint& operator=(const metrics_endpoint&) = delete;
  ~metrics_endpoint();

  // Listens on `address`; returns false with errno set if it cannot.
  bool start(const sockaddr_in& address, renderer render);

  // The address listened on, with the port the kernel chose.
  const sockaddr_in& address() const { return address_; }

  // Serves one request; public for the library's C callback only.
  int answer(void* connection, const char* url, const char* method);

 private:
  struct daemon_stop {
    void operator()(MHD_Daemon* daemon) const;
  };

  renderer render_;
  sockaddr_in address_{};
  std::unique_ptr<MHD_Daemon, daemon_stop> daemon_;
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_METRICS_ENDPOINT_H
