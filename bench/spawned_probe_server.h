// wanseer-probe-server run as a child process on a free loopback port, for
// the benchmarks.
#ifndef WANSEER_BENCH_SPAWNED_PROBE_SERVER_H
#define WANSEER_BENCH_SPAWNED_PROBE_SERVER_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace wanseer_bench {

// CPU seconds (user + system) that process `pid` has used so far.
double process_cpu_seconds(pid_t pid);

class spawned_probe_server {
 public:
  // Starts the server with `extra_arguments` and waits for its
  // "listening on" line; throws if it does not come.
  explicit spawned_probe_server(const std::vector<std::string>& extra_arguments);
  spawned_probe_server(const spawned_probe_server&) = delete;
  spawned_probe_server& operator=(const spawned_probe_server&) = delete;
  ~spawned_probe_server();

  unsigned short port() const { return port_; }
  pid_t pid() const { return pid_; }

  // CPU seconds (user + system) the server has used so far.
  double cpu_seconds() const;

  // Ends the server with SIGTERM and returns its counter line.
  std::string stop();

 private:
  std::string read_line();

  pid_t pid_ = -1;
  int output_fd_ = -1;
  std::string buffered_;
  unsigned short port_ = 0;
};

}  // namespace wanseer_bench

#endif  // WANSEER_BENCH_SPAWNED_PROBE_SERVER_H
