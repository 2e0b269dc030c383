// wanseer-probe-server as a service: several threads, metrics over HTTP,
// readiness for systemd, and rate limits that hold whatever the senders do.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "running_probe_server.h"
#include "unique_fd.h"

namespace wanseer_tests {
namespace {

const bytes& request = wanseer::testing::probe_request;

// A TCP socket bound to 127.0.0.1:`port` (0: a free port).
wanseer::unique_fd bound_tcp_socket(unsigned short port = 0) {
  wanseer::unique_fd socket_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  bind(socket_fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  return socket_fd;
}

unsigned short local_tcp_port(int socket_fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(socket_fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A TCP connection from `source` to 127.0.0.1:`port`; not valid if it was
// refused.
wanseer::unique_fd tcp_connection(unsigned short port, const char* source = "127.0.0.1") {
  wanseer::unique_fd connection(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  bind(connection.get(), reinterpret_cast<sockaddr*>(&from), sizeof from);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(connection.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    connection.reset();
  }
  return connection;
}

// Sends `text` over a fresh TCP connection to 127.0.0.1:`port` and returns
// all that comes back before the server closes or the deadline passes.
std::string http_exchange(unsigned short port, const std::string& text,
                          const char* source = "127.0.0.1") {
  const wanseer::unique_fd connection_fd = tcp_connection(port, source);
  const int connection = connection_fd.get();
  std::string answer;
  if (connection_fd.valid() && send(connection, text.data(), text.size(), MSG_NOSIGNAL) ==
                                   static_cast<ssize_t>(text.size())) {
    const auto deadline = std::chrono::steady_clock::now() + generous_deadline;
    pollfd readable{connection, POLLIN, 0};
    while (std::chrono::steady_clock::now() < deadline && poll(&readable, 1, 1000) >= 0) {
      if (readable.revents == 0) {
        continue;
      }
      char chunk[4096];
      const ssize_t got = recv(connection, chunk, sizeof chunk, 0);
      if (got <= 0) {
        break;
      }
      answer.append(chunk, static_cast<std::size_t>(got));
    }
  }
  return answer;
}

// The value of an unlabelled or labelled sample in a scrape, -1 if absent.
long sample(const std::string& scrape, const std::string& name) {
  std::smatch match;
  const std::regex line("(^|\n)" + std::regex_replace(name, std::regex(R"([{}"])"), R"(\$&)") +
                        " ([0-9.e+]+)\n");
  return std::regex_search(scrape, match, line) ? std::stol(match[2]) : -1;
}

// The server with its metrics on a loopback port, started with `arguments`.
class metered_server {
 public:
  explicit metered_server(std::vector<std::string> arguments,
                          const child_process::environment_changes& environment = {}) {
    // Port 0: the kernel picks a free port as the server binds, which no
    // other test can take in between; the start-up line says which.
    std::vector<std::string> argv = {WANSEER_PROBE_SERVER_PATH, "--listen", "127.0.0.1:0",
                                     "--metrics=127.0.0.1:0"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    process_ = std::make_unique<child_process>(argv, environment);
    const auto line = process_->read_line();
    port_ = line ? listening_port(*line) : 0;
    const auto start_line = process_->error_line_with("metrics on http://127.0.0.1:");
    std::smatch metrics;
    if (start_line &&
        std::regex_search(*start_line, metrics,
                          std::regex("metrics on http://127\\.0\\.0\\.1:([0-9]+)/"))) {
      metrics_port_ = static_cast<unsigned short>(std::stoul(metrics[1]));
    }
    if (port_ == 0 || metrics_port_ == 0) {
      throw std::runtime_error("probe server did not start: " + process_->error_output());
    }
  }

  unsigned short port() const { return port_; }
  unsigned short metrics_port() const { return metrics_port_; }
  child_process& process() { return *process_; }

  std::string scrape() const {
    return http_exchange(metrics_port_, "GET /metrics HTTP/1.0\r\n\r\n");
  }

  // Scrapes until `name` reaches at least `value`; returns the last scrape.
  std::string scrape_until(const std::string& name, long value) const {
    const auto deadline = std::chrono::steady_clock::now() + generous_deadline;
    std::string text = scrape();
    while (sample(text, name) < value && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      text = scrape();
    }
    return text;
  }

 private:
  std::unique_ptr<child_process> process_;
  unsigned short port_ = 0;
  unsigned short metrics_port_ = 0;
};

TEST(ProbeServerService, OneSourceFromManyPortsGetsOneBudgetWhateverTheThreads) {
  // Steering by source address sends every port of a source to one thread;
  // steering by the whole 4-tuple would give each thread's budget anew.
  metered_server server({"--threads", "4", "--rate", "0.001", "--burst", "3"});
  std::vector<std::unique_ptr<loopback_udp>> ports;
  constexpr long sent = 48;
  for (long i = 0; i < sent; ++i) {
    ports.push_back(std::make_unique<loopback_udp>("127.0.0.5"));
    ports.back()->send_to(server.port(), request);
  }
  const std::string scrape = server.scrape_until("wanseer_probe_received_total", sent);
  EXPECT_EQ(sample(scrape, "wanseer_probe_received_total"), sent);
  EXPECT_EQ(sample(scrape, "wanseer_probe_answered_total"), 3);
  EXPECT_EQ(sample(scrape, "wanseer_probe_dropped_total{reason=\"rate_limited\"}"), sent - 3);
  EXPECT_EQ(sample(scrape, "wanseer_probe_threads"), 4);
}

TEST(ProbeServerService, SourcesChurningAFullTableGainNoBudget) {
  // Four times as many sources as slots: every request of the rotation
  // evicts someone.  Refill is negligible, so the burst is all that any
  // address may ever get, however often it is pushed out and comes back.
  metered_server server({"--threads", "2", "--sources", "64", "--rate", "0.001", "--burst", "2"});
  constexpr int sources = 256;
  constexpr int rounds = 4;
  std::vector<std::unique_ptr<loopback_udp>> senders;
  for (int i = 0; i < sources; ++i) {
    const std::string address =
        "127.0." + std::to_string(10 + i / 200) + "." + std::to_string(1 + i % 200);
    senders.push_back(std::make_unique<loopback_udp>(address.c_str()));
  }
  for (int round = 0; round < rounds; ++round) {
    for (auto& sender : senders) {
      sender->send_to(server.port(), request);
    }
  }
  const std::string scrape =
      server.scrape_until("wanseer_probe_received_total", long{sources} * rounds);
  ASSERT_EQ(sample(scrape, "wanseer_probe_received_total"), long{sources} * rounds);
  EXPECT_GT(sample(scrape, "wanseer_probe_sources_evicted_total"), 0);
  for (int i = 0; i < sources; ++i) {
    int answers = 0;
    while (senders[i]->take_queued()) {
      ++answers;
    }
    ASSERT_LE(answers, 2) << "source " << i;
  }
}

TEST(ProbeServerService, NamesEachThrottledSourceOnceAndKeepsTheLogShort) {
  const auto started = std::chrono::steady_clock::now();
  metered_server server({"--threads", "2", "--rate", "0.001", "--burst", "1"});
  constexpr int sources = 30;
  std::vector<std::unique_ptr<loopback_udp>> senders;
  for (int i = 1; i <= sources; ++i) {
    senders.push_back(std::make_unique<loopback_udp>(("127.0.3." + std::to_string(i)).c_str()));
    for (int request_number = 0; request_number < 4; ++request_number) {
      senders.back()->send_to(server.port(), request);
    }
  }
  // Counted once the batch's drops, and their log lines, are done.
  const std::string scrape =
      server.scrape_until("wanseer_probe_dropped_total{reason=\"rate_limited\"}", sources * 3);
  const long suppressed = sample(scrape, "wanseer_probe_rate_limit_log_lines_suppressed_total");
  server.process().send_signal(SIGTERM);
  ASSERT_EQ(server.process().wait_exit(), 0);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  const std::string& log = server.process().error_output();
  long lines = 0;
  for (int i = 1; i <= sources; ++i) {
    const std::string name = "rate-limited 127.0.3." + std::to_string(i) + ":";
    const auto first = log.find(name);
    EXPECT_EQ(log.find(name, first == std::string::npos ? 0 : first + 1), std::string::npos)
        << "logged more than once: " << name;
    lines += first != std::string::npos;
  }
  // Every source was throttled for the first time: each is logged or
  // counted as suppressed, and the lines keep to 5 a second.
  EXPECT_EQ(lines + suppressed, sources);
  EXPECT_GE(lines, 1);
  EXPECT_LE(static_cast<double>(lines), 5.0 + 5.0 * elapsed);
}

TEST(ProbeServerService, MetricsMatchTheTrafficAndTheHttpSideStaysApart) {
  metered_server server({"--threads", "2", "--rate", "0.001", "--burst", "1"});
  // A client that opens the metrics port and never finishes its request
  // holds only its own connection.
  const wanseer::unique_fd idle = tcp_connection(server.metrics_port());
  ASSERT_TRUE(idle.valid());
  ASSERT_EQ(send(idle.get(), "GET /metr", 9, MSG_NOSIGNAL), 9);

  loopback_udp first("127.0.0.1");
  loopback_udp second("127.0.0.2");
  first.send_to(server.port(), request);
  ASSERT_TRUE(first.receive());
  first.send_to(server.port(), request);  // over its burst
  second.send_to(server.port(), {'i', 'p'});
  second.send_to(server.port(), request);
  ASSERT_TRUE(second.receive());
  server.scrape_until("wanseer_probe_received_total", 4);
  for (const char* malformed : {"NONSENSE HERE\r\n\r\n", "GET /metrics\r\n\r\n",
                                "GET /metrics HTTP/1.0\r\nno colon here\r\n\r\n"}) {
    EXPECT_EQ(http_exchange(server.metrics_port(), malformed).rfind("HTTP/1.1 400", 0), 0U)
        << malformed;
  }
  EXPECT_EQ(
      http_exchange(server.metrics_port(), "GET /other HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 404", 0),
      0U);
  EXPECT_EQ(http_exchange(server.metrics_port(), "POST /metrics HTTP/1.0\r\n\r\n")
                .rfind("HTTP/1.1 405", 0),
            0U);

  // The same figures as a scraper that no one here wrote reads them.
  const std::string curl = "/usr/bin/curl";
  if (access(curl.c_str(), X_OK) != 0) {
    GTEST_SKIP() << "curl is not installed (scripts/install-deps.sh installs it)";
  }
  const auto run =
      run_to_end({curl, "--silent", "--show-error", "--fail", "--max-time", "20",
                  "http://127.0.0.1:" + std::to_string(server.metrics_port()) + "/metrics"});
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(sample(run.output, "wanseer_probe_received_total"), 4);
  EXPECT_EQ(sample(run.output, "wanseer_probe_answered_total"), 2);
  EXPECT_EQ(sample(run.output, "wanseer_probe_dropped_total{reason=\"malformed\"}"), 1);
  EXPECT_EQ(sample(run.output, "wanseer_probe_dropped_total{reason=\"rate_limited\"}"), 1);
  EXPECT_EQ(sample(run.output, "wanseer_probe_send_failures_total"), 0);
  EXPECT_EQ(sample(run.output, "wanseer_probe_sources_tracked"), 2);
  EXPECT_GT(sample(run.output, "process_start_time_seconds"), 1700000000);
}

TEST(ProbeServerService, ClientsHoldingMetricsConnectionsCannotLockAScraperOut) {
  metered_server server({"--threads", "1"});
  // 18 connections from each of 4 addresses, more than the 16 one address
  // may hold and the 64 of all, each with a request begun and not finished.
  std::vector<wanseer::unique_fd> holders;
  for (int i = 0; i < 72; ++i) {
    const std::string source = "127.0.4." + std::to_string(1 + i % 4);
    holders.push_back(tcp_connection(server.metrics_port(), source.c_str()));
    ASSERT_TRUE(holders.back().valid());
    ASSERT_EQ(send(holders.back().get(), "G", 1, MSG_NOSIGNAL), 1);
  }
  // A scraper from one of those addresses gets in, and HTTP/1.1 keeps its
  // connection open for the next scrape (here closed by the second one).
  const std::string get = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
  const std::string answers = http_exchange(
      server.metrics_port(), get + "\r\n" + get + "Connection: close\r\n\r\n", "127.0.4.1");
  const auto second = answers.find("HTTP/1.1 200", 1);
  ASSERT_EQ(answers.rfind("HTTP/1.1 200", 0), 0U) << answers;
  ASSERT_NE(second, std::string::npos) << answers;
  EXPECT_EQ(answers.substr(0, second).find("Connection: close"), std::string::npos) << answers;

  // A client that trickles a byte every half second is still closed once
  // its time for a whole request is up.
  const int trickler = holders.back().get();
  const auto deadline = std::chrono::steady_clock::now() + generous_deadline;
  bool closed = false;
  while (!closed && std::chrono::steady_clock::now() < deadline) {
    pollfd readable{trickler, POLLIN, 0};
    if (poll(&readable, 1, 500) == 0) {
      closed = send(trickler, "E", 1, MSG_NOSIGNAL) != 1;
    } else {
      char byte = 0;
      closed = recv(trickler, &byte, 1, 0) <= 0;
    }
  }
  EXPECT_TRUE(closed);
}

TEST(ProbeServerService, AMetricsPortThatCannotBeBoundStopsTheStart) {
  wanseer::unique_fd occupant = bound_tcp_socket();
  ASSERT_NE(local_tcp_port(occupant.get()), 0);
  ASSERT_EQ(listen(occupant.get(), 1), 0);
  const std::string taken = "127.0.0.1:" + std::to_string(local_tcp_port(occupant.get()));

  const auto run =
      run_to_end({WANSEER_PROBE_SERVER_PATH, "--listen", "127.0.0.1:0", "--metrics", taken});
  occupant.reset();
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errors.find("cannot serve metrics on " + taken), std::string::npos) << run.errors;
  EXPECT_EQ(run.output.find("listening on"), std::string::npos);
}

TEST(ProbeServerService, ASecondServerOnTheSamePortIsRefusedNotMerged) {
  // Both would set SO_REUSEPORT; the second must still not join the first's
  // sockets and take part of its traffic.
  running_probe_server first({"--threads", "2"});
  const auto run =
      run_to_end({WANSEER_PROBE_SERVER_PATH, "--threads", "2", "--listen", first.endpoint()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errors.find("cannot listen on " + first.endpoint()), std::string::npos)
      << run.errors;
}

TEST(ProbeServerService, StopsEveryThreadCleanlyAndSumsTheirCounters) {
  running_probe_server server({"--threads", "4", "--rate=0"});
  std::vector<std::unique_ptr<loopback_udp>> clients;
  for (int host = 1; host <= 32; ++host) {
    clients.push_back(std::make_unique<loopback_udp>(("127.0.2." + std::to_string(host)).c_str()));
    clients.back()->send_to(server.port(), request);
  }
  for (auto& client : clients) {
    ASSERT_TRUE(client->receive());
  }
  const auto counters = server.stop();
  ASSERT_FALSE(counters.empty()) << "no clean exit with a counter line";
  EXPECT_EQ(counters.at("received"), 32U);
  EXPECT_EQ(counters.at("answered"), 32U);
}

TEST(ProbeServerService, TellsSystemdWhenReadyOnlyWhenAsked) {
  const std::string path = ::testing::TempDir() + "notify-" + std::to_string(getpid());
  const int listener = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  unlink(path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  {
    metered_server server({"--threads", "2"}, {{"NOTIFY_SOCKET", path}});
    pollfd readable{listener, POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 20000), 1);
    char message[512] = {};
    ASSERT_GT(recv(listener, message, sizeof message - 1, 0), 0);
    EXPECT_NE(std::string(message).find("READY=1"), std::string::npos) << message;
    // Ready means answering.
    loopback_udp client;
    client.send_to(server.port(), request);
    EXPECT_TRUE(client.receive());
  }
  close(listener);
  unlink(path.c_str());
}

}  // namespace
}  // namespace wanseer_tests
