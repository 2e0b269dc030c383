// `wanseer --watch --on-change COMMAND`: runs COMMAND through /bin/sh -c on
// each change of the address, one run at a time.  A change that comes while
// a run is under way waits for it to end; of several such changes only the
// latest is delivered.
#ifndef WANSEER_TOOLS_CHANGE_HOOK_H
#define WANSEER_TOOLS_CHANGE_HOOK_H

#include <sys/types.h>

#include <optional>
#include <string>

namespace wanseer_tools {

class change_hook {
 public:
  explicit change_hook(std::string command) : command_(std::move(command)) {}
  change_hook(const change_hook&) = delete;
  change_hook& operator=(const change_hook&) = delete;
  // Waits for a run still under way: the command is never left behind.
  ~change_hook();

  // The address (dotted text) is now `address`: runs the command at once
  // when none runs, else keeps it for when the run ends.
  void address_changed(const std::string& address);

  // Called often from the watch loop: notices a run that ended, reports a
  // failure on stderr, and starts the run a change left waiting.
  void check();

 private:
  // Starts the command for `address`; WANSEER_PREVIOUS is the address the
  // last run was given (empty before the first).
  void start(const std::string& address);
  // Reaps the run; `block` waits for it.  True when it has ended.
  bool reap(bool block);

  std::string command_;
  std::optional<pid_t> running_;
  std::string running_address_;
  std::string previous_;                // given to the last run started
  std::optional<std::string> waiting_;  // latest change during a run
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_CHANGE_HOOK_H
