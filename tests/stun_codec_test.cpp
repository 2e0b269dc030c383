// The STUN codec against messages written independently of it, byte for
// byte: the answers the server must send (a kernel fast path sends the same
// bytes), and the answers the client must take or refuse.  coturn's answers,
// with FINGERPRINT, are taken in the interop test.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "stun_codec.h"

namespace {

using namespace wanseer;

std::vector<unsigned char> hex(const std::string& text) {
  std::vector<unsigned char> bytes;
  for (std::size_t at = 0; at + 1 < text.size(); at += 2) {
    bytes.push_back(static_cast<unsigned char>(std::stoul(text.substr(at, 2), nullptr, 16)));
  }
  return bytes;
}

const std::string header = "2112a4420102030405060708090a0b0c";  // cookie, ID 01..0c
const stun::transaction_id id = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

struct server_case {
  const char* name;
  std::string request;
  std::string answer;  // empty: dropped
};

// Requests from 192.0.2.7 port 0x1234.
const server_case server_cases[] = {
    {"plain", "00010000" + header, "0101000c" + header + "0020000800013326e112a645"},
    {"fingerprint kept", "00010010" + header + "802200036162630080280004b91c61a6",
     "01010014" + header + "0020000800013326e112a645802800044d169418"},
    {"classic, no change flags", "00010008a1b2c3d40102030405060708090a0b0c0003000400000000",
     "0101000ca1b2c3d40102030405060708090a0b0c0001000800011234c0000207"},
    {"unknown required, each listed once",
     "00010018" + header + "00240004000000018022000178000000002400007fff0000",
     "01110010" + header + "0009000400000414000a000400247fff"},
    {"unknown required with fingerprint", "0001000c" + header + "00240000802800048d178ea1",
     "01110018" + header + "0009000400000414000a00020024000080280004e27ce1fe"},
    {"change IP flag refused by name", "00010008" + header + "0003000400000004",
     "01110010" + header + "0009000400000414000a000200030000"},
    {"change flags refused before the unknown ones",
     "0001000c" + header + "002400000003000400000002",
     "01110010" + header + "0009000400000414000a000400030024"},
    {"change flags refused, with fingerprint",
     "00010010" + header + "0003000400000006802800045eb7183d",
     "01110018" + header + "0009000400000414000a00020003000080280004df7eb19b"},
    {"classic change port flag: RFC 3489 repeats the type",
     "00010008a1b2c3d40102030405060708090a0b0c0003000400000002",
     "01110010a1b2c3d40102030405060708090a0b0c0009000400000414000a000400030003"},
    {"classic, odd unknown count: RFC 3489 repeats the last",
     "00010004a1b2c3d40102030405060708090a0b0c00240000",
     "01110010a1b2c3d40102030405060708090a0b0c0009000400000414000a000400240024"},
    {"change request too short", "00010004" + header + "00030000", ""},
    {"wrong fingerprint", "00010008" + header + "80280004b91c61a7", ""},
    {"fingerprint not last", "00010010" + header + "80280004b91c61a600200000", ""},
    {"attribute past the end", "00010004" + header + "00200008", ""},
    {"length field too long", "00010004" + header, ""},
    {"length not a multiple of 4", "00010002" + header + "0000", ""},
    {"19 bytes", "00010000" + header.substr(0, 30), ""},
    {"indication", "00110000" + header, ""},
    {"success response", "01010000" + header, ""},
    {"top bits set", "40010000" + header, ""},
    {"probe request", "697000", ""},
    {"empty", "", ""},
};

TEST(StunCodec, ServerAnswersExactlyOrDrops) {
  for (const server_case& row : server_cases) {
    const auto request = hex(row.request);
    std::array<unsigned char, stun::longest_answer> answer{};
    const std::size_t length = stun::answer_binding_request(
        request.data(), request.size(), inet_addr("192.0.2.7"), htons(0x1234), answer);
    EXPECT_EQ(std::vector<unsigned char>(answer.begin(), answer.begin() + length), hex(row.answer))
        << row.name;
  }
}

struct client_case {
  const char* name;
  std::string datagram;
  const char* address;  // nullptr: refused
};

const client_case client_cases[] = {
    {"XOR-MAPPED-ADDRESS", "0101000c" + header + "0020000800013326e112a645", "192.0.2.7"},
    {"with a correct fingerprint", "01010014" + header + "0020000800013326e112a645802800044d169418",
     "192.0.2.7"},
    {"MAPPED-ADDRESS only (RFC 3489 server)", "0101000c" + header + "0001000800011234c0000207",
     "192.0.2.7"},
    {"XOR-MAPPED-ADDRESS wins",
     "01010018" + header + "0001000800011234c00002080020000800013326e112a645", "192.0.2.7"},
    {"optional unknown attribute", "01010010" + header + "0020000800013326e112a64580ff0000",
     "192.0.2.7"},
    {"IPv6 XOR-MAPPED-ADDRESS beside an IPv4 MAPPED-ADDRESS",
     "01010024" + header + "002000140002000000000000000000000000000000000000" +
         "0001000800011234c0000207",
     nullptr},
    {"wrong transaction ID", "0101000c2112a4420102030405060708090a0b0d0020000800013326e112a645",
     nullptr},
    {"wrong cookie", "0101000c2112a4430102030405060708090a0b0c0020000800013326e112a645", nullptr},
    {"error response", "0111000c" + header + "0020000800013326e112a645", nullptr},
    {"request", "0001000c" + header + "0020000800013326e112a645", nullptr},
    {"unknown required attribute", "01010010" + header + "0020000800013326e112a64500240000",
     nullptr},
    {"wrong fingerprint", "01010014" + header + "0020000800013326e112a645802800044d169419",
     nullptr},
    {"address of 4 bytes", "01010008" + header + "0020000400013326", nullptr},
    {"attribute past the end", "0101000c" + header + "0020000c00013326e112a645", nullptr},
    {"no address", "01010000" + header, nullptr},
    {"short", "0101", nullptr},
};

TEST(StunCodec, ClientTakesOnlyAnswersToItsRequest) {
  for (const client_case& row : client_cases) {
    const auto datagram = hex(row.datagram);
    const auto address = stun::read_binding_success(datagram.data(), datagram.size(), id);
    ASSERT_EQ(address.has_value(), row.address != nullptr) << row.name;
    if (address) {
      EXPECT_EQ(*address, inet_addr(row.address)) << row.name;
    }
  }
}

}  // namespace
