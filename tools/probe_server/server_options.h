// Command line of wanseer-probe-server.
#ifndef WANSEER_TOOLS_SERVER_OPTIONS_H
#define WANSEER_TOOLS_SERVER_OPTIONS_H

#include <netinet/in.h>

#include <optional>
#include <string>

#include "source_rate_limiter.h"

namespace wanseer_tools {

inline constexpr unsigned short default_probe_port = 7171;
inline constexpr unsigned max_threads = 1024;
inline constexpr unsigned default_batch = 64;
inline constexpr unsigned max_batch = 1024;

struct server_options {
  sockaddr_in listen{};
  rate_limit limit;
  unsigned threads = 1;
  unsigned batch = default_batch;
  bool dont_fragment = true;
  std::optional<sockaddr_in> metrics;
  // Interface to answer on in the driver as well (--xdp); empty: off.
  std::string xdp_interface;
  bool show_help = false;
  bool show_version = false;
};

struct server_options_result {
  server_options options;
  std::string error;  // empty when the command line was understood
};

// Processors this process may run on.
unsigned usable_processors();

server_options_result parse_server_options(int argc, char** argv);

std::string server_usage(const char* program);

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_SERVER_OPTIONS_H
