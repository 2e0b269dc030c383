// Hand-built Ethernet/IPv4/UDP frames for a test link, sent on a packet
// socket: a request in every shape the kernel would never send by itself
// (lying lengths, bad checksums, IP options, VLAN tags, forged sources).
#ifndef WANSEER_TESTING_ETHERNET_FRAME_H
#define WANSEER_TESTING_ETHERNET_FRAME_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wanseer::testing {

using bytes = std::vector<std::uint8_t>;

struct frame_fields {
  bytes payload{'i', 'p', 0};
  std::uint32_t source = 0;  // network byte order; 0: the link's client address
  std::uint16_t source_port = 0;
  bool ip_options = false;
  bool bad_ip_checksum = false;
  int udp_checksum = 0;  // 0: right, 1: none (zero), 2: wrong
  int ip_length_change = 0;
  int udp_length_change = 0;
  std::size_t pad_to = 0;
  bool more_fragments = false;
  std::uint16_t ether_type = 0x0800;
  bool vlan = false;
};

// A packet socket on one interface, and the server it sends to.
struct frame_link {
  int socket = -1;
  int ifindex = 0;
  std::uint8_t server_mac[6]{};
  std::uint8_t client_mac[6]{};
  std::uint32_t server = 0;  // network byte order
  std::uint32_t client = 0;
  std::uint16_t port = 0;
};

// Opens the packet socket on `interface` (owned by the caller) and fills
// in the link from the text arguments; false, with errno, on failure.
bool open_frame_link(const char* interface, const char* server_mac, const char* server,
                     const char* port, const char* client, frame_link& link);

// Reads "xx:xx:xx:xx:xx:xx" into `mac`; false if it is not one.
bool parse_mac(const char* text, std::uint8_t* mac);

bytes build_frame(const frame_link& link, const frame_fields& fields);

bool send_frame(const frame_link& link, const bytes& frame);

// The one's complement sum of `length` bytes as big-endian words, added
// to `sum`, and its folded complement.
std::uint32_t sum_words(const std::uint8_t* data, std::size_t length, std::uint32_t sum = 0);
std::uint16_t finish_checksum(std::uint32_t sum);

// The sum over an IPv4 packet's UDP pseudo-header, header and payload.
std::uint32_t udp_sum(const std::uint8_t* ip, std::size_t header, std::size_t udp_length);

}  // namespace wanseer::testing

#endif  // WANSEER_TESTING_ETHERNET_FRAME_H
