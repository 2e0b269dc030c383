// wanseer --on-change: the command run through /bin/sh for each change, one
// run at a time, with the latest waiting change delivered after a run; a
// failed run tried again, a run past its time ended with all it started,
// and the delivered address kept across restarts in a state file.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "change_hook.h"
#include "child_process.h"
#include "hook_state.h"
#include "scratch_folder.h"

namespace wanseer_tests {
namespace {

// Short pauses, so that retries and time limits show within a test.
wanseer_tools::hook_timing quick_timing() {
  wanseer_tools::hook_timing timing;
  timing.timeout = std::chrono::milliseconds(400);
  timing.kill_grace = std::chrono::milliseconds(300);
  timing.first_retry = std::chrono::milliseconds(100);
  timing.longest_retry = std::chrono::milliseconds(200);
  return timing;
}

// Calls check() as the watch loop does until `done` holds.
template <typename Done>
bool keep_checking(wanseer_tools::change_hook& hook, Done done) {
  const auto deadline = std::chrono::steady_clock::now() + generous_deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    hook.check();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool process_group_exists(pid_t group) {
  return kill(-group, 0) == 0;
}

pid_t pid_in(const std::string& path) {
  const auto lines = lines_of(path);
  return lines.empty() ? 0 : static_cast<pid_t>(std::stol(lines[0]));
}

TEST(ChangeHook, EachRunSeesItsAddressAndTheOneBeforeItOneRunAtATime) {
  scratch_folder folder;
  const std::string record = folder.file("record");
  const std::string gate = folder.file("gate");
  ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
  // Records "PREVIOUS>ADDRESS"; the run for 192.0.2.1 waits at the gate,
  // the one for 192.0.2.9 fails.
  const std::string command = "printf '%s>%s\\n' \"$WANSEER_PREVIOUS\" \"$WANSEER_ADDRESS\" >> " +
                              record + "; [ \"$WANSEER_ADDRESS\" != 192.0.2.1 ] || read go < " +
                              gate + "; [ \"$WANSEER_ADDRESS\" != 192.0.2.9 ]";
  testing::internal::CaptureStderr();
  {
    // Retries far off: the failing run here is followed by a newer address.
    wanseer_tools::hook_timing timing;
    timing.first_retry = std::chrono::hours(1);
    wanseer_tools::change_hook hook(command, timing);
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
    // A failing run is reported, a newer address runs at once, and its
    // previous address is the last one delivered.
    hook.address_changed("192.0.2.9");
    ASSERT_TRUE(recorded(3));
    hook.address_changed("192.0.2.4");
    ASSERT_TRUE(recorded(4));
  }
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(lines_of(record),
            (std::vector<std::string>{">192.0.2.1", "192.0.2.1>192.0.2.3", "192.0.2.3>192.0.2.9",
                                      "192.0.2.3>192.0.2.4"}));
  EXPECT_NE(errors.find("--on-change command for 192.0.2.9 exited with status 1"),
            std::string::npos)
      << errors;
  EXPECT_EQ(errors.find("192.0.2.4"), std::string::npos) << errors;
}

TEST(ChangeHook, AFailedRunIsTriedAgainWithLongerPausesUntilItSucceeds) {
  scratch_folder folder;
  const std::string record = folder.file("record");
  // Fails on its first two runs, then succeeds; each run records its time.
  const std::string command = "date +%s.%N >> " + record + "; [ $(wc -l < " + record + ") -ge 3 ]";
  std::vector<std::string> delivered;
  testing::internal::CaptureStderr();
  {
    wanseer_tools::change_hook hook(command, quick_timing(), "", [&](const std::string& address) {
      delivered.push_back(address);
    });
    hook.address_changed("192.0.2.1");
    ASSERT_TRUE(keep_checking(hook, [&] { return !delivered.empty(); }));
    // Delivered: no run more, also when the same address is seen again.
    hook.address_changed("192.0.2.1");
    const auto after = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
    keep_checking(hook, [&] { return std::chrono::steady_clock::now() >= after; });
  }
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(delivered, std::vector<std::string>{"192.0.2.1"});
  const auto times = lines_of(record);
  ASSERT_EQ(times.size(), 3u) << errors;
  // The pauses: 100 ms, then 200 ms.
  EXPECT_GE(std::stod(times[1]) - std::stod(times[0]), 0.1);
  EXPECT_GE(std::stod(times[2]) - std::stod(times[1]), 0.2);
  EXPECT_NE(errors.find("192.0.2.1 exited with status 1; trying again in 0.1 s"), std::string::npos)
      << errors;
  EXPECT_NE(errors.find("192.0.2.1 exited with status 1; trying again in 0.2 s"), std::string::npos)
      << errors;
}

TEST(ChangeHook, ARunPastItsTimeIsEndedWithItsGroupAndTheWaitingChangeDelivered) {
  scratch_folder folder;
  const std::string record = folder.file("record");
  const std::string group = folder.file("group");
  // The run for 192.0.2.1 ignores SIGTERM and leaves a child that ignores
  // it too: only SIGKILL to the whole group ends them.
  const std::string command =
      "if [ \"$WANSEER_ADDRESS\" = 192.0.2.1 ]; then trap '' TERM; "
      "echo $$ > " +
      group + "; sleep 1000 & sleep 1000; fi; echo \"$WANSEER_ADDRESS\" >> " + record;
  std::vector<std::string> delivered;
  testing::internal::CaptureStderr();
  {
    wanseer_tools::change_hook hook(command, quick_timing(), "", [&](const std::string& address) {
      delivered.push_back(address);
    });
    hook.address_changed("192.0.2.1");
    ASSERT_TRUE(keep_checking(hook, [&] { return pid_in(group) != 0; }));
    hook.address_changed("192.0.2.2");
    ASSERT_TRUE(keep_checking(hook, [&] { return !delivered.empty(); }));
    EXPECT_FALSE(process_group_exists(pid_in(group)));
  }
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(delivered, std::vector<std::string>{"192.0.2.2"});
  EXPECT_EQ(lines_of(record), std::vector<std::string>{"192.0.2.2"});
  EXPECT_NE(errors.find("192.0.2.1 still runs after 0.4 s (--hook-timeout)"), std::string::npos)
      << errors;
  // A newer address was waiting: no retry of the old one.
  EXPECT_NE(errors.find("192.0.2.1 was ended after 0.4 s\n"), std::string::npos) << errors;
}

TEST(ChangeHook, StopEndsARunAndAllItStartedPromptly) {
  scratch_folder folder;
  const std::string group = folder.file("group");
  for (const std::string ignore : {"", "trap '' TERM; "}) {
    const std::string command = ignore + "echo $$ > " + group + "; sleep 1000 & sleep 1000";
    wanseer_tools::hook_timing timing;  // the defaults: a minute before the time limit
    wanseer_tools::change_hook hook(command, timing);
    unlink(group.c_str());
    hook.address_changed("192.0.2.1");
    ASSERT_TRUE(keep_checking(hook, [&] { return pid_in(group) != 0; }));
    const auto asked = std::chrono::steady_clock::now();
    hook.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1)) << ignore;
    EXPECT_FALSE(process_group_exists(pid_in(group))) << ignore;
    // Nothing runs after a stop.
    hook.address_changed("192.0.2.2");
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
  }
}

TEST(ChangeHook, RunsStartWithNoSignalBlockedOrIgnored) {
  scratch_folder folder;
  const std::string record = folder.file("record");
  // As the watcher may have them: SIGTERM blocked, and SIGPIPE and SIGCHLD
  // ignored, as a library or a parent may leave them.
  sigset_t blocked, before;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &before);
  const auto old_pipe = signal(SIGPIPE, SIG_IGN);
  const auto old_child = signal(SIGCHLD, SIG_IGN);
  bool delivered = false;
  {
    wanseer_tools::change_hook hook(
        "grep -E '^Sig(Blk|Ign)' /proc/self/status > " + record + "; yes | head -c 2 >> " + record,
        wanseer_tools::hook_timing{}, "", [&](const std::string&) { delivered = true; });
    hook.address_changed("192.0.2.1");
    // With SIGCHLD left ignored the kernel would reap the run unseen, and
    // its success would never count.
    EXPECT_TRUE(keep_checking(hook, [&] { return delivered; }));
  }
  signal(SIGCHLD, old_child);
  signal(SIGPIPE, old_pipe);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  const auto lines = lines_of(record);
  ASSERT_EQ(lines.size(), 3u);
  for (const auto& line : {lines[0], lines[1]}) {
    const unsigned long long mask = std::stoull(line.substr(line.find('\t') + 1), nullptr, 16);
    // The C library's own two real-time signals are not for a parent to set.
    EXPECT_EQ(mask & 0xffffffffULL & ~(3ULL << 31), 0u) << line;
  }
  EXPECT_EQ(lines[2], "y");
}

