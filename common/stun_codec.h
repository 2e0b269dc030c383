// The STUN wire format (Binding only), for the library's client and the
// probe server alike: nothing else in the project reads or writes a STUN
// message.  Every length is checked against the datagram before a byte
// beyond it could be read.
//
// What the probe server sends, byte for byte.  Any other program that
// answers for it (a fast path in the kernel) must send exactly these bytes.
// ID[16] is bytes 4..19 of the request, copied unchanged: the magic cookie
// and the 96-bit transaction ID of an RFC 5389/8489 request, or the 128-bit
// transaction ID of a classic RFC 3489 request.  SRC is the request's
// source address (4 bytes) and SPORT its source port (2 bytes), both in
// network byte order as they arrived.
//
// 1. Binding success to an RFC 5389/8489 request without FINGERPRINT
//    (32 bytes):
//      01 01  00 0C  ID[16]
//      00 20  00 08  00 01  SPORT^21 12  SRC^21 12 A4 42
//    (XOR-MAPPED-ADDRESS: reserved 00, family 01, the port XOR the cookie's
//    top 16 bits, the address XOR the cookie, each byte as shown.)
//
// 2. Binding success to an RFC 5389/8489 request that ends in a valid
//    FINGERPRINT (40 bytes): as 1 with length 00 14, then
//      80 28  00 04  CRC[4]
//    CRC is zlib's crc32 of the 32 bytes before the FINGERPRINT attribute
//    (with the header length already 00 14), XOR 0x5354554E, big-endian.
//
// 3. Binding success to a classic RFC 3489 request (no magic cookie) whose
//    CHANGE-REQUEST, if any, has no flag set (32 bytes):
//      01 01  00 0C  ID[16]
//      00 01  00 08  00 01  SPORT  SRC
//    (MAPPED-ADDRESS, plain.)  Never a FINGERPRINT.
//
// 4. Binding error 420 to a request with comprehension-required attributes
//    that the server does not understand (RFC 8489 section 6.3.1.1), or
//    with a CHANGE-REQUEST whose change-IP (0x04) or change-port (0x02) flag
//    is set: the server has one address and port to answer from (RFC 5780
//    section 7.2), so it names CHANGE-REQUEST as not understood:
//      01 11  LEN[2]  ID[16]
//      00 09  00 04  00 00 04 14          ERROR-CODE 420, empty reason
//      00 0A  N*2    T1 T2 ... [00 00]     UNKNOWN-ATTRIBUTES
//    then, for an RFC 5389/8489 request that ended in a valid FINGERPRINT,
//      80 28  00 04  CRC[4]               (as in 2)
//    T1.. are 00 03 first when the flags are refused, then the unknown types
//    in the order they first appear, each once, at most
//    `most_unknown_listed` in all; two zero bytes pad an odd count.  To a
//    classic request an odd count is made even the RFC 3489 way instead:
//    the last type is repeated, and the length field says N*2 + 2.
//    LEN is 8 + 4 + N*2 rounded up to 4 (+ 8 with FINGERPRINT): at most 72
//    bytes in all.  The reason phrase is empty, so that a 420 is at most 1.5
//    times the size of its request (each unknown type took at least 4 bytes
//    of it; a 28-byte request with CHANGE-REQUEST gets 36 bytes); no answer
//    is more than 1.6 times its request (a 20-byte request answered by 1 or
//    3).
//
// Worked examples (tests/stun_codec_test.cpp checks them), for a request
// from 192.0.2.7 port 4660 (0x1234) with ID 01 02 .. 0c:
//   request 00 01 00 00 21 12 a4 42 01..0c
//   answer  01 01 00 0c 21 12 a4 42 01..0c 00 20 00 08 00 01 33 26 e1 12 a6 45
//   request 00 01 00 10 21 12 a4 42 01..0c 80 22 00 03 61 62 63 00
//           80 28 00 04 b9 1c 61 a6
//   answer  01 01 00 14 21 12 a4 42 01..0c 00 20 00 08 00 01 33 26 e1 12 a6 45
//           80 28 00 04 4d 16 94 18
//
// Comprehension-required attributes that the server understands: 0x0001
// MAPPED-ADDRESS, 0x0003 CHANGE-REQUEST, 0x0006 USERNAME, 0x0008
// MESSAGE-INTEGRITY, 0x0009 ERROR-CODE, 0x000A UNKNOWN-ATTRIBUTES, 0x0014
// REALM, 0x0015 NONCE, 0x001C MESSAGE-INTEGRITY-SHA256, 0x001D
// PASSWORD-ALGORITHM, 0x001E USERHASH, 0x0020 XOR-MAPPED-ADDRESS.  The
// server checks no credentials; these are accepted and ignored.  Both sides
// ignore attributes after MESSAGE-INTEGRITY other than
// MESSAGE-INTEGRITY-SHA256 and FINGERPRINT (RFC 8489 section 14.5): an
// unknown one there is never answered with a 420.
//
// Dropped without an answer: anything shorter than 20 bytes, a first byte
// with either top bit set, a length field that is not the datagram's length
// less 20 or not a multiple of 4, an attribute that runs past the end, a
// class or method other than Binding request, a FINGERPRINT that is not the
// last attribute, not 4 bytes or not correct, a CHANGE-REQUEST that is not 4
// bytes.
#ifndef WANSEER_STUN_CODEC_H
#define WANSEER_STUN_CODEC_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace wanseer::stun {

