// The worker's waits: each ends at its deadline, at once on a stop, and on a
// relevant network change while early requests are allowed.
#ifndef WANSEER_WORKER_WAIT_H
#define WANSEER_WORKER_WAIT_H

#include <optional>

#include "network_watch.h"
#include "readiness.h"
#include "unique_fd.h"

namespace wanseer {

enum class wait_end { deadline_passed, stopped, network_changed };

class worker_wait {
 public:
  // `stop_handle` turns readable on a stop.  With `follow_network_changes`
  // opens the network watch and a set of both handles; without them only a
  // stop ends a wait early.
  worker_wait(int stop_handle, bool follow_network_changes);
  worker_wait(const worker_wait&) = delete;
  worker_wait& operator=(const worker_wait&) = delete;
  ~worker_wait();

  // The handle that the socket and lookup waits of an attempt also watch,
  // up to phase_end(deadline): the stop handle alone while changes are held
  // back, else the set of it and the watch.
  int handle() const noexcept;
  steady_deadline phase_end(steady_deadline deadline) const noexcept;

  // After a wait on handle() ended before its deadline without a stop:
  // reads the news, true when a relevant change came.
  bool network_changed();

  // Reads away the news queued so far: it belongs to a change already
  // being acted on.
  void absorb_news();

  // Waits until `deadline`, a stop, or a relevant change.
  wait_end wait_until(steady_deadline deadline);

  // Holds changes back until `until`: an early request has just left.
  // News that comes meanwhile is read when the hold ends.
  void hold_changes_until(steady_deadline until) noexcept { held_until_ = until; }

 private:
  bool changes_held() const noexcept;

  int stop_handle_;
  std::optional<network_watch> watch_;
  unique_fd both_;  // epoll set of the stop handle and the watch
  steady_deadline held_until_{};
};

}  // namespace wanseer

#endif  // WANSEER_WORKER_WAIT_H
