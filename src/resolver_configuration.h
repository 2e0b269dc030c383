// The system's resolver configuration and hosts file, read by the library
// itself: every file is opened close-on-exec, and the options are taken as
// the C library's resolver takes them, which the resolver library we hand
// them to does not do by itself (it knows only the old "retrans:" and
// "retry:" names).
#ifndef WANSEER_RESOLVER_CONFIGURATION_H
#define WANSEER_RESOLVER_CONFIGURATION_H

#include <cstdint>
#include <string>
#include <vector>

namespace wanseer {

struct resolver_configuration {
  // Numeric IPv4 or IPv6 addresses, at most three, in the file's order;
  // 127.0.0.1 when the file names none.
  std::vector<std::string> name_servers;
  std::vector<std::string> search;
  int timeout_seconds = 5;  // options timeout:N, 1 to 30
  int attempts = 2;         // options attempts:N, 1 to 5
  int ndots = 1;            // options ndots:N, 0 to 15
  bool rotate = false;      // options rotate
};

// `text` as resolv.conf(5) lines ("nameserver", "domain", "search",
// "options"; the last "domain" or "search" wins), then `res_options` as
// RES_OPTIONS and `local_domain` as LOCALDOMAIN (either may be null).
// Without a search list, the domain of `host_name` (after its first dot).
resolver_configuration parse_resolver_configuration(const std::string& text,
                                                    const char* res_options,
                                                    const char* local_domain,
                                                    const std::string& host_name);

// The file at `path` (a missing one reads as empty) with the environment
// and this host's name.  Throws std::bad_alloc.
resolver_configuration read_resolver_configuration(const char* path);

// Reads the whole file (O_CLOEXEC); false when it cannot be read.
bool read_whole_file(const char* path, std::string& text);

// The IPv4 addresses that hosts(5) `text` gives `name` (any case, a final
// '.' ignored), as its canonical name or an alias, in the file's order and
// each once; network byte order.
std::vector<std::uint32_t> hosts_file_ipv4(const std::string& text, std::string name);

}  // namespace wanseer

#endif  // WANSEER_RESOLVER_CONFIGURATION_H