inline constexpr std::size_t header_length = 20;
inline constexpr std::uint32_t magic_cookie = 0x2112A442;
inline constexpr std::uint32_t fingerprint_xor = 0x5354554E;
inline constexpr std::size_t most_unknown_listed = 16;
// The longest answer the server writes: a 420 listing most_unknown_listed
// types, with FINGERPRINT.
inline constexpr std::size_t longest_answer = header_length + 8 + 4 + most_unknown_listed * 2 + 8;

// The 96 random bits that tell one request from another.
using transaction_id = std::array<unsigned char, 12>;

// A Binding request with no attributes: 20 bytes.
inline constexpr std::size_t binding_request_length = header_length;
using binding_request = std::array<unsigned char, binding_request_length>;
binding_request make_binding_request(const transaction_id& id);

// What an answer to the client's request says.
struct binding_answer {
  enum class kind {
    // Not an answer to this request, or malformed: dropped as if it never
    // came, and the transaction goes on.
    dropped,
    // A Binding success with an IPv4 mapped address: the transaction's end.
    address,
    // A response to this request that ends the transaction without an
    // address: any error response (RFC 8489 section 6.3.4), a success with
    // a comprehension-required attribute the client does not understand
    // (section 6.3.3), or a success that maps no IPv4 address.
    failed,
  };
  struct endpoint {
    std::uint32_t address;  // network byte order
    std::uint16_t port;     // host byte order
  };
  kind what = kind::dropped;
  std::uint32_t address = 0;     // network byte order, for kind::address
  std::uint16_t error_code = 0;  // an error response's code (300, 400, ...); 0 when none
  // A 300 Try Alternate's IPv4 ALTERNATE-SERVER, when it names one.
  std::optional<endpoint> alternate;
};

// Reads `datagram` as an answer to the Binding request with `id`.  It must
// have the magic cookie and the ID, the form of a STUN message, attributes
// that stay within it, and a FINGERPRINT (if any) last and correct, or it is
// dropped.  Of a success, XOR-MAPPED-ADDRESS gives the address, or, only
// where that is absent, MAPPED-ADDRESS.  Attributes after
// MESSAGE-INTEGRITY, other than MESSAGE-INTEGRITY-SHA256 and FINGERPRINT,
// are ignored (and after MESSAGE-INTEGRITY-SHA256, all but FINGERPRINT);
// credentials are never checked.
binding_answer read_binding_answer(const unsigned char* datagram, std::size_t length,
                                   const transaction_id& id);

// How the codec treats an attribute type it finds: one it reads or accepts
// (`understood`, listed above), one it may ignore (0x8000 and above), or a
// comprehension-required one it does not know, which makes the server
// answer 420 and the client give up the transaction.
enum class attribute_class { understood, optional, unknown_required };
attribute_class class_of_attribute(std::uint16_t type);

// Whether `datagram` has the form of a STUN message (20 bytes or more, the
// two top bits zero, a length field that is the rest of the datagram), as
// against the probe protocol's 3-byte request.
bool has_stun_form(const unsigned char* datagram, std::size_t length);

// Writes the server's answer to the Binding request `datagram`, which came
// from `source_address`:`source_port` (both network byte order), into
// `answer`, and returns its length: 0 when the datagram is to be dropped.
std::size_t answer_binding_request(const unsigned char* datagram, std::size_t length,
                                   std::uint32_t source_address, std::uint16_t source_port,
                                   std::array<unsigned char, longest_answer>& answer);

}  // namespace wanseer::stun

#endif  // WANSEER_STUN_CODEC_H
