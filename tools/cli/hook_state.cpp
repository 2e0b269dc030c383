#include "hook_state.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "unique_fd.h"

namespace wanseer_tools {

namespace {

// Longer than any dotted address and its newline: more is not a state file.
constexpr std::size_t longest_content = 32;

bool is_dotted_ipv4(const std::string& text) {
  in_addr parsed{};
  return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

void warn(const std::string& path, const std::string& why) {
  std::fprintf(stderr,
               "wanseer: ignoring --state %s: %s; the --on-change command runs as after a "
               "first start\n",
               path.c_str(), why.c_str());
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

std::string load_hook_state(const std::string& path) {
  const wanseer::unique_fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!file.valid()) {
    if (errno != ENOENT) {
      warn(path, std::strerror(errno));
    }
    return "";
  }
  char buffer[longest_content + 1];
  std::size_t length = 0;
  for (;;) {
    const ssize_t got = read(file.get(), buffer + length, sizeof buffer - length);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      warn(path, std::strerror(errno));
      return "";
    }
    if (got == 0 || (length += static_cast<std::size_t>(got)) == sizeof buffer) {
      break;
    }
  }
  std::string content(buffer, length);
  if (!content.empty() && content.back() == '\n') {
    content.pop_back();
  }
  if (content.empty()) {
    warn(path, "it is empty");
    return "";
  }
  if (length > longest_content || !is_dotted_ipv4(content)) {
    warn(path, "it does not hold an IPv4 address");
    return "";
  }
  return content;
}

bool store_hook_state(const std::string& path, const std::string& address) {
  std::string temporary = path + ".XXXXXX";
  const wanseer::unique_fd file(mkostemp(temporary.data(), O_CLOEXEC));
  if (!file.valid()) {
    return false;
  }
  if (!write_all(file.get(), address + "\n") || fsync(file.get()) != 0 ||
      rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    unlink(temporary.c_str());
    errno = error;
    return false;
  }
  return true;
}

}  // namespace wanseer_tools
