// The descriptors that the worker thread holds open: its UDP socket and the
// resolver's sockets.  A forked child inherits copies of them but no worker
// to close them, so the child closes its copies through this list.
#ifndef WANSEER_WORKER_DESCRIPTORS_H
#define WANSEER_WORKER_DESCRIPTORS_H

namespace wanseer {

// Lock-free and async-signal-safe, so that a fork at any moment finds the
// list consistent.  The worker tracks a descriptor right after opening it
// and untracks it right before closing it.  A list that is full (never with
// one worker) leaves the descriptor untracked: it then stays open in a
// child, close-on-exec as every descriptor of the library.
void track_worker_descriptor(int fd) noexcept;
void untrack_worker_descriptor(int fd) noexcept;

// In a forked child only: closes the child's copies of every tracked
// descriptor and empties the list.  The parent's descriptors are untouched.
void close_worker_descriptors_in_child() noexcept;

}  // namespace wanseer

#endif  // WANSEER_WORKER_DESCRIPTORS_H
