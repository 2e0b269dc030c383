// The probe server's line writer with pipes for its outputs: a reader that
// stops reading costs only its own output's lines, and every line it does
// not take is counted.

#include "line_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <system_error>

#include "unique_fd.h"

namespace wanseer_tools {
namespace {

using namespace std::chrono_literals;

struct pipe_ends {
  wanseer::unique_fd reader;
  wanseer::unique_fd writer;
};

// A pipe with room for all a test writes; with `full`, its 4 KiB are
// already taken and nobody reads it.
pipe_ends make_pipe(bool full) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  pipe_ends made{wanseer::unique_fd(ends[0]), wanseer::unique_fd(ends[1])};
  if (full) {
    fcntl(made.writer.get(), F_SETPIPE_SZ, 4096);
    fcntl(made.writer.get(), F_SETFL, O_NONBLOCK);
    const std::string filler(512, 'x');
    while (write(made.writer.get(), filler.data(), filler.size()) > 0) {
    }
    fcntl(made.writer.get(), F_SETFL, 0);
  } else {
    fcntl(made.writer.get(), F_SETPIPE_SZ, 1 << 20);
  }
  return made;
}

// What `reader` holds once it has `lines` lines, or after a generous
// deadline.
std::string lines_from(int reader, std::size_t lines) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) < lines &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd readable{reader, POLLIN, 0};
    char chunk[4096];
    if (poll(&readable, 1, 1000) == 1) {
      const ssize_t got = read(reader, chunk, sizeof chunk);
      if (got <= 0) {
        break;
      }
      text.append(chunk, static_cast<std::size_t>(got));
    }
  }
  return text;
}

// What the writer wrote to `reader`, once it is done.
std::string everything_in(int reader) {
  fcntl(reader, F_SETFL, O_NONBLOCK);
  std::string text;
  char chunk[4096];
  ssize_t got = 0;
  while ((got = read(reader, chunk, sizeof chunk)) > 0) {
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
}

std::size_t lines_in(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(LineWriter, AStalledOutputLosesOnlyItsOwnLinesAndCountsEachOne) {
  // Many more error lines than the queue holds, then lines on the output
  // that is read, as the server's last counter line comes after a flood of
  // throttle and SIGUSR1 lines.
  const std::size_t error_lines = line_writer::queue_lines * 3;
  const struct {
    const char* name;
    bool errors_stalled;
    std::size_t output_lines;
  } cases[] = {
      {"error output stalled, counter line after it", true, 1},
      {"error output stalled, output full too", true, line_writer::queue_lines},
      {"both read", false, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pipe_ends output = make_pipe(false);
    pipe_ends errors = make_pipe(c.errors_stalled);
    line_writer writer(output.writer.get(), errors.writer.get());
    ASSERT_TRUE(writer.start());
    for (std::size_t i = 0; i < error_lines; ++i) {
      writer.write_line(STDERR_FILENO, "throttled " + std::to_string(i));
    }
    for (std::size_t i = 0; i < c.output_lines; ++i) {
      writer.write_line(STDOUT_FILENO, "counters " + std::to_string(i));
    }
    // The output that is read gets all its lines (its queue holds them),
    // however many of the other output's wait or were dropped.
    const std::string written = lines_from(output.reader.get(), c.output_lines);
    const std::size_t output_written = lines_in(written);
    EXPECT_EQ(output_written, c.output_lines);
    EXPECT_EQ(written.rfind("counters 0\n", 0), 0U) << written.substr(0, 40);
    writer.finish(c.errors_stalled ? 100ms : 30s);
    const std::size_t errors_written =
        c.errors_stalled ? 0 : lines_in(everything_in(errors.reader.get()));
    // Nothing lost without being counted: every line written or dropped.
    EXPECT_EQ(writer.dropped() + output_written + errors_written, error_lines + c.output_lines);
    if (!c.errors_stalled) {
      EXPECT_EQ(writer.dropped(), error_lines - std::min(error_lines, errors_written));
    }
  }
}

TEST(LineWriter, LinesAfterTheFinishAndToAnOutputThatIsGoneAreCounted) {
  pipe_ends output = make_pipe(false);
  pipe_ends errors = make_pipe(false);
  errors.reader.reset();
  line_writer writer(output.writer.get(), errors.writer.get());
  ASSERT_TRUE(writer.start());
  writer.write_line(STDERR_FILENO, "to nobody");
  writer.write_line(STDOUT_FILENO, "kept");
  writer.finish(10s);
  writer.write_line(STDOUT_FILENO, "too late");
  EXPECT_EQ(everything_in(output.reader.get()), "kept\n");
  EXPECT_EQ(writer.dropped(), 2U);
}

}  // namespace
}  // namespace wanseer_tools
