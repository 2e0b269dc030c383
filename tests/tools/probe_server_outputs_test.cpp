// wanseer-probe-server whatever its outputs do: a reader that stops reading
// or goes away, descriptors left closed, and a start short of memory.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "running_probe_server.h"
#include "unique_fd.h"

namespace wanseer_tests {
namespace {

const bytes& request = wanseer::testing::probe_request;
// Almost no refill: every source's second request is throttled, and its
// first throttled request is worth a line on standard error.
const std::vector<std::string> throttling = {"--threads", "1", "--rate", "0.001", "--burst", "1"};

std::vector<std::string> server_argv(const std::string& listen) {
  std::vector<std::string> argv = {WANSEER_PROBE_SERVER_PATH, "--listen", listen};
  argv.insert(argv.end(), throttling.begin(), throttling.end());
  return argv;
}

void throttle_sources(unsigned short port, int sources) {
  for (int i = 0; i < sources; ++i) {
    const std::string address =
        "127.1." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250);
    loopback_udp sender(address.c_str());
    sender.send_to(port, request);
    sender.send_to(port, request);
  }
}

// One thread takes the socket's datagrams in order: a fresh source answered
// after the throttled ones means their lines held nothing up.
bool answers_a_fresh_source(unsigned short port, const char* source) {
  loopback_udp fresh(source);
  for (int attempt = 0; attempt < 100; ++attempt) {
    fresh.send_to(port, request);
    if (fresh.receive(std::chrono::milliseconds(200))) {
      return true;
    }
  }
  return false;
}

// Whether `process` has taken `signal` (it is no longer pending), within a
// generous deadline: two signals sent at once would be taken as one.
bool signal_taken(pid_t process, int signal) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  const std::string status_path = "/proc/" + std::to_string(process) + "/status";
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream status(status_path);
    std::string line;
    bool found = false;
    while (!found && std::getline(status, line)) {
      found = line.rfind("ShdPnd:", 0) == 0;
    }
    if (!found) {
      return false;  // the process is gone
    }
    const unsigned long long pending = std::stoull(line.substr(7), nullptr, 16);
    if ((pending & (1ULL << (signal - 1))) == 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(ProbeServerOutputs, AStalledErrorReaderHoldsUpNeitherAnswersNorTheStop) {
  // Standard error is a 4 KiB pipe, already full, that nobody reads.
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  const wanseer::unique_fd reader(ends[0]);
  const wanseer::unique_fd writer(ends[1]);
  fcntl(writer.get(), F_SETPIPE_SZ, 4096);
  fcntl(writer.get(), F_SETFL, O_NONBLOCK);
  const std::string filler(512, 'x');
  while (write(writer.get(), filler.data(), filler.size()) > 0) {
  }
  fcntl(writer.get(), F_SETFL, 0);

  child_process server(server_argv("127.0.0.1:0"), {}, {{STDERR_FILENO, writer.get()}});
  const auto line = server.read_line();
  ASSERT_TRUE(line);
  const unsigned short port = listening_port(*line);
  throttle_sources(port, 1000);
  EXPECT_TRUE(answers_a_fresh_source(port, "127.0.9.1"));
  // Counter lines for standard error, more than its queue holds: the last
  // counter line, for standard output, must still get through.
  for (int i = 0; i < 400; ++i) {
    server.send_signal(SIGUSR1);
    ASSERT_TRUE(signal_taken(server.pid(), SIGUSR1));
  }
  EXPECT_TRUE(answers_a_fresh_source(port, "127.0.9.5"));
  server.send_signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_EQ(server.remaining_output().rfind("received=", 0), 0U) << server.remaining_output();
}

TEST(ProbeServerOutputs, OutputsThatAreGoneAreNoReasonToStop) {
  {
    // Readers that go away once the server is listening: writes meet EPIPE.
    child_process server(server_argv("127.0.0.1:0"));
    const auto line = server.read_line();
    ASSERT_TRUE(line);
    server.close_output();
    throttle_sources(listening_port(*line), 10);
    EXPECT_TRUE(answers_a_fresh_source(listening_port(*line), "127.0.9.2"));
    server.send_signal(SIGHUP);
    EXPECT_EQ(server.wait_exit(), 0);
  }
  {
    // Started with standard output and error closed.
    const unsigned short port = loopback_udp().port();
    child_process server(server_argv("127.0.0.1:" + std::to_string(port)), {},
                         {{STDOUT_FILENO, -1}, {STDERR_FILENO, -1}});
    EXPECT_TRUE(answers_a_fresh_source(port, "127.0.9.3"));
    throttle_sources(port, 10);
    EXPECT_TRUE(answers_a_fresh_source(port, "127.0.9.4"));
    server.send_signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(), 0);
  }
}

TEST(ProbeServerOutputs, ASourceTableThatCannotBeAllocatedStopsTheStartBeforeReadiness) {
  const std::string limited = "ulimit -v 600000 && exec \"$0\" \"$@\"";
  if (run_to_end({"/bin/sh", "-c", limited, WANSEER_PROBE_SERVER_PATH, "--version"}).status != 0) {
    GTEST_SKIP() << "the server cannot run in 600 MB of address space (a sanitizer build)";
  }
  const auto run = run_to_end({"/bin/sh", "-c", limited, WANSEER_PROBE_SERVER_PATH, "--listen",
                               "127.0.0.1:0", "--sources", "67108864"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errors.find("lower --sources"), std::string::npos) << run.errors;
  EXPECT_EQ(run.output.find("listening on"), std::string::npos);
}

}  // namespace
}  // namespace wanseer_tests
