#include "ethernet_frame.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace wanseer::testing {

namespace {

void put16(bytes& out, std::size_t at, std::uint16_t value) {
  out[at] = static_cast<std::uint8_t>(value >> 8);
  out[at + 1] = static_cast<std::uint8_t>(value);
}

}  // namespace

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

std::uint32_t sum_words(const std::uint8_t* data, std::size_t length, std::uint32_t sum) {
  for (std::size_t i = 0; i < length; i += 2) {
    sum += static_cast<std::uint32_t>(data[i] << 8) | (i + 1 < length ? data[i + 1] : 0);
  }
  return sum;
}

std::uint16_t finish_checksum(std::uint32_t sum) {
  while (sum >> 16) {
    sum = (sum & 0xffff) + (sum >> 16);
  }
  return static_cast<std::uint16_t>(~sum);
}

std::uint32_t udp_sum(const std::uint8_t* ip, std::size_t header, std::size_t udp_length) {
  const std::uint8_t pseudo[] = {0, 17, static_cast<std::uint8_t>(udp_length >> 8),
                                 static_cast<std::uint8_t>(udp_length)};
  return sum_words(ip + header, udp_length, sum_words(ip + 12, 8, sum_words(pseudo, 4)));
}

bool open_frame_link(const char* interface, const char* server_mac, const char* server,
                     const char* port, const char* client, frame_link& link) {
  link.ifindex = static_cast<int>(if_nametoindex(interface));
  link.socket = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
  sockaddr_ll own{};
  own.sll_family = AF_PACKET;
  own.sll_protocol = htons(ETH_P_ALL);
  own.sll_ifindex = link.ifindex;
  socklen_t own_length = sizeof own;
  link.port = htons(static_cast<std::uint16_t>(std::atoi(port)));
  if (link.ifindex == 0 || link.socket < 0 ||
      bind(link.socket, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0 ||
      getsockname(link.socket, reinterpret_cast<sockaddr*>(&own), &own_length) != 0 ||
      !parse_mac(server_mac, link.server_mac) || inet_pton(AF_INET, server, &link.server) != 1 ||
      inet_pton(AF_INET, client, &link.client) != 1) {
    return false;
  }
  std::memcpy(link.client_mac, own.sll_addr, 6);
  return true;
}

bytes build_frame(const frame_link& link, const frame_fields& fields) {
  bytes frame(fields.vlan ? 18 : 14);
  std::memcpy(frame.data(), link.server_mac, 6);
  std::memcpy(frame.data() + 6, link.client_mac, 6);
  if (fields.vlan) {
    put16(frame, 12, ETHERTYPE_VLAN);
    put16(frame, 14, 7);  // VLAN 7
  }
  put16(frame, frame.size() - 2, fields.ether_type);
  const std::size_t ip_at = frame.size();
  const std::size_t header = fields.ip_options ? 24 : 20;
  const std::size_t udp_length = 8 + fields.payload.size();
  frame.resize(ip_at + header + udp_length);
  std::uint8_t* ip = frame.data() + ip_at;
  ip[0] = static_cast<std::uint8_t>(0x40 | header / 4);
  put16(frame, ip_at + 2,
        static_cast<std::uint16_t>(header + udp_length + fields.ip_length_change));
  put16(frame, ip_at + 6, fields.more_fragments ? 0x2000 : 0x4000);
  ip[8] = 64;
  ip[9] = 17;
  const std::uint32_t source = fields.source != 0 ? fields.source : link.client;
  std::memcpy(ip + 12, &source, 4);
  std::memcpy(ip + 16, &link.server, 4);
  if (fields.ip_options) {
    const std::uint8_t nops[] = {1, 1, 1, 0};
    std::memcpy(ip + 20, nops, 4);
  }
  put16(frame, ip_at + 10,
        static_cast<std::uint16_t>(finish_checksum(sum_words(ip, header)) ^
                                   (fields.bad_ip_checksum ? 0x0100 : 0)));
  const std::size_t udp_at = ip_at + header;
  put16(frame, udp_at, fields.source_port);
  std::memcpy(frame.data() + udp_at + 2, &link.port, 2);
  put16(frame, udp_at + 4, static_cast<std::uint16_t>(udp_length + fields.udp_length_change));
  std::copy(fields.payload.begin(), fields.payload.end(), frame.begin() + udp_at + 8);
  if (fields.udp_checksum != 1) {
    std::uint16_t check = finish_checksum(udp_sum(ip, header, udp_length));
    check = check == 0 ? 0xffff : check;
    put16(frame, udp_at + 6,
          static_cast<std::uint16_t>(check ^ (fields.udp_checksum == 2 ? 1 : 0)));
  }
  if (frame.size() < fields.pad_to) {
    frame.resize(fields.pad_to, 0);
  }
  return frame;
}

bool send_frame(const frame_link& link, const bytes& frame) {
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_ifindex = link.ifindex;
  to.sll_halen = 6;
  std::memcpy(to.sll_addr, link.server_mac, 6);
  return sendto(link.socket, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to),
                sizeof to) == static_cast<ssize_t>(frame.size());
}

}  // namespace wanseer::testing
