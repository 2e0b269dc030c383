// frame_probe: sends hand-built Ethernet frames to a probe server over a
// test interface and reports, byte for byte, what comes back, so that the
// XDP fast path and the socket path can be held to the same answers.
//
//   frame_probe corpus IFACE SERVER_MAC SERVER_IP PORT CLIENT_IP LIMITED_IP
//   frame_probe random IFACE SERVER_MAC SERVER_IP PORT CLIENT_IP COUNT SEED
//   frame_probe sources IFACE SERVER_MAC SERVER_IP PORT CLIENT_IP NAME=SOURCE[:PORT][@MAC][/TO]...
//   frame_probe split IFACE SERVER_MAC SERVER_IP PORT CLIENT_IP COUNT SOURCE...
//
// corpus prints one line per case: its name and every reply to it (the
// whole IPv4 packet in hex), or "none".  LIMITED_IP is an address of IFACE
// whose budget the server has set to 1000 requests.  random sends COUNT
// datagrams of random bytes after valid headers and fails if any reply is
// not a correct answer to a correct request, or if the server stops
// answering.  sources sends three probe and three STUN requests from each
// forged SOURCE (to MAC and address TO instead of SERVER_MAC and SERVER_IP
// if given; the sentinel goes to those) and prints "NAME: N
// answered" (counting correct answers to it from SERVER_MAC) and, if any,
// "NAME: N from another MAC".  split sends
// COUNT requests from each SOURCE, every other one with IP options so that
// only the socket path may answer it, and prints "split: N of M answered"
// in all.  After each case a sentinel request that only the socket path
// answers (it carries IP options) marks that every reply to the case has
// arrived.  Exit: 0 done, 1 a check failed, 2 bad usage.

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "stun_codec.h"
#include "support/ethernet_frame.h"
#include "unique_fd.h"

