// A name server on loopback for tests: answers A and SRV queries from tables, or
// stays silent, or answers NXDOMAIN, SERVFAIL, a truncated answer or
// garbage, as the test sets; and a resolver configuration that points the
// worker's lookups at such servers alone, so no query leaves the machine.
#ifndef WANSEER_TESTS_TEST_NAME_SERVER_H
#define WANSEER_TESTS_TEST_NAME_SERVER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "loopback_probe_server.h"
#include "udp_socket.h"

namespace wanseer::testing {

class test_name_server {
 public:
  enum class behaviour { answer, silent, nxdomain, servfail, truncated, garbage };

  // Binds to `address`, any of 127.0.0.0/8, on `port` (0: any free port).
  explicit test_name_server(const char* address = "127.0.0.1", std::uint16_t port = 0);
  test_name_server(const test_name_server&) = delete;
  test_name_server& operator=(const test_name_server&) = delete;
  ~test_name_server();

  std::uint16_t port() const { return socket_.port(); }
  const std::string& address() const { return address_; }

  // What `name` resolves to (an empty list: no A record, but the name exists).
  void set_addresses(const std::string& name, std::vector<address_bytes> addresses,
                     std::uint32_t ttl = 300);
  // The SRV records of `name` ("_stun._udp.example.test").
  struct service_record {
    std::uint16_t priority, weight, port;
    std::string target;
  };
  void set_services(const std::string& name, std::vector<service_record> records);
  void set_behaviour(behaviour how);
  // What SRV queries alone get, whatever set_behaviour says.
  void set_service_behaviour(behaviour how);

  // Queries for A (or SRV) records of `name` so far.
  std::size_t queries_for(const std::string& name) const;
  // Blocks until `count` A (or SRV) queries for `name` have come, or `limit`
  // passed.
  bool wait_for_queries(const std::string& name, std::size_t count,
                        std::chrono::milliseconds limit = std::chrono::seconds(30));

 private:
  void serve();
  std::vector<std::uint8_t> respond(const std::vector<std::uint8_t>& query);

  std::string address_;
  udp_socket socket_;
  int stop_pipe_[2] = {-1, -1};  // writing to [1] ends serve()
  mutable std::mutex mutex_;
  std::condition_variable queried_;
  behaviour behaviour_ = behaviour::answer;
  std::optional<behaviour> service_behaviour_;
  std::map<std::string, std::pair<std::vector<address_bytes>, std::uint32_t>> table_;
  std::map<std::string, std::vector<service_record>> services_;
  std::map<std::string, std::size_t> queries_;
  std::thread thread_;
};

// While it lives, every lookup of the worker asks the given name servers
// (which must share one port) through a configuration file of its own.
class test_resolver_configuration {
 public:
  explicit test_resolver_configuration(const std::vector<const test_name_server*>& servers);
  test_resolver_configuration(const test_resolver_configuration&) = delete;
  test_resolver_configuration& operator=(const test_resolver_configuration&) = delete;
  ~test_resolver_configuration();

  // Rewrites the file, as a DHCP client rewrites resolv.conf.
  void point_at(const std::vector<const test_name_server*>& servers);

 private:
  std::string path_;
};

}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_TEST_NAME_SERVER_H
