#include "worker_harness.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <thread>

#include <ace/Thread_Manager.h>

#include "cpu_time.h"
#include "module_state.h"

#include "probe_control.h"
#include "wanseer.h"

namespace wanseer::testing {

probe_schedule scaled_schedule(std::chrono::milliseconds unit) {
  probe_schedule schedule;
  schedule.unit = unit;
  // The tests' namespace is the machine's, where anything else running may
  // change links and addresses at any moment: news would bring requests
  // forward at random in tests that count them.  The namespace tests of
  // the command follow network changes.
  schedule.follow_network_changes = false;
  return schedule;
}

bool fail_syscall_from_this_thread(long number, int error) {
#if defined(__x86_64__)
  constexpr std::uint32_t this_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
  constexpr std::uint32_t this_arch = AUDIT_ARCH_AARCH64;
#else
  return false;
#endif
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, this_arch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(number), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(error)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0;
}

running_worker::running_worker(const std::string& server, const probe_schedule& schedule,
                               worker_connects connects) {
  if (connects == worker_connects::never) {
    // From a thread of its own, so that only it and the worker it starts
    // carry the filter.
    std::thread([&] {
      if (fail_syscall_from_this_thread(__NR_connect, EPERM)) {
        start_probe(server.c_str(), schedule);
      }
    }).join();
  } else {
    start_probe(server.c_str(), schedule);
  }
  const int start_error = errno;
  ACE_thread_t worker{};
  clock_known_ = worker_manager && worker_manager->thread_all_list(&worker, 1) == 1 &&
                 ::pthread_getcpuclockid(worker, &worker_clock_) == 0;
  errno = start_error;
}

std::chrono::nanoseconds running_worker::cpu_time() const {
  if (running_ && clock_known_) {
    last_cpu_ = thread_cpu_time(worker_clock_);
  }
  return last_cpu_;
}

running_worker::~running_worker() {
  stop();
}

std::chrono::nanoseconds running_worker::stop() {
  const auto started = std::chrono::steady_clock::now();
  if (running_) {
    cpu_time();
    running_ = false;
    stop_probe();
  }
  return std::chrono::steady_clock::now() - started;
}

std::string use_fresh_key() {
  static std::atomic<int> counter{0};
  const std::string key = "test-key-" + std::to_string(counter.fetch_add(1));
  wanseer_init(nullptr, key.c_str());
  return key;
}

}  // namespace wanseer::testing
