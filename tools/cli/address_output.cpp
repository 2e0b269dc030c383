#include "address_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace wanseer_tools {

address_output::address_output() {
  // A reader that has gone is reported as EPIPE, not by the signal.
  std::signal(SIGPIPE, SIG_IGN);
  if (fcntl(STDOUT_FILENO, F_GETFD) < 0 && errno == EBADF) {
    closed_ = true;
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0 && null != STDOUT_FILENO) {
      dup2(null, STDOUT_FILENO);
      close(null);
    }
  }
}

bool address_output::write_line(const std::string& line) const {
  if (closed_) {
    errno = EBADF;
    return false;
  }
  errno = 0;
  if (std::printf("%s\n", line.c_str()) < 0 || std::fflush(stdout) != 0) {
    if (errno == 0) {
      errno = EIO;
    }
    return false;
  }
  return true;
}

}  // namespace wanseer_tools
