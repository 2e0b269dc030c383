#include "server_options.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <net/if.h>
#include <sched.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "endpoint_text.h"

namespace wanseer_tools {

namespace {

enum option_code : int {
  listen_option = 256,
  rate_option,
  burst_option,
  sources_option,
  threads_option,
  metrics_option,
  batch_option,
  allow_fragmenting_option,
  xdp_option,
  version_option,
};

const option long_options[] = {
    {"listen", required_argument, nullptr, listen_option},
    {"rate", required_argument, nullptr, rate_option},
    {"burst", required_argument, nullptr, burst_option},
    {"sources", required_argument, nullptr, sources_option},
    {"threads", required_argument, nullptr, threads_option},
    {"metrics", required_argument, nullptr, metrics_option},
    {"batch", required_argument, nullptr, batch_option},
    {"allow-fragmenting", no_argument, nullptr, allow_fragmenting_option},
    {"xdp", required_argument, nullptr, xdp_option},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, version_option},
    {nullptr, 0, nullptr, 0},
};

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

std::string count_error(const char* name, unsigned long long max, const std::string& value) {
  return std::string(name) + " wants a whole number from 1 to " + std::to_string(max) + ", not '" +
         value + "'";
}

// "ADDR:PORT", or a bare port on loopback.
std::optional<sockaddr_in> parse_metrics_endpoint(const std::string& text) {
  if (text.find(':') != std::string::npos) {
    return parse_ipv4_endpoint(text);
  }
  const auto port = parse_port(text);
  if (!port) {
    return std::nullopt;
  }
  sockaddr_in endpoint{};
  endpoint.sin_family = AF_INET;
  endpoint.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  endpoint.sin_port = htons(*port);
  return endpoint;
}

// Applies one option with a value; returns an error text, empty if fine.
std::string apply(int code, const std::string& value, server_options& options) {
  unsigned long long count = 0;
  switch (code) {
    case listen_option: {
      const auto endpoint = parse_ipv4_endpoint(value);
      if (!endpoint) {
        return "--listen wants ADDR:PORT with a dotted IPv4 address, not '" + value + "'";
      }
      options.listen = *endpoint;
      return {};
    }
    case metrics_option: {
      const auto endpoint = parse_metrics_endpoint(value);
      if (!endpoint) {
        return "--metrics wants [ADDR:]PORT with a dotted IPv4 address, not '" + value + "'";
      }
      options.metrics = endpoint;
      return {};
    }
    case rate_option: {
      // Bounded so that the per-source arithmetic, in nanoseconds, cannot
      // overflow.
      double& rate = options.limit.per_second;
      if (!parse_number(value, rate) || (rate != 0.0 && (rate < 0.001 || rate > 1e9))) {
        return "--rate wants 0 or a number of requests per second from 0.001 to 1e9, not '" +
               value + "'";
      }
      return {};
    }
    case burst_option:
      if (!parse_count(value, 1000000ULL, count)) {
        return count_error("--burst", 1000000ULL, value);
      }
      options.limit.burst = static_cast<unsigned>(count);
      return {};
    case sources_option:
      if (!parse_count(value, 1ULL << 26, count)) {
        return count_error("--sources", 1ULL << 26, value);
      }
      options.limit.table_slots = static_cast<std::size_t>(count);
      return {};
    case threads_option:
      if (!parse_count(value, max_threads, count)) {
        return count_error("--threads", max_threads, value);
      }
      options.threads = static_cast<unsigned>(count);
      return {};
    case batch_option:
      if (!parse_count(value, max_batch, count)) {
        return count_error("--batch", max_batch, value);
      }
      options.batch = static_cast<unsigned>(count);
      return {};
    case xdp_option:
      if (value.empty() || value.size() >= IF_NAMESIZE || value.find('/') != std::string::npos) {
        return "--xdp wants an interface name, not '" + value + "'";
      }
      options.xdp_interface = value;
      return {};
    default:
      return {};
  }
}

}  // namespace