TEST(ChangeHook, AStateFileKeepsTheDeliveredAddressAndBadOnesAreIgnored) {
  scratch_folder folder;
  const std::string state = folder.file("state");
  ASSERT_TRUE(wanseer_tools::store_hook_state(state, "192.0.2.7"));
  ASSERT_TRUE(wanseer_tools::store_hook_state(state, "198.51.100.7"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(wanseer_tools::load_hook_state(state), "198.51.100.7");
  EXPECT_EQ(wanseer_tools::load_hook_state(folder.file("none")), "");  // a first start
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  // No temporary file is left beside it.
  EXPECT_EQ(std::system(("[ $(ls " + folder.file("") + " | wc -l) -eq 1 ]").c_str()), 0);

  const struct {
    const char* content;
    const char* reported;
  } bad[] = {{"", "it is empty"},
             {"\n", "it is empty"},
             {"192.0.2", "it does not hold an IPv4 address"},
             {"192.0.2.7 extra\n", "it does not hold an IPv4 address"},
             {"192.0.2.7\n192.0.2.8\n", "it does not hold an IPv4 address"},
             {"\x01\xff garbage garbage garbage garbage garbage", "it does not hold"}};
  for (const auto& [content, reported] : bad) {
    std::ofstream(state, std::ios::trunc) << content;
    testing::internal::CaptureStderr();
    EXPECT_EQ(wanseer_tools::load_hook_state(state), "") << content;
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find(reported), std::string::npos) << errors;
  }
  // A folder where the file should be: unreadable, and not writable over.
  testing::internal::CaptureStderr();
  EXPECT_EQ(wanseer_tools::load_hook_state(folder.file("")), "");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Is a directory"), std::string::npos);
  EXPECT_FALSE(wanseer_tools::store_hook_state(folder.file("missing/state"), "192.0.2.7"));
}

TEST(ChangeHook, TheAddressLastDeliveredBeforeARestartIsNotRunAgain) {
  scratch_folder folder;
  const std::string record = folder.file("record");
  const std::string command = "echo \"$WANSEER_PREVIOUS>$WANSEER_ADDRESS\" >> " + record;
  {
    wanseer_tools::change_hook hook(command, quick_timing(), "192.0.2.1");
    hook.address_changed("192.0.2.1");
    // A run starts within address_changed, so none was started.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    hook.address_changed("192.0.2.2");
    ASSERT_TRUE(keep_checking(hook, [&] { return !lines_of(record).empty(); }));
  }
  EXPECT_EQ(lines_of(record), std::vector<std::string>{"192.0.2.1>192.0.2.2"});
}

}  // namespace
}  // namespace wanseer_tests
