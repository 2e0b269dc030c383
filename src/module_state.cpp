#include "module_state.h"

#include <ace/Thread_Manager.h>

#include <cerrno>
#include <cstring>

#include "probe_control.h"

namespace wanseer {

char key_name[key_capacity] = "IP";
// The order of these definitions is the reverse of the order in which they
// are destroyed when the library is unloaded or the process exits.
stop_signal stop_requested;
wait_set worker_waits;
ACE_Thread_Manager* worker_manager = nullptr;

namespace {

// A host that unloads the library, or exits, without wanseer_stop leaves
// the worker running.  The manager's destructor would then wait for it for
// ever, and its code could be unmapped under it.  Destroyed before the two
// values above, this stops such a worker the way wanseer_stop does: the
// flag is raised and the worker woken, so it ends within milliseconds while
// everything it touches is still there.  It does nothing when the host has
// stopped the worker, and nothing in a forked child for the parent's worker.
struct worker_left_running {
  ~worker_left_running() { stop_probe(); }
} const stop_at_teardown;

}  // namespace

void thread_manager_deleter::operator()(ACE_Thread_Manager* manager) const noexcept {
  delete manager;
}

}  // namespace wanseer

extern "C" void wanseer_init(const void* /*reserved*/, const char* key) {
  if (key == nullptr || key[0] == '\0') {
    errno = EINVAL;
    return;
  }
  // Never look further into the caller's text than the key could reach.
  const std::size_t length = ::strnlen(key, wanseer::key_capacity);
  if (length == wanseer::key_capacity) {
    errno = ENAMETOOLONG;
    return;
  }
  std::memcpy(wanseer::key_name, key, length + 1);
}
