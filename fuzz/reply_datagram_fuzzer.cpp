// The datagrams the worker receives.  A real probe_channel, configured with
// a server on loopback, gets a run of datagrams of any length, each sent
// either by that server or by a stranger: another port of the server's
// address, or the server's port on another loopback address.  Every reply
// the channel then accepts must be, in order, the first 4 bytes of one of
// the server's datagrams of 4 bytes or more, none skipped, none from a
// stranger.  A last reply from the server closes each run, so the channel
// never has to wait out a timeout and starts the next run with nothing
// queued.

#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <netinet/in.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "probe_channel.h"
#include "stop_signal.h"
#include "support/udp_socket.h"

namespace {

using reply_bytes = std::array<unsigned char, wanseer::reply_length>;

constexpr std::size_t most_datagrams = 64;
constexpr std::size_t longest_datagram = 512;
constexpr reply_bytes closing_reply = {0xC1, 0x05, 0xED, 0x00};

using loopback_udp = wanseer::testing::udp_socket;

struct loopback_scene {
  loopback_udp server{"127.0.0.1"};
  loopback_udp stranger_port{"127.0.0.1"};
  loopback_udp stranger_address{"127.0.0.2", server.port()};
  wanseer::probe_channel channel;
  wanseer::stop_signal never_raised;
  wanseer::wait_set waits;

  loopback_scene() {
    channel.aim_at(wanseer::ipv4_endpoint(htonl(INADDR_LOOPBACK), server.port()));
    if (!never_raised.arm() || !waits.arm(never_raised.wake_handle())) {
      std::abort();
    }
  }

  const loopback_udp& sender(int which) const {
    switch (which) {
      case 0:
        return server;
      case 1:
        return stranger_port;
      default:
        return stranger_address;
    }
  }
};

loopback_scene& scene() {
  static loopback_scene the_scene;
  return the_scene;
}

reply_bytes first_bytes(const std::vector<std::uint8_t>& datagram) {
  reply_bytes bytes{};
  std::memcpy(bytes.data(), datagram.data(), bytes.size());
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  loopback_scene& here = scene();
  const std::uint16_t worker_port = here.channel.local_port();
  FUZZ_REQUIRE(worker_port != 0, "the channel's socket is open");

  FuzzedDataProvider input(data, size);
  std::vector<reply_bytes> expected;
  for (std::size_t sent = 0; sent < most_datagrams && input.remaining_bytes() > 0; ++sent) {
    const int sender = input.ConsumeIntegralInRange(0, 2);
    const auto length = input.ConsumeIntegralInRange<std::size_t>(0, longest_datagram);
    const std::vector<std::uint8_t> datagram = input.ConsumeBytes<std::uint8_t>(length);
    here.sender(sender).send_to(worker_port, datagram);
    if (sender == 0 && datagram.size() >= wanseer::reply_length) {
      expected.push_back(first_bytes(datagram));
    }
  }
  here.server.send_to(worker_port,
                      std::vector<std::uint8_t>(closing_reply.begin(), closing_reply.end()));
  expected.push_back(closing_reply);

  // A wake handle never raised: each wait ends with an accepted reply, or after a time
  // that only a lost reply would make it wait.
  for (const reply_bytes& next : expected) {
    unsigned char reply[wanseer::reply_length] = {};
    const auto generous = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    FUZZ_REQUIRE(here.channel.await_reply(reply, generous, here.waits),
                 "every server reply is taken");
    FUZZ_REQUIRE(std::memcmp(reply, next.data(), next.size()) == 0,
                 "the replies are the server's, in order, with their first 4 bytes");
  }
  return 0;
}
