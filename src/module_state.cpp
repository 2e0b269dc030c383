#include "module_state.h"

#include <ace/Thread_Manager.h>

#include <cerrno>
#include <cstring>

namespace wanseer {

char key_name[key_capacity] = "IP";
thread_manager_ptr worker_manager;
stop_signal stop_requested;

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
