// The STUN codec against messages written independently of it, byte for
// byte: the answers the server must send (a kernel fast path sends the same
// bytes), and the answers the client must take or refuse.  coturn's answers,
// with FINGERPRINT, are taken in the interop test.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
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
    {"unknown required after MESSAGE-INTEGRITY: ignored",
     "0001001c" + header + "00080014" + std::string(40, '0') + "00240000",
     "0101000c" + header + "0020000800013326e112a645"},
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

using kind = stun::binding_answer::kind;

struct client_case {
  const char* name;
  std::string datagram;
  kind what;
  const char* address = nullptr;  // for kind::address
  std::uint16_t error_code = 0;
};

const std::string xor_mapped_192_0_2_7 = "0020000800013326e112a645";
const std::string integrity = "00080014" + std::string(40, '0');

const client_case client_cases[] = {
    {"XOR-MAPPED-ADDRESS", "0101000c" + header + xor_mapped_192_0_2_7, kind::address, "192.0.2.7"},
    {"with a correct fingerprint", "01010014" + header + "0020000800013326e112a645802800044d169418",
     kind::address, "192.0.2.7"},
    {"MAPPED-ADDRESS only (RFC 3489 server)", "0101000c" + header + "0001000800011234c0000207",
     kind::address, "192.0.2.7"},
    {"XOR-MAPPED-ADDRESS wins",
     "01010018" + header + "0001000800011234c0000208" + xor_mapped_192_0_2_7, kind::address,
     "192.0.2.7"},
    {"optional unknown attribute", "01010010" + header + xor_mapped_192_0_2_7 + "80ff0000",
     kind::address, "192.0.2.7"},
    {"after MESSAGE-INTEGRITY an address is ignored",
     "01010030" + header + "00010008000112340a000018" + integrity + "0020000800013326" + "2b12a400",
     kind::address, "10.0.0.24"},
    {"after MESSAGE-INTEGRITY an unknown required attribute is ignored",
     "01010028" + header + xor_mapped_192_0_2_7 + integrity + "00240000", kind::address,
     "192.0.2.7"},
    {"after MESSAGE-INTEGRITY-SHA256 too",
     "01010028" + header + xor_mapped_192_0_2_7 + "001c0014" + std::string(40, '0') + "00240000",
     kind::address, "192.0.2.7"},
    {"after MESSAGE-INTEGRITY a wrong fingerprint still counts",
     "0101002c" + header + xor_mapped_192_0_2_7 + integrity + "8028000400000000", kind::dropped},
    {"after MESSAGE-INTEGRITY an attribute past the end still counts",
     "01010028" + header + xor_mapped_192_0_2_7 + integrity + "00240008", kind::dropped},
    {"IPv6 XOR-MAPPED-ADDRESS beside an IPv4 MAPPED-ADDRESS",
     "01010024" + header + "002000140002000000000000000000000000000000000000" +
         "0001000800011234c0000207",
     kind::failed},
    {"no address", "01010000" + header, kind::failed},
    {"unknown required attribute", "01010010" + header + xor_mapped_192_0_2_7 + "00240000",
     kind::failed},
    {"error 400", "01110008" + header + "0009000400000400", kind::failed, nullptr, 400},
    {"error 401 with a reason", "0111000c" + header + "000900070000040141424300", kind::failed,
     nullptr, 401},
    {"error 438", "01110008" + header + "0009000400000426", kind::failed, nullptr, 438},
    {"error 500", "01110008" + header + "0009000400000500", kind::failed, nullptr, 500},
    {"error 300", "01110008" + header + "0009000400000300", kind::failed, nullptr, 300},
    {"error without ERROR-CODE", "0111000c" + header + xor_mapped_192_0_2_7, kind::failed},
    {"error with an unknown required attribute",
     "0111000c" + header + "0009000400000400" + "00240000", kind::failed, nullptr, 400},
    {"wrong transaction ID", "0101000c2112a4420102030405060708090a0b0d" + xor_mapped_192_0_2_7,
     kind::dropped},
    {"error with a wrong transaction ID",
     "011100082112a4420102030405060708090a0b0d0009000400000400", kind::dropped},
    {"wrong cookie", "0101000c2112a4430102030405060708090a0b0c" + xor_mapped_192_0_2_7,
     kind::dropped},
    {"request", "0001000c" + header + xor_mapped_192_0_2_7, kind::dropped},
    {"indication", "0011000c" + header + xor_mapped_192_0_2_7, kind::dropped},
    {"wrong fingerprint", "01010014" + header + "0020000800013326e112a645802800044d169419",
     kind::dropped},
    {"error with a wrong fingerprint",
     "01110010" + header + "000900040000040080280004" + "00000000", kind::dropped},
    {"address of 4 bytes", "01010008" + header + "0020000400013326", kind::failed},
    {"attribute past the end", "0101000c" + header + "0020000c00013326e112a645", kind::dropped},
    {"error attribute past the end", "01110004" + header + "00090008", kind::dropped},
    {"length field too long", "01010004" + header, kind::dropped},
    {"short", "0101", kind::dropped},
};

