// `wanseer --watch --on-change COMMAND`: runs COMMAND through /bin/sh -c
// until it has succeeded for the address the watch last saw, one run at a
// time.  A run that fails, or runs past its time limit and is ended, is
// tried again for the same address after a pause that doubles with each
// failure; a newer address replaces it at once.  A change that comes while
// a run is under way waits for it to end; of several such changes only the
// latest is delivered.
#ifndef WANSEER_TOOLS_CHANGE_HOOK_H
#define WANSEER_TOOLS_CHANGE_HOOK_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace wanseer_tools {

struct hook_timing {
  // A run still going after this long is ended (SIGTERM to its process
  // group, SIGKILL `kill_grace` later) and counts as a failure; zero: no
  // limit.
  std::chrono::milliseconds timeout{60000};
  std::chrono::milliseconds kill_grace{5000};
  // When the watcher is told to stop, the run gets this long after its
  // SIGTERM: the watcher must end promptly.
  std::chrono::milliseconds stop_grace{500};
  // The pause before the same address is tried again after a failure,
  // doubled after each further failure up to `longest_retry`.
  std::chrono::milliseconds first_retry{10000};
  std::chrono::milliseconds longest_retry{600000};
};

class change_hook {
 public:
  // `delivered` is the address a run last succeeded for ("" when none is
  // known, as after a first start); `on_delivered` is told of each success.
  change_hook(std::string command, hook_timing timing, std::string delivered = "",
              std::function<void(const std::string&)> on_delivered = {});
  change_hook(const change_hook&) = delete;
  change_hook& operator=(const change_hook&) = delete;
  // Ends a run still under way as stop() does: the command is never left
  // behind.
  ~change_hook();

  // The address (dotted text) is now `address`: runs the command at once
  // when none runs and the address is not the one last delivered, else
  // keeps it for when the run ends.
  void address_changed(const std::string& address);

  // Called often from the watch loop: notices a run that ended (reporting
  // a failure on stderr), ends one past its time limit, and starts the run
  // that a change or a retry left waiting.
  void check();

  // Ends a run under way (SIGTERM to its process group, SIGKILL after the
  // stop grace) and waits until its process group is gone; nothing is
  // started afterwards.
  void stop();

 private:
  struct run {
    pid_t pid = -1;  // also its process group
    std::string address;
    std::chrono::steady_clock::time_point started;
    // When SIGTERM was sent to end it (time limit or stop).
    std::optional<std::chrono::steady_clock::time_point> ending_since;
    bool timed_out = false;
  };

  void start(const std::string& address);
  // Reaps the run if it has ended (`block`: waits for it).  True when it
  // has ended, and then reports and schedules.
  bool reap(bool block);
  void finished(int status, const std::string& spawn_failure = "");
  void end_stragglers(bool now);
  // Reaps what earlier runs left behind (this program is their subreaper).
  void reap_orphans();

  std::string command_;
  hook_timing timing_;
  std::string delivered_;
  std::function<void(const std::string&)> on_delivered_;
  std::optional<std::string> latest_;  // the address the watch last saw
  std::optional<run> running_;
  bool stopped_ = false;
  std::chrono::steady_clock::time_point retry_at_{};
  std::chrono::milliseconds next_pause_;
  // Members left in the process group of a run that was ended after its
  // leader exited: killed when the grace is over.
  std::optional<pid_t> straggler_group_;
  std::chrono::steady_clock::time_point straggler_kill_at_{};
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_CHANGE_HOOK_H
