// wanseer --on-change: the command run through /bin/sh for each change, one
// run at a time, with the latest waiting change delivered after a run.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "change_hook.h"
#include "child_process.h"

namespace wanseer_tests {
namespace {

std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    lines.push_back(line);
  }
  return lines;
}

TEST(ChangeHook, EachRunSeesItsAddressAndTheOneBeforeItOneRunAtATime) {
  char folder_template[] = "/tmp/wanseer-change-hook-XXXXXX";
  const std::string folder = mkdtemp(folder_template);
  const std::string record = folder + "/record";
  const std::string gate = folder + "/gate";
  ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
  // Records "PREVIOUS>ADDRESS"; the run for 192.0.2.1 waits at the gate,
  // the one for 192.0.2.9 fails.
  const std::string command = "printf '%s>%s\\n' \"$WANSEER_PREVIOUS\" \"$WANSEER_ADDRESS\" >> " +
                              record + "; [ \"$WANSEER_ADDRESS\" != 192.0.2.1 ] || read go < " +
                              gate + "; [ \"$WANSEER_ADDRESS\" != 192.0.2.9 ]";
  testing::internal::CaptureStderr();
  {
    wanseer_tools::change_hook hook(command);
    const auto recorded = [&](std::size_t count) {
      const auto deadline = std::chrono::steady_clock::now() + generous_deadline;
      while (lines_of(record).size() < count && std::chrono::steady_clock::now() < deadline) {
        hook.check();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      return lines_of(record).size() >= count;
    };

    hook.address_changed("192.0.2.1");
    ASSERT_TRUE(recorded(1));
    // The first run waits at the gate: these two wait for it, and only the
    // later is delivered.
    hook.address_changed("192.0.2.2");
    hook.address_changed("192.0.2.3");
    hook.check();
    EXPECT_EQ(lines_of(record).size(), 1u);
    std::ofstream(gate) << "go\n";
    ASSERT_TRUE(recorded(2));
    // A failing run is reported, and the next change still runs.
    hook.address_changed("192.0.2.9");
    ASSERT_TRUE(recorded(3));
    hook.address_changed("192.0.2.4");
    ASSERT_TRUE(recorded(4));
  }
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(lines_of(record),
            (std::vector<std::string>{">192.0.2.1", "192.0.2.1>192.0.2.3", "192.0.2.3>192.0.2.9",
                                      "192.0.2.9>192.0.2.4"}));
  EXPECT_NE(errors.find("--on-change command for 192.0.2.9 exited with status 1"),
            std::string::npos)
      << errors;
  EXPECT_EQ(errors.find("192.0.2.4"), std::string::npos) << errors;
  unlink(record.c_str());
  unlink(gate.c_str());
  rmdir(folder.c_str());
}

}  // namespace
}  // namespace wanseer_tests