namespace {

using namespace wanseer::testing;

constexpr std::uint16_t sentinel_port = 39999;
constexpr std::uint16_t first_case_port = 40000;
constexpr auto reply_deadline = std::chrono::seconds(10);

struct reply {
  std::uint16_t to_port = 0;  // host byte order
  std::uint32_t to_address = 0;
  std::array<std::uint8_t, 6> from_mac{};
  bytes packet;  // from the IPv4 header on
};

// Waits for the sentinel's answer and returns every UDP datagram from the
// server's port that reached the interface before it.  Sets `reachable`
// to whether the sentinel was answered in time.
std::vector<reply> replies_until_sentinel(const frame_link& link, bool& reachable) {
  frame_fields sentinel;
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
    std::memcpy(answer.from_mac.data(), buffer + 6, 6);
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

// STUN Binding requests with the magic cookie and ID 01..0c: with no
// attribute, and with only a FINGERPRINT.
const bytes stun_binding{0, 1, 0, 0, 0x21, 0x12, 0xa4, 0x42, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
const bytes stun_fingerprinted{0, 1, 0, 8,  0x21, 0x12, 0xa4, 0x42, 1, 2, 3,    4,    5,    6,
                               7, 8, 9, 10, 11,   12,   0x80, 0x28, 0, 4, 0x5b, 0x20, 0xf9, 0xcc};

// What the server sends back to `request` from `client`:`port`: the probe
// answer, or what the socket path's STUN codec writes (nothing: empty).
bytes expected_answer(const bytes& request, std::uint32_t client, std::uint16_t port) {
  if (request == bytes{'i', 'p', 0}) {
    bytes address(4);
    std::memcpy(address.data(), &client, 4);
    return address;
  }
  std::array<unsigned char, wanseer::stun::longest_answer> answer{};
  const std::size_t length = wanseer::stun::answer_binding_request(request.data(), request.size(),
                                                                   client, htons(port), answer);
  return bytes(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(length));
}

// Whether `packet` is a well-formed answer to `client` that carries
// `payload`: valid checksums, addressed to the client, and not empty.
bool is_correct_answer(const bytes& packet, std::uint32_t client, const bytes& payload) {
  if (payload.empty() || packet.size() != 28 + payload.size() || packet[0] != 0x45 ||
      finish_checksum(sum_words(packet.data(), 20)) != 0) {
    return false;
  }
  const bool checksum_ok = (packet[26] == 0 && packet[27] == 0) ||
                           finish_checksum(udp_sum(packet.data(), 20, 8 + payload.size())) == 0;
  return checksum_ok && std::equal(payload.begin(), payload.end(), packet.begin() + 28) &&
         std::memcmp(packet.data() + 16, &client, 4) == 0;
}

struct named_case {
  const char* name;
  frame_fields fields;
};

std::vector<named_case> corpus() {
  const auto with = [](auto change) {
    frame_fields fields;
    change(fields);
    return fields;
  };
  const auto carrying = [](bytes payload) {
    frame_fields fields;
    fields.payload = std::move(payload);
    return fields;
  };
  const auto stun_with = [](const bytes& payload, auto change) {
    frame_fields fields;
    fields.payload = payload;
    change(fields);
    return fields;
  };
  return {
      {"request", {}},
      {"request-no-udp-checksum", with([](frame_fields& s) { s.udp_checksum = 1; })},
      {"request-padded-to-60", with([](frame_fields& s) { s.pad_to = 60; })},
      {"request-with-ip-options", with([](frame_fields& s) { s.ip_options = true; })},
      {"request-bad-udp-checksum", with([](frame_fields& s) { s.udp_checksum = 2; })},
      {"request-bad-ip-checksum", with([](frame_fields& s) { s.bad_ip_checksum = true; })},
      {"request-fragment", with([](frame_fields& s) { s.more_fragments = true; })},
      {"request-vlan-tagged", with([](frame_fields& s) { s.vlan = true; })},
      {"request-not-ipv4", with([](frame_fields& s) { s.ether_type = 0x86dd; })},
      {"request-source-port-0", with([](frame_fields& s) { s.source_port = 0; })},
      {"ip-length-past-frame", with([](frame_fields& s) { s.ip_length_change = 8; })},
      {"ip-length-short", with([](frame_fields& s) { s.ip_length_change = -4; })},
      {"udp-length-past-ip", with([](frame_fields& s) { s.udp_length_change = 4; })},
      {"udp-length-short", with([](frame_fields& s) { s.udp_length_change = -1; })},
      {"udp-length-below-header", with([](frame_fields& s) { s.udp_length_change = -4; })},
      {"empty", carrying({})},
      {"two-bytes", carrying({'i', 'p'})},
      {"four-bytes", carrying({'i', 'p', 0, 0})},
      {"upper-case", carrying({'I', 'P', 0})},
      {"no-nul", carrying({'i', 'p', 'x'})},
      {"stun-binding", carrying(stun_binding)},
      {"stun-binding-no-udp-checksum",
       stun_with(stun_binding, [](frame_fields& s) { s.udp_checksum = 1; })},
      {"stun-binding-bad-udp-checksum",
       stun_with(stun_binding, [](frame_fields& s) { s.udp_checksum = 2; })},
      {"stun-binding-padded", stun_with(stun_binding, [](frame_fields& s) { s.pad_to = 80; })},
      {"stun-fingerprint", carrying(stun_fingerprinted)},
      {"stun-fingerprint-bad-udp-checksum",
       stun_with(stun_fingerprinted, [](frame_fields& s) { s.udp_checksum = 2; })},
      {"stun-fingerprint-udp-length-short",
       stun_with(stun_fingerprinted, [](frame_fields& s) { s.udp_length_change = -4; })},
      {"stun-wrong-fingerprint",
       stun_with(stun_fingerprinted, [](frame_fields& s) { s.payload[27] ^= 1; })},
      {"stun-classic",
       carrying({0, 1, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16})},
      {"stun-unknown-attribute", carrying({0, 1, 0, 8,  0x21, 0x12, 0xa4, 0x42, 1, 2, 3, 4, 5, 6,
                                           7, 8, 9, 10, 11,   12,   0,    0x7f, 0, 4, 0, 0, 0, 0})},
      {"stun-indication", stun_with(stun_binding, [](frame_fields& s) { s.payload[1] = 0x11; })},
      {"stun-bad-length", stun_with(stun_binding, [](frame_fields& s) { s.payload[3] = 8; })},
      {"large", with([](frame_fields& s) { s.payload.assign(1200, 'i'); })},
  };
}

int run_corpus(frame_link& link, std::uint32_t limited) {
  std::uint16_t port = first_case_port;
  for (named_case& item : corpus()) {
    if (item.fields.source_port == 0 && std::strcmp(item.name, "request-source-port-0") != 0) {
      item.fields.source_port = port++;
    }
    bool reachable = send_frame(link, build_frame(link, item.fields));
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
  // Over the limit: 1010 requests, probe and STUN in turn from two ports,
  // in steps small enough for any socket buffer, of which the first 1000
  // are answered.
  frame_fields over;
  over.source = limited;
  over.source_port = port;
  frame_fields over_stun = over;
  over_stun.source_port = static_cast<std::uint16_t>(port + 1);
  over_stun.payload = stun_binding;
  unsigned answered = 0;
  for (int step = 0; step < 101; ++step) {
    bool reachable = true;
    for (int i = 0; i < 10; ++i) {
      reachable = reachable && send_frame(link, build_frame(link, i % 2 ? over_stun : over));
    }
    for (const reply& answer : replies_until_sentinel(link, reachable)) {
      const frame_fields& asked = answer.to_port == over.source_port ? over : over_stun;
      answered += answer.to_address == limited &&
                  is_correct_answer(answer.packet, limited,
                                    expected_answer(asked.payload, limited, asked.source_port));
    }
    if (!reachable) {
      std::printf("over-limit: server unreachable\n");
      return 1;
    }
  }
  std::printf("over-limit: %u of 1010 answered\n", answered);
  return 0;
}

int run_random(frame_link& link, unsigned count, unsigned seed) {
  std::mt19937 random(seed);
  unsigned answered = 0;
  for (unsigned i = 0; i < count; ++i) {
    frame_fields fields;
    fields.source_port = static_cast<std::uint16_t>(first_case_port + i % 1000);
    fields.payload.resize(random() % 48);
    for (auto& byte : fields.payload) {
      byte = static_cast<std::uint8_t>(random());
    }
    // Now and then a request of either protocol, or something one bit
    // from it.
    if (i % 8 == 0) {
      fields.payload = i % 16 == 0 ? bytes{'i', 'p', 0} : stun_fingerprinted;
      if (i % 32 < 16) {
        fields.payload[random() % fields.payload.size()] ^=
            static_cast<std::uint8_t>(1U << (random() % 8));
      }
    }
    bool reachable = send_frame(link, build_frame(link, fields));
    const bytes expected = expected_answer(fields.payload, link.client, fields.source_port);
    for (const reply& answer : replies_until_sentinel(link, reachable)) {
      if (answer.to_port != fields.source_port ||
          !is_correct_answer(answer.packet, link.client, expected)) {
        std::fprintf(stderr, "frame_probe: datagram %u (%s) got a wrong answer %s\n", i,
                     hex(fields.payload).c_str(), hex(answer.packet).c_str());
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

int run_sources(frame_link& link, int count, char** source_texts) {
  std::uint16_t port = first_case_port;
  for (int i = 0; i < count; ++i) {
    std::string source_text = source_texts[i];
    frame_link request_link = link;
    if (const auto slash = source_text.find('/'); slash != std::string::npos) {
      if (inet_pton(AF_INET, source_text.c_str() + slash + 1, &request_link.server) != 1) {
        std::fprintf(stderr, "frame_probe: bad address in '%s'\n", source_text.c_str());
        return 2;
      }
      source_text.resize(slash);
    }
    if (const auto at = source_text.find('@'); at != std::string::npos) {
      if (!parse_mac(source_text.c_str() + at + 1, request_link.server_mac)) {
        std::fprintf(stderr, "frame_probe: bad MAC in '%s'\n", source_text.c_str());
        return 2;
      }
      source_text.resize(at);
    }
    const auto equals = source_text.find('=');
    const auto colon = source_text.find(':');
    frame_fields probe;
    if (equals == std::string::npos ||
        inet_pton(AF_INET, source_text.substr(equals + 1, colon - equals - 1).c_str(),
                  &probe.source) != 1) {
      std::fprintf(stderr, "frame_probe: bad source '%s'\n", source_text.c_str());
      return 2;
    }
    const bool fixed_port = colon != std::string::npos;
    probe.source_port = fixed_port
                            ? static_cast<std::uint16_t>(std::atoi(source_text.c_str() + colon + 1))
                            : port++;
    frame_fields stun = probe;
    stun.payload = stun_binding;
    if (!fixed_port) {
      stun.source_port = port++;
    }
    unsigned answered = 0;
    unsigned foreign = 0;
    bool reachable = true;
    for (int round = 0; round < 3; ++round) {
      reachable = reachable && send_frame(link, build_frame(request_link, probe)) &&
                  send_frame(link, build_frame(request_link, stun));
      for (const reply& answer : replies_until_sentinel(link, reachable)) {
        // With one port for both, either answer will do.
        const auto answers = [&](const frame_fields& asked) {
          return answer.to_port == asked.source_port &&
                 is_correct_answer(answer.packet, probe.source,
                                   expected_answer(asked.payload, probe.source, asked.source_port));
        };
        if (answer.to_address != probe.source || !(answers(probe) || answers(stun))) {
          continue;
        }
        if (std::memcmp(answer.from_mac.data(), link.server_mac, 6) == 0) {
          ++answered;
        } else {
          ++foreign;
        }
      }
    }
    if (!reachable) {
      std::printf("%s: server unreachable\n", source_text.substr(0, equals).c_str());
      return 1;
    }
    std::printf("%s: %u answered\n", source_text.substr(0, equals).c_str(), answered);
    if (foreign != 0) {
      std::printf("%s: %u from another MAC\n", source_text.substr(0, equals).c_str(), foreign);
    }
  }
  return 0;
}

int run_split(frame_link& link, unsigned count, int sources, char** addresses) {
  unsigned answered = 0;
  unsigned sent = 0;
  for (int s = 0; s < sources; ++s) {
    frame_fields fields;
    if (inet_pton(AF_INET, addresses[s], &fields.source) != 1) {
      std::fprintf(stderr, "frame_probe: bad source '%s'\n", addresses[s]);
      return 2;
    }
    fields.source_port = static_cast<std::uint16_t>(first_case_port + s);
    // In steps small enough for any socket buffer.
    for (unsigned done = 0; done < count;) {
      bool reachable = true;
      for (unsigned i = 0; i < 10 && done < count; ++i, ++done) {
        fields.ip_options = done % 2 == 1;
        reachable = reachable && send_frame(link, build_frame(link, fields));
        ++sent;
      }
      for (const reply& answer : replies_until_sentinel(link, reachable)) {
        answered +=
            answer.to_address == fields.source &&
            is_correct_answer(answer.packet, fields.source,
                              expected_answer(fields.payload, fields.source, fields.source_port));
      }
      if (!reachable) {
        std::printf("split: server unreachable\n");
        return 1;
      }
    }
  }
  std::printf("split: %u of %u answered\n", answered, sent);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const bool usable = (mode == "corpus" && argc == 8) || (mode == "random" && argc == 9) ||
                      (mode == "sources" && argc >= 8) || (mode == "split" && argc >= 9);
  if (!usable) {
    std::fprintf(stderr,
                 "usage: frame_probe corpus IFACE SERVER_MAC SERVER_IP PORT CLIENT_IP LIMITED_IP\n"
                 "       frame_probe random IFACE SERVER_MAC SERVER_IP PORT CLIENT_IP COUNT "
                 "SEED\n"
                 "       frame_probe sources IFACE SERVER_MAC SERVER_IP PORT CLIENT_IP "
                 "NAME=SOURCE[:PORT]...\n"
                 "       frame_probe split IFACE SERVER_MAC SERVER_IP PORT CLIENT_IP COUNT "
                 "SOURCE...\n");
    return 2;
  }
  frame_link link;
  std::uint32_t limited = 0;
  if (!open_frame_link(argv[2], argv[3], argv[4], argv[5], argv[6], link) ||
      (mode == "corpus" && inet_pton(AF_INET, argv[7], &limited) != 1)) {
    std::fprintf(stderr, "frame_probe: bad arguments or no packet socket: %s\n",
                 std::strerror(errno));
    return 2;
  }
  const wanseer::unique_fd owned(link.socket);
  if (mode == "corpus") {
    return run_corpus(link, limited);
  }
  if (mode == "sources") {
    return run_sources(link, argc - 7, argv + 7);
  }
  if (mode == "split") {
    return run_split(link, static_cast<unsigned>(std::atoi(argv[7])), argc - 8, argv + 8);
  }
  return run_random(link, static_cast<unsigned>(std::atoi(argv[7])),
                    static_cast<unsigned>(std::atoi(argv[8])));
}
