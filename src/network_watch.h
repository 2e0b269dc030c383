// The kernel's news of network changes (rtnetlink, Linux): IPv4 addresses
// that come or go, default routes that change, and links that start or stop
// carrying traffic.  Any of these may give the host another external
// address, so the worker asks again soon after one.
#ifndef WANSEER_NETWORK_WATCH_H
#define WANSEER_NETWORK_WATCH_H

#include <cstdint>
#include <vector>

#include "unique_fd.h"

namespace wanseer {

class network_watch {
 public:
  // Opens the socket: close-on-exec, non-blocking, on the worker's list of
  // descriptors for a fork.  A kernel filter drops most messages that cannot
  // matter (links that are down coming and going, routes other than default
  // ones) before they wake anyone.  Where the socket cannot be had (a
  // sandbox, no rtnetlink) the watch stays closed and the worker keeps its
  // plain schedule.
  network_watch();
  network_watch(const network_watch&) = delete;
  network_watch& operator=(const network_watch&) = delete;
  ~network_watch();

  // Readable when news is queued; -1 when closed.
  int descriptor() const noexcept { return socket_.get(); }

  // Reads every queued message; true when one of them is a relevant change,
  // or when the kernel dropped messages for want of room (one of them may
  // have been).
  bool drain_and_classify();

 private:
  bool classify(const unsigned char* message, std::uint32_t length, std::uint32_t sender);
  bool link_carrying_changed(int index, bool carrying);

  unique_fd socket_;
  std::uint32_t port_id_ = 0;
  // Links known to carry traffic (up and running), filled by a dump of the
  // links at the start, so that only a change of this state counts.
  std::vector<int> carrying_links_;
  std::vector<unsigned char> buffer_;
};

}  // namespace wanseer

#endif  // WANSEER_NETWORK_WATCH_H
