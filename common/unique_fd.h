// Owner of one POSIX file descriptor.
#ifndef WANSEER_UNIQUE_FD_H
#define WANSEER_UNIQUE_FD_H

#include <unistd.h>

#include <utility>

namespace wanseer {

class unique_fd {
 public:
  constexpr unique_fd() noexcept = default;
  explicit unique_fd(int fd) noexcept : fd_(fd) {}
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~unique_fd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace wanseer

#endif  // WANSEER_UNIQUE_FD_H
