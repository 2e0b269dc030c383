// The probe server's STUN side: the answers to one batch's STUN Binding
// requests, written by the shared codec into one buffer per datagram slot.
#ifndef WANSEER_TOOLS_STUN_ANSWERS_H
#define WANSEER_TOOLS_STUN_ANSWERS_H

#include <netinet/in.h>
#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <vector>

#include "stun_codec.h"

namespace wanseer_tools {

// Requests longer than this arrive cut short and are dropped as malformed
// (counted with the probe protocol's, as their STUN form cannot be seen).
// RFC 8489 lets a client fill the path MTU it knows, and asks for at most
// 1280 bytes (IPv6's least MTU) where it knows none.
inline constexpr std::size_t longest_stun_request = 1280;

class stun_answers {
 public:
  explicit stun_answers(unsigned slots) : answers_(slots) {}

  // Writes the answer to the datagram in `slot`, sent from `source`, and
  // returns its bytes; an empty iovec when it is to be dropped.
  iovec answer(unsigned slot, const unsigned char* datagram, std::size_t length,
               const sockaddr_in& source) {
    auto& buffer = answers_[slot];
    const std::size_t written = wanseer::stun::answer_binding_request(
        datagram, length, source.sin_addr.s_addr, source.sin_port, buffer);
    return {buffer.data(), written};
  }

 private:
  std::vector<std::array<unsigned char, wanseer::stun::longest_answer>> answers_;
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_STUN_ANSWERS_H
