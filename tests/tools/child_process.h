// A tool run as a child process, with its output captured, for the tests.
#ifndef WANSEER_TESTS_TOOLS_CHILD_PROCESS_H
#define WANSEER_TESTS_TOOLS_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace wanseer_tests {

// Long enough for a loaded 2-core machine; tests only wait this long when
// something is already wrong.
inline constexpr std::chrono::seconds generous_deadline{20};

class child_process {
 public:
  // Environment changes on top of the test's own: a value of nullopt
  // removes the variable.
  using environment_changes = std::map<std::string, std::optional<std::string>>;

  // Descriptors of the child set apart from the captured pipes: the key is
  // the child's descriptor, the value the test's descriptor it gets, or -1
  // to leave it closed.
  using descriptor_changes = std::map<int, int>;

  child_process(const std::vector<std::string>& argv, const environment_changes& environment = {},
                const descriptor_changes& descriptors = {});
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;
  // A child still running is killed and reaped.
  ~child_process();

  // The next line of standard output without its newline, or nullopt if
  // none is complete before the deadline or the output ends.
  std::optional<std::string> read_line(
      std::chrono::steady_clock::duration timeout = generous_deadline);

  // The first complete line of standard error that holds `text`, without
  // its newline, or nullopt if none is written before the deadline.  Leaves
  // standard error whole for error_output.
  std::optional<std::string> error_line_with(
      const std::string& text, std::chrono::steady_clock::duration timeout = generous_deadline);

  // Closes the test's ends of the output pipes, as a reader that goes away.
  void close_output();

  void send_signal(int signal) const;
  pid_t pid() const { return pid_; }

  // The exit status, or nullopt if the child did not exit normally before
  // the deadline.  Reads all remaining output.
  std::optional<int> wait_exit(std::chrono::steady_clock::duration timeout = generous_deadline);

  // Output not yet returned by read_line, and all of standard error; both
  // complete once wait_exit has returned.
  const std::string& remaining_output() const { return stdout_buffer_; }
  const std::string& error_output() const { return stderr_buffer_; }

 private:
  // Reads whatever is available until the deadline or until `done` holds.
  template <typename Done>
  void pump(std::chrono::steady_clock::time_point deadline, Done done);

  pid_t pid_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  std::optional<int> exit_status_;
  std::string stdout_buffer_;
  std::string stderr_buffer_;
};

// Runs a tool to its end and returns its exit status (-1 if it hung).
struct finished_run {
  int status = -1;
  std::string output;
  std::string errors;
};
finished_run run_to_end(const std::vector<std::string>& argv,
                        const child_process::environment_changes& environment = {},
                        const child_process::descriptor_changes& descriptors = {});

}  // namespace wanseer_tests

#endif  // WANSEER_TESTS_TOOLS_CHILD_PROCESS_H
