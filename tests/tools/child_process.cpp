#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace wanseer_tests {

namespace {

std::vector<std::string> changed_environment(const child_process::environment_changes& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    const std::string name = variable.substr(0, variable.find('='));
    if (changes.count(name) == 0) {
      result.push_back(variable);
    }
  }
  for (const auto& [name, value] : changes) {
    if (value) {
      result.push_back(name + '=' + *value);
    }
  }
  return result;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& text : strings) {
    pointers.push_back(text.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

child_process::child_process(const std::vector<std::string>& argv,
                             const environment_changes& environment,
                             const descriptor_changes& descriptors) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
  for (const auto& [child_fd, given_fd] : descriptors) {
    if (given_fd < 0) {
      posix_spawn_file_actions_addclose(&actions, child_fd);
    } else {
      posix_spawn_file_actions_adddup2(&actions, given_fd, child_fd);
    }
  }
  std::vector<std::string> arguments = argv;
  std::vector<std::string> variables = changed_environment(environment);
  const auto argument_pointers = pointers_to(arguments);
  const auto variable_pointers = pointers_to(variables);
  const int spawned = posix_spawn(&pid_, arguments[0].c_str(), &actions, nullptr,
                                  argument_pointers.data(), variable_pointers.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  stdout_fd_ = out_pipe[0];
  stderr_fd_ = err_pipe[0];
  if (spawned != 0) {
    close(stdout_fd_);
    close(stderr_fd_);
    throw std::runtime_error("cannot start " + arguments[0] + ": " + std::strerror(spawned));
  }
}

child_process::~child_process() {
  if (!exit_status_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close(stdout_fd_);
  close(stderr_fd_);
}

template <typename Done>
void child_process::pump(std::chrono::steady_clock::time_point deadline, Done done) {
  bool stdout_open = stdout_fd_ >= 0;
  bool stderr_open = stderr_fd_ >= 0;
  while (!done() && (stdout_open || stderr_open)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return;
    }
    pollfd fds[2] = {{stdout_open ? stdout_fd_ : -1, POLLIN, 0},
                     {stderr_open ? stderr_fd_ : -1, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(left.count()) + 1) < 0 && errno != EINTR) {
      return;
    }
    char chunk[4096];
    if (fds[0].revents != 0) {
      const ssize_t got = read(stdout_fd_, chunk, sizeof chunk);
      stdout_open = got > 0;
      if (got > 0) {
        stdout_buffer_.append(chunk, static_cast<std::size_t>(got));
      }
    }
    if (fds[1].revents != 0) {
      const ssize_t got = read(stderr_fd_, chunk, sizeof chunk);
      stderr_open = got > 0;
      if (got > 0) {
        stderr_buffer_.append(chunk, static_cast<std::size_t>(got));
      }
    }
  }
}

std::optional<std::string> child_process::read_line(std::chrono::steady_clock::duration timeout) {
  pump(std::chrono::steady_clock::now() + timeout,
       [&] { return stdout_buffer_.find('\n') != std::string::npos; });
  const auto newline = stdout_buffer_.find('\n');
  if (newline == std::string::npos) {
    return std::nullopt;
  }
  std::string line = stdout_buffer_.substr(0, newline);
  stdout_buffer_.erase(0, newline + 1);
  return line;
}

std::optional<std::string> child_process::error_line_with(
    const std::string& text, std::chrono::steady_clock::duration timeout) {
  std::optional<std::string> found;
  pump(std::chrono::steady_clock::now() + timeout, [&] {
    for (std::size_t start = 0, end = 0;
         (end = stderr_buffer_.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string line = stderr_buffer_.substr(start, end - start);
      if (line.find(text) != std::string::npos) {
        found = line;
        return true;
      }
    }
    return false;
  });
  return found;
}

void child_process::close_output() {
  close(stdout_fd_);
  close(stderr_fd_);
  stdout_fd_ = stderr_fd_ = -1;
}

void child_process::send_signal(int signal) const {
  if (!exit_status_) {
    kill(pid_, signal);
  }
}

std::optional<int> child_process::wait_exit(std::chrono::steady_clock::duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // Both pipes reach end of file once the child and anything it started
  // have gone.
  pump(deadline, [] { return false; });
  if (exit_status_) {
    return exit_status_;
  }
  for (;;) {
    int status = 0;
    const pid_t reaped = waitpid(pid_, &status, WNOHANG);
    if (reaped == pid_) {
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return WIFEXITED(status) ? exit_status_ : std::nullopt;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    }
    // The pipes are closed, so the exit is a matter of moments.
    usleep(1000);
  }
}

finished_run run_to_end(const std::vector<std::string>& argv,
                        const child_process::environment_changes& environment,
                        const child_process::descriptor_changes& descriptors) {
  child_process child(argv, environment, descriptors);
  finished_run run;
  run.status = child.wait_exit().value_or(-1);
  run.output = child.remaining_output();
  run.errors = child.error_output();
  return run;
}

}  // namespace wanseer_tests
