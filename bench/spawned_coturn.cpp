#include "spawned_coturn.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "spawned_probe_server.h"
#include "unique_fd.h"

extern char** environ;

namespace wanseer_bench {

namespace {

bool answers_binding(unsigned short port) {
  const wanseer::unique_fd socket_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(port);
  const auto request = stun_binding_request(0);
  sendto(socket_fd.get(), request.data(), request.size(), 0,
         reinterpret_cast<const sockaddr*>(&server), sizeof server);
  pollfd readable{socket_fd.get(), POLLIN, 0};
  return poll(&readable, 1, 200) == 1;
}

}  // namespace

std::vector<unsigned char> stun_binding_request(unsigned sequence) {
  std::vector<unsigned char> request = {0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42};
  for (int i = 0; i < 12; ++i) {
    request.push_back(static_cast<unsigned char>((sequence >> (8 * (i % 4))) + i));
  }
  return request;
}

spawned_coturn::spawned_coturn(unsigned short port, const std::vector<std::string>& extra_arguments)
    : port_(port) {
  std::vector<std::string> arguments = {"turnserver",         "-n",         "--stun-only",
                                        "--no-cli",           "--no-tls",   "--no-dtls",
                                        "--listening-ip",     "127.0.0.1",  "--listening-port",
                                        std::to_string(port), "--log-file", "/dev/null",
                                        "--no-stdout-log"};
  arguments.insert(arguments.end(), extra_arguments.begin(), extra_arguments.end());
  std::vector<char*> argv;
  for (auto& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const int spawned = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    pid_ = -1;
    throw std::runtime_error(std::string("cannot start turnserver: ") + std::strerror(spawned));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!answers_binding(port_)) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("turnserver did not answer a Binding request");
    }
  }
}

spawned_coturn::~spawned_coturn() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

double spawned_coturn::cpu_seconds() const {
  return process_cpu_seconds(pid_);
}

unsigned spawned_coturn::threads() const {
  unsigned count = 0;
  if (DIR* tasks = opendir(("/proc/" + std::to_string(pid_) + "/task").c_str())) {
    while (const dirent* entry = readdir(tasks)) {
      count += entry->d_name[0] != '.';
    }
    closedir(tasks);
  }
  return count;
}

}  // namespace wanseer_bench