unsigned usable_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) {
    return 1;
  }
  const int count = CPU_COUNT(&set);
  return count > 0 ? static_cast<unsigned>(count) : 1;
}

server_options_result parse_server_options(int argc, char** argv) {
  server_options_result result;
  server_options& options = result.options;
  options.listen.sin_family = AF_INET;
  options.listen.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  options.listen.sin_port = htons(default_probe_port);
  options.threads = std::min(usable_processors(), max_threads);

  // '+': stop at the first operand, which is refused below; ':': report a
  // missing value apart from an unknown option.
  optind = 0;
  opterr = 0;
  bool listen_given = false;
  for (;;) {
    const int code = getopt_long(argc, argv, "+:h", long_options, nullptr);
    if (code == -1) {
      break;
    }
    switch (code) {
      case 'h':
        options.show_help = true;
        return result;
      case version_option:
        options.show_version = true;
        return result;
      case allow_fragmenting_option:
        options.dont_fragment = false;
        break;
      case ':': {
        std::string name = argv[optind - 1];
        name = name.substr(0, name.find('='));
        result.error = name + " needs a value";
        return result;
      }
      case '?':
        result.error = "unknown argument '" + std::string(argv[optind - 1]) + "'";
        return result;
      default:
        // A second address would silently replace the first: the server
        // listens on one (0.0.0.0 for all of the host's).
        if (code == listen_option && listen_given) {
          result.error =
              "--listen given twice; the server listens on one address (0.0.0.0 "
              "answers on all of them)";
          return result;
        }
        listen_given = listen_given || code == listen_option;
        result.error = apply(code, optarg, options);
        if (!result.error.empty()) {
          return result;
        }
    }
  }
  if (optind < argc) {
    result.error = "unknown argument '" + std::string(argv[optind]) + "'";
  }
  return result;
}

