#include "line_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <vector>

#include "unique_fd.h"

namespace wanseer_tools {

namespace {

// Each queue holds minutes of throttle lines behind a stalled reader, in
// 128 KiB.
constexpr std::size_t line_bytes = 512;

using clock_type = std::chrono::steady_clock;

struct entry {
  std::size_t length = 0;
  std::array<char, line_bytes> text{};
};

}  // namespace

// One output's queue, shared with its thread, which may outlive the writer
// if the output blocks a write that poll() said it would take.
struct line_writer::queue {
  // A copy of the descriptor, so that a thread left writing after finish()
  // writes where it always did, never to whatever file takes the number
  // once the owner closes it.  A copy that cannot be made fails each write,
  // and its lines are counted as dropped.
  explicit queue(int output) : fd(fcntl(output, F_DUPFD_CLOEXEC, STDERR_FILENO + 1)) {}

  const wanseer::unique_fd fd;
  std::mutex lock;
  std::vector<entry> ring = std::vector<entry>(queue_lines);
  std::size_t head = 0;
  std::size_t count = 0;
  // A line is out of the ring and not yet written.
  bool writing = false;
  bool stopping = false;
  clock_type::time_point give_up_at;
  // finish() stopped waiting and counted what was left as dropped.
  bool abandoned = false;
  bool done = false;
  std::condition_variable finished;
  std::atomic<std::uint64_t> dropped{0};
  wanseer::unique_fd wake{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};

  void signal() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake.get(), &one, sizeof one);
  }

  void push(std::string_view line) {
    {
      std::lock_guard<std::mutex> held(lock);
      if (count == ring.size() || stopping) {
        dropped.fetch_add(1, std::memory_order_relaxed);
        return;
      }
      entry& slot = ring[(head + count) % ring.size()];
      slot.length = std::min(line.size(), line_bytes - 1);
      std::memcpy(slot.text.data(), line.data(), slot.length);
      slot.text[slot.length++] = '\n';
      ++count;
    }
    signal();
  }

  // Waits until the output takes bytes; false once finishing and past its
  // patience.
  bool wait_writable() {
    for (;;) {
      int timeout_ms = -1;
      {
        std::lock_guard<std::mutex> held(lock);
        if (abandoned) {
          return false;
        }
        if (stopping) {
          const auto left =
              std::chrono::duration_cast<std::chrono::milliseconds>(give_up_at - clock_type::now());
          timeout_ms = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
        }
      }
      std::array<pollfd, 2> waits = {pollfd{fd.get(), POLLOUT, 0}, pollfd{wake.get(), POLLIN, 0}};
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
    if (!fd.valid()) {
      return false;
    }
    std::size_t written = 0;
    while (written < line.length) {
      if (!wait_writable()) {
        return false;
      }
      const ssize_t sent = ::write(fd.get(), line.text.data() + written, line.length - written);
      if (sent > 0) {
        written += static_cast<std::size_t>(sent);
      } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
        return false;  // EPIPE (SIGPIPE is ignored), EBADF, ENOSPC...
      }
    }
    return true;
  }

  void run() {
    // A reader that has gone is an EPIPE here, whatever the process does
    // with SIGPIPE: a write raises it for the writing thread alone.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
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
        writing = true;
      }
      const bool written = write_entry(line);
      std::lock_guard<std::mutex> held(lock);
      writing = false;
      if (!written && !abandoned) {
        dropped.fetch_add(1, std::memory_order_relaxed);
      }
    }
    std::lock_guard<std::mutex> held(lock);
    done = true;
    finished.notify_all();
  }
};

line_writer::line_writer(int output, int errors)
    : queues_{std::make_shared<queue>(output), std::make_shared<queue>(errors)} {}

line_writer::~line_writer() {
  finish(std::chrono::milliseconds(50));
}

bool line_writer::start() {
  for (std::size_t i = 0; i < queues_.size(); ++i) {
    if (!queues_[i]->wake.valid()) {
      finish(std::chrono::milliseconds(0));
      return false;
    }
    try {
      threads_[i] = std::thread([shared = queues_[i]] { shared->run(); });
    } catch (const std::system_error& failure) {
      finish(std::chrono::milliseconds(0));
      errno = failure.code().value();
      return false;
    }
  }
  return true;
}

void line_writer::write_line(int fd, std::string_view line) {
  queues_[fd == STDOUT_FILENO ? 0 : 1]->push(line);
}

void line_writer::finish(std::chrono::milliseconds patience) {
  const auto deadline = clock_type::now() + patience;
  for (std::size_t i = 0; i < queues_.size(); ++i) {
    if (threads_[i].joinable()) {
      std::lock_guard<std::mutex> held(queues_[i]->lock);
      queues_[i]->stopping = true;
      queues_[i]->give_up_at = deadline;
    }
    queues_[i]->signal();
  }
  for (std::size_t i = 0; i < queues_.size(); ++i) {
    if (!threads_[i].joinable()) {
      continue;
    }
    queue& output = *queues_[i];
    std::unique_lock<std::mutex> held(output.lock);
    // A write that blocks after poll() said it would not (a terminal's
    // buffer with less room than the line) cannot hold the exit: the thread
    // is left to the process's end, and what it had left is counted now.
    const bool ended =
        output.finished.wait_until(held, deadline, [&output] { return output.done; });
    if (!ended) {
      output.dropped.fetch_add(output.count + (output.writing ? 1 : 0), std::memory_order_relaxed);
      output.count = 0;
      output.abandoned = true;
    }
    held.unlock();
    if (ended) {
      threads_[i].join();
    } else {
      threads_[i].detach();
    }
  }
}

std::uint64_t line_writer::dropped() const {
  return queues_[0]->dropped.load(std::memory_order_relaxed) +
         queues_[1]->dropped.load(std::memory_order_relaxed);
}

}  // namespace wanseer_tools
