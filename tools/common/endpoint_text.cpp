#include "endpoint_text.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "host_name.h"

namespace wanseer_tools {

namespace {

// A dotted address as the library reads one (inet_aton, so "127.1" too),
// or a host name; nothing else can reach a server.
bool is_host(std::string_view host) {
  // inet_aton would also take "1.2.3.4 anything": only name bytes and dots.
  const bool plain = std::all_of(host.begin(), host.end(), [](char byte) {
    return byte == '.' || wanseer::is_host_name_byte(byte);
  });
  in_addr dotted{};
  return plain &&
         (inet_aton(std::string(host).c_str(), &dotted) == 1 || wanseer::is_host_name(host));
}

constexpr std::string_view stun_scheme = "stun:";

// The scheme in any case, as the library takes it (RFC 3986 section 3.1).
bool has_stun_scheme(std::string_view text) {
  const std::string_view scheme = text.substr(0, stun_scheme.size());
  return scheme.size() == stun_scheme.size() &&
         std::equal(scheme.begin(), scheme.end(), stun_scheme.begin(), [](char given, char wanted) {
           return std::tolower(static_cast<unsigned char>(given)) == wanted;
         });
}

}  // namespace

std::optional<unsigned short> parse_port(std::string_view text) {
  if (text.empty() || text.size() > 5) {
    return std::nullopt;
  }
  unsigned value = 0;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<unsigned>(digit - '0');
  }
  if (value > 65535) {
    return std::nullopt;
  }
  return static_cast<unsigned short>(value);
}

std::optional<sockaddr_in> parse_ipv4_endpoint(std::string_view text) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    return std::nullopt;
  }
  const auto port = parse_port(text.substr(colon + 1));
  const std::string host(text.substr(0, colon));
  sockaddr_in endpoint{};
  endpoint.sin_family = AF_INET;
  if (!port || inet_pton(AF_INET, host.c_str(), &endpoint.sin_addr) != 1) {
    return std::nullopt;
  }
  endpoint.sin_port = htons(*port);
  return endpoint;
}

bool is_host_port(std::string_view text) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos || !is_host(text.substr(0, colon))) {
    return false;
  }
  const auto port = parse_port(text.substr(colon + 1));
  return port && *port != 0;
}

bool is_stun_server(std::string_view text) {
  if (!has_stun_scheme(text)) {
    return false;
  }
  const std::string_view rest = text.substr(stun_scheme.size());
  return rest.find(':') == std::string_view::npos ? is_host(rest) : is_host_port(rest);
}

std::optional<server_text_parts> split_server_text(std::string_view text) {
  server_text_parts parts;
  if (is_stun_server(text)) {
    parts.stun = true;
    text.remove_prefix(stun_scheme.size());
  } else if (!is_host_port(text)) {
    return std::nullopt;
  }
  const auto colon = text.rfind(':');
  parts.host = std::string(text.substr(0, colon));
  if (colon != std::string_view::npos) {
    parts.port = parse_port(text.substr(colon + 1));
  }
  return parts;
}

std::string format_endpoint(const sockaddr_in& endpoint) {
  char host[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &endpoint.sin_addr, host, sizeof host);
  return std::string(host) + ':' + std::to_string(ntohs(endpoint.sin_port));
}

std::string format_ipv4(const unsigned char (&address)[4]) {
  return std::to_string(address[0]) + '.' + std::to_string(address[1]) + '.' +
         std::to_string(address[2]) + '.' + std::to_string(address[3]);
}

}  // namespace wanseer_tools
