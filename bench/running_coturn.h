// coturn's STUN-only server (Debian's turnserver) on a loopback port: the
// peer that the probe server and the wanseer command are measured against.
#ifndef WANSEER_BENCH_RUNNING_COTURN_H
#define WANSEER_BENCH_RUNNING_COTURN_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "child_process.h"

namespace wanseer_bench {

inline const char* const turnserver_path = "/usr/bin/turnserver";
inline const char* const stunclient_path = "/usr/bin/turnutils_stunclient";

// Whether coturn's server and client are installed.
bool coturn_installed();

class running_coturn {
 public:
  // Starts `turnserver --stun-only` on 127.0.0.1:`port` and waits until it
  // answers a Binding request; throws if it does not within 20 s.
  explicit running_coturn(unsigned short port,
                          const std::vector<std::string>& extra_arguments = {});

  unsigned short port() const { return port_; }
  pid_t pid() const { return process_.pid(); }
  // Threads the server runs.
  unsigned threads() const;

 private:
  wanseer_tests::child_process process_;
  unsigned short port_;
};

// A STUN Binding request with a fresh transaction id (RFC 5389 header only).
std::vector<unsigned char> stun_binding_request(unsigned sequence);

}  // namespace wanseer_bench

#endif  // WANSEER_BENCH_RUNNING_COTURN_H
