#include "server_options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "endpoint_text.h"

namespace wanseer_tools {

namespace {

bool parse_number(const std::string& text, double& value) {
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  return errno == 0 && *end == '\0' && std::isfinite(value) && value >= 0.0;
}

bool parse_count(const std::string& text, unsigned long long max, unsigned long long& value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && value >= 1 && value <= max;
}

}  // namespace

server_options_result parse_server_options(int argc, char** argv) {
  server_options_result result;
  server_options& options = result.options;
  options.listen.sin_family = AF_INET;
  options.listen.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  options.listen.sin_port = htons(default_probe_port);

  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      options.show_help = true;
      return result;
    }
    if (argument == "--version") {
      options.show_version = true;
      return result;
    }
    const bool takes_value = argument == "--listen" || argument == "--rate" ||
                             argument == "--burst" || argument == "--sources";
    if (!takes_value) {
      result.error = "unknown argument '" + std::string(argument) + "'";
      return result;
    }
    if (i + 1 >= argc) {
      result.error = std::string(argument) + " needs a value";
      return result;
    }
    const std::string value = argv[++i];
    if (argument == "--listen") {
      const auto endpoint = parse_ipv4_endpoint(value);
      if (!endpoint) {
        result.error = "--listen wants ADDR:PORT with a dotted IPv4 address, not '" + value + "'";
        return result;
      }
      options.listen = *endpoint;
    } else if (argument == "--rate") {
      // Bounded so that the per-source arithmetic, in nanoseconds, cannot
      // overflow.
      double& rate = options.limit.per_second;
      if (!parse_number(value, rate) || (rate != 0.0 && (rate < 0.001 || rate > 1e9))) {
        result.error =
            "--rate wants 0 or a number of requests per second from 0.001 to 1e9, not '" + value +
            "'";
        return result;
      }
    } else {
      unsigned long long count = 0;
      const unsigned long long max = argument == "--burst" ? 1000000ULL : 1ULL << 26;
      if (!parse_count(value, max, count)) {
        result.error = std::string(argument) + " wants a whole number from 1 to " +
                       std::to_string(max) + ", not '" + value + "'";
        return result;
      }
      if (argument == "--burst") {
        options.limit.burst = static_cast<unsigned>(count);
      } else {
        options.limit.table_slots = static_cast<std::size_t>(count);
      }
    }
  }
  return result;
}

std::string server_usage(const char* program) {
  const rate_limit defaults;
  return std::string("Usage: ") + program +
         " [--listen ADDR:PORT] [--rate N] [--burst N] [--sources N]\n"
         "\n"
         "Answers wanseer address probes over UDP: each datagram of exactly the 3 bytes\n"
         "\"ip\" and NUL is answered, to its sender, with the 4 bytes of the sender's\n"
         "IPv4 address in network byte order.  Every other datagram is dropped without\n"
         "an answer.  Nothing is printed per datagram.\n"
         "\n"
         "Options:\n"
         "  --listen ADDR:PORT  address and UDP port to answer on (default 127.0.0.1:" +
         std::to_string(default_probe_port) +
         ");\n"
         "                      0.0.0.0 answers on every address, port 0 picks a free port\n"
         "  --rate N            answers per second to one source address, sustained\n"
         "                      (default " +
         std::to_string(static_cast<long>(defaults.per_second)) +
         "; 0.001 to 1e9, fractions allowed; 0 turns the\n"
         "                      limit off)\n"
         "  --burst N           answers one source address may get at once after being\n"
         "                      idle (default " +
         std::to_string(defaults.burst) +
         ")\n"
         "  --sources N         source addresses the rate limit keeps track of at once\n"
         "                      (default " +
         std::to_string(defaults.table_slots) +
         ", 16 bytes each); beyond that the one\n"
         "                      with the fullest budget is forgotten\n"
         "  --help              show this text and exit\n"
         "  --version           show the version and exit\n"
         "\n"
         "The rate limit keeps the server from being used to flood a third party whose\n"
         "address a sender forges; requests over it are dropped.\n"
         "\n"
         "Output: once bound, one line \"listening on ADDR:PORT\" on standard output.  On\n"
         "SIGINT or SIGTERM the server prints one line of counters\n"
         "  received=N answered=N dropped_malformed=N dropped_rate_limited=N send_failed=N\n"
         "and exits 0.\n"
         "\n"
         "Exit status: 0 after SIGINT/SIGTERM, 1 if the socket cannot be opened or bound\n"
         "or fails, 2 for a bad command line.\n";
}

}  // namespace wanseer_tools
