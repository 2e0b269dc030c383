// Any datagram through both sides of the STUN codec.  The server's answer,
// when it gives one, must fit its buffer, be at most 1.6 times the request
// (the amplification the operators' guide promises), carry the request's
// ID, and, for a success to an RFC 5389 request, read back on the client's
// side as the source it was written for.  The client must take an address
// only from a Binding success response, end the transaction only on a
// response, and follow an alternate only from a 300.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "stun_codec.h"

namespace {

constexpr std::uint32_t source_address = 0x0702000C;  // network order bytes 12.0.2.7
constexpr std::uint16_t source_port = 0x3412;

void check_server_side(const std::uint8_t* data, std::size_t size) {
  std::array<unsigned char, wanseer::stun::longest_answer> answer{};
  const std::size_t length =
      wanseer::stun::answer_binding_request(data, size, source_address, source_port, answer);
  if (length == 0) {
    return;
  }
  FUZZ_REQUIRE(length <= answer.size(), "the answer fits its buffer");
  FUZZ_REQUIRE(length * 5 <= size * 8, "an answer is at most 1.6 times its request");
  FUZZ_REQUIRE(wanseer::stun::has_stun_form(answer.data(), length), "the answer is STUN");
  FUZZ_REQUIRE(std::equal(data + 4, data + 20, answer.data() + 4), "the ID is echoed");
  wanseer::stun::transaction_id id;
  std::copy(data + 8, data + 20, id.begin());
  const auto read = wanseer::stun::read_binding_answer(answer.data(), length, id);
  const bool rfc5389 = data[4] == 0x21 && data[5] == 0x12 && data[6] == 0xA4 && data[7] == 0x42;
  if (answer[0] == 0x01 && answer[1] == 0x01 && rfc5389) {
    FUZZ_REQUIRE(
        read.what == wanseer::stun::binding_answer::kind::address && read.address == source_address,
        "a success reads back as its source");
  }
}

void check_client_side(const std::uint8_t* data, std::size_t size) {
  using kind = wanseer::stun::binding_answer::kind;
  if (size < wanseer::stun::header_length) {
    FUZZ_REQUIRE(wanseer::stun::read_binding_answer(data, size, {}).what == kind::dropped,
                 "too short to take");
    return;
  }
  wanseer::stun::transaction_id id;
  std::copy(data + 8, data + 20, id.begin());
  const auto answer = wanseer::stun::read_binding_answer(data, size, id);
  if (answer.what == kind::address) {
    FUZZ_REQUIRE(data[0] == 0x01 && data[1] == 0x01, "only a success response gives an address");
  }
  if (answer.what != kind::dropped) {
    FUZZ_REQUIRE(data[0] == 0x01 && (data[1] == 0x01 || data[1] == 0x11),
                 "only a response ends the transaction");
  }
  if (answer.alternate) {
    FUZZ_REQUIRE(data[1] == 0x11 && answer.error_code == 300 && answer.alternate->port != 0,
                 "only a 300 names an alternate");
  }
  id[0] ^= 1;
  FUZZ_REQUIRE(wanseer::stun::read_binding_answer(data, size, id).what == kind::dropped,
               "an answer to another ID is dropped");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_server_side(data, size);
  check_client_side(data, size);
  return 0;
}
