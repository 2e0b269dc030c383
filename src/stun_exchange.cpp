#include "stun_exchange.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

stun_outcome ask_stun_server(probe_channel& channel, unsigned char (&reply)[reply_length],
                             steady_deadline deadline, const probe_schedule& schedule,
                             worker_wait& waits) {
  using kind = stun_outcome::kind;
  stun::transaction_id id;
  if (!draw_transaction_id(id)) {
    return {};
  }
  const stun::binding_request request = stun::make_binding_request(id);
  const auto rto =
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(schedule.stun_rto());
  // Each request is followed by a wait for the next one, twice as long as
  // the wait before it; the last request by Rm RTOs.
  auto retransmission = rto;
  int sent = 0;
  steady_deadline next_send = std::chrono::steady_clock::now();
  auto send = [&] {
    channel.send_datagram(request.data(), request.size());
    ++sent;
    next_send +=
        sent < schedule.stun_most_sends ? retransmission : rto * schedule.stun_last_wait_rtos;
    retransmission *= 2;
  };
  send();
  unsigned char datagram[longest_answer_read];
  for (;;) {
    switch (waits.wait_until(std::min(next_send, deadline), channel.wait_handle())) {
      case wait_end::socket_readable: {
        const auto length = channel.take_server_datagram(datagram, sizeof datagram);
        if (!length) {
          break;
        }
        const stun::binding_answer answer = stun::read_binding_answer(datagram, *length, id);
        switch (answer.what) {
          case stun::binding_answer::kind::dropped:
            break;
          case stun::binding_answer::kind::address:
            std::memcpy(reply, &answer.address, reply_length);
            return {kind::answered, std::nullopt};
          case stun::binding_answer::kind::failed:
            return {kind::failed, answer.alternate};
        }
        break;
      }
      case wait_end::stopped:
        return {kind::stopped, std::nullopt};
      case wait_end::network_changed:
        return {kind::network_changed, std::nullopt};
      case wait_end::deadline_passed: {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
          return {};
        }
        if (now >= next_send) {
          if (sent < schedule.stun_most_sends) {
            send();
          } else {
            return {};  // Rm RTOs after the last request
          }
        }
        break;
      }
    }
  }
}

}  // namespace wanseer
