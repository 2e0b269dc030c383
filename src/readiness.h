// Waiting for sockets or the stop handle, whichever comes first, with a
// deadline.  The worker's one wait set (epoll) is made when the worker is
// started and holds the stop handle for the worker's whole life; each wait
// adds the sockets it watches and takes them out again.  epoll_wait, unlike
// poll, is not bounded by RLIMIT_NOFILE, so a host that lowers its
// descriptor limit after the start still has a worker that hears the stop
// and its replies, and descriptor numbers of any size work.
#ifndef WANSEER_READINESS_H
#define WANSEER_READINESS_H

#include <poll.h>

#include <chrono>
#include <cstddef>

#include "unique_fd.h"

namespace wanseer {

using steady_deadline = std::chrono::steady_clock::time_point;

enum class readiness { socket_readable, woken, deadline_passed };

class wait_set {
 public:
  constexpr wait_set() noexcept = default;

  // Makes the set (close-on-exec) with the `wake` handle in it for good.
  // Returns false with errno set when no set can be had.  A descriptor that
  // the worker watches for its whole life joins the set here, beside the
  // wake handle, with a tag of its own.
  bool arm(int wake) noexcept;
  // Drops the set once no worker can be waiting on it.
  void disarm() noexcept { set_.reset(); }

  // The worker's network news (a descriptor it holds for its whole life)
  // joins the set under a tag of its own: while watched, a wait also ends,
  // woken, when the news turns readable.  add_news returns false when it
  // cannot join; remove_news comes before the descriptor is closed.
  bool add_news(int news) noexcept;
  void watch_news(bool watching) noexcept;
  void remove_news() noexcept;

  // Blocks until `socket` (ignored when negative) has a datagram to read,
  // the wake handle turns readable, or `deadline` passes.  A readable socket
  // wins over a wake-up that comes at the same moment, so that a reply
  // already there is still taken.
  readiness wait_for(int socket, steady_deadline deadline) const;

  // The same for several sockets, each with the events it asks for in
  // `watched[i].events` (POLLIN, POLLOUT); entries with a negative or
  // unusable descriptor are skipped.  On socket_readable, the `revents` of
  // the entries tell which are ready (an error or hang-up counts as ready,
  // so that the owner reads it away).
  readiness wait_for_any(pollfd* watched, std::size_t count, steady_deadline deadline) const;

 private:
  unique_fd set_;
  int wake_ = -1;
  int news_ = -1;
  bool news_watched_ = false;
};

}  // namespace wanseer

#endif  // WANSEER_READINESS_H
