// wanseer-probe-server over real UDP on loopback.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "running_probe_server.h"

namespace wanseer_tests {
namespace {

const bytes& request = wanseer::testing::probe_request;

TEST(ProbeServer, AnswersEachSenderWithItsOwnAddressFromTheServerPort) {
  running_probe_server server;
  loopback_udp first("127.0.0.1");
  loopback_udp second("127.0.0.2");
  first.send_to(server.port(), request);
  second.send_to(server.port(), request);

  const auto first_reply = first.receive();
  const auto second_reply = second.receive();
  ASSERT_TRUE(first_reply && second_reply);
  EXPECT_EQ(first_reply->bytes, (bytes{127, 0, 0, 1}));
  EXPECT_EQ(second_reply->bytes, (bytes{127, 0, 0, 2}));
  EXPECT_EQ(first_reply->sender_port, server.port());

  const auto counters = server.stop(SIGINT);
  EXPECT_EQ(counters.at("received"), 2U);
  EXPECT_EQ(counters.at("answered"), 2U);
}

TEST(ProbeServer, DropsEverythingButTheExactRequestSilently) {
  running_probe_server server;
  loopback_udp client;
  bytes oversized(1400, 'x');
  oversized[0] = 'i';
  oversized[1] = 'p';
  oversized[2] = '\0';
  const std::vector<bytes> malformed = {{},
                                        {'i', 'p'},
                                        {'i', 'p', '\0', '\0'},
                                        {'i', 'p', 'x'},
                                        {'I', 'P', '\0'},
                                        {'p', 'i', '\0'},
                                        oversized};
  for (const auto& payload : malformed) {
    client.send_to(server.port(), payload);
  }
  // Loopback keeps one sender's datagrams in order: once this is answered,
  // everything before it has been looked at.
  client.send_to(server.port(), request);
  const auto reply = client.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->bytes, (bytes{127, 0, 0, 1}));

  const auto counters = server.stop();
  EXPECT_EQ(counters.at("received"), malformed.size() + 1);
  EXPECT_EQ(counters.at("answered"), 1U);
  EXPECT_EQ(counters.at("dropped_malformed"), malformed.size());
  // The server has ended, so nothing more can come.
  EXPECT_FALSE(client.take_queued());
}

TEST(ProbeServer, LimitsAnswersPerSourceAddressOnly) {
  // Almost no refill during the test: the burst is all one source gets.
  // Both option forms: "--opt=value" and "--opt value".
  running_probe_server server({"--rate=0.001", "--burst", "3"});
  loopback_udp flooder("127.0.0.1");
  loopback_udp bystander("127.0.0.3");
  constexpr unsigned flood = 10;
  for (unsigned i = 0; i < flood; ++i) {
    flooder.send_to(server.port(), request);
  }
  // Another source keeps its own budget; its answer also shows the flood
  // before it has been handled.
  bystander.send_to(server.port(), request);
  const auto bystander_reply = bystander.receive();
  ASSERT_TRUE(bystander_reply);
  EXPECT_EQ(bystander_reply->bytes, (bytes{127, 0, 0, 3}));

  for (int answer = 1; answer <= 3; ++answer) {
    ASSERT_TRUE(flooder.receive()) << "answer " << answer;
  }

  const auto counters = server.stop();
  EXPECT_EQ(counters.at("received"), flood + 1);
  EXPECT_EQ(counters.at("answered"), 4U);
  EXPECT_EQ(counters.at("dropped_rate_limited"), flood - 3);
  // The server has ended: no answer beyond the burst can still come.
  EXPECT_FALSE(flooder.take_queued());
}

TEST(ProbeServer, KeepsAnsweringWhenTheSourceTableIsFull) {
  // A one-set table: senders from more addresses than it holds push each
  // other out instead of growing it or being refused.  A newcomer takes
  // over the budget its slot had left, which refills within a millisecond.
  running_probe_server server(
      {"--threads", "1", "--sources", "4", "--burst", "1", "--rate", "1000"});
  std::vector<std::unique_ptr<loopback_udp>> senders;
  for (int host = 1; host <= 8; ++host) {
    senders.push_back(std::make_unique<loopback_udp>(("127.0.1." + std::to_string(host)).c_str()));
    std::optional<wanseer::testing::datagram> reply;
    for (int attempt = 0; attempt < 100 && !reply; ++attempt) {
      senders.back()->send_to(server.port(), request);
      reply = senders.back()->receive(std::chrono::milliseconds(200));
    }
    ASSERT_TRUE(reply) << "sender " << host;
    EXPECT_EQ(reply->bytes, (bytes{127, 0, 1, static_cast<unsigned char>(host)}));
  }
  EXPECT_GE(server.stop().at("answered"), 8U);
}

TEST(ProbeServer, ReportsAPortItCannotBind) {
  loopback_udp occupant;
  const auto run = run_to_end(
      {WANSEER_PROBE_SERVER_PATH, "--listen", "127.0.0.1:" + std::to_string(occupant.port())});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errors.find("cannot listen on 127.0.0.1:" + std::to_string(occupant.port())),
            std::string::npos)
      << run.errors;
}

TEST(ProbeServer, RefusesBadCommandLines) {
  for (const auto& argument : {std::vector<std::string>{"--listen", "localhost:7171"},
                               {"--listen", "127.0.0.1"},
                               {"--listen", "127.0.0.1:65536"},
                               {"--rate", "-1"},
                               {"--rate", "1e-9"},
                               {"--burst", "0"},
                               {"--burst="},
                               {"--threads", "0"},
                               {"--metrics", "localhost:9100"},
                               {"--batch", "1025"},
                               {"--listen"},
                               {"--bogus"},
                               {"stray"}}) {
    std::vector<std::string> argv = {WANSEER_PROBE_SERVER_PATH};
    argv.insert(argv.end(), argument.begin(), argument.end());
    const auto run = run_to_end(argv);
    EXPECT_EQ(run.status, 2) << argument[0];
    EXPECT_TRUE(run.output.empty());
  }
  EXPECT_NE(
      run_to_end({WANSEER_PROBE_SERVER_PATH, "--listen"}).errors.find("--listen needs a value"),
      std::string::npos);
  EXPECT_NE(run_to_end({WANSEER_PROBE_SERVER_PATH, "--bogus=1"})
                .errors.find("unknown argument '--bogus=1'"),
            std::string::npos);
}

}  // namespace
}  // namespace wanseer_tests
