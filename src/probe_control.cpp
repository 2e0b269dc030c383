#include "probe_control.h"

#include <ace/Thread_Manager.h>

#include <cerrno>
#include <memory>
#include <new>
#include <utility>

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
    // Here, on the caller's thread: a service-name port is looked up in the
    // services database, which may load a name-service module and so take
    // the dynamic loader's lock.  On the worker, that lookup could wait for
    // ever on an unload that holds the lock and waits for the worker.
    job->server = parse_server_text(server);
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
  // Made here, while the host's descriptor limit surely has room: a host
  // may lower it to nothing once the worker runs.
  if (!worker_waits.arm(stop_requested.wake_handle())) {
    result.fail(errno);
    stop_requested.disarm();
    return;
  }
  // Judged before the spawn: from then on the worker owns the job, and may
  // already have freed it when the spawn returns.
  const bool names_nothing = !names_a_server(job->server);
  thread_manager_ptr manager(new (std::nothrow) ACE_Thread_Manager());
  if (!manager) {
    worker_waits.disarm();
    stop_requested.disarm();
    result.fail(ENOMEM);
    return;
  }
  errno = 0;
  worker_start_begins();
  // Set before the spawn, while the start is under way: a stop (the
  // library's own at exit or unload too) waits for the start to end and
  // then always finds the manager of the worker it must join.
  worker_manager = manager.release();
  // Joinable (flags 0), so that stop can wait for it; default priority,
  // a new group, the platform's stack.
  const int spawned =
      worker_manager->spawn(probe_worker, job.get(), 0, nullptr, nullptr, 0, -1, nullptr, 0);
  if (spawned == -1) {
    const int error = errno;
    delete std::exchange(worker_manager, nullptr);
    worker_start_ends();
    worker_waits.disarm();
    stop_requested.disarm();
    result.fail(error != 0 ? error : EAGAIN);
    return;
  }
  static_cast<void>(job.release());  // the worker owns it now
  // Said, but the worker runs all the same: a host that ignores errno keeps
  // the behaviour it always had (every attempt a miss until wanseer_stop),
  // and one that checks it learns at once what the CLI would have refused.
  if (names_nothing) {
    result.fail(EINVAL);
  }
}

void stop_probe() {
  errno_guard result;
  // One stop at a time owns the manager: it is tested, used and cleared
  // under the lock, so that the library's own stop at exit or unload and a
  // host's stop on another thread never both join, and never join a
  // manager the other has just destroyed.
  const worker_stop_scope one_stop_at_a_time;
  if (!worker_manager) {
    return;
  }
  stop_requested.raise();
  worker_manager->wait(nullptr, false);
  delete std::exchange(worker_manager, nullptr);
  worker_waits.disarm();
  stop_requested.disarm();
}

}  // namespace wanseer

extern "C" void wanseer_startup(const char* server) {
  wanseer::start_probe(server, wanseer::real_schedule);
}

extern "C" void wanseer_stop(void) {
  wanseer::stop_probe();
}
