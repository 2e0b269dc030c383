// The worker's waits: each ends at its deadline, at once on a stop, and on a
// relevant network change while early requests are allowed.
#ifndef WANSEER_WORKER_WAIT_H
#define WANSEER_WORKER_WAIT_H

#include <optional>

#include "network_watch.h"
#include "readiness.h"

namespace wanseer {

enum class wait_end { deadline_passed, stopped, network_changed, socket_readable };

class worker_wait {
 public:
  // `waits` is the worker's wait set.  With `follow_network_changes` opens
  // the network watch and adds it to the set; without it only a stop ends
  // a wait early.
  worker_wait(wait_set& waits, bool follow_network_changes);
  worker_wait(const worker_wait&) = delete;
  worker_wait& operator=(const worker_wait&) = delete;
  ~worker_wait();

  // Before a wait on the set up to `deadline`: watches the news or not, as
  // the hold says, and returns when that changes (at most `deadline`).
  steady_deadline phase_end(steady_deadline deadline);

  // After a wait on the set ended before its deadline without a stop:
  // reads the news, true when a relevant change came.
  bool network_changed();

  // Reads away the news queued so far: it belongs to a change already
  // being acted on.
  void absorb_news();

  // Waits until `deadline`, a stop, or a relevant change; or, with a
  // `socket` (not negative), until it has a datagram to read, which wins
  // over a stop that comes at the same moment.
  wait_end wait_until(steady_deadline deadline, int socket = -1);

  // Holds changes back until `until`: an early request has just left.
  // News that comes meanwhile is read when the hold ends.
  void hold_changes_until(steady_deadline until) noexcept { held_until_ = until; }

 private:
  bool changes_held() const noexcept;

  wait_set& waits_;
  std::optional<network_watch> watch_;
  bool in_set_ = false;
  steady_deadline held_until_{};
};

}  // namespace wanseer

#endif  // WANSEER_WORKER_WAIT_H
