#include "network_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace wanseer::testing {

network_namespace::network_namespace() {
  std::thread([this] {
    if (::unshare(CLONE_NEWNET) != 0) {
      error_ = errno;
      return;
    }
    descriptor_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    error_ = descriptor_ < 0 ? errno : 0;
  }).join();
}

network_namespace::~network_namespace() {
  if (descriptor_ >= 0) {
    ::close(descriptor_);
  }
}

std::string network_namespace::path() const {
  return "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(descriptor_);
}

bool network_namespace::ip(const std::vector<std::string>& arguments) const {
  if (!usable()) {
    return false;
  }
  // Built before the fork: the child only switches namespace and execs.
  std::vector<std::string> words{"ip"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child < 0) {
    return false;
  }
  if (child == 0) {
    if (::setns(descriptor_, CLONE_NEWNET) == 0) {
      ::execvp(argv[0], argv.data());
    }
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool network_namespace::run_inside(const std::function<void()>& inside) const {
  bool entered = false;
  std::thread([&] {
    entered = usable() && ::setns(descriptor_, CLONE_NEWNET) == 0;
    if (entered) {
      inside();
    }
  }).join();
  return entered;
}

}  // namespace wanseer::testing