std::string server_usage(const char* program) {
  const rate_limit defaults;
  return std::string("Usage: ") + program +
         " [--listen ADDR:PORT] [--threads N] [--rate N] [--burst N]\n"
         "       [--sources N] [--metrics [ADDR:]PORT] [--batch N] [--allow-fragmenting]\n"
         "       [--xdp IFACE]\n"
         "\n"
         "Answers wanseer address probes over UDP: each datagram of exactly the 3 bytes\n"
         "\"ip\" and NUL is answered, to its sender, with the 4 bytes of the sender's\n"
         "IPv4 address in network byte order, from the address the request was sent\n"
         "to.  STUN Binding requests (RFC 8489/5389, and classic RFC 3489) are\n"
         "answered on the same sockets with the sender's XOR-MAPPED-ADDRESS (classic:\n"
         "MAPPED-ADDRESS), under the same per-source limit; a 420 names unknown\n"
         "comprehension-required attributes, and CHANGE-REQUEST when it asks for\n"
         "another address or port (the server has one).  Requests of up to 1280\n"
         "bytes are answered.  Every other datagram is dropped without an answer.\n"
         "Nothing is printed per datagram.  Options take their value as --opt VALUE\n"
         "or --opt=VALUE.\n"
         "\n"
         "Options:\n"
         "  --listen ADDR:PORT  address and UDP port to answer on (default 127.0.0.1:" +
         std::to_string(default_probe_port) +
         ");\n"
         "                      0.0.0.0 answers on every address, port 0 picks a free port;\n"
         "                      given once: the server listens on one address\n"
         "  --threads N         serving threads, each with its own socket; a source's\n"
         "                      requests all reach the same thread (default: the\n"
         "                      processors this process may use, " +
         std::to_string(usable_processors()) +
         " here)\n"
         "  --rate N            answers per second to one source address, sustained\n"
         "                      (default " +
         std::to_string(static_cast<long>(defaults.per_second)) +
         "; 0.001 to 1e9, fractions allowed; 0 turns the\n"
         "                      limit off)\n"
         "  --burst N           answers one source address may get at once after being\n"
         "                      idle (default " +
         std::to_string(defaults.burst) +
         ")\n"
         "  --sources N         source addresses the rate limit keeps track of at once,\n"
         "                      all threads together (default " +
         std::to_string(defaults.table_slots) +
         ", 16 bytes each);\n"
         "                      beyond that a newcomer takes over the fullest budget of\n"
         "                      its set, never more than that budget had left; the\n"
         "                      table is allocated before the server says it listens\n"
         "  --metrics [ADDR:]PORT  serve Prometheus metrics at http://ADDR:PORT/metrics\n"
         "                      (default: off; a bare PORT listens on 127.0.0.1)\n"
         "  --batch N           datagrams taken per receive call, 1 to " +
         std::to_string(max_batch) + " (default " + std::to_string(default_batch) +
         ")\n"
         "  --allow-fragmenting  send replies without don't-fragment, each with an IP ID\n"
         "                      of its own, from the sockets and the driver alike (costs\n"
         "                      a little CPU; for measurements)\n"
         "  --xdp IFACE         also answer in IFACE's driver (native XDP), before the\n"
         "                      socket layer, the probe and STUN Binding requests with\n"
         "                      no attribute or only FINGERPRINT (other STUN goes to\n"
         "                      the sockets), with the same answers and one limit per\n"
         "                      source across both paths; only sources the kernel\n"
         "                      answers through IFACE (the first request of each is\n"
         "                      the kernel's), never forged martian, own or broadcast\n"
         "                      ones; follows IFACE's addresses and MAC, and attaches\n"
         "                      again if IFACE is deleted and comes back; needs\n"
         "                      CAP_BPF, CAP_NET_ADMIN and CAP_PERFMON, Linux 6.6, and\n"
         "                      exits 1 if the program cannot be attached\n"
         "  --help              show this text and exit\n"
         "  --version           show the version and exit\n"
         "\n"
         "The rate limit keeps the server from being used to flood a third party whose\n"
         "address a sender forges; requests over it are dropped, and a line names each\n"
         "throttled source at most once in 60 s; all sources together get 5 such lines\n"
         "at once and one every 200 ms after that.\n"
         "\n"
         "Output: once bound, one line \"listening on ADDR:PORT\" on standard output, and\n"
         "a start-up line with version, threads, limits and metrics address on standard\n"
         "error.  Readiness is sent to systemd when NOTIFY_SOCKET is set.  Each output\n"
         "has a queue and a thread of its own: a reader that stops reading holds up\n"
         "nothing else, not even the other output, and lines it does not take are\n"
         "dropped and counted.  On SIGINT, SIGTERM\n"
         "or SIGHUP the server prints one line of counters, summed over threads,\n"
         "  received=N answered=N dropped_malformed=N dropped_rate_limited=N send_failed=N\n"
         "  stun_received=N stun_answered=N stun_dropped_malformed=N\n"
         "  stun_dropped_rate_limited=N stun_send_failed=N log_lines_dropped=N\n"
         "(on one line; lost if standard output takes nothing for 50 ms; the stun_ ones\n"
         "count STUN, the five before them the probe protocol) and exits 0; with --xdp\n"
         "the line ends in answered_at_driver=N, the share of the answers (of both\n"
         "protocols) sent from the driver.  SIGUSR1 writes the same counters on\n"
         "standard error.  SIGPIPE is ignored.\n"
         "\n"
         "Exit status: 0 after SIGINT/SIGTERM/SIGHUP, 1 if a socket cannot be opened or\n"
         "bound (the metrics port included) or fails, if the memory or threads the\n"
         "options ask for cannot be had (the message names the option), or if --xdp\n"
         "cannot attach or attach again (the message says why), 2 for a bad command\n"
         "line.\n";
}

}  // namespace wanseer_tools
