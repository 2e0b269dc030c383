#include "worker_wait.h"

#include <algorithm>

#include "module_state.h"

namespace wanseer {

worker_wait::worker_wait(wait_set& waits, bool follow_network_changes) : waits_(waits) {
  if (!follow_network_changes) {
    return;
  }
  watch_.emplace();
  in_set_ = waits_.add_news(watch_->descriptor());
}

worker_wait::~worker_wait() {
  if (in_set_) {
    waits_.remove_news();
  }
}

bool worker_wait::changes_held() const noexcept {
  return std::chrono::steady_clock::now() < held_until_;
}

steady_deadline worker_wait::phase_end(steady_deadline deadline) {
  if (!in_set_) {
    return deadline;
  }
  const bool held = changes_held();
  waits_.watch_news(!held);
  return held ? std::min(deadline, held_until_) : deadline;
}

bool worker_wait::network_changed() {
  return in_set_ && !changes_held() && watch_->drain_and_classify();
}

void worker_wait::absorb_news() {
  if (in_set_) {
    watch_->drain_and_classify();
  }
}

wait_end worker_wait::wait_until(steady_deadline deadline, int socket) {
  for (;;) {
    const readiness ready = waits_.wait_for(socket, phase_end(deadline));
    if (ready == readiness::socket_readable) {
      return wait_end::socket_readable;
    }
    if (stop_requested.is_raised()) {
      return wait_end::stopped;
    }
    if (ready == readiness::woken && network_changed()) {
      return wait_end::network_changed;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return wait_end::deadline_passed;
    }
  }
}

}  // namespace wanseer
