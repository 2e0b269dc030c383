// The wanseer command-line host, loading the built library, against a real
// probe server on loopback.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "running_probe_server.h"
#include "unique_fd.h"

namespace wanseer_tests {
namespace {

// "YYYY-MM-DDTHH:MM:SS.mmmZ ADDRESS", the form --watch prints.
bool is_timestamped(const std::string& line, const std::string& address) {
  const std::string shape = "0000-00-00T00:00:00.000Z ";
  if (line.size() != shape.size() + address.size() ||
      line.compare(shape.size(), address.size(), address) != 0) {
    return false;
  }
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == '0' ? !digit : line[i] != shape[i]) {
      return false;
    }
  }
  return true;
}

const child_process::environment_changes built_library = {
    {"WANSEER_LIBRARY", std::string(WANSEER_LIBRARY_PATH)}};

TEST(WanseerCli, PrintsTheAddressTheProbeServerSees) {
  running_probe_server server;
  // Options in both getopt forms, and after the operand.
  for (const auto& options : {std::vector<std::string>{},
                              {"--timeout=30", "--key=Q"},
                              {"--key", "Q", "--timeout", "30"}}) {
    std::vector<std::string> argv = {WANSEER_CLI_PATH, server.endpoint()};
    argv.insert(argv.end(), options.begin(), options.end());
    const auto run = run_to_end(argv, built_library);
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.output, "127.0.0.1\n");
  }
  // By STUN, the scheme in any case.
  for (const char* scheme : {"stun:", "STUN:", "Stun:"}) {
    const auto run = run_to_end({WANSEER_CLI_PATH, scheme + server.endpoint()}, built_library);
    EXPECT_EQ(run.status, 0) << scheme << run.errors;
    EXPECT_EQ(run.output, "127.0.0.1\n") << scheme;
  }
}

TEST(WanseerCli, FindsTheLibraryInTheBuildTreeWithoutTheVariable) {
  running_probe_server server;
  // Unset, or set but empty.
  for (const auto& variable : {std::optional<std::string>(), std::optional<std::string>("")}) {
    const auto run = run_to_end({WANSEER_CLI_PATH, "--timeout", "30", server.endpoint()},
                                {{"WANSEER_LIBRARY", variable}});
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.output, "127.0.0.1\n");
  }
}

TEST(WanseerCli, StoresUnderTheGivenKeyAndRefusesKeysTheLibraryRefuses) {
  running_probe_server server;
  const std::string longest_key(255, 'k');
  const auto accepted =
      run_to_end({WANSEER_CLI_PATH, "--key", longest_key, server.endpoint()}, built_library);
  EXPECT_EQ(accepted.status, 0) << accepted.errors;
  EXPECT_EQ(accepted.output, "127.0.0.1\n");

  for (const std::string& refused : {std::string(256, 'k'), std::string()}) {
    const auto run =
        run_to_end({WANSEER_CLI_PATH, "--key", refused, server.endpoint()}, built_library);
    EXPECT_EQ(run.status, 2) << refused.size();
    EXPECT_NE(run.errors.find("key refused"), std::string::npos) << run.errors;
    EXPECT_TRUE(run.output.empty());
  }
  EXPECT_EQ(server.stop().at("answered"), 1U);
}

TEST(WanseerCli, GivesUpAfterTheTimeoutAgainstASilentPort) {
  loopback_udp silent;
  child_process client(
      {WANSEER_CLI_PATH, "--timeout", ".5", "127.0.0.1:" + std::to_string(silent.port())},
      built_library);
  // The library did ask: the silence is the server's.
  const auto probe = silent.receive();
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->bytes, wanseer::testing::probe_request);
  EXPECT_EQ(client.wait_exit(), 1);
  EXPECT_TRUE(client.remaining_output().empty());
  EXPECT_NE(client.error_output().find("no answer"), std::string::npos) << client.error_output();
}

TEST(WanseerCli, ReportsAnUnloadableLibraryWithTheLoadersMessage) {
  const auto run = run_to_end({WANSEER_CLI_PATH, "127.0.0.1:7171"},
                              {{"WANSEER_LIBRARY", std::string("/nonexistent/libwanseer.so.1")}});
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.errors.find("/nonexistent/libwanseer.so.1"), std::string::npos) << run.errors;
  EXPECT_TRUE(run.output.empty());
}

