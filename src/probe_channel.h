// The worker's end of the probe exchange: one IPv4 UDP socket, connected to
// the server that the current attempt asks, the request and the reply
// filter.  Plain sockaddr_in throughout: ACE's address class probes for
// IPv6 with a socket of its own that is not close-on-exec.
#ifndef WANSEER_PROBE_CHANNEL_H
#define WANSEER_PROBE_CHANNEL_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "readiness.h"

namespace wanseer {

inline constexpr std::size_t reply_length = 4;

// The IPv4 socket address of `address` (network byte order) and `port`.
inline sockaddr_in ipv4_endpoint(std::uint32_t address, std::uint16_t port) {
  sockaddr_in endpoint{};
  endpoint.sin_family = AF_INET;
  endpoint.sin_port = htons(port);
  endpoint.sin_addr.s_addr = address;
  return endpoint;
}

class probe_channel {
 public:
  // Opens the socket, with no server to ask yet.  A socket that does not
  // open is not fatal: every request then goes unanswered, each attempt
  // still waits out its whole receive timeout, and the next attempt opens
  // it again.
  probe_channel();
  probe_channel(const probe_channel&) = delete;
  probe_channel& operator=(const probe_channel&) = delete;
  ~probe_channel();

  // Opens the socket again if it could not be opened before (no free
  // descriptor then); true when it is open.
  bool reopen_if_closed();

  // Makes `server` the one whose replies count, and connects the socket to
  // it, so that the kernel drops other senders' datagrams before they reach
  // the worker.  Where the connect fails, the socket stays unconnected and
  // the reply filter alone keeps others out.
  void aim_at(const sockaddr_in& server);

  // Undoes the connect after a miss.  A connect fixes the socket's source
  // address, and a host whose address changed (another network, a new DHCP
  // lease) would send from the old one for ever; the next connect picks the
  // address, and a port, afresh.
  void disconnect();

  // Reads away, without looking at them, the datagrams already queued, so
  // that only a datagram that arrives after the next request can answer it.
  void discard_queued();

  // Sends the 3-byte request "ip\0" to the server aimed at.
  void send_request();

  // Sends `length` bytes to the server aimed at.
  void send_datagram(const unsigned char* bytes, std::size_t length);

  // Reads one waiting datagram into `buffer`: its length when it came from
  // the server aimed at, nothing when it came from anyone else, or when
  // there was none or an error instead.
  std::optional<std::size_t> take_server_datagram(unsigned char* buffer, std::size_t size);

  // The socket to wait on, -1 when it did not open.
  int wait_handle() const { return socket_open_ ? socket_ : -1; }

  // Waits until `deadline` for a reply: a datagram of at
  // least reply_length bytes whose source address and port are the server's.
  // Its first reply_length bytes go to `reply`.  Datagrams from anyone else,
  // shorter ones, and errors the socket reports (an ICMP "port unreachable"
  // on a connected socket) are dropped without ending the wait.  Returns
  // false on a miss or when the stop handle in `waits` turns readable first.
  bool await_reply(unsigned char (&reply)[reply_length], steady_deadline deadline,
                   const wait_set& waits);

  // The socket's port, 0 when it did not open.
  unsigned short local_port() const;

 private:
  // A socket bound to an ephemeral port on every local address.
  bool open_socket();
  // Reads one waiting datagram; true when it is a reply.
  bool take_datagram(unsigned char (&reply)[reply_length]);
  void close_socket();

  sockaddr_in server_address_{};
  bool server_known_ = false;
  int socket_ = -1;
  bool socket_open_ = false;
  bool connected_ = false;
};

}  // namespace wanseer

#endif  // WANSEER_PROBE_CHANNEL_H
