// frame_probe: sends hand-built Ethernet frames to a probe server over a
// test interface and reports, byte for byte, what comes back, so that the
// XDP fast path and the socket path can be held to the same answers.
//
//   frame_probe corpus IFACE SERVER_MAC SERVER_IP PORT CLIENT_IP LIMITED_IP
//   frame_probe random IFACE SERVER_MAC SERVER_IP PORT CLIENT_IP COUNT SEED
//
// corpus prints one line per case: its name and every reply to it (the
// whole IPv4 packet in hex), or "none".  LIMITED_IP is an address of IFACE
// whose budget the server has set to 1000 requests.  random sends COUNT
// datagrams of random bytes after valid headers and fails if any reply is
// not a correct answer to a correct request, or if the server stops
// answering.  After each case a sentinel request that only the socket path
// answers (it carries IP options) marks that every reply to the case has
// arrived.  Exit: 0 done, 1 a check failed, 2 bad usage.

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t sentinel_port = 39999;
constexpr std::uint16_t first_case_port = 40000;
constexpr auto reply_deadline = std::chrono::seconds(10);

struct frame_spec {
  bytes payload{'i', 'p', 0};
  std::uint32_t source = 0;  // 0: the client address
  std::uint16_t source_port = 0;
  bool ip_options = false;
  bool bad_ip_checksum = false;
  int udp_checksum = 0;  // 0: right, 1: none (zero), 2: wrong
  int ip_length_change = 0;
  int udp_length_change = 0;
  std::size_t pad_to = 0;
  bool more_fragments = false;
  std::uint16_t ether_type = ETHERTYPE_IP;
  bool vlan = false;
};

struct link_setup {
  int socket = -1;
  int ifindex = 0;
  std::uint8_t server_mac[6]{};
  std::uint8_t client_mac[6]{};
  std::uint32_t server = 0;
  std::uint32_t client = 0;
  std::uint16_t port = 0;  // network byte order
};

void put16(bytes& out, std::size_t at, std::uint16_t value) {
  out[at] = static_cast<std::uint8_t>(value >> 8);
  out[at + 1] = static_cast<std::uint8_t>(value);
}

std::uint32_t sum_words(const std::uint8_t* data, std::size_t length, std::uint32_t sum = 0) {
  for (std::size_t i = 0; i < length; i += 2) {
    sum += static_cast<std::uint32_t>(data[i] << 8) | (i + 1 < length ? data[i + 1] : 0);
  }
  return sum;
}

std::uint16_t finish(std::uint32_t sum) {
  while (sum >> 16) {
    sum = (sum & 0xffff) + (sum >> 16);
  }
  return static_cast<std::uint16_t>(~sum);
}

// The sum of the UDP pseudo-header, header and payload of an IPv4 packet.
std::uint32_t udp_sum(const std::uint8_t* ip, std::size_t header, std::size_t udp_length) {
  const std::uint8_t pseudo[] = {0, 17, static_cast<std::uint8_t>(udp_length >> 8),
                                 static_cast<std::uint8_t>(udp_length)};
  return sum_words(ip + header, udp_length, sum_words(ip + 12, 8, sum_words(pseudo, 4)));
}

