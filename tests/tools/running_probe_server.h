// wanseer-probe-server started on a free loopback port for one test or
// benchmark.
#ifndef WANSEER_TESTS_TOOLS_RUNNING_PROBE_SERVER_H
#define WANSEER_TESTS_TOOLS_RUNNING_PROBE_SERVER_H

#include <signal.h>

#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.h"
#include "support/loopback_probe_server.h"
#include "support/udp_socket.h"

namespace wanseer_tests {

using bytes = std::vector<unsigned char>;
using loopback_udp = wanseer::testing::udp_socket;

// Port of a "listening on ADDR:PORT" line, 0 if the line is not one.
inline unsigned short listening_port(const std::string& line) {
  const std::string prefix = "listening on ";
  const auto colon = line.rfind(':');
  if (line.compare(0, prefix.size(), prefix) != 0 || colon == std::string::npos) {
    return 0;
  }
  return static_cast<unsigned short>(std::stoul(line.substr(colon + 1)));
}

// "name=count ..." again, as the server printed its counters.
inline std::string counter_line(const std::map<std::string, unsigned long>& counters) {
  std::string line;
  for (const auto& [name, count] : counters) {
    line += (line.empty() ? "" : " ") + name + "=" + std::to_string(count);
  }
  return line;
}

class running_probe_server {
 public:
  explicit running_probe_server(const std::vector<std::string>& extra_arguments = {})
      : process_(arguments(extra_arguments)) {
    const auto line = process_.read_line();
    port_ = line ? listening_port(*line) : 0;
    if (port_ == 0) {
      throw std::runtime_error("probe server did not start: " + process_.error_output());
    }
  }

  unsigned short port() const { return port_; }
  pid_t pid() const { return process_.pid(); }
  std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }

  // Stops the server with `signal`; returns its counters, empty if it did
  // not exit 0 with a counter line.
  std::map<std::string, unsigned long> stop(int signal = SIGTERM) {
    process_.send_signal(signal);
    std::map<std::string, unsigned long> counters;
    const auto line = process_.read_line();
    if (process_.wait_exit() != 0 || !line) {
      return counters;
    }
    std::istringstream pairs(*line);
    std::string pair;
    while (pairs >> pair) {
      const auto equals = pair.find('=');
      counters[pair.substr(0, equals)] = std::stoul(pair.substr(equals + 1));
    }
    return counters;
  }

 private:
  static std::vector<std::string> arguments(const std::vector<std::string>& extra) {
    std::vector<std::string> all = {WANSEER_PROBE_SERVER_PATH, "--listen", "127.0.0.1:0"};
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
  }

  child_process process_;
  unsigned short port_ = 0;
};

}  // namespace wanseer_tests

#endif  // WANSEER_TESTS_TOOLS_RUNNING_PROBE_SERVER_H
