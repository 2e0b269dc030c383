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

}  // namespace wanseer

#endif  // WANSEER_FORK_HANDLERS_H