bytes build_frame(const link_setup& link, const frame_spec& spec) {
  bytes frame(spec.vlan ? 18 : 14);
  std::memcpy(frame.data(), link.server_mac, 6);
  std::memcpy(frame.data() + 6, link.client_mac, 6);
  if (spec.vlan) {
    put16(frame, 12, ETHERTYPE_VLAN);
    put16(frame, 14, 7);  // VLAN 7
  }
  put16(frame, frame.size() - 2, spec.ether_type);
  const std::size_t ip_at = frame.size();
  const std::size_t header = spec.ip_options ? 24 : 20;
  const std::size_t udp_length = 8 + spec.payload.size();
  frame.resize(ip_at + header + udp_length);
  std::uint8_t* ip = frame.data() + ip_at;
  ip[0] = static_cast<std::uint8_t>(0x40 | header / 4);
  put16(frame, ip_at + 2, static_cast<std::uint16_t>(header + udp_length + spec.ip_length_change));
  put16(frame, ip_at + 6, spec.more_fragments ? 0x2000 : 0x4000);
  ip[8] = 64;
  ip[9] = 17;
  const std::uint32_t source = spec.source != 0 ? spec.source : link.client;
  std::memcpy(ip + 12, &source, 4);
  std::memcpy(ip + 16, &link.server, 4);
  if (spec.ip_options) {
    const std::uint8_t nops[] = {1, 1, 1, 0};
    std::memcpy(ip + 20, nops, 4);
  }
  put16(frame, ip_at + 10,
        static_cast<std::uint16_t>(finish(sum_words(ip, header)) ^
                                   (spec.bad_ip_checksum ? 0x0100 : 0)));
  const std::size_t udp_at = ip_at + header;
  put16(frame, udp_at, spec.source_port);
  std::memcpy(frame.data() + udp_at + 2, &link.port, 2);
  put16(frame, udp_at + 4, static_cast<std::uint16_t>(udp_length + spec.udp_length_change));
  std::memcpy(frame.data() + udp_at + 8, spec.payload.data(), spec.payload.size());
  if (spec.udp_checksum != 1) {
    std::uint16_t check = finish(udp_sum(ip, header, udp_length));
    check = check == 0 ? 0xffff : check;
    put16(frame, udp_at + 6, static_cast<std::uint16_t>(check ^ (spec.udp_checksum == 2 ? 1 : 0)));
  }
  if (frame.size() < spec.pad_to) {
    frame.resize(spec.pad_to, 0);
  }
  return frame;
}

bool send_frame(const link_setup& link, const bytes& frame) {
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_ifindex = link.ifindex;
  to.sll_halen = 6;
  std::memcpy(to.sll_addr, link.server_mac, 6);
  return sendto(link.socket, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to),
                sizeof to) == static_cast<ssize_t>(frame.size());
}

struct reply {
  std::uint16_t to_port = 0;  // host byte order
  std::uint32_t to_address = 0;
  bytes packet;  // from the IPv4 header on
};

// Waits for the sentinel's answer and returns every UDP datagram from the
// server's port that reached the interface before it.  Sets `reachable`
// to whether the sentinel was answered in time.
std::vector<reply> replies_until_sentinel(const link_setup& link, bool& reachable) {
  frame_spec sentinel;
  sentinel.ip_options = true;
  sentinel.source_port = sentinel_port;
  std::vector<reply> replies;
  reachable = send_frame(link, build_frame(link, sentinel));
  const auto deadline = std::chrono::steady_clock::now() + reply_deadline;
  while (reachable) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable{link.socket, POLLIN, 0};
    if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
      reachable = false;
      break;
    }
    std::uint8_t buffer[2048];
    sockaddr_ll from{};
    socklen_t from_length = sizeof from;
    const ssize_t got = recvfrom(link.socket, buffer, sizeof buffer, 0,
                                 reinterpret_cast<sockaddr*>(&from), &from_length);
    if (got < 42 || from.sll_pkttype == PACKET_OUTGOING || buffer[12] != 0x08 || buffer[13] != 0 ||
        buffer[23] != 17) {
      continue;
    }
    const std::size_t header = (buffer[14] & 0x0f) * 4U;
    if (static_cast<std::size_t>(got) < 14 + header + 8 ||
        std::memcmp(buffer + 14 + header, &link.port, 2) != 0) {
      continue;
    }
    reply answer;
    answer.to_port =
        static_cast<std::uint16_t>(buffer[14 + header + 2] << 8 | buffer[14 + header + 3]);
    std::memcpy(&answer.to_address, buffer + 30, 4);
    const std::size_t ip_length = static_cast<std::size_t>(buffer[16] << 8 | buffer[17]);
    answer.packet.assign(buffer + 14,
                         buffer + 14 + std::min(ip_length, static_cast<std::size_t>(got) - 14));
    if (answer.to_port == sentinel_port) {
      return replies;
    }
    replies.push_back(std::move(answer));
  }
  return replies;
}

std::string hex(const bytes& data) {
  std::string text;
  char digits[3];
  for (std::uint8_t byte : data) {
    std::snprintf(digits, sizeof digits, "%02x", byte);
    text += digits;
  }
  return text;
}

