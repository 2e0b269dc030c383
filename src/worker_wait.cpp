#include "worker_wait.h"

#include <sys/epoll.h>

#include <algorithm>

#include "module_state.h"
#include "worker_descriptors.h"

namespace wanseer {

worker_wait::worker_wait(int stop_handle, bool follow_network_changes) : stop_handle_(stop_handle) {
  if (!follow_network_changes || stop_handle < 0) {
    return;
  }
  watch_.emplace();
  if (watch_->descriptor() < 0) {
    return;
  }
  unique_fd both(::epoll_create1(EPOLL_CLOEXEC));
  if (!both.valid()) {
    return;
  }
  for (const int member : {stop_handle, watch_->descriptor()}) {
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.fd = member;
    if (::epoll_ctl(both.get(), EPOLL_CTL_ADD, member, &interest) != 0) {
      return;
    }
  }
  track_worker_descriptor(both.get());
  both_ = std::move(both);
}

worker_wait::~worker_wait() {
  untrack_worker_descriptor(both_.get());
}

bool worker_wait::changes_held() const noexcept {
  return std::chrono::steady_clock::now() < held_until_;
}

int worker_wait::handle() const noexcept {
  return both_.valid() && !changes_held() ? both_.get() : stop_handle_;
}

steady_deadline worker_wait::phase_end(steady_deadline deadline) const noexcept {
  return both_.valid() && changes_held() ? std::min(deadline, held_until_) : deadline;
}

bool worker_wait::network_changed() {
  return both_.valid() && !changes_held() && watch_->drain_and_classify();
}

void worker_wait::absorb_news() {
  if (both_.valid()) {
    watch_->drain_and_classify();
  }
}

wait_end worker_wait::wait_until(steady_deadline deadline) {
  for (;;) {
    const steady_deadline end = phase_end(deadline);
    const readiness ready = wait_for(-1, handle(), end);
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
