#include "cli_options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "endpoint_text.h"
#include "wanseer_library.h"

namespace wanseer_tools {

namespace {

bool is_digit(char byte) {
  return byte >= '0' && byte <= '9';
}

std::optional<std::chrono::milliseconds> parse_seconds(const std::string& text) {
  // A digit first, or a point and a digit (".5"): no sign, space or word
  // that strtod would also take.
  const std::size_t first_digit = !text.empty() && text[0] == '.' ? 1 : 0;
  if (text.size() <= first_digit || !is_digit(text[first_digit])) {
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
  // Long-only options take values outside the range of characters, so that
  // an unknown short option is never mistaken for one of them.
  enum : int {
    key_option = 256,
    timeout_option,
    watch_option,
    version_option,
    on_change_option,
    hook_timeout_option,
    state_option
  };
  static const option long_options[] = {
      {"key", required_argument, nullptr, key_option},
      {"timeout", required_argument, nullptr, timeout_option},
      {"watch", no_argument, nullptr, watch_option},
      {"on-change", required_argument, nullptr, on_change_option},
      {"hook-timeout", required_argument, nullptr, hook_timeout_option},
      {"state", required_argument, nullptr, state_option},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, version_option},
      {nullptr, 0, nullptr, 0},
  };
  // getopt_long keeps its place in globals: start afresh, and say nothing
  // of its own (the caller prints the one message).
  optind = 0;
  opterr = 0;
  for (;;) {
    const int parsed = getopt_long(argc, argv, ":h", long_options, nullptr);
    if (parsed == -1) {
      break;
    }
    switch (parsed) {
      case 'h':
        options.show_help = true;
        return result;
      case version_option:
        options.show_version = true;
        return result;
      case watch_option:
        options.watch = true;
        break;
      case key_option:
        options.key = optarg;
        break;
      case on_change_option:
        // Empty, as from an unset variable in a service's command line, it
        // would "succeed" at every change and deliver nothing.
        if (*optarg == '\0') {
          result.error = "--on-change needs a command";
          return result;
        }
        options.on_change = optarg;
        break;
      case state_option:
        if (*optarg == '\0') {
          result.error = "--state needs a file name";
          return result;
        }
        options.state_file = optarg;
        break;
      case timeout_option:
      case hook_timeout_option:
        if (const auto timeout = parse_seconds(optarg)) {
          if (parsed == timeout_option) {
            options.timeout = *timeout;
          } else {
            options.hook_timeout = *timeout;
          }
        } else {
          result.error = std::string(parsed == timeout_option ? "--timeout" : "--hook-timeout") +
                         " wants a number of seconds from 0 to 86400, not '" + std::string(optarg) +
                         "'";
          return result;
        }
        break;
      case ':':
        result.error = std::string(optopt == key_option            ? "--key"
                                   : optopt == on_change_option    ? "--on-change"
                                   : optopt == hook_timeout_option ? "--hook-timeout"
                                   : optopt == state_option        ? "--state"
                                                                   : "--timeout") +
                       " needs a value";
        return result;
      default:
        // A short option is named by itself (it may stand in a cluster);
        // a long one by the whole argument, as typed.
        result.error =
            "unknown option '" +
            (optopt > 0 && optopt < key_option ? std::string("-") + static_cast<char>(optopt)
                                               : std::string(argv[optind - 1])) +
            "'";
        return result;
    }
  }
  for (int i = optind; i < argc; ++i) {
    if (!options.server.empty()) {
      result.error = "only one server may be given";
      return result;
    }
    options.server = argv[i];
  }
  if (options.on_change && !options.watch) {
    result.error = "--on-change needs --watch";
  } else if (!options.on_change && (options.state_file || options.hook_timeout)) {
    result.error =
        std::string(options.state_file ? "--state" : "--hook-timeout") + " needs --on-change";
  } else if (options.server.empty()) {
    result.error = "HOST:PORT of a probe server (or stun:HOST[:PORT]) is required";
  } else if (!is_host_port(options.server) && !is_stun_server(options.server)) {
    result.error = "'" + options.server +
                   "' is not HOST:PORT or stun:HOST[:PORT] with a dotted IPv4 address or a host "
                   "name and a port from 1 to 65535";
  }
  return result;
}

std::string cli_usage(const char* program) {
  return std::string("Usage: ") + program +
         " [--key KEY] [--timeout SECONDS]\n"
         "               [--watch [--on-change COMMAND [--hook-timeout SECONDS]\n"
         "                         [--state FILE]]]\n"
         "               HOST:PORT | stun:HOST[:PORT]\n"
         "\n"
         "Prints this machine's external IPv4 address as the probe server at HOST:PORT\n"
         "sees it (HOST is a dotted IPv4 address or a host name, PORT a number from 1\n"
         "to 65535; wanseer-probe-server listens on port 7171 by default), e.g.\n"
         "  " +
         program +
         " 192.0.2.10:7171\n"
         "or as the STUN server at stun:HOST[:PORT] sees it (RFC 8489 Binding, which\n"
         "wanseer-probe-server answers too; without a port, the SRV record\n"
         "_stun._udp.HOST names the server, else port 3478), e.g.\n"
         "  " +
         program +
         " stun:stun.example.org\n"
         "Each STUN attempt sends a request with a random 96-bit transaction ID, and\n"
         "sends it again after 0.5, 1.5, 3.5 ... s while no answer comes (at most 7\n"
         "times, giving up 8 s after the last); an error response ends it as a miss,\n"
         "and a 300 (Try Alternate) sends the next attempt to the alternate, once.\n"
         "The address is learned by libwanseer, which this program loads the way a host\n"
         "program does; it asks the server over UDP and asks again at once while no\n"
         "answer comes.  The receive timeout starts at 5 s and grows by 1 s with each\n"
         "miss, up to 60 s; it is kept after a reply, never reset, so once it has\n"
         "reached 60 s every later miss waits 60 s.  A host name is looked up through\n"
         "the system's resolver configuration (/etc/resolv.conf, /etc/hosts) as part\n"
         "of each attempt and again after each unanswered one, trying its IPv4\n"
         "addresses in turn; a lookup that hangs does not hold up --timeout.\n"
         "\n"
         "Options (a value may also be given as --key=KEY, --timeout=SECONDS, ...):\n"
         "  --key KEY          store the address under KEY in the value store instead of\n"
         "                     \"IP\" (1 to 255 bytes)\n"
         "  --timeout SECONDS  give up if no address is known after this long (default " +
         std::to_string(default_timeout.count() / 1000) +
         ";\n"
         "                     fractions allowed, 0.5 or .5; at most 86400); not used\n"
         "                     with --watch\n"
         "  --watch            keep running: print the address whenever it changes, each\n"
         "                     line \"YYYY-MM-DDTHH:MM:SS.mmmZ A.B.C.D\" (UTC), until SIGINT\n"
         "                     or SIGTERM; the library asks again every 45 to 75 s (60 on\n"
         "                     average) and soon after a network change; while no\n"
         "                     address is known it says so on stderr after 5 s and\n"
         "                     then once a minute, with the cause where it can tell\n"
         "                     (a name that does not resolve, a port refused)\n"
         "  --on-change COMMAND  with --watch: on each change, the first included, run\n"
         "                     COMMAND with /bin/sh -c, with WANSEER_ADDRESS set to the\n"
         "                     new address and WANSEER_PREVIOUS to the one the last\n"
         "                     successful run was given (empty if none); one run at a\n"
         "                     time, in a process group of its own, with no signal\n"
         "                     blocked or ignored; a change during a run follows it\n"
         "                     (latest only); a run that fails (status other than 0,\n"
         "                     a signal, or past --hook-timeout) is reported on stderr\n"
         "                     and run again for the same address after 10 s, 20 s,\n"
         "                     40 s ... up to 10 min, until it succeeds or a newer\n"
         "                     address replaces it; SIGINT/SIGTERM end a run under\n"
         "                     way as --hook-timeout does, with 0.5 s before SIGKILL\n"
         "  --hook-timeout SECONDS  end a run of COMMAND still going after this long\n"
         "                     (default " +
         std::to_string(default_hook_timeout.count() / 1000) +
         "; 0: no limit): SIGTERM to its process\n"
         "                     group, SIGKILL 5 s later; it counts as a failure\n"
         "  --state FILE       keep in FILE the address COMMAND last succeeded for\n"
         "                     (replaced atomically), so that after a restart COMMAND\n"
         "                     runs only for another address, with WANSEER_PREVIOUS\n"
         "                     the stored one; a FILE that cannot be read or holds no\n"
         "                     address is reported and ignored\n"
         "  --help             show this text and exit\n"
         "  --version          show the version and exit\n"
         "\n"
         "Library search: the file named by $" +
         library_variable +
         " if it is set and not empty (set\n"
         "but empty, it counts as unset); else " +
         library_file_name +
         " through the dynamic loader's\n"
         "search (LD_LIBRARY_PATH, the ld.so cache, the system library directories),\n"
         "as any host program finds it.  Nothing beside this program is tried.\n"
         "\n"
         "Exit status:\n"
         "  0  the address was printed (or --watch ended by SIGINT/SIGTERM after it had\n"
         "     printed an address)\n"
         "  1  no address was learned before the timeout (or before SIGINT/SIGTERM, also\n"
         "     with --watch)\n"
         "  2  bad command line, including a key the library refuses\n"
         "  3  the library could not be loaded; the loader's messages are shown\n"
         "  4  the library reported a failure (could not start, store unavailable),\n"
         "     or the address could not be written (--watch ends at the first such)\n";
}

}  // namespace wanseer_tools