// Whether `packet` is a well-formed answer to a request from `client`:
// valid checksums and a payload of exactly the client's 4 address bytes.
bool is_correct_answer(const bytes& packet, std::uint32_t client) {
  if (packet.size() != 32 || packet[0] != 0x45 || finish(sum_words(packet.data(), 20)) != 0) {
    return false;
  }
  const bool checksum_ok =
      (packet[26] == 0 && packet[27] == 0) || finish(udp_sum(packet.data(), 20, 12)) == 0;
  return checksum_ok && packet[25] == 12 && std::memcmp(packet.data() + 28, &client, 4) == 0 &&
         std::memcmp(packet.data() + 16, &client, 4) == 0;
}

struct named_case {
  const char* name;
  frame_spec spec;
};

std::vector<named_case> corpus() {
  const auto with = [](auto change) {
    frame_spec spec;
    change(spec);
    return spec;
  };
  return {
      {"request", {}},
      {"request-no-udp-checksum", with([](frame_spec& s) { s.udp_checksum = 1; })},
      {"request-padded-to-60", with([](frame_spec& s) { s.pad_to = 60; })},
      {"request-with-ip-options", with([](frame_spec& s) { s.ip_options = true; })},
      {"request-bad-udp-checksum", with([](frame_spec& s) { s.udp_checksum = 2; })},
      {"request-bad-ip-checksum", with([](frame_spec& s) { s.bad_ip_checksum = true; })},
      {"request-fragment", with([](frame_spec& s) { s.more_fragments = true; })},
      {"request-vlan-tagged", with([](frame_spec& s) { s.vlan = true; })},
      {"request-not-ipv4", with([](frame_spec& s) { s.ether_type = 0x86dd; })},
      {"request-source-port-0", with([](frame_spec& s) { s.source_port = 0; })},
      {"ip-length-past-frame", with([](frame_spec& s) { s.ip_length_change = 8; })},
      {"ip-length-short", with([](frame_spec& s) { s.ip_length_change = -4; })},
      {"udp-length-past-ip", with([](frame_spec& s) { s.udp_length_change = 4; })},
      {"udp-length-short", with([](frame_spec& s) { s.udp_length_change = -1; })},
      {"udp-length-below-header", with([](frame_spec& s) { s.udp_length_change = -4; })},
      {"empty", with([](frame_spec& s) { s.payload = {}; })},
      {"two-bytes", with([](frame_spec& s) {
         s.payload = {'i', 'p'};
       })},
      {"four-bytes", with([](frame_spec& s) {
         s.payload = {'i', 'p', 0, 0};
       })},
      {"upper-case", with([](frame_spec& s) {
         s.payload = {'I', 'P', 0};
       })},
      {"no-nul", with([](frame_spec& s) {
         s.payload = {'i', 'p', 'x'};
       })},
      {"stun-binding", with([](frame_spec& s) {
         s.payload = {0, 1, 0, 0, 0x21, 0x12, 0xa4, 0x42};
         s.payload.resize(20, 0x5a);
       })},
      {"stun-bad-length", with([](frame_spec& s) {
         s.payload = {0, 1, 0, 8, 0x21, 0x12, 0xa4, 0x42};
         s.payload.resize(20, 0x5a);
       })},
      {"large", with([](frame_spec& s) { s.payload.assign(1200, 'i'); })},
  };
}

int run_corpus(link_setup& link, std::uint32_t limited) {
  std::uint16_t port = first_case_port;
  for (named_case& item : corpus()) {
    if (item.spec.source_port == 0 && std::strcmp(item.name, "request-source-port-0") != 0) {
      item.spec.source_port = port++;
    }
    bool reachable = send_frame(link, build_frame(link, item.spec));
    const std::vector<reply> replies = replies_until_sentinel(link, reachable);
    if (!reachable) {
      std::printf("%s: server unreachable\n", item.name);
      return 1;
    }
    std::printf("%s:", item.name);
    for (const reply& answer : replies) {
      std::printf(" %s", hex(answer.packet).c_str());
    }
    std::printf("%s\n", replies.empty() ? " none" : "");
  }
  // Over the limit: 1010 requests in steps small enough for any socket
  // buffer, of which the first 1000 are answered.
  frame_spec over;
  over.source = limited;
  over.source_port = port;
  unsigned answered = 0;
  for (int step = 0; step < 101; ++step) {
    bool reachable = true;
    for (int i = 0; i < 10; ++i) {
      reachable = reachable && send_frame(link, build_frame(link, over));
    }
    for (const reply& answer : replies_until_sentinel(link, reachable)) {
      answered += answer.to_address == limited && is_correct_answer(answer.packet, limited);
    }
    if (!reachable) {
      std::printf("over-limit: server unreachable\n");
      return 1;
    }
  }
  std::printf("over-limit: %u of 1010 answered\n", answered);
  return 0;
}

