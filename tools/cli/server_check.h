// Why a server may not answer, for `wanseer` to say while it waits: the host
// name does not resolve, or the port is refused.  The check runs on a thread
// of its own, so that a name server that never answers holds up neither the
// watch loop nor --timeout, and sends the server one empty UDP datagram (to
// which no probe or STUN server replies) to learn whether an ICMP error
// comes back.
#ifndef WANSEER_TOOLS_SERVER_CHECK_H
#define WANSEER_TOOLS_SERVER_CHECK_H

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "unique_fd.h"

namespace wanseer_tools {

class server_check {
 public:
  // Starts checking `server`, a text the command line accepted (HOST:PORT
  // or stun:HOST[:PORT]).  The calling thread's signal mask is kept.
  explicit server_check(const std::string& server);
  server_check(const server_check&) = delete;
  server_check& operator=(const server_check&) = delete;
  // Ends the check at once if it still runs.
  ~server_check();

  // Once the check has ended: what it found, as a clause for a message
  // ("the name a.example could not be resolved (Domain name not found)"),
  // or "" when nothing was found wrong.  nullopt while it runs.
  std::optional<std::string> cause() const;

 private:
  void run(std::string server);

  wanseer::unique_fd stop_read_;
  wanseer::unique_fd stop_write_;
  std::string cause_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_SERVER_CHECK_H
