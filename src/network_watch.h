// The kernel's news of network changes (rtnetlink, Linux): IPv4 addresses
// that come or go, default routes that change, and links that start or stop
// carrying traffic.  Any of these may give the host another external
// address, so the worker asks again soon after one.
#ifndef WANSEER_NETWORK_WATCH_H
#define WANSEER_NETWORK_WATCH_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "unique_fd.h"

namespace wanseer {

// Lives on the worker's stack and allocates nothing: a fork that catches
// another thread inside the allocator leaves its lock held in the child
// (the sanitizers' allocators are not fork-safe), and a child's own worker
// must never need it.
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
  // links at the start, so that only a change of this state counts.  News
  // of a carrying link beyond the first most_tracked_links always counts.
  static constexpr std::size_t most_tracked_links = 512;
  std::array<int, most_tracked_links> carrying_links_{};
  std::size_t carrying_count_ = 0;
  // The kernel sizes the batches of a dump to what the reader reads (and
  // starts with less than this); news comes one message to a datagram.
  std::array<unsigned char, 8 * 1024> buffer_{};
};

}  // namespace wanseer

#endif  // WANSEER_NETWORK_WATCH_H
