#include "stun_exchange.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "stun_codec.h"

namespace wanseer {

namespace {

// A datagram longer than this is not an answer the worker wants; it arrives
// cut short, and its length field then no longer matches.
constexpr std::size_t longest_answer_read = 1500;

// Draws the ID from the kernel's random source without ever blocking the
// worker: before the pool is ready, the draw fails.
bool draw_transaction_id(stun::transaction_id& id) {
  std::size_t filled = 0;
  while (filled < id.size()) {
    const ssize_t got = ::getrandom(id.data() + filled, id.size() - filled, GRND_NONBLOCK);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    filled += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

bool ask_stun_server(probe_channel& channel, unsigned char (&reply)[reply_length],
                     steady_deadline deadline, const wait_set& waits) {
  stun::transaction_id id;
  if (!draw_transaction_id(id)) {
    waits.wait_for(-1, deadline);
    return false;
  }
  const stun::binding_request request = stun::make_binding_request(id);
  channel.send_datagram(request.data(), request.size());
  int sent = 1;
  auto retransmission = stun_first_retransmission;
  auto next_send = std::chrono::steady_clock::now() + retransmission;
  unsigned char datagram[longest_answer_read];
  for (;;) {
    const steady_deadline until = sent < stun_most_sends ? std::min(next_send, deadline) : deadline;
    switch (waits.wait_for(channel.wait_handle(), until)) {
      case readiness::socket_readable: {
        const auto length = channel.take_server_datagram(datagram, sizeof datagram);
        if (!length) {
          break;
        }
        if (const auto address = stun::read_binding_success(datagram, *length, id)) {
          std::memcpy(reply, &*address, reply_length);
          return true;
        }
        break;
      }
      case readiness::woken:
        return false;
      case readiness::deadline_passed:
        if (std::chrono::steady_clock::now() >= deadline) {
          return false;
        }
        if (std::chrono::steady_clock::now() >= next_send && sent < stun_most_sends) {
          channel.send_datagram(request.data(), request.size());
          ++sent;
          retransmission *= 2;
          next_send += retransmission;
        }
        break;
    }
  }
}

}  // namespace wanseer
