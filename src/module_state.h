// The library's state: one instance per loaded copy of the library, in
// static storage, constant-initialised so that loading runs no code.
#ifndef WANSEER_MODULE_STATE_H
#define WANSEER_MODULE_STATE_H

#include <memory>

#include "readiness.h"
#include "stop_signal.h"
#include "wanseer.h"

class ACE_Thread_Manager;

namespace wanseer {

struct thread_manager_deleter {
  void operator()(ACE_Thread_Manager* manager) const noexcept;
};
using thread_manager_ptr = std::unique_ptr<ACE_Thread_Manager, thread_manager_deleter>;

inline constexpr std::size_t key_capacity = WANSEER_KEY_CAPACITY;

// The key under which the worker stores and the query reads the address.
// Written only by wanseer_init, which the host never runs alongside a worker
// or a query, so it needs no lock.  Always holds a non-empty NUL-terminated
// name.
extern char key_name[key_capacity];

// The library's own thread manager while a worker may run; null otherwise.
// Tested, used and deleted only by a stop holding the life lock (or at a
// failed start).  A plain pointer, so that the library's end at exit or
// unload writes nothing to it while a host's wanseer_stop on another thread
// may still test it.
extern ACE_Thread_Manager* worker_manager;

// Raised by wanseer_stop, tested by the worker.
extern stop_signal stop_requested;

// Every wait of the worker, with stop_requested's wake handle in it; armed
// and disarmed together with stop_requested.
extern wait_set worker_waits;

}  // namespace wanseer

#endif  // WANSEER_MODULE_STATE_H
