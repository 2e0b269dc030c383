#include "running_coturn.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "unique_fd.h"

namespace wanseer_bench {

namespace {

std::vector<std::string> arguments(unsigned short port, const std::vector<std::string>& extra) {
  std::vector<std::string> all = {turnserver_path,      "-n",         "--stun-only",
                                  "--no-cli",           "--no-tls",   "--no-dtls",
                                  "--listening-ip",     "127.0.0.1",  "--listening-port",
                                  std::to_string(port), "--log-file", "/dev/null",
                                  "--no-stdout-log"};
  all.insert(all.end(), extra.begin(), extra.end());
  return all;
}

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

bool coturn_installed() {
  return access(turnserver_path, X_OK) == 0 && access(stunclient_path, X_OK) == 0;
}

std::vector<unsigned char> stun_binding_request(unsigned sequence) {
  std::vector<unsigned char> request = {0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42};
  for (int i = 0; i < 12; ++i) {
    request.push_back(static_cast<unsigned char>((sequence >> (8 * (i % 4))) + i));
  }
  return request;
}

running_coturn::running_coturn(unsigned short port, const std::vector<std::string>& extra_arguments)
    : process_(arguments(port, extra_arguments)), port_(port) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!answers_binding(port_)) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("turnserver did not answer a Binding request");
    }
  }
}

unsigned running_coturn::threads() const {
  unsigned count = 0;
  if (DIR* tasks = opendir(("/proc/" + std::to_string(pid()) + "/task").c_str())) {
    while (const dirent* entry = readdir(tasks)) {
      count += entry->d_name[0] != '.';
    }
    closedir(tasks);
  }
  return count;
}

}  // namespace wanseer_bench
