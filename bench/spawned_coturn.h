// coturn's STUN-only server (Debian's `turnserver`) on a loopback port, as
// the peer the probe server is measured against.
#ifndef WANSEER_BENCH_SPAWNED_COTURN_H
#define WANSEER_BENCH_SPAWNED_COTURN_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace wanseer_bench {

class spawned_coturn {
 public:
  // Starts `turnserver --stun-only` on 127.0.0.1:`port` and waits until it
  // answers a Binding request; throws if it does not within 20 s.
  spawned_coturn(unsigned short port, const std::vector<std::string>& extra_arguments);
  spawned_coturn(const spawned_coturn&) = delete;
  spawned_coturn& operator=(const spawned_coturn&) = delete;
  ~spawned_coturn();

  unsigned short port() const { return port_; }
  double cpu_seconds() const;
  // Threads the server runs.
  unsigned threads() const;

 private:
  pid_t pid_ = -1;
  unsigned short port_;
};

// A STUN Binding request with a fresh transaction id (RFC 5389 header only).
std::vector<unsigned char> stun_binding_request(unsigned sequence);

}  // namespace wanseer_bench

#endif  // WANSEER_BENCH_SPAWNED_COTURN_H
