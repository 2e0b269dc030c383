// What the host's "host:port" text names: a dotted IPv4 address, a host
// name to look up, or nothing usable.  Parsed by wanseer_startup on the
// caller's thread, so that a service-name port is looked up there: the
// services lookup may load a name-service module, which takes the dynamic
// loader's lock, and the worker must never wait for that lock while a
// start, an unload or an exit waits for the worker.
// A text "stun:HOST[:PORT]" (the scheme in any case) names a STUN server the
// same way; with no port,
// a host name's SRV record "_stun._udp.HOST" says where it is, and port 3478
// where it has none.
#ifndef WANSEER_SERVER_TEXT_H
#define WANSEER_SERVER_TEXT_H

#include <cstdint>
#include <string>

namespace wanseer {

struct server_text_parts {
  enum class kind { address, host_name, unusable };
  kind what = kind::unusable;
  // Set for kind::address, in network byte order.
  std::uint32_t address = 0;
  // Set for kind::host_name.
  std::string host_name;
  // Set for kind::address and kind::host_name.
  std::uint16_t port = 0;
  // The server speaks STUN rather than the probe protocol.
  bool stun = false;
  // Set for a STUN host name with no port: its SRV record is looked up first.
  bool look_up_service = false;
};

inline constexpr char stun_prefix[] = "stun:";
inline constexpr std::uint16_t stun_default_port = 3478;

// Never looks anything up on a name server.  The host part is a dotted
// address (as inet_aton(3) reads one) other than 0.0.0.0, or a host name
// as is_host_name (host_name.h) has it.  The port is a decimal number or a
// service name from the services database.  A text with no host part is unusable.
// Throws std::bad_alloc.
server_text_parts parse_server_text(const char* text);

// Whether a request could reach the server the parts name: the text is
// usable and names a port other than 0 (a send to port 0 fails at once, so
// such a worker's attempts are all misses, as for an unusable text).
inline bool names_a_server(const server_text_parts& parts) {
  return parts.what != server_text_parts::kind::unusable && parts.port != 0;
}

}  // namespace wanseer

#endif  // WANSEER_SERVER_TEXT_H
