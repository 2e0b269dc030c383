// What the library does when the host forks: a child gets a copy of the
// library's state but not the worker thread behind it, so the child lets go
// of everything that belongs to the parent's worker without touching it.
#ifndef WANSEER_FORK_HANDLERS_H
#define WANSEER_FORK_HANDLERS_H

namespace wanseer {

// Registers the handlers with pthread_atfork, once for each load of the
// library (the C library drops them when the library is unloaded).  Returns
// false with errno set when they cannot be registered.
bool register_fork_handlers() noexcept;

// ACE takes a process-wide lock of its own while a thread it made starts and
// while it ends, and the value store may do the same for a thread's first
// open.  A fork at such a moment would leave that lock held for good in the
// child, and the child's own worker could never start.  So a fork waits
// while the worker is being started, from just before the spawn until the
// worker has opened the store, and while it is being stopped, until it has
// been joined.

// Called right before the spawn; marks a start under way.
void worker_start_begins() noexcept;
// Called by the worker once it has opened the store (or failed to), or
// after a spawn that failed.  Harmless without a start under way.
void worker_start_ends() noexcept;

// Held by the stop from the moment it raises the flag until the worker has
// been joined.  Waits first for a start still under way: a stop right after
// a start must not keep out the worker it waits for.
class worker_stop_scope {
 public:
  worker_stop_scope() noexcept;
  worker_stop_scope(const worker_stop_scope&) = delete;
  worker_stop_scope& operator=(const worker_stop_scope&) = delete;
  ~worker_stop_scope();
};

}  // namespace wanseer

#endif  // WANSEER_FORK_HANDLERS_H
