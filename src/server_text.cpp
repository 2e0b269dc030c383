#include "server_text.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

#include "host_name.h"

namespace wanseer {

namespace {

// A decimal port, or a service name (its "tcp" entry, as the library has
// always taken one).
bool parse_port(const std::string& text, std::uint16_t& port) {
  if (text.empty()) {
    return false;
  }
  if (text.find_first_not_of("0123456789") == std::string::npos) {
    if (text.size() > 5) {
      return false;
    }
    unsigned value = 0;
    for (const char digit : text) {
      value = value * 10 + static_cast<unsigned>(digit - '0');
    }
    if (value > 65535) {
      return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
  }
  servent entry{};
  servent* found = nullptr;
  char scratch[1024];
  if (::getservbyname_r(text.c_str(), "tcp", &entry, scratch, sizeof scratch, &found) != 0 ||
      found == nullptr) {
    return false;
  }
  port = ntohs(static_cast<std::uint16_t>(found->s_port));
  return true;
}

// "HOST[:PORT]" after the "stun:" prefix.  The port, when given, must be
// usable: "stun:host:", "stun:host:0" and "stun:host:99999" name nothing,
// and neither does the wildcard address 0.0.0.0.
server_text_parts parse_stun_text(const char* text) {
  server_text_parts parts;
  parts.stun = true;
  const char* const colon = std::strrchr(text, ':');
  const std::string host = colon == nullptr ? std::string(text) : std::string(text, colon);
  parts.port = stun_default_port;
  if (colon != nullptr && (!parse_port(colon + 1, parts.port) || parts.port == 0)) {
    return parts;
  }
  in_addr dotted{};
  if (::inet_aton(host.c_str(), &dotted) == 1) {
    if (dotted.s_addr == htonl(INADDR_ANY)) {
      return parts;
    }
    parts.what = server_text_parts::kind::address;
    parts.address = dotted.s_addr;
  } else if (is_host_name(host)) {
    parts.what = server_text_parts::kind::host_name;
    parts.host_name = host;
    parts.look_up_service = colon == nullptr;
  }
  return parts;
}

}  // namespace

server_text_parts parse_server_text(const char* text) {
  if (std::strncmp(text, stun_prefix, sizeof stun_prefix - 1) == 0) {
    return parse_stun_text(text + sizeof stun_prefix - 1);
  }
  server_text_parts parts;
  const char* const colon = std::strrchr(text, ':');
  if (colon == nullptr) {
    return parts;  // a port alone names no server
  }
  const std::string host(text, colon);
  std::uint16_t port = 0;
  if (!parse_port(colon + 1, port)) {
    return parts;
  }
  in_addr dotted{};
  if (::inet_aton(host.c_str(), &dotted) == 1) {
    // 0.0.0.0 is this host's "any address": no server sends from it, so
    // no reply could ever count.
    if (dotted.s_addr != htonl(INADDR_ANY)) {
      parts.what = server_text_parts::kind::address;
      parts.address = dotted.s_addr;
      parts.port = port;
    }
    return parts;
  }
  if (is_host_name(host)) {
    parts.what = server_text_parts::kind::host_name;
    parts.host_name = host;
    parts.port = port;
  }
  return parts;
}

}  // namespace wanseer
