#include "address_reflector.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace wanseer_tools {

namespace {

constexpr unsigned char request[] = {'i', 'p', '\0'};
constexpr unsigned batch_size = 64;
// Batches taken per wake-up before the signal mask is opened again, so that
// a steady flood cannot keep a stop request waiting.
constexpr int batches_per_wakeup = 16;

std::uint64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ULL +
         static_cast<std::uint64_t>(now.tv_nsec);
}

// Buffers for one batch.  Each reply is sent to the request's source address
// and its payload is that address's 4 bytes, taken from the same sockaddr.
class datagram_batch {
 public:
  datagram_batch() {
    for (unsigned i = 0; i < batch_size; ++i) {
      // One byte more than a request: anything longer arrives as >= 4 bytes.
      in_vectors_[i] = {payloads_[i].data(), payloads_[i].size()};
      in_headers_[i] = {};
      in_headers_[i].msg_hdr.msg_name = &sources_[i];
      in_headers_[i].msg_hdr.msg_namelen = sizeof sources_[i];
      in_headers_[i].msg_hdr.msg_iov = &in_vectors_[i];
      in_headers_[i].msg_hdr.msg_iovlen = 1;
    }
  }
  // The headers point into the object itself.
  datagram_batch(const datagram_batch&) = delete;
  datagram_batch& operator=(const datagram_batch&) = delete;

  bool is_request(unsigned i) const {
    const msghdr& header = in_headers_[i].msg_hdr;
    return in_headers_[i].msg_len == sizeof request && (header.msg_flags & MSG_TRUNC) == 0 &&
           header.msg_namelen == sizeof(sockaddr_in) && sources_[i].sin_family == AF_INET &&
           sources_[i].sin_port != 0 &&
           std::memcmp(payloads_[i].data(), request, sizeof request) == 0;
  }

  std::uint32_t source_address(unsigned i) const { return sources_[i].sin_addr.s_addr; }

  void queue_reply(unsigned i) {
    out_vectors_[reply_count_] = {&sources_[i].sin_addr, sizeof sources_[i].sin_addr};
    out_headers_[reply_count_] = {};
    out_headers_[reply_count_].msg_hdr.msg_name = &sources_[i];
    out_headers_[reply_count_].msg_hdr.msg_namelen = sizeof sources_[i];
    out_headers_[reply_count_].msg_hdr.msg_iov = &out_vectors_[reply_count_];
    out_headers_[reply_count_].msg_hdr.msg_iovlen = 1;
    ++reply_count_;
  }

  int receive(int socket) {
    reply_count_ = 0;
    for (unsigned i = 0; i < batch_size; ++i) {
      in_headers_[i].msg_hdr.msg_namelen = sizeof sources_[i];
      in_headers_[i].msg_hdr.msg_flags = 0;
    }
    return recvmmsg(socket, in_headers_.data(), batch_size, MSG_DONTWAIT, nullptr);
  }

  // Sends the queued replies; a reply the kernel refuses is counted and
  // skipped rather than retried, so a bad destination cannot stall the loop.
  void send_replies(int socket, probe_counters& counters) {
    unsigned next = 0;
    while (next < reply_count_) {
      const int sent = sendmmsg(socket, &out_headers_[next], reply_count_ - next, MSG_DONTWAIT);
      if (sent > 0) {
        counters.answered += static_cast<unsigned>(sent);
        next += static_cast<unsigned>(sent);
      } else if (sent < 0 && errno == EINTR) {
        continue;
      } else {
        ++counters.send_failed;
        ++next;
      }
    }
  }

 private:
  std::array<std::array<unsigned char, sizeof request + 1>, batch_size> payloads_{};
  std::array<sockaddr_in, batch_size> sources_{};
  std::array<iovec, batch_size> in_vectors_{};
  std::array<mmsghdr, batch_size> in_headers_{};
  std::array<iovec, batch_size> out_vectors_{};
  std::array<mmsghdr, batch_size> out_headers_{};
  unsigned reply_count_ = 0;
};

// Takes what is queued on the socket, up to batches_per_wakeup batches.
// Returns false on a socket error other than "nothing more queued".
bool drain_socket(int socket, datagram_batch& batch, source_rate_limiter& limiter,
                  probe_counters& counters) {
  for (int round = 0; round < batches_per_wakeup; ++round) {
    const int received = batch.receive(socket);
    if (received < 0) {
      return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    const std::uint64_t now = monotonic_ns();
    counters.received += static_cast<unsigned>(received);
    for (int i = 0; i < received; ++i) {
      const auto index = static_cast<unsigned>(i);
      if (!batch.is_request(index)) {
        ++counters.dropped_malformed;
      } else if (!limiter.admit(batch.source_address(index), now)) {
        ++counters.dropped_rate_limited;
      } else {
        batch.queue_reply(index);
      }
    }
    batch.send_replies(socket, counters);
    if (static_cast<unsigned>(received) < batch_size) {
      return true;
    }
  }
  return true;
}

}  // namespace

bool serve_requests(int socket, source_rate_limiter& limiter, const sigset_t& wait_mask,
                    const volatile std::sig_atomic_t& stop_flag, probe_counters& counters) {
  datagram_batch batch;
  pollfd readable{socket, POLLIN, 0};
  for (;;) {
    // The stop signals are only let in here, atomically with the wait, so a
    // signal is never lost between the test of the flag and the sleep.
    const int ready = ppoll(&readable, 1, nullptr, &wait_mask);
    if (stop_flag) {
      return true;
    }
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (!drain_socket(socket, batch, limiter, counters)) {
      return false;
    }
  }
}

}  // namespace wanseer_tools
