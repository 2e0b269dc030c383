// The resolver options, search list and name servers as the library reads
// them, against the C library's own reading (res_ninit) of the same
// resolv.conf, environment and host name: each case in a child with a
// mount and UTS namespace of its own, its text mounted over
// /etc/resolv.conf.  Root only (skipped otherwise).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "resolver_configuration.h"

extern "C" {
#include "c_host_support.h"
}

namespace wanseer::testing {
namespace {

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    text += (text.empty() ? "" : " ") + word;
  }
  return text;
}

std::string described(const resolver_configuration& configuration) {
  return "nameservers [" + joined(configuration.name_servers) + "] search [" +
         joined(configuration.search) + "] timeout " +
         std::to_string(configuration.timeout_seconds) + " attempts " +
         std::to_string(configuration.attempts) + " ndots " + std::to_string(configuration.ndots) +
         (configuration.rotate ? " rotate" : "");
}

// What res_ninit made of the files and environment of this process.
std::string c_library_reading() {
  struct __res_state state {};
  if (::res_ninit(&state) != 0) {
    return "res_ninit failed";
  }
  resolver_configuration reading;
  for (int i = 0; i < state.nscount; ++i) {
    char text[INET6_ADDRSTRLEN] = {};
    if (state.nsaddr_list[i].sin_family == AF_INET) {
      ::inet_ntop(AF_INET, &state.nsaddr_list[i].sin_addr, text, sizeof text);
    } else if (state._u._ext.nsaddrs[i] != nullptr) {
      ::inet_ntop(AF_INET6, &state._u._ext.nsaddrs[i]->sin6_addr, text, sizeof text);
    }
    reading.name_servers.emplace_back(text);
  }
  for (int i = 0; i < MAXDNSRCH && state.dnsrch[i] != nullptr; ++i) {
    reading.search.emplace_back(state.dnsrch[i]);
  }
  reading.timeout_seconds = state.retrans;
  reading.attempts = state.retry;
  reading.ndots = static_cast<int>(state.ndots);
  reading.rotate = (state.options & RES_ROTATE) != 0;
  ::res_nclose(&state);
  return described(reading);
}

struct resolver_case {
  const char* what;
  const char* resolv_conf;
  const char* res_options;   // RES_OPTIONS, or none
  const char* local_domain;  // LOCALDOMAIN, or none
  const char* host_name;
};

// Both readings as two lines, from a child that sees the case's files, or
// nullopt with `skipped` set where no such child can be made.
std::optional<std::pair<std::string, std::string>> both_readings(const resolver_case& row,
                                                                 bool& skipped) {
  int report[2];
  if (::pipe(report) != 0) {
    return std::nullopt;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(report[0]);
    std::string lines;
    if (!enter_private_network(row.resolv_conf, nullptr) || ::unshare(CLONE_NEWUTS) != 0 ||
        ::sethostname(row.host_name, std::strlen(row.host_name)) != 0) {
      lines = "skipped\n";
    } else {
      for (const auto& [name, value] : {std::pair{"RES_OPTIONS", row.res_options},
                                        std::pair{"LOCALDOMAIN", row.local_domain}}) {
        if (value != nullptr) {
          ::setenv(name, value, 1);
        } else {
          ::unsetenv(name);
        }
      }
      lines = c_library_reading() + "\n" +
              described(read_resolver_configuration("/etc/resolv.conf")) + "\n";
    }
    const bool sent =
        ::write(report[1], lines.data(), lines.size()) == static_cast<ssize_t>(lines.size());
    ::_exit(sent ? 0 : 1);
  }
  ::close(report[1]);
  std::string text;
  char block[1024];
  for (ssize_t got; (got = ::read(report[0], block, sizeof block)) > 0;) {
    text.append(block, static_cast<std::size_t>(got));
  }
  ::close(report[0]);
  int status = 0;
  if (child > 0) {
    ::waitpid(child, &status, 0);
  }
  skipped = text == "skipped\n";
  const auto end = text.find('\n');
  if (child < 0 || skipped || end == std::string::npos) {
    return std::nullopt;
  }
  return std::pair{text.substr(0, end), text.substr(end + 1, text.find('\n', end + 1) - end - 1)};
}

TEST(ResolverConfiguration, ReadAsTheCLibraryReadsIt) {
  const resolver_case cases[] = {
      {"defaults; the search list from the host's domain", "nameserver 192.0.2.53\n", nullptr,
       nullptr, "host.example.net"},
      {"no name server: the local one; no domain in the host name", "options rotate\n", nullptr,
       nullptr, "host"},
      {"every option within its bounds",
       "nameserver 192.0.2.53\noptions ndots:0 timeout:3 attempts:4 rotate\n", nullptr, nullptr,
       "host"},
      {"options past their bounds are held to them",
       "nameserver 192.0.2.53\noptions ndots:20 timeout:45 attempts:9\n", nullptr, nullptr, "host"},
      {"at most three name servers; names that are not addresses skipped",
       "nameserver ns.example.org\nnameserver 192.0.2.1\nnameserver 2001:db8::53\n"
       "nameserver 192.0.2.3\nnameserver 192.0.2.4\n",
       nullptr, nullptr, "host"},
      {"a search list of several domains",
       "nameserver 192.0.2.53\nsearch a.example b.example c.example d.example\n", nullptr, nullptr,
       "host.example.net"},
      {"domain takes its first word; the last of domain and search wins",
       "search a.example b.example\ndomain one.example two.example\nnameserver 192.0.2.53\n",
       nullptr, nullptr, "host"},
      {"comments", "nameserver 192.0.2.53 # the office\n; search x.example\nsearch y.example\n",
       nullptr, nullptr, "host"},
      {"RES_OPTIONS over the file's options",
       "nameserver 192.0.2.53\noptions attempts:1 ndots:3 timeout:2\n", "attempts:4 ndots:0",
       nullptr, "host"},
      {"LOCALDOMAIN over the file's search list",
       "nameserver 192.0.2.53\nsearch a.example b.example\n", nullptr, "x.example y.example",
       "host.example.net"},
  };
  for (const resolver_case& row : cases) {
    SCOPED_TRACE(row.what);
    bool skipped = false;
    const auto readings = both_readings(row, skipped);
    if (skipped) {
      GTEST_SKIP() << "no mount and UTS namespace of our own (root only)";
    }
    ASSERT_TRUE(readings);
    EXPECT_EQ(readings->second, readings->first) << "the library's, then the C library's";
  }
}

}  // namespace
}  // namespace wanseer::testing
