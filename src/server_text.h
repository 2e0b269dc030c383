// What the host's "host:port" text names: a dotted IPv4 address (taken as
// ACE parses it, with no lookup), a host name to look up, or nothing usable.
// A text "stun:HOST[:PORT]" names a STUN server the same way; with no port,
// a host name's SRV record "_stun._udp.HOST" says where it is, and port 3478
// where it has none.
#ifndef WANSEER_SERVER_TEXT_H
#define WANSEER_SERVER_TEXT_H

#include <ace/INET_Addr.h>

#include <cstdint>
#include <string>

namespace wanseer {

struct server_text_parts {
  enum class kind { address, host_name, unusable };
  kind what = kind::unusable;
  // Set for kind::address.
  ACE_INET_Addr address;
  // Set for kind::host_name.
  std::string host_name;
  std::uint16_t port = 0;
  // The server speaks STUN rather than the probe protocol.
  bool stun = false;
  // Set for a STUN host name with no port: its SRV record is looked up first.
  bool look_up_service = false;
};

inline constexpr char stun_prefix[] = "stun:";
inline constexpr std::uint16_t stun_default_port = 3478;

// Never looks anything up on a name server.  A host part that is not a
// dotted address must be a well-formed name: at most 253 bytes, labels of 1
// to 63 letters, digits, '-' or '_', one final '.' allowed; its port is a
// decimal number or a service name from the services file.
server_text_parts parse_server_text(const char* text);

bool is_host_name(const std::string& name);

}  // namespace wanseer

#endif  // WANSEER_SERVER_TEXT_H
