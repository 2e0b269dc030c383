#include "spawned_probe_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace wanseer_bench {

spawned_probe_server::spawned_probe_server(const std::vector<std::string>& extra_arguments) {
  std::vector<std::string> arguments = {WANSEER_PROBE_SERVER_PATH, "--listen", "127.0.0.1:0"};
  arguments.insert(arguments.end(), extra_arguments.begin(), extra_arguments.end());
  std::vector<char*> argv;
  for (auto& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);

  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(output[1]);
  output_fd_ = output[0];
  if (spawned != 0) {
    close(output_fd_);
    throw std::runtime_error(std::string("cannot start the probe server: ") +
                             std::strerror(spawned));
  }
  const std::string line = read_line();
  const auto colon = line.rfind(':');
  if (line.rfind("listening on ", 0) != 0 || colon == std::string::npos) {
    stop();
    throw std::runtime_error("the probe server did not start: '" + line + "'");
  }
  port_ = static_cast<unsigned short>(std::stoul(line.substr(colon + 1)));
}

spawned_probe_server::~spawned_probe_server() {
  if (pid_ > 0) {
    stop();
  }
}

std::string spawned_probe_server::read_line() {
  for (;;) {
    const auto newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return line;
    }
    pollfd readable{output_fd_, POLLIN, 0};
    char chunk[512];
    if (poll(&readable, 1, 30000) <= 0) {
      return {};
    }
    const ssize_t got = read(output_fd_, chunk, sizeof chunk);
    if (got <= 0) {
      return {};
    }
    buffered_.append(chunk, static_cast<std::size_t>(got));
  }
}

double process_cpu_seconds(pid_t pid) {
  std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(stat_file)),
                         std::istreambuf_iterator<char>());
  // Fields after the command name, which is in parentheses and may hold
  // spaces: utime and stime are the 12th and 13th of them.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  unsigned long long ticks = 0;
  for (int index = 1; index <= 13 && fields >> field; ++index) {
    if (index >= 12) {
      ticks += std::stoull(field);
    }
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double spawned_probe_server::cpu_seconds() const {
  return process_cpu_seconds(pid_);
}

std::string spawned_probe_server::stop() {
  kill(pid_, SIGTERM);
  const std::string counters = read_line();
  waitpid(pid_, nullptr, 0);
  close(output_fd_);
  pid_ = -1;
  return counters;
}

}  // namespace wanseer_bench
