// The worker's STUN transaction against a server played by the test, for
// the cases no real server produces on demand: answers forged from the
// server's own address and port with a wrong transaction ID, a right ID
// from another port, a lost first request, each kind of answer that ends a
// transaction, the retransmission schedule to its end, and 300 Try
// Alternate.  Requests are counted on the wire, by the server.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <thread>

#include "stun_codec.h"
#include "support/worker_harness.h"

namespace wanseer::testing {
namespace {

using namespace std::chrono_literals;
using bytes = std::vector<std::uint8_t>;

bytes hex(const std::string& text) {
  bytes out;
  for (std::size_t at = 0; at + 1 < text.size(); at += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16)));
  }
  return out;
}

// The server's success answer to `request`, mapping it to `address`.
bytes success(const bytes& request, const char* address) {
  std::array<unsigned char, stun::longest_answer> answer{};
  const std::size_t length = stun::answer_binding_request(request.data(), request.size(),
                                                          inet_addr(address), htons(40000), answer);
  return {answer.begin(), answer.begin() + length};
}

// A response of `type` ("0111": error) to `request` with the attributes
// `attributes` (hex), its length field filled in.
bytes response(const bytes& request, const char* type, const std::string& attributes) {
  bytes message = hex(type + std::string("0000"));
  message.insert(message.end(), request.begin() + 4, request.begin() + 20);
  const bytes body = hex(attributes);
  message.insert(message.end(), body.begin(), body.end());
  message[2] = static_cast<std::uint8_t>(body.size() >> 8);
  message[3] = static_cast<std::uint8_t>(body.size());
  return message;
}

std::string error_code(int code) {
  char text[17];
  std::snprintf(text, sizeof text, "00090004%04x%02x%02x", 0, code / 100, code % 100);
  return text;
}

// ALTERNATE-SERVER 127.0.0.1:`port`.
std::string alternate_server(std::uint16_t port) {
  char text[25];
  std::snprintf(text, sizeof text, "80230008%04x%04x7f000001", 1, port);
  return text;
}

// How many of `requests` carry the transaction ID of `first`.
std::size_t with_id_of(const bytes& first, const std::vector<request_record>& requests) {
  std::size_t count = 0;
  for (const auto& request : requests) {
    count += request.bytes == first;
  }
  return count;
}

// Long attempts with a long RTO: a request that should not go out has
// time to, and a late answer time to arrive within the attempt.
probe_schedule patient_schedule() {
  probe_schedule schedule = scaled_schedule(40ms);
  schedule.first_receive_timeout = 15;   // 600 ms
  schedule.stun_rto_thousandths = 5000;  // 200 ms
  return schedule;
}

TEST(StunExchange, ForgedAnswersAreNeverStoredAndALostRequestIsSentAgainWithinASecond) {
  for (const auto connects : {worker_connects::normally, worker_connects::never}) {
    SCOPED_TRACE(connects == worker_connects::never ? "unconnected socket" : "connected socket");
    use_fresh_key();
    loopback_probe_server server;  // answers nothing itself: the first request is lost
    running_worker worker("stun:" + server.address(), probe_schedule{}, connects);
    ASSERT_TRUE(server.wait_for_requests(1));
    const bytes request = server.requests()[0].bytes;
    ASSERT_EQ(request.size(), stun::binding_request_length);

    bytes other_id = request;
    other_id.back() ^= 1;
    server.send_to_worker(success(other_id, "198.51.100.66"));
    server.send_to_worker(success(request, "198.51.100.67"), /*from_other_port=*/true);

    ASSERT_TRUE(server.wait_for_requests(2));
    const auto requests = server.requests();
    EXPECT_EQ(requests[1].bytes, request) << "a retransmission carries the same ID";
    EXPECT_LT(requests[1].arrival - requests[0].arrival, 1s);
    EXPECT_NE(read_stored().status, 0) << "nothing may be stored from a forged answer";

    server.send_to_worker(success(request, "192.0.2.99"));
    EXPECT_TRUE(wait_until_stored({192, 0, 2, 99}));
  }
}