TEST(StunCodec, ClientReadsEachAnswerForWhatItSays) {
  for (const client_case& row : client_cases) {
    const auto datagram = hex(row.datagram);
    const auto answer = stun::read_binding_answer(datagram.data(), datagram.size(), id);
    EXPECT_EQ(answer.what, row.what) << row.name;
    EXPECT_EQ(answer.error_code, row.error_code) << row.name;
    EXPECT_FALSE(answer.alternate) << row.name;
    if (row.what == kind::address) {
      EXPECT_EQ(answer.address, inet_addr(row.address)) << row.name;
    }
  }
}

// A 300 Try Alternate names where to ask: only an IPv4 address and port
// that can be asked count.
TEST(StunCodec, TryAlternateNamesAnIpv4ServerOrNothing) {
  const struct {
    const char* name;
    std::string datagram;
    bool names_one;
  } cases[] = {
      {"IPv4", "01110014" + header + "0009000400000300" + "8023000800010d977f000002", true},
      {"IPv6", "01110020" + header + "0009000400000300" + "8023001400020d97" + std::string(32, '0'),
       false},
      {"port 0", "01110014" + header + "0009000400000300" + "80230008000100007f000002", false},
      {"address 0.0.0.0", "01110014" + header + "0009000400000300" + "8023000800010d9700000000",
       false},
      {"not a 300", "01110014" + header + "0009000400000400" + "8023000800010d977f000002", false},
      {"with an unknown required attribute",
       "01110018" + header + "0009000400000300" + "8023000800010d977f000002" + "00240000", false},
  };
  for (const auto& row : cases) {
    const auto datagram = hex(row.datagram);
    const auto answer = stun::read_binding_answer(datagram.data(), datagram.size(), id);
    EXPECT_EQ(answer.what, kind::failed) << row.name;
    ASSERT_EQ(answer.alternate.has_value(), row.names_one) << row.name;
    if (row.names_one) {
      EXPECT_EQ(answer.alternate->address, inet_addr("127.0.0.2"));
      EXPECT_EQ(answer.alternate->port, 3479);
    }
  }
}

// Each class of attribute type, and what a request and an answer that
// carry one (empty) get from the server and the client.
TEST(StunCodec, AttributeClassesDecideBothSides) {
  using cls = stun::attribute_class;
  const struct {
    std::uint16_t type;
    cls expected;
  } cases[] = {
      {0x0000, cls::unknown_required}, {0x0001, cls::understood}, {0x0002, cls::unknown_required},
      {0x0006, cls::understood},       {0x0020, cls::understood}, {0x0024, cls::unknown_required},
      {0x7fff, cls::unknown_required}, {0x8000, cls::optional},   {0x8001, cls::optional},
      {0x8022, cls::optional},         {0xffff, cls::optional},
  };
  for (const auto& row : cases) {
    char type[5];
    std::snprintf(type, sizeof type, "%04x", row.type);
    SCOPED_TRACE(type);
    EXPECT_EQ(stun::class_of_attribute(row.type), row.expected);
    if (row.expected == cls::understood) {
      continue;
    }
    const bool refused = row.expected == cls::unknown_required;
    const auto request = hex("00010004" + header + type + "0000");
    std::array<unsigned char, stun::longest_answer> answer{};
    const std::size_t length = stun::answer_binding_request(
        request.data(), request.size(), inet_addr("192.0.2.7"), htons(0x1234), answer);
    ASSERT_GE(length, 2u);
    EXPECT_EQ(answer[1], refused ? 0x11 : 0x01) << "420 or success";
    const auto success = hex("01010010" + header + xor_mapped_192_0_2_7 + type + "0000");
    EXPECT_EQ(stun::read_binding_answer(success.data(), success.size(), id).what,
              refused ? kind::failed : kind::address);
  }
}

}  // namespace
