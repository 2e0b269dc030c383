// The worker's STUN exchange against a server played by the test, for the
// cases no real server produces: answers forged from the server's own
// address and port with a wrong transaction ID, a right ID from another
// port, and a first request that is lost.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "stun_codec.h"
#include "support/worker_harness.h"

namespace wanseer::testing {
namespace {

using namespace std::chrono_literals;

// The server's success answer to `request`, mapping it to `address`.
std::vector<std::uint8_t> success(const std::vector<std::uint8_t>& request, const char* address) {
  std::array<unsigned char, stun::longest_answer> answer{};
  const std::size_t length = stun::answer_binding_request(request.data(), request.size(),
                                                          inet_addr(address), htons(40000), answer);
  return {answer.begin(), answer.begin() + length};
}

TEST(StunExchange, ForgedAnswersAreNeverStoredAndALostRequestIsSentAgainWithinASecond) {
  use_fresh_key();
  loopback_probe_server server;  // answers nothing itself: the first request is lost
  running_worker worker("stun:" + server.address(), probe_schedule{});
  ASSERT_TRUE(server.wait_for_requests(1));
  const std::vector<std::uint8_t> request = server.requests()[0].bytes;
  ASSERT_EQ(request.size(), stun::binding_request_length);

  std::vector<std::uint8_t> other_id = request;
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

}  // namespace
}  // namespace wanseer::testing