int run_random(link_setup& link, unsigned count, unsigned seed) {
  std::mt19937 random(seed);
  unsigned answered = 0;
  for (unsigned i = 0; i < count; ++i) {
    frame_spec spec;
    spec.source_port = static_cast<std::uint16_t>(first_case_port + i % 1000);
    spec.payload.resize(random() % 48);
    for (auto& byte : spec.payload) {
      byte = static_cast<std::uint8_t>(random());
    }
    // Now and then the request itself, or something one byte from it.
    if (i % 16 == 0) {
      spec.payload = {'i', 'p', 0};
      if (i % 32 == 0) {
        spec.payload[random() % 3] ^= static_cast<std::uint8_t>(1U << (random() % 8));
      }
    }
    bool reachable = send_frame(link, build_frame(link, spec));
    const bool is_request = spec.payload == bytes{'i', 'p', 0};
    for (const reply& answer : replies_until_sentinel(link, reachable)) {
      if (!is_request || answer.to_port != spec.source_port ||
          !is_correct_answer(answer.packet, link.client)) {
        std::fprintf(stderr, "frame_probe: datagram %u (%s) got a wrong answer %s\n", i,
                     hex(spec.payload).c_str(), hex(answer.packet).c_str());
        return 1;
      }
      ++answered;
    }
    if (!reachable) {
      std::fprintf(stderr, "frame_probe: server unreachable after datagram %u\n", i);
      return 1;
    }
  }
  std::printf("random: %u datagrams, %u answered, every answer correct\n", count, answered);
  return 0;
}

bool parse_mac(const char* text, std::uint8_t* mac) {
  unsigned parts[6];
  if (std::sscanf(text, "%x:%x:%x:%x:%x:%x", &parts[0], &parts[1], &parts[2], &parts[3], &parts[4],
                  &parts[5]) != 6) {
    return false;
  }
  for (int i = 0; i < 6; ++i) {
    mac[i] = static_cast<std::uint8_t>(parts[i]);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if ((mode != "corpus" && mode != "random") || argc != (mode == "corpus" ? 8 : 9)) {
    std::fprintf(stderr,
                 "usage: frame_probe corpus IFACE SERVER_MAC SERVER_IP PORT CLIENT_IP LIMITED_IP\n"
                 "       frame_probe random IFACE SERVER_MAC SERVER_IP PORT CLIENT_IP COUNT "
                 "SEED\n");
    return 2;
  }
  link_setup link;
  link.ifindex = static_cast<int>(if_nametoindex(argv[2]));
  const wanseer::unique_fd packets(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL)));
  sockaddr_ll own{};
  own.sll_family = AF_PACKET;
  own.sll_protocol = htons(ETH_P_ALL);
  own.sll_ifindex = link.ifindex;
  socklen_t own_length = sizeof own;
  std::uint32_t limited = 0;
  if (link.ifindex == 0 || !packets.valid() ||
      bind(packets.get(), reinterpret_cast<sockaddr*>(&own), sizeof own) != 0 ||
      getsockname(packets.get(), reinterpret_cast<sockaddr*>(&own), &own_length) != 0 ||
      !parse_mac(argv[3], link.server_mac) || inet_pton(AF_INET, argv[4], &link.server) != 1 ||
      inet_pton(AF_INET, argv[6], &link.client) != 1 ||
      (mode == "corpus" && inet_pton(AF_INET, argv[7], &limited) != 1)) {
    std::fprintf(stderr, "frame_probe: bad arguments or no packet socket: %s\n",
                 std::strerror(errno));
    return 2;
  }
  std::memcpy(link.client_mac, own.sll_addr, 6);
  link.socket = packets.get();
  link.port = htons(static_cast<std::uint16_t>(std::atoi(argv[5])));
  if (mode == "corpus") {
    return run_corpus(link, limited);
  }
  return run_random(link, static_cast<unsigned>(std::atoi(argv[7])),
                    static_cast<unsigned>(std::atoi(argv[8])));
}
