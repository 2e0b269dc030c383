#include "resolver_configuration.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "unique_fd.h"

namespace wanseer {

namespace {

// The C library's bounds (resolv.h: MAXNS, RES_MAXRETRANS, RES_MAXRETRY,
// RES_MAXNDOTS).
constexpr std::size_t most_name_servers = 3;
constexpr int longest_timeout = 30;
constexpr int most_attempts = 5;
constexpr int most_ndots = 15;

int bounded(const std::string& value, int low, int high) {
  const long number = std::strtol(value.c_str(), nullptr, 10);
  return static_cast<int>(std::clamp<long>(number, low, high));
}

// One "options" word, as in the file or RES_OPTIONS; others are ignored.
void apply_option(const std::string& word, resolver_configuration& configuration) {
  const auto value_of = [&](const char* prefix) -> const char* {
    const std::size_t length = std::char_traits<char>::length(prefix);
    return word.compare(0, length, prefix) == 0 ? word.c_str() + length : nullptr;
  };
  if (const char* ndots = value_of("ndots:")) {
    configuration.ndots = bounded(ndots, 0, most_ndots);
  } else if (const char* timeout = value_of("timeout:")) {
    configuration.timeout_seconds = bounded(timeout, 1, longest_timeout);
  } else if (const char* attempts = value_of("attempts:")) {
    configuration.attempts = bounded(attempts, 1, most_attempts);
  } else if (word == "rotate") {
    configuration.rotate = true;
  }
}

std::vector<std::string> words_of(std::istream& line) {
  std::vector<std::string> words;
  for (std::string word; line >> word;) {
    words.push_back(word);
  }
  return words;
}

bool is_numeric_address(const std::string& text) {
  unsigned char scratch[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, text.c_str(), scratch) == 1 ||
         ::inet_pton(AF_INET6, text.c_str(), scratch) == 1;
}

}  // namespace

resolver_configuration parse_resolver_configuration(const std::string& text,
                                                    const char* res_options,
                                                    const char* local_domain,
                                                    const std::string& host_name) {
  resolver_configuration configuration;
  bool search_given = false;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    line = line.substr(0, line.find_first_of(";#"));
    std::istringstream words(line);
    std::string keyword;
    words >> keyword;
    if (keyword == "nameserver") {
      std::string address;
      words >> address;
      if (configuration.name_servers.size() < most_name_servers && is_numeric_address(address)) {
        configuration.name_servers.push_back(address);
      }
    } else if (keyword == "domain" || keyword == "search") {
      configuration.search = words_of(words);
      if (keyword == "domain" && configuration.search.size() > 1) {
        configuration.search.resize(1);
      }
      search_given = true;
    } else if (keyword == "options") {
      for (const std::string& word : words_of(words)) {
        apply_option(word, configuration);
      }
    }
  }
  if (res_options != nullptr) {
    std::istringstream words(res_options);
    for (const std::string& word : words_of(words)) {
      apply_option(word, configuration);
    }
  }
  if (local_domain != nullptr) {
    std::istringstream words(local_domain);
    configuration.search = words_of(words);
    search_given = true;
  }
  const std::size_t dot = host_name.find('.');
  if (!search_given && dot != std::string::npos && dot + 1 < host_name.size()) {
    configuration.search = {host_name.substr(dot + 1)};
  }
  if (configuration.name_servers.empty()) {
    configuration.name_servers.emplace_back("127.0.0.1");
  }
  return configuration;
}

resolver_configuration read_resolver_configuration(const char* path) {
  std::string text;
  static_cast<void>(read_whole_file(path, text));
  char host_name[256] = {};
  if (::gethostname(host_name, sizeof host_name - 1) != 0) {
    host_name[0] = '\0';
  }
  return parse_resolver_configuration(text, std::getenv("RES_OPTIONS"), std::getenv("LOCALDOMAIN"),
                                      host_name);
}

bool read_whole_file(const char* path, std::string& text) {
  const unique_fd file(::open(path, O_RDONLY | O_CLOEXEC));
  if (!file.valid()) {
    return false;
  }
  text.clear();
  char block[16384];
  for (;;) {
    const ssize_t got = ::read(file.get(), block, sizeof block);
    if (got == 0) {
      return true;
    }
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    text.append(block, static_cast<std::size_t>(got));
  }
}

std::vector<std::uint32_t> hosts_file_ipv4(const std::string& text, std::string name) {
  std::vector<std::uint32_t> found;
  if (!name.empty() && name.back() == '.') {
    name.pop_back();
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line.substr(0, line.find('#')));
    std::string address_text;
    in_addr address{};
    if (!(words >> address_text) || ::inet_pton(AF_INET, address_text.c_str(), &address) != 1) {
      continue;
    }
    for (std::string alias; words >> alias;) {
      if (::strcasecmp(alias.c_str(), name.c_str()) == 0) {
        if (std::find(found.begin(), found.end(), address.s_addr) == found.end()) {
          found.push_back(address.s_addr);
        }
        break;
      }
    }
  }
  return found;
}

}  // namespace wanseer
