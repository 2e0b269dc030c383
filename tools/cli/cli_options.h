// Command line of the wanseer host program.
#ifndef WANSEER_TOOLS_CLI_OPTIONS_H
#define WANSEER_TOOLS_CLI_OPTIONS_H

#include <chrono>
#include <optional>
#include <string>

namespace wanseer_tools {

// Exit statuses, also listed in the --help text.
enum exit_status : int {
  exit_ok = 0,
  exit_no_answer = 1,
  exit_bad_arguments = 2,
  exit_library_unloadable = 3,
  exit_library_failed = 4,
  exit_write_failed = 4,  // the address could not be written
};

inline constexpr std::chrono::milliseconds default_timeout{10000};
inline constexpr std::chrono::milliseconds default_hook_timeout{60000};

struct cli_options {
  std::string server;
  std::optional<std::string> key;
  std::chrono::milliseconds timeout = default_timeout;
  bool watch = false;
  // --on-change: a shell command run on each change (with --watch only).
  std::optional<std::string> on_change;
  // --hook-timeout: how long one run of the command may take (zero: no
  // limit); default_hook_timeout when not given.
  std::optional<std::chrono::milliseconds> hook_timeout;
  // --state: the file that keeps the address last delivered to the command.
  std::optional<std::string> state_file;
  bool show_help = false;
  bool show_version = false;
};

struct cli_options_result {
  cli_options options;
  std::string error;  // empty when the command line was understood
};

cli_options_result parse_cli_options(int argc, char** argv);

std::string cli_usage(const char* program);

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_CLI_OPTIONS_H
