// What the process holds, counted from the outside of the library: open
// descriptors and threads; and waiting for a condition with a deadline.
#ifndef WANSEER_TESTS_PROCESS_RESOURCES_H
#define WANSEER_TESTS_PROCESS_RESOURCES_H

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace wanseer::testing {

// Entries of /proc/self/fd (the directory's own descriptor excluded).
std::size_t open_descriptor_count();
// The numbers of the open descriptors whose /proc/self/fd link starts with
// `kind`, e.g. "socket:" or "anon_inode:[eventfd]".
std::set<int> descriptors_of_kind(const char* kind);
// Entries of /proc/self/task.
std::size_t thread_count();
// The name wanseer.h gives the worker's thread.
inline constexpr char worker_thread_name[] = "wanseer";
// Tasks of /proc/self/task whose comm is worker_thread_name, or can no
// longer be read.
std::size_t worker_task_count();
// thread_count() once no worker's task is listed any more: a worker that
// wanseer_stop joined may still be listed for a moment (the join returns
// when the thread clears its id, before the kernel reaps its task).
// nullopt when one is still listed after `limit`: a worker was left running.
std::optional<std::size_t> thread_count_without_worker(
    std::chrono::milliseconds limit = std::chrono::seconds(30));
// Sets the soft limit of `resource` (setrlimit) to `soft`, at most the hard
// limit, until it ends.
class resource_limit {
 public:
  resource_limit(int resource, rlim_t soft);
  resource_limit(const resource_limit&) = delete;
  resource_limit& operator=(const resource_limit&) = delete;
  ~resource_limit() { ::setrlimit(resource_, &saved_); }
  rlim_t current() const;

 private:
  int resource_;
  rlimit saved_{};
};

// Takes every free descriptor under a limit lowered to 256: until it ends
// or release() frees them, the next open, socket or eventfd fails (EMFILE).
class full_descriptor_table {
 public:
  full_descriptor_table();
  full_descriptor_table(const full_descriptor_table&) = delete;
  full_descriptor_table& operator=(const full_descriptor_table&) = delete;
  ~full_descriptor_table() { release(); }

  // Frees one descriptor for the caller's next open.
  void free_one();
  void release();
  bool holds_any() const { return !fillers_.empty(); }

 private:
  resource_limit low_{RLIMIT_NOFILE, 256};
  std::vector<int> fillers_;
};

// Sends what the process writes to stdout and stderr to a file of its own
// until finish(), which gives it back.
class captured_output {
 public:
  captured_output();
  captured_output(const captured_output&) = delete;
  captured_output& operator=(const captured_output&) = delete;
  ~captured_output() { finish(); }
  std::string finish();

 private:
  std::FILE* file_ = nullptr;
  int saved_[2] = {-1, -1};
};

// Whether every thread of the process but the caller is blocked (none in
// state R): a worker that spins never is.
bool other_threads_blocked();

// Polls `done` until it holds or `limit` passes; the result of the last poll.
// A thread that was just joined may still show in /proc for a moment.
bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_PROCESS_RESOURCES_H
