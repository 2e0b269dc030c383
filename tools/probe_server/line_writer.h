// The server's lines for standard output and standard error, each written
// by a thread of its own from a queue of its own.  A reader that stops
// reading (a paused terminal, a full pipe, a stalled log collector) then
// holds up only its output's thread: the serving threads hand a line over
// and go on, a line that finds its queue full is counted and dropped, and
// the other output, with the counter line at the end, is not touched.
// Under systemd standard error is the journal's socket, as it always was.
#ifndef WANSEER_TOOLS_LINE_WRITER_H
#define WANSEER_TOOLS_LINE_WRITER_H

#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <thread>

namespace wanseer_tools {

class line_writer {
 public:
  // Lines waiting for one output; more are dropped.
  static constexpr std::size_t queue_lines = 256;

  // Lines for STDOUT_FILENO go to `output`, for STDERR_FILENO to `errors`
  // (copies of them, made here: the caller may close its own at once).
  // Allocates the whole queues up front; throws std::bad_alloc.
  explicit line_writer(int output = STDOUT_FILENO, int errors = STDERR_FILENO);
  line_writer(const line_writer&) = delete;
  line_writer& operator=(const line_writer&) = delete;
  // Finishes with a short patience if finish() was not called.
  ~line_writer();

  // Starts the writing threads; false, with errno set, if they cannot be.
  bool start();

  // Queues `line` and a newline for `fd` (STDOUT_FILENO or STDERR_FILENO);
  // a longer line than the queue's entries is cut.  Any thread; never waits
  // for the output.
  void write_line(int fd, std::string_view line);

  // Writes what is queued and ends the threads.  Both outputs get the same
  // `patience`, at once: a line not written by then is dropped, and the
  // call returns then whatever the outputs do.
  void finish(std::chrono::milliseconds patience);

  // Lines dropped so far, both outputs: queue full, write failed, or given
  // up at finish.
  std::uint64_t dropped() const;

 private:
  struct queue;
  std::array<std::shared_ptr<queue>, 2> queues_;
  std::array<std::thread, 2> threads_;
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_LINE_WRITER_H
