// Load for bench/xdp_bench.sh, on the client end of a veth link:
//
//   frame_flood flood IFACE SERVER_MAC SERVER_IP PORT SECONDS probe|stun
//     sends requests on a packet socket as fast as one core can, each from
//     one of SOURCES (default and most 508) forged sources in
//     198.51.100.0/24 and 203.0.113.0/24 (probe requests, or STUN Binding
//     requests for coturn), and prints how many it sent;
//   frame_flood legit SERVER_IP PORT COUNT
//     asks COUNT times, 100 ms apart, one request each, and prints how many
//     were answered within a second of the first and only request.

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/ethernet_frame.h"
#include "unique_fd.h"

namespace {

using namespace wanseer::testing;
constexpr unsigned batch = 64;

int flood(char** argv) {
  frame_link link;
  // The client address is unused: every frame names a forged source.
  if (!open_frame_link(argv[2], argv[3], argv[4], argv[5], "192.0.2.2", link)) {
    std::perror("frame_flood: packet socket");
    return 2;
  }
  const wanseer::unique_fd owned(link.socket);
  const int bypass = 1;  // veth has no queue to wait in
  setsockopt(link.socket, SOL_PACKET, PACKET_QDISC_BYPASS, &bypass, sizeof bypass);
  const double seconds = std::atof(argv[6]);
  const bool stun = std::strcmp(argv[7], "stun") == 0;
  std::mt19937 random(7);
  const unsigned sources = argv[8] != nullptr ? static_cast<unsigned>(std::atoi(argv[8])) : 508;
  std::vector<bytes> frames;
  for (unsigned i = 0; i < 508; ++i) {
    // 198.51.100.1-254, then 203.0.113.1-254, SOURCES of them in turn.
    const unsigned index = i % std::max(sources, 1U);
    const std::uint32_t address = index < 254 ? 0xC6336401U + index : 0xCB007101U + index - 254;
    {
      frame_fields fields;
      fields.source = htonl(address);
      fields.source_port = static_cast<std::uint16_t>(1024 + random() % 60000);
      if (stun) {
        fields.payload = {0, 1, 0, 0, 0x21, 0x12, 0xa4, 0x42};
        for (int byte = 0; byte < 12; ++byte) {
          fields.payload.push_back(static_cast<std::uint8_t>(random()));
        }
      }
      frames.push_back(build_frame(link, fields));
    }
  }
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_ifindex = link.ifindex;
  to.sll_halen = 6;
  std::memcpy(to.sll_addr, link.server_mac, 6);
  std::vector<iovec> vectors(frames.size());
  std::vector<mmsghdr> headers(frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    vectors[i] = {frames[i].data(), frames[i].size()};
    headers[i].msg_hdr.msg_name = &to;
    headers[i].msg_hdr.msg_namelen = sizeof to;
    headers[i].msg_hdr.msg_iov = &vectors[i];
    headers[i].msg_hdr.msg_iovlen = 1;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::uint64_t sent = 0;
  std::size_t next = 0;
  while (std::chrono::steady_clock::now() < end) {
    for (int round = 0; round < 64; ++round) {
      const int done = sendmmsg(link.socket, &headers[next], batch, 0);
      if (done > 0) {
        sent += static_cast<unsigned>(done);
      }
      next = (next + batch) % (frames.size() - frames.size() % batch);
    }
  }
  std::printf("sent %llu\n", static_cast<unsigned long long>(sent));
  return 0;
}

int legit(char** argv) {
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[3])));
  const int count = std::atoi(argv[4]);
  if (inet_pton(AF_INET, argv[2], &server.sin_addr) != 1 || count <= 0) {
    return 2;
  }
  int answered = 0;
  for (int i = 0; i < count; ++i) {
    const wanseer::unique_fd socket_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const unsigned char request[] = {'i', 'p', 0};
    sendto(socket_fd.get(), request, sizeof request, 0, reinterpret_cast<sockaddr*>(&server),
           sizeof server);
    pollfd readable{socket_fd.get(), POLLIN, 0};
    unsigned char reply[8];
    if (poll(&readable, 1, 1000) == 1 && recv(socket_fd.get(), reply, sizeof reply, 0) == 4) {
      ++answered;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::printf("legit: %d of %d answered on the first request\n", answered, count);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 8 || argc == 9) && std::strcmp(argv[1], "flood") == 0) {
    return flood(argv);
  }
  if (argc == 5 && std::strcmp(argv[1], "legit") == 0) {
    return legit(argv);
  }
  std::fprintf(stderr,
               "usage: frame_flood flood IFACE SERVER_MAC SERVER_IP PORT SECONDS probe|stun "
               "[SOURCES]\n"
               "       frame_flood legit SERVER_IP PORT COUNT\n");
  return 2;
}