// Each answer to the first request, then a success with the same ID: an
// answer that ends the transaction stops the retransmissions, and nothing
// later with that ID is taken; the attempt still lasts its timeout.
TEST(StunExchange, AnswersThatEndTheTransaction) {
  const struct {
    const char* name;
    const char* type;
    std::string attributes;
    address_bytes stored;  // nothing_stored: the transaction failed
  } cases[] = {
      {"300 without an alternate", "0111", error_code(300), nothing_stored},
      {"400", "0111", error_code(400), nothing_stored},
      {"401", "0111", error_code(401), nothing_stored},
      {"438", "0111", error_code(438), nothing_stored},
      {"500", "0111", error_code(500), nothing_stored},
      {"unknown required attribute", "0101", "0020000800013326e721c06b00240000", nothing_stored},
      // MAPPED-ADDRESS 198.51.100.24, MESSAGE-INTEGRITY, XOR-MAPPED-ADDRESS
      // 198.51.100.66: the address after the integrity is ignored.
      {"address after MESSAGE-INTEGRITY",
       "0101",
       "0001000800011234c6336418"
       "00080014" +
           std::string(40, 'a') + "0020000800013326e721c000",
       {198, 51, 100, 24}},
  };
  const probe_schedule schedule = patient_schedule();
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    use_fresh_key();
    loopback_probe_server server;
    server.set_policy([&](std::size_t index, const bytes& request) {
      return index == 0 ? answer::with(response(request, row.type, row.attributes))
                        : answer::silent();
    });
    running_worker worker("stun:" + server.address(), schedule);
    ASSERT_TRUE(server.wait_for_requests(1));
    const bytes first = server.requests()[0].bytes;
    if (row.stored != nothing_stored) {
      EXPECT_TRUE(wait_until_stored(row.stored));
    }
    server.send_to_worker(success(first, "192.0.2.98"));
    ASSERT_TRUE(server.wait_for_requests(2));
    const auto requests = server.requests();
    EXPECT_EQ(with_id_of(first, requests), 1u) << "no request after the answer";
    EXPECT_GE(requests[1].arrival - requests[0].arrival,
              schedule.duration(schedule.first_receive_timeout) - stamp_tolerance)
        << "the attempt lasts its timeout";
    EXPECT_EQ(read_stored().bytes, row.stored);
  }
}

// Seven requests on the wire, 1, 2, 4 ... RTOs apart; the transaction is
// over 16 RTOs after the seventh, and an answer after that is not taken,
// though the attempt still lasts its timeout.
TEST(StunExchange, SevenSendsOnTheRfcScheduleThenGivenUpAfterSixteenRtos) {
  use_fresh_key();
  probe_schedule schedule = scaled_schedule(40ms);
  schedule.first_receive_timeout = 80;  // 3.2 s; the transaction lasts 1.58 s
  const auto rto = schedule.stun_rto();
  loopback_probe_server server;
  running_worker worker("stun:" + server.address(), schedule);
  ASSERT_TRUE(server.wait_for_requests(7));
  // Well after the transaction's end, well before the attempt's.
  std::this_thread::sleep_for(rto * schedule.stun_last_wait_rtos * 2);
  server.send_to_worker(success(server.requests()[0].bytes, "192.0.2.97"));
  ASSERT_TRUE(server.wait_for_requests(8));
  const auto requests = server.requests();
  const bytes& first = requests[0].bytes;
  EXPECT_EQ(with_id_of(first, requests), 7u);
  EXPECT_NE(requests[7].bytes, first) << "the next attempt draws a new ID";
  for (std::size_t sent = 1; sent < 7; ++sent) {
    const auto planned = rto * ((1 << sent) - 1);
    EXPECT_GE(requests[sent].arrival - requests[0].arrival, planned - stamp_tolerance)
        << "request " << sent + 1 << " left before its time";
  }
  EXPECT_GE(requests[7].arrival - requests[0].arrival,
            schedule.duration(schedule.first_receive_timeout) - stamp_tolerance);
  EXPECT_NE(read_stored().status, 0) << "an answer after the transaction's end was taken";
}

// A 300 names another server: the next attempt asks it, once; its own 300
// is not followed; the attempt after asks the configured server again.
TEST(StunExchange, TryAlternateSendsTheNextAttemptToTheAlternateOnce) {
  use_fresh_key();
  loopback_probe_server never_asked;
  loopback_probe_server alternate;
  loopback_probe_server configured;
  const std::uint16_t onward = never_asked.port();
  alternate.set_policy([&](std::size_t, const bytes& request) {
    return answer::with(response(request, "0111", error_code(300) + alternate_server(onward)));
  });
  const std::uint16_t alternate_port = alternate.port();
  configured.set_policy([&](std::size_t index, const bytes& request) {
    return index == 0 ? answer::with(response(request, "0111",
                                              error_code(300) + alternate_server(alternate_port)))
                      : answer::with(success(request, "192.0.2.96"));
  });
  running_worker worker("stun:" + configured.address(), patient_schedule());
  EXPECT_TRUE(wait_until_stored({192, 0, 2, 96}));
  EXPECT_EQ(alternate.request_count(), 1u);
  EXPECT_EQ(never_asked.request_count(), 0u);
  ASSERT_GE(configured.requests().size(), 2u);
  EXPECT_LT(alternate.requests()[0].arrival, configured.requests()[1].arrival);
}

}  // namespace
}  // namespace wanseer::testing
