#include "fork_handlers.h"

#include <pthread.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <utility>

#include "module_state.h"
#include "worker_descriptors.h"

namespace wanseer {

namespace {

// Set once the handlers are in place; startup and stop never run at the
// same time, but a fork on another thread may read it at any moment.
std::atomic<bool> registered{false};

// Plain POSIX objects with static initialisers: loading the library runs no
// code for them.
pthread_mutex_t life_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t start_ended = PTHREAD_COND_INITIALIZER;
bool start_under_way = false;  // guarded by life_lock

// Returns holding life_lock, with no start under way.
void lock_after_start() noexcept {
  ::pthread_mutex_lock(&life_lock);
  while (start_under_way) {
    ::pthread_cond_wait(&start_ended, &life_lock);
  }
}

void before_fork() noexcept {
  lock_after_start();
}

void after_fork_in_parent() noexcept {
  ::pthread_mutex_unlock(&life_lock);
}

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
  // The child's only thread took the lock before the fork.  No thread of
  // the parent can be waiting on the condition here.
  ::pthread_mutex_unlock(&life_lock);
  start_ended = PTHREAD_COND_INITIALIZER;
  close_worker_descriptors_in_child();
  keep_inherited(std::exchange(worker_manager, nullptr));
  // The wake-up handle is shared with the parent: a stop in the child must
  // never write to it.
  worker_waits.disarm();
  stop_requested.disarm();
}

}  // namespace

// Registered at the first start, so after the value store's own handlers
// (the store is loaded before that): prepare handlers run in the reverse
// order of registration, so a fork waits here for a stop under way before
// the store locks itself, and that stop's worker can still finish a write.
bool register_fork_handlers() noexcept {
  if (registered.load(std::memory_order_acquire)) {
    return true;
  }
  const int error = ::pthread_atfork(before_fork, after_fork_in_parent, forget_parents_worker);
  if (error != 0) {
    errno = error;
    return false;
  }
  registered.store(true, std::memory_order_release);
  return true;
}

void worker_start_begins() noexcept {
  ::pthread_mutex_lock(&life_lock);
  start_under_way = true;
  ::pthread_mutex_unlock(&life_lock);
}

void worker_start_ends() noexcept {
  ::pthread_mutex_lock(&life_lock);
  start_under_way = false;
  ::pthread_cond_broadcast(&start_ended);
  ::pthread_mutex_unlock(&life_lock);
}

worker_stop_scope::worker_stop_scope() noexcept {
  lock_after_start();
}

worker_stop_scope::~worker_stop_scope() {
  ::pthread_mutex_unlock(&life_lock);
}

}  // namespace wanseer
