// Parsing of the "HOST:PORT" texts both tools take on their command lines.
#ifndef WANSEER_TOOLS_ENDPOINT_TEXT_H
#define WANSEER_TOOLS_ENDPOINT_TEXT_H

#include <netinet/in.h>

#include <optional>
#include <string>
#include <string_view>

namespace wanseer_tools {

// A decimal port number 0..65535 with nothing around it.
std::optional<unsigned short> parse_port(std::string_view text);

// "A.B.C.D:PORT" with a numeric IPv4 address; the port may be 0.
std::optional<sockaddr_in> parse_ipv4_endpoint(std::string_view text);

// "HOST:PORT" where HOST is a dotted IPv4 address or a host name and PORT is
// 1..65535: the form the library resolves itself.  The one place where the
// command line's server text is judged.
bool is_host_port(std::string_view text);

// "stun:HOST" or "stun:HOST:PORT", HOST and PORT as above: a STUN server,
// on the port its SRV record or 3478 gives when none is named.
bool is_stun_server(std::string_view text);

// The parts of a server text that is_host_port or is_stun_server takes: its
// host, its port (none for a STUN server found by SRV or on 3478) and
// whether it names a STUN server; nullopt for any other text.
struct server_text_parts {
  std::string host;
  std::optional<unsigned short> port;
  bool stun = false;
};
std::optional<server_text_parts> split_server_text(std::string_view text);

std::string format_endpoint(const sockaddr_in& endpoint);

// The 4 bytes in network byte order as a dotted quad.
std::string format_ipv4(const unsigned char (&address)[4]);

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_ENDPOINT_TEXT_H
