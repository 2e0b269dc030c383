// Serves the probe server's metrics over HTTP in the Prometheus text format,
// at GET /metrics, from a thread of its own, so that slow or malformed
// requests never reach the UDP threads.
//
// The slots are held only by clients that finish their requests in time: a
// connection has a few seconds from opening to deliver a whole request, and
// after each answer (HTTP/1.1 keeps it open) a longer while to deliver the
// next; trickling bytes does not extend either.  At a cap, a newcomer takes
// the slot whose time is nearest its end, so that clients that hold
// connections open cannot lock a scraper out.
#ifndef WANSEER_TOOLS_METRICS_ENDPOINT_H
#define WANSEER_TOOLS_METRICS_ENDPOINT_H

#include <netinet/in.h>

#include <functional>
#include <memory>
#include <string>

namespace wanseer_tools {

class metrics_endpoint {
 public:
  // Text of one scrape; called on the endpoint's thread.
  using renderer = std::function<std::string()>;

  metrics_endpoint();
  metrics_endpoint(const metrics_endpoint&) = delete;
  metrics_endpoint& operator=(const metrics_endpoint&) = delete;
  // Closes every connection and ends the thread.
  ~metrics_endpoint();

  // Listens on `address` and starts the thread; returns false with errno
  // set if it cannot.
  bool start(const sockaddr_in& address, renderer render);

  // The address listened on, with the port the kernel chose.
  const sockaddr_in& address() const;

  class server;

 private:
  std::unique_ptr<server> server_;
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_METRICS_ENDPOINT_H
