// Command line of wanseer-probe-server.
#ifndef WANSEER_TOOLS_SERVER_OPTIONS_H
#define WANSEER_TOOLS_SERVER_OPTIONS_H

#include <netinet/in.h>

#include <string>

#include "source_rate_limiter.h"

namespace wanseer_tools {

inline constexpr unsigned short default_probe_port = 7171;

struct server_options {
  sockaddr_in listen{};
  rate_limit limit;
  bool show_help = false;
  bool show_version = false;
};

struct server_options_result {
  server_options options;
  std::string error;  // empty when the command line was understood
};

server_options_result parse_server_options(int argc, char** argv);

std::string server_usage(const char* program);

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_SERVER_OPTIONS_H
