#include "probe_control.h"

#include <ace/Thread_Manager.h>

#include <cerrno>
#include <memory>
#include <new>

#include "fork_handlers.h"
#include "module_state.h"
#include "probe_worker.h"

namespace wanseer {

namespace {

// Keeps the caller's errno on success, whatever library calls on the way
// did to it, so a host can test errno after these void functions.
class errno_guard {
 public:
  errno_guard() noexcept : saved_(errno) {}
  errno_guard(const errno_guard&) = delete;
  errno_guard& operator=(const errno_guard&) = delete;
  ~errno_guard() { errno = failure_ != 0 ? failure_ : saved_; }
  void fail(int error) noexcept { failure_ = error; }

 private:
  int saved_;
  int failure_ = 0;
};

}  // namespace

void start_probe(const char* server, const probe_schedule& schedule) {
  errno_guard result;
  if (server == nullptr) {
    result.fail(EINVAL);
    return;
  }
  // A manager that is still here may have a running worker: never drop it.
  if (worker_manager) {
    result.fail(EBUSY);
    return;
  }
  std::unique_ptr<probe_job> job(new (std::nothrow) probe_job{{}, schedule});
  if (!job) {
    result.fail(ENOMEM);
    return;
  }
  try {
    job->server_text = server;
  } catch (const std::bad_alloc&) {
    result.fail(ENOMEM);
    return;
  }
  // A child forked from here on must not take the worker for its own.
  if (!register_fork_handlers()) {
    result.fail(errno);
    return;
  }
  if (!stop_requested.arm()) {
    result.fail(errno);
    return;
  }
  thread_manager_ptr manager(new (std::nothrow) ACE_Thread_Manager());
  if (!manager) {
    stop_requested.disarm();
    result.fail(ENOMEM);
    return;
  }
  errno = 0;
  worker_start_begins();
  // Joinable (flags 0), so that stop can wait for it; default priority,
  // a new group, the platform's stack.
  const int spawned =
      manager->spawn(probe_worker, job.get(), 0, nullptr, nullptr, 0, -1, nullptr, 0);
  if (spawned == -1) {
    const int error = errno;
    worker_start_ends();
    errno = error;
    stop_requested.disarm();
    result.fail(errno != 0 ? errno : EAGAIN);
    return;
  }
  static_cast<void>(job.release());  // the worker owns it now
  worker_manager = std::move(manager);
}

void stop_probe() {
  errno_guard result;
  if (!worker_manager) {
    return;
  }
  const worker_stop_scope no_fork_until_joined;
  stop_requested.raise();
  worker_manager->wait(nullptr, false);
  worker_manager.reset();
  stop_requested.disarm();
}

}  // namespace wanseer

extern "C" void wanseer_startup(const char* server) {
  wanseer::start_probe(server, wanseer::real_schedule);
}

extern "C" void wanseer_stop(void) {
  wanseer::stop_probe();
}
