#include "cli_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "endpoint_text.h"
#include "wanseer_library.h"

namespace wanseer_tools {

namespace {

std::optional<std::chrono::milliseconds> parse_seconds(const std::string& text) {
  if (text.empty() || !(text[0] >= '0' && text[0] <= '9')) {
    return std::nullopt;
  }
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text.c_str(), &end);
  // A day at most: beyond that a caller wants --watch.
  if (errno != 0 || *end != '\0' || !std::isfinite(seconds) || seconds > 86400.0) {
    return std::nullopt;
  }
  return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000.0)));
}

}  // namespace

cli_options_result parse_cli_options(int argc, char** argv) {
  cli_options_result result;
  cli_options& options = result.options;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (!options_ended && argument.size() > 1 && argument[0] == '-') {
      if (argument == "--") {
        options_ended = true;
      } else if (argument == "--help" || argument == "-h") {
        options.show_help = true;
        return result;
      } else if (argument == "--version") {
        options.show_version = true;
        return result;
      } else if (argument == "--watch") {
        options.watch = true;
      } else if (argument == "--key" || argument == "--timeout") {
        if (i + 1 >= argc) {
          result.error = std::string(argument) + " needs a value";
          return result;
        }
        const std::string value = argv[++i];
        if (argument == "--key") {
          options.key = value;
        } else if (const auto timeout = parse_seconds(value)) {
          options.timeout = *timeout;
        } else {
          result.error = "--timeout wants a number of seconds from 0 to 86400, not '" + value + "'";
          return result;
        }
      } else {
        result.error = "unknown option '" + std::string(argument) + "'";
        return result;
      }
    } else if (options.server.empty()) {
      options.server = argument;
    } else {
      result.error = "only one HOST:PORT may be given";
      return result;
    }
  }
  if (options.server.empty()) {
    result.error = "HOST:PORT of a probe server is required";
  } else if (!is_host_port(options.server)) {
    result.error = "'" + options.server + "' is not HOST:PORT with a port from 1 to 65535";
  }
  return result;
}

std::string cli_usage(const char* program) {
  std::string near_binary;
  for (const auto& candidate : library_candidates_near_binary()) {
    near_binary += "       " + candidate + "\n";
  }
  return std::string("Usage: ") + program +
         " [--key KEY] [--timeout SECONDS] [--watch] HOST:PORT\n"
         "\n"
         "Prints this machine's external IPv4 address as the probe server at HOST:PORT\n"
         "sees it (HOST is a dotted IPv4 address or a host name; wanseer-probe-server\n"
         "listens on port 7171 by default), e.g.\n"
         "  " +
         program +
         " 192.0.2.10:7171\n"
         "The address is learned by libwanseer, which this program loads the way a host\n"
         "program does; it asks the server over UDP and retries with growing waits\n"
         "(5, 6, 7 ... seconds) while no answer comes.  A host name is looked up (hosts\n"
         "file, then the name servers of /etc/resolv.conf) as part of each attempt and\n"
         "again after each unanswered one, trying its IPv4 addresses in turn; a lookup\n"
         "that hangs does not hold up --timeout.\n"
         "\n"
         "Options:\n"
         "  --key KEY          store the address under KEY in the value store instead of\n"
         "                     \"IP\" (1 to 255 bytes)\n"
         "  --timeout SECONDS  give up if no address is known after this long (default " +
         std::to_string(default_timeout.count() / 1000) +
         ";\n"
         "                     fractions allowed); not used with --watch\n"
         "  --watch            keep running: print the address whenever it changes, each\n"
         "                     line \"YYYY-MM-DDTHH:MM:SS.mmmZ A.B.C.D\" (UTC), until SIGINT\n"
         "                     or SIGTERM; the library asks again about once a minute\n"
         "  --help             show this text and exit\n"
         "  --version          show the version and exit\n"
         "\n"
         "Library search (the first that loads is used):\n"
         "  1. the file named by $" +
         library_variable +
         " if it is set (then nothing else is tried)\n"
         "  2. " +
         library_file_name +
         " through the dynamic loader's search (LD_LIBRARY_PATH,\n"
         "     the ld.so cache, the system library directories)\n"
         "  3. next to this program's binary:\n" +
         near_binary +
         "\n"
         "Exit status:\n"
         "  0  the address was printed (or --watch ended by SIGINT/SIGTERM)\n"
         "  1  no address was learned before the timeout (or before SIGINT/SIGTERM)\n"
         "  2  bad command line, including a key the library refuses\n"
         "  3  the library could not be loaded; the loader's messages are shown\n"
         "  4  the library reported a failure (could not start, store unavailable)\n";
}

}  // namespace wanseer_tools
