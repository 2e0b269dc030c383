#include "line_writer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "unique_fd.h"

namespace wanseer_tools {

namespace {

// Throttle lines come at most a few a second; this holds minutes of them
// behind a stalled reader, in 128 KiB.
constexpr std::size_t queue_lines = 256;
constexpr std::size_t line_bytes = 512;

using clock_type = std::chrono::steady_clock;

struct entry {
  int fd = -1;
  std::size_t length = 0;
  std::array<char, line_bytes> text{};
};

}  // namespace

// Shared with the thread, which may outlive the writer if an output blocks
// a write that poll() said it would take.
struct line_writer::queue {
  std::mutex lock;
  std::vector<entry> ring = std::vector<entry>(queue_lines);
  std::size_t head = 0;
  std::size_t count = 0;
  bool stopping = false;
  clock_type::time_point give_up_at;
  bool done = false;
  std::condition_variable finished;
  std::atomic<std::uint64_t> dropped{0};
  wanseer::unique_fd wake{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};

  void signal() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake.get(), &one, sizeof one);
  }

  // Waits until `fd` takes bytes; false once finishing and past its patience.
  bool wait_writable(int fd) {
    for (;;) {
      int timeout_ms = -1;
      {
        std::lock_guard<std::mutex> held(lock);
        if (stopping) {
          const auto left =
              std::chrono::duration_cast<std::chrono::milliseconds>(give_up_at - clock_type::now());
          timeout_ms = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
        }
      }
      std::array<pollfd, 2> waits = {pollfd{fd, POLLOUT, 0}, pollfd{wake.get(), POLLIN, 0}};
      const int ready = poll(waits.data(), waits.size(), timeout_ms);
      if (ready < 0 && errno != EINTR) {
        return false;
      }
      if (waits[0].revents != 0) {
        return true;  // writable, or an error that write() will report
      }
      if (ready == 0) {
        return false;
      }
      std::uint64_t count_read = 0;
      [[maybe_unused]] const ssize_t got = ::read(wake.get(), &count_read, sizeof count_read);
    }
  }

  bool write_entry(const entry& line) {
    std::size_t written = 0;
    while (written < line.length) {
      if (!wait_writable(line.fd)) {
        return false;
      }
      const ssize_t sent = ::write(line.fd, line.text.data() + written, line.length - written);
      if (sent > 0) {
        written += static_cast<std::size_t>(sent);
      } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
        return false;  // EPIPE (SIGPIPE is ignored), EBADF, ENOSPC...
      }
    }
    return true;
  }

  void run() {
    entry line;
    for (;;) {
      {
        std::unique_lock<std::mutex> held(lock);
        if (count == 0) {
          if (stopping) {
            break;
          }
          held.unlock();
          pollfd waiting{wake.get(), POLLIN, 0};
          poll(&waiting, 1, -1);
          std::uint64_t count_read = 0;
          [[maybe_unused]] const ssize_t got = ::read(wake.get(), &count_read, sizeof count_read);
          continue;
        }
        line = ring[head];
        head = (head + 1) % ring.size();
        --count;
      }
      if (!write_entry(line)) {
        dropped.fetch_add(1, std::memory_order_relaxed);
      }
    }
    std::lock_guard<std::mutex> held(lock);
    done = true;
    finished.notify_all();
  }
};

line_writer::line_writer() : queue_(std::make_shared<queue>()) {}

line_writer::~line_writer() {
  finish(std::chrono::milliseconds(50));
}

bool line_writer::start() {
  if (!queue_->wake.valid()) {
    return false;
  }
  try {
    thread_ = std::thread([shared = queue_] { shared->run(); });
  } catch (const std::system_error& failure) {
    errno = failure.code().value();
    return false;
  }
  return true;
}

void line_writer::write_line(int fd, std::string_view line) {
  {
    std::lock_guard<std::mutex> held(queue_->lock);
    if (queue_->count == queue_->ring.size() || queue_->stopping) {
      queue_->dropped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    entry& slot = queue_->ring[(queue_->head + queue_->count) % queue_->ring.size()];
    slot.fd = fd;
    slot.length = std::min(line.size(), line_bytes - 1);
    std::memcpy(slot.text.data(), line.data(), slot.length);
    slot.text[slot.length++] = '\n';
    ++queue_->count;
  }
  queue_->signal();
}

void line_writer::finish(std::chrono::milliseconds patience) {
  if (!thread_.joinable()) {
    return;
  }
  std::unique_lock<std::mutex> held(queue_->lock);
  queue_->stopping = true;
  queue_->give_up_at = clock_type::now() + patience;
  queue_->signal();
  // A write that blocks after poll() said it would not (a terminal's buffer
  // with less room than the line) cannot hold the exit: the thread is left
  // to the process's end.
  const bool ended = queue_->finished.wait_for(held, patience + std::chrono::milliseconds(20),
                                               [this] { return queue_->done; });
  if (!ended) {
    queue_->dropped.fetch_add(queue_->count + 1, std::memory_order_relaxed);
  }
  held.unlock();
  if (ended) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

std::uint64_t line_writer::dropped() const {
  return queue_->dropped.load(std::memory_order_relaxed);
}

}  // namespace wanseer_tools
