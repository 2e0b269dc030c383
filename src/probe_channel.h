// The worker's end of the probe exchange: one unconnected IPv4 UDP socket,
// the configured server's address, the request and the reply filter.
#ifndef WANSEER_PROBE_CHANNEL_H
#define WANSEER_PROBE_CHANNEL_H

#include <ace/INET_Addr.h>
#include <ace/SOCK_Dgram.h>
#include <ace/Time_Value.h>

#include <cstddef>

#include "readiness.h"

namespace wanseer {

inline constexpr std::size_t reply_length = 4;

class probe_channel {
 public:
  // Neither a server text that does not parse nor a socket that does not
  // open is fatal: every request then goes unanswered, and each attempt
  // still waits out its whole receive timeout.
  explicit probe_channel(const char* server_text);
  probe_channel(const probe_channel&) = delete;
  probe_channel& operator=(const probe_channel&) = delete;
  ~probe_channel();

  // Sends the 3-byte request "ip\0" to the configured server.
  void send_request();

  // Waits until `timeout` has passed for a reply: a datagram of at least
  // reply_length bytes whose source address and port are the configured
  // server's.  Its first reply_length bytes go to `reply`.  Datagrams from
  // anyone else, and shorter ones, are dropped without ending the wait.
  // Returns false on a miss or when `wake` turns readable first.
  bool await_reply(unsigned char (&reply)[reply_length], const ACE_Time_Value& timeout, int wake);

  // The socket's port, 0 when it did not open.
  unsigned short local_port() const;

 private:
  // A socket bound to an ephemeral port on every local address.
  bool open_socket();
  // Reads one waiting datagram; true when it is a reply.
  bool take_datagram(unsigned char (&reply)[reply_length]);

  ACE_INET_Addr server_address_;
  bool server_known_ = false;
  ACE_SOCK_Dgram socket_;
  bool socket_open_ = false;
};

}  // namespace wanseer

#endif  // WANSEER_PROBE_CHANNEL_H
