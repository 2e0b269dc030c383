#include "address_reflector.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "stun_answers.h"

namespace wanseer_tools {

namespace {

constexpr unsigned char request[] = {'i', 'p', '\0'};
// Datagrams taken per wake-up, at least one batch, before the stop event is
// looked at again, so that a steady flood cannot keep a stop waiting.
constexpr unsigned datagrams_per_wakeup = 1024;
constexpr std::size_t control_size = CMSG_SPACE(sizeof(in_pktinfo));

std::uint64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ULL +
         static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace

// Buffers for one batch.  Each reply is sent to the request's source address;
// a probe reply's payload is that address's 4 bytes, taken from the same
// sockaddr, a STUN answer's is written by stun_answers.
class datagram_batch {
 public:
  datagram_batch(unsigned size, bool with_destination)
      : size_(size),
        with_destination_(with_destination),
        payloads_(size),
        sources_(size),
        stun_(size),
        reply_is_stun_(size),
        in_vectors_(size),
        in_headers_(size),
        in_controls_(with_destination ? size : 0),
        out_vectors_(size),
        out_headers_(size),
        out_controls_(with_destination ? size : 0) {
    for (unsigned i = 0; i < size_; ++i) {
      // Room for a STUN request; anything longer arrives cut short (MSG_TRUNC).
      in_vectors_[i] = {payloads_[i].data(), payloads_[i].size()};
      in_headers_[i] = {};
      in_headers_[i].msg_hdr.msg_name = &sources_[i];
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

  // Whether the datagram has a STUN message's form: it is counted as STUN,
  // whether or not it earns an answer.
  bool is_stun(unsigned i) const {
    const msghdr& header = in_headers_[i].msg_hdr;
    return (header.msg_flags & MSG_TRUNC) == 0 && header.msg_namelen == sizeof(sockaddr_in) &&
           sources_[i].sin_family == AF_INET && sources_[i].sin_port != 0 &&
           wanseer::stun::has_stun_form(payloads_[i].data(), in_headers_[i].msg_len);
  }

  // Writes the STUN answer to datagram `i`; false when it gets none.
  bool prepare_stun_answer(unsigned i) {
    stun_answer_ = stun_.answer(i, payloads_[i].data(), in_headers_[i].msg_len, sources_[i]);
    return stun_answer_.iov_len != 0;
  }

  std::uint32_t source_address(unsigned i) const { return sources_[i].sin_addr.s_addr; }

  // Queues the probe reply to datagram `i`, or with `stun` the STUN answer
  // that prepare_stun_answer wrote for it.
  void queue_reply(unsigned i, bool stun = false) {
    const unsigned slot = reply_count_++;
    reply_is_stun_[slot] = stun;
    out_vectors_[slot] =
        stun ? stun_answer_ : iovec{&sources_[i].sin_addr, sizeof sources_[i].sin_addr};
    msghdr& header = out_headers_[slot].msg_hdr;
    header = {};
    header.msg_name = &sources_[i];
    header.msg_namelen = sizeof sources_[i];
    header.msg_iov = &out_vectors_[slot];
    header.msg_iovlen = 1;
    if (with_destination_) {
      add_source_choice(i, header, out_controls_[slot]);
    }
  }

  unsigned size() const { return size_; }

  int receive(int socket) {
    reply_count_ = 0;
    for (unsigned i = 0; i < size_; ++i) {
      msghdr& header = in_headers_[i].msg_hdr;
      header.msg_namelen = sizeof sources_[i];
      header.msg_flags = 0;
      if (with_destination_) {
        header.msg_control = in_controls_[i].data();
        header.msg_controllen = control_size;
      }
    }
    return recvmmsg(socket, in_headers_.data(), size_, MSG_DONTWAIT, nullptr);
  }

  // Sends the queued replies; a reply the kernel refuses is counted and
  // skipped rather than retried, so a bad destination cannot stall the loop.
  void send_replies(int socket, probe_counters& counters) {
    unsigned next = 0;
    while (next < reply_count_) {
      const int sent = sendmmsg(socket, &out_headers_[next], reply_count_ - next, MSG_DONTWAIT);
      if (sent > 0) {
        const auto end = next + static_cast<unsigned>(sent);
        const auto stun = static_cast<unsigned>(
            std::count(reply_is_stun_.begin() + next, reply_is_stun_.begin() + end, true));
        counters.answered.add(static_cast<unsigned>(sent) - stun);
        counters.stun_answered.add(stun);
        next = end;
      } else if (sent < 0 && errno == EINTR) {
        continue;
      } else {
        (reply_is_stun_[next] ? counters.stun_send_failed : counters.send_failed).add(1);
        ++next;
      }
    }
  }

 private:
  // Names, as the reply's source, the local address the request reached
  // (for a broadcast, the address the kernel would answer it from).  Without
  // it the kernel picks the address of the route back, which on a host with
  // several addresses may not be the one the client asked and will accept.
  void add_source_choice(unsigned i, msghdr& header,
                         std::array<unsigned char, control_size>& control) {
    const msghdr& received = in_headers_[i].msg_hdr;
    for (cmsghdr* item = CMSG_FIRSTHDR(&received); item != nullptr;
         item = CMSG_NXTHDR(const_cast<msghdr*>(&received), item)) {
      if (item->cmsg_level != IPPROTO_IP || item->cmsg_type != IP_PKTINFO) {
        continue;
      }
      in_pktinfo asked{};
      std::memcpy(&asked, CMSG_DATA(item), sizeof asked);
      in_pktinfo answer{};
      answer.ipi_spec_dst = asked.ipi_spec_dst;
      control.fill(0);
      header.msg_control = control.data();
      header.msg_controllen = control_size;
      cmsghdr* out = CMSG_FIRSTHDR(&header);
      out->cmsg_level = IPPROTO_IP;
      out->cmsg_type = IP_PKTINFO;
      out->cmsg_len = CMSG_LEN(sizeof answer);
      std::memcpy(CMSG_DATA(out), &answer, sizeof answer);
      return;
    }
  }

  unsigned size_;
  bool with_destination_;
  std::vector<std::array<unsigned char, longest_stun_request>> payloads_;
  std::vector<sockaddr_in> sources_;
  stun_answers stun_;
  iovec stun_answer_{};
  std::vector<bool> reply_is_stun_;
  std::vector<iovec> in_vectors_;
  std::vector<mmsghdr> in_headers_;
  std::vector<std::array<unsigned char, control_size>> in_controls_;
  std::vector<iovec> out_vectors_;
  std::vector<mmsghdr> out_headers_;
  std::vector<std::array<unsigned char, control_size>> out_controls_;
  unsigned reply_count_ = 0;
};

namespace {

// Takes what is queued on the socket, up to batches_per_wakeup batches.
// Returns false on a socket error other than "nothing more queued".
bool drain_socket(int socket, datagram_batch& batch, source_admission& limiter, throttle_log& log,
                  probe_counters& counters) {
  const unsigned rounds = std::max(1U, datagrams_per_wakeup / batch.size());
  for (unsigned round = 0; round < rounds; ++round) {
    const int received = batch.receive(socket);
    if (received < 0) {
      return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    const std::uint64_t now = monotonic_ns();
    // Indexed by whether the datagram is STUN.
    unsigned malformed[2] = {};
    unsigned limited[2] = {};
    unsigned stun_received = 0;
    for (int i = 0; i < received; ++i) {
      const auto index = static_cast<unsigned>(i);
      const bool stun = batch.is_stun(index);
      stun_received += stun;
      if (stun ? !batch.prepare_stun_answer(index) : !batch.is_request(index)) {
        ++malformed[stun];
        continue;
      }
      // One limit for each source, whichever protocol it asks by.
      const std::uint32_t source = batch.source_address(index);
      switch (limiter.admit(source, now)) {
        case admission::answer:
          batch.queue_reply(index, stun);
          break;
        case admission::drop_and_report:
          log.report(source, now);
          [[fallthrough]];
        case admission::drop:
          ++limited[stun];
          break;
      }
    }
    counters.dropped_malformed.add(malformed[0]);
    counters.dropped_rate_limited.add(limited[0]);
    counters.stun_dropped_malformed.add(malformed[1]);
    counters.stun_dropped_rate_limited.add(limited[1]);
    batch.send_replies(socket, counters);
    counters.stun_received.add(stun_received);
    counters.received.add(static_cast<unsigned>(received) - stun_received,
                          std::memory_order_release);
    if (static_cast<unsigned>(received) < batch.size()) {
      return true;
    }
  }
  return true;
}

}  // namespace

reflector_buffers::reflector_buffers(const reflector_setup& setup)
    : batch_(std::make_unique<datagram_batch>(setup.batch, setup.reply_from_destination)) {}

reflector_buffers::~reflector_buffers() = default;

bool serve_requests(const reflector_setup& setup, reflector_buffers& buffers,
                    source_admission& limiter, throttle_log& log, probe_counters& counters) {
  datagram_batch& batch = buffers.batch();
  std::array<pollfd, 2> waits = {pollfd{setup.socket, POLLIN, 0},
                                 pollfd{setup.stop_event, POLLIN, 0}};
  for (;;) {
    const int ready = poll(waits.data(), waits.size(), -1);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (waits[1].revents != 0) {
      return true;
    }
    if (waits[0].revents & POLLNVAL) {
      errno = EBADF;
      return false;
    }
    if (!drain_socket(setup.socket, batch, limiter, log, counters)) {
      return false;
    }
  }
}

}  // namespace wanseer_tools
