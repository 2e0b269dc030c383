// The server's lines for standard output and standard error, written by a
// thread of their own.  A reader that stops reading (a paused terminal, a
// full pipe, a stalled log collector) then holds up only that thread: the
// serving threads hand a line over and go on, and a line that finds the
// queue full is counted and dropped.  Under systemd standard error is the
// journal's socket, as it always was.
#ifndef WANSEER_TOOLS_LINE_WRITER_H
#define WANSEER_TOOLS_LINE_WRITER_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <thread>

namespace wanseer_tools {

class line_writer {
 public:
  // Allocates the whole queue up front; throws std::bad_alloc.
  line_writer();
  line_writer(const line_writer&) = delete;
  line_writer& operator=(const line_writer&) = delete;
  // Finishes with a short patience if finish() was not called.
  ~line_writer();

  // Starts the writing thread; false, with errno set, if it cannot.
  bool start();

  // Queues `line` and a newline for `fd` (1 or 2); a longer line than the
  // queue's entries is cut.  Any thread; never waits for the output.
  void write_line(int fd, std::string_view line);

  // Writes what is queued and ends the thread.  An output that takes no
  // bytes for `patience` gets no more: its lines are dropped.  Returns
  // within a little more than `patience` whatever the outputs do.
  void finish(std::chrono::milliseconds patience);

  // Lines dropped so far: queue full, write failed, or given up at finish.
  std::uint64_t dropped() const;

 private:
  struct queue;
  std::shared_ptr<queue> queue_;
  std::thread thread_;
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_LINE_WRITER_H