TEST(WanseerCli, RefusesBadCommandLines) {
  for (const auto& arguments : {std::vector<std::string>{},
                                {"127.0.0.1"},
                                {"127.0.0.1:0"},
                                {"127.0.0.1:70000"},
                                {":7171"},
                                {"256.1.1.1:7171"},
                                {"[::1]:7171"},
                                {"a..b:7171"},
                                {"--timeout", ".", "a:1"},
                                {"--timeout", "soon", "a:1"},
                                {"--timeout", "-1", "a:1"},
                                {"--timeout=", "a:1"},
                                {"--key"},
                                {"--watch=yes", "a:1"},
                                {"--on-change", "true", "a:1"},
                                {"--watch", "a:1", "--on-change"},
                                {"--watch", "--state", "s", "a:1"},
                                {"--watch", "--hook-timeout", "5", "a:1"},
                                {"--watch", "--on-change", "true", "--hook-timeout", "-5", "a:1"},
                                {"--watch", "--on-change", "true", "--state=", "a:1"},
                                {"--watch", "--on-change", "", "a:1"},
                                {"--bogus", "a:1"},
                                {"-x", "a:1"},
                                {"a:1", "b:2"}}) {
    std::vector<std::string> argv = {WANSEER_CLI_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const auto run = run_to_end(argv, built_library);
    EXPECT_EQ(run.status, 2) << (arguments.empty() ? "(none)" : arguments[0]);
    EXPECT_TRUE(run.output.empty());
  }
}

TEST(WanseerCli, WatchPrintsTheAddressWithATimeAndEndsCleanlyOnASignal) {
  running_probe_server server;
  for (const int signal : {SIGTERM, SIGINT}) {
    child_process watcher({WANSEER_CLI_PATH, "--watch", server.endpoint()}, built_library);
    const auto line = watcher.read_line();
    ASSERT_TRUE(line) << watcher.error_output();
    EXPECT_TRUE(is_timestamped(*line, "127.0.0.1")) << *line;
    watcher.send_signal(signal);
    EXPECT_EQ(watcher.wait_exit(), 0) << watcher.error_output();
    // The address does not change, so it is printed once.
    EXPECT_TRUE(watcher.remaining_output().empty()) << watcher.remaining_output();
  }
}

TEST(WanseerCli, WatchStoppedBeforeAnyAddressEndsWithStatusOne) {
  loopback_udp silent;
  child_process watcher({WANSEER_CLI_PATH, "--watch", "127.0.0.1:" + std::to_string(silent.port())},
                        built_library);
  ASSERT_TRUE(silent.receive());  // the library runs and asks
  watcher.send_signal(SIGINT);
  EXPECT_EQ(watcher.wait_exit(), 1);
  EXPECT_TRUE(watcher.remaining_output().empty());
  EXPECT_NE(watcher.error_output().find("before an address"), std::string::npos);
}

TEST(WanseerCli, AnAddressThatCannotBeWrittenIsAFailure) {
  running_probe_server server;
  const wanseer::unique_fd full(open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(full.valid());
  // A full device, a closed descriptor, and --watch, which must not go on.
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{server.endpoint()}, full.get()},
      {{server.endpoint()}, -1},
      {{"--watch", server.endpoint()}, full.get()}};
  for (const auto& [arguments, output] : cases) {
    std::vector<std::string> argv = {WANSEER_CLI_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const auto run = run_to_end(argv, built_library, {{STDOUT_FILENO, output}});
    EXPECT_EQ(run.status, 4) << arguments[0] << " to " << output;
    EXPECT_NE(run.errors.find("cannot write the address"), std::string::npos) << run.errors;
  }
}

// A loopback port where nothing listens: the kernel refuses datagrams to it.
std::uint16_t closed_port() {
  const loopback_udp taken;
  return taken.port();
}

TEST(WanseerCli, SaysWhyNoAddressComesWhereItCanTell) {
  const std::uint16_t closed = closed_port();
  const std::string refused = "127.0.0.1:" + std::to_string(closed);
  const std::string cause =
      "127.0.0.1 refused port " + std::to_string(closed) + " (nothing listens there)";
  // A server that takes the request and stays silent: nothing to tell.
  loopback_udp silent;
  const std::string quiet = "127.0.0.1:" + std::to_string(silent.port());
  // The watches first, as they take 5 s to speak.
  child_process watcher({WANSEER_CLI_PATH, "--watch", refused}, built_library);
  child_process quiet_watcher({WANSEER_CLI_PATH, "--watch", quiet}, built_library);

  // The STUN scheme in any case names the same host and port.
  const struct {
    std::string server;
    std::string told;
  } once_cases[] = {{refused, ": " + cause}, {"STUN:" + refused, ": " + cause}};
  for (const auto& once_case : once_cases) {
    const auto once =
        run_to_end({WANSEER_CLI_PATH, "--timeout", "2", once_case.server}, built_library);
    EXPECT_EQ(once.status, 1) << once_case.server;
    EXPECT_NE(once.errors.find("no answer from " + once_case.server + " within 2 s" +
                               once_case.told + "\n"),
              std::string::npos)
        << once.errors;
  }

  // --watch says it when the first attempt has missed, and goes on.
  const auto line = watcher.error_line_with("no answer");
  ASSERT_TRUE(line) << watcher.error_output();
  EXPECT_EQ(*line, "wanseer: no answer from " + refused + " for 5 s: " + cause);
  const auto quiet_line = quiet_watcher.error_line_with("no answer");
  ASSERT_TRUE(quiet_line) << quiet_watcher.error_output();
  EXPECT_EQ(*quiet_line, "wanseer: no answer from " + quiet + " for 5 s");
  watcher.send_signal(SIGTERM);
  EXPECT_EQ(watcher.wait_exit(), 1);
}

}  // namespace
}  // namespace wanseer_tests
