#include "change_hook.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

extern char** environ;

namespace wanseer_tools {

namespace {

const char* const address_variable = "WANSEER_ADDRESS";
const char* const previous_variable = "WANSEER_PREVIOUS";

bool names_variable(const char* entry, const char* name) {
  const std::size_t length = std::strlen(name);
  return std::strncmp(entry, name, length) == 0 && entry[length] == '=';
}

// This process's environment without any earlier WANSEER_ADDRESS or
// WANSEER_PREVIOUS, plus the two for this run.
std::vector<std::string> run_environment(const std::string& address, const std::string& previous) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!names_variable(*entry, address_variable) && !names_variable(*entry, previous_variable)) {
      entries.emplace_back(*entry);
    }
  }
  entries.push_back(std::string(address_variable) + "=" + address);
  entries.push_back(std::string(previous_variable) + "=" + previous);
  return entries;
}

void report_status(int status, const std::string& address) {
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "wanseer: --on-change command for %s exited with status %d\n",
                 address.c_str(), WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    std::fprintf(stderr, "wanseer: --on-change command for %s was killed by %s\n", address.c_str(),
                 strsignal(WTERMSIG(status)));
  }
}

}  // namespace

change_hook::~change_hook() {
  if (running_) {
    reap(true);
  }
}

void change_hook::address_changed(const std::string& address) {
  if (running_ && !reap(false)) {
    waiting_ = address;
    return;
  }
  start(address);
}

void change_hook::check() {
  if (!running_ || !reap(false)) {
    return;
  }
  if (waiting_) {
    const std::string address = *waiting_;
    waiting_.reset();
    start(address);
  }
}

void change_hook::start(const std::string& address) {
  const std::vector<std::string> environment = run_environment(address, previous_);
  std::vector<char*> envp;
  for (const auto& entry : environment) {
    envp.push_back(const_cast<char*>(entry.c_str()));
  }
  envp.push_back(nullptr);
  char shell[] = "/bin/sh";
  char dash_c[] = "-c";
  char* argv[] = {shell, dash_c, const_cast<char*>(command_.c_str()), nullptr};

  // This program blocks SIGINT and SIGTERM to take them in its waits; the
  // command gets them as any program does.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t child = 0;
  const int error = posix_spawn(&child, shell, nullptr, &attributes, argv, envp.data());
  posix_spawnattr_destroy(&attributes);
  previous_ = address;
  if (error != 0) {
    std::fprintf(stderr, "wanseer: cannot run the --on-change command for %s: %s\n",
                 address.c_str(), std::strerror(error));
    return;
  }
  running_ = child;
  running_address_ = address;
}

bool change_hook::reap(bool block) {
  int status = 0;
  for (;;) {
    const pid_t ended = waitpid(*running_, &status, block ? 0 : WNOHANG);
    if (ended == 0) {
      return false;
    }
    if (ended < 0 && errno == EINTR) {
      continue;
    }
    if (ended == *running_) {
      report_status(status, running_address_);
    }
    running_.reset();
    return true;
  }
}

}  // namespace wanseer_tools
