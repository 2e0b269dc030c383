#include "fork_handlers.h"

#include <pthread.h>

#include <array>
#include <atomic>
#include <cerrno>

#include "module_state.h"
#include "worker_descriptors.h"

namespace wanseer {

namespace {

// Set once the handlers are in place; startup and stop never run at the
// same time, but a fork on another thread may read it at any moment.
std::atomic<bool> registered{false};

// Thread managers of workers that ran in an ancestor process, one for each
// generation that forked with a worker.  Such a manager cannot be used or
// destroyed in the child: it would wait for a thread that does not exist
// here, and its lock may have been held by that thread at the fork.  It is
// kept referenced so that leak checkers see it as what it is, memory left
// behind on purpose; a process that is forked more generations deep than
// this lets go of the reference of the oldest.
std::array<ACE_Thread_Manager*, 8> inherited_managers{};
std::size_t inherited_count = 0;

void keep_inherited(ACE_Thread_Manager* manager) noexcept {
  if (manager == nullptr) {
    return;
  }
  inherited_managers[inherited_count % inherited_managers.size()] = manager;
  ++inherited_count;
}

// Runs in the child, on its only thread, before fork returns there.  Only
// the child's own copies are closed; nothing the parent's worker still uses
// is written to.
void forget_parents_worker() noexcept {
  close_worker_descriptors_in_child();
  keep_inherited(worker_manager.release());
  // The wake-up handle is shared with the parent: a stop in the child must
  // never write to it.
  stop_requested.disarm();
}

}  // namespace

bool register_fork_handlers() noexcept {
  if (registered.load(std::memory_order_acquire)) {
    return true;
  }
  const int error = ::pthread_atfork(nullptr, nullptr, forget_parents_worker);
  if (error != 0) {
    errno = error;
    return false;
  }
  registered.store(true, std::memory_order_release);
  return true;
}

}  // namespace wanseer
