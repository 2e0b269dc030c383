// wanseer-probe-server over real UDP on loopback.

#include <gtest/gtest.h>

#include <algorithm>
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

// A Binding request of `total` bytes (a multiple of 4, 24 or more), its
// length made up by a comprehension-optional SOFTWARE attribute, or with a
// CHANGE-REQUEST carrying `change_flags`.
bytes stun_request(std::size_t total, unsigned char change_flags = 0) {
  bytes message(total, 0);
  const std::size_t body = total - 20;
  message[1] = 1;
  message[2] = static_cast<unsigned char>(body >> 8);
  message[3] = static_cast<unsigned char>(body);
  const bytes cookie_and_id = {0x21, 0x12, 0xa4, 0x42, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  std::copy(cookie_and_id.begin(), cookie_and_id.end(), message.begin() + 4);
  const std::size_t value = body - 4;
  const bytes attribute = change_flags != 0
                              ? bytes{0x00, 0x03, 0, 4}
                              : bytes{0x80, 0x22, static_cast<unsigned char>(value >> 8),
                                      static_cast<unsigned char>(value)};
  std::copy(attribute.begin(), attribute.end(), message.begin() + 20);
  message[27] = change_flags;
  return message;
}

TEST(ProbeServer, AnswersStunUpTo1280BytesAndRefusesChangeFlagsByName) {
  running_probe_server server;
  loopback_udp client;
  const struct {
    const char* name;
    bytes request;
    std::size_t answer_length;  // 0: none
    unsigned char answer_type;  // second byte: 01 success, 11 error
  } cases[] = {
      {"552 bytes", stun_request(552), 32, 0x01},
      {"1280 bytes", stun_request(1280), 32, 0x01},
      {"1284 bytes", stun_request(1284), 0, 0},
      {"change IP and port", stun_request(28, 0x06), 36, 0x11},
      {"change port", stun_request(28, 0x02), 36, 0x11},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    client.send_to(server.port(), c.request);
    // Loopback keeps one sender's datagrams in order: the probe's answer
    // comes after any answer to the request.
    client.send_to(server.port(), request);
    auto reply = client.receive();
    ASSERT_TRUE(reply);
    if (c.answer_length != 0) {
      ASSERT_EQ(reply->bytes.size(), c.answer_length);
      EXPECT_EQ(reply->bytes[1], c.answer_type);
      if (c.answer_type == 0x11) {
        // UNKNOWN-ATTRIBUTES lists CHANGE-REQUEST.
        EXPECT_EQ(bytes(reply->bytes.begin() + 28, reply->bytes.end()),
                  (bytes{0x00, 0x0a, 0x00, 0x02, 0x00, 0x03, 0x00, 0x00}));
      }
      reply = client.receive();
      ASSERT_TRUE(reply);
    }
    EXPECT_EQ(reply->bytes, (bytes{127, 0, 0, 1}));
  }
  const auto counters = server.stop();
  EXPECT_EQ(counters.at("stun_answered"), 4U);
  EXPECT_EQ(counters.at("dropped_malformed"), 1U);  // cut short, its form unseen
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
                               {"--listen", "127.0.0.1:0", "--listen=127.0.0.2:0"},
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
  EXPECT_NE(
      run_to_end({WANSEER_PROBE_SERVER_PATH, "--listen", "127.0.0.1:0", "--listen", "0.0.0.0:0"})
          .errors.find("--listen given twice"),
      std::string::npos);
  EXPECT_NE(run_to_end({WANSEER_PROBE_SERVER_PATH, "--bogus=1"})
                .errors.find("unknown argument '--bogus=1'"),
            std::string::npos);
}

}  // namespace
}  // namespace wanseer_tests
