// What the probe server did: one set of counters per serving thread, read
// by the metrics endpoint while the thread runs and summed at the end.
#ifndef WANSEER_TOOLS_PROBE_COUNTERS_H
#define WANSEER_TOOLS_PROBE_COUNTERS_H

#include <atomic>
#include <cstdint>
#include <string>

namespace wanseer_tools {

// Plain values, for sums and reports.
struct counter_values {
  std::uint64_t received = 0;
  std::uint64_t answered = 0;
  std::uint64_t dropped_malformed = 0;
  std::uint64_t dropped_rate_limited = 0;
  std::uint64_t send_failed = 0;
  std::uint64_t sources_tracked = 0;
  std::uint64_t sources_evicted = 0;
  // The same for STUN; the fields above count the probe protocol.
  std::uint64_t stun_received = 0;
  std::uint64_t stun_answered = 0;
  std::uint64_t stun_dropped_malformed = 0;
  std::uint64_t stun_dropped_rate_limited = 0;
  std::uint64_t stun_send_failed = 0;

  counter_values& operator+=(const counter_values& other) {
    received += other.received;
    answered += other.answered;
    dropped_malformed += other.dropped_malformed;
    dropped_rate_limited += other.dropped_rate_limited;
    send_failed += other.send_failed;
    sources_tracked += other.sources_tracked;
    sources_evicted += other.sources_evicted;
    stun_received += other.stun_received;
    stun_answered += other.stun_answered;
    stun_dropped_malformed += other.stun_dropped_malformed;
    stun_dropped_rate_limited += other.stun_dropped_rate_limited;
    stun_send_failed += other.stun_send_failed;
    return *this;
  }

  // One line of name=value pairs, stable for scripts.
  std::string summary() const {
    return "received=" + std::to_string(received) + " answered=" + std::to_string(answered) +
           " dropped_malformed=" + std::to_string(dropped_malformed) +
           " dropped_rate_limited=" + std::to_string(dropped_rate_limited) +
           " send_failed=" + std::to_string(send_failed) +
           " stun_received=" + std::to_string(stun_received) +
           " stun_answered=" + std::to_string(stun_answered) +
           " stun_dropped_malformed=" + std::to_string(stun_dropped_malformed) +
           " stun_dropped_rate_limited=" + std::to_string(stun_dropped_rate_limited) +
           " stun_send_failed=" + std::to_string(stun_send_failed);
  }
};

// Requests the XDP fast path left to the kernel because no reply should
// leave the driver for them, by reason.
struct driver_passes {
  std::uint64_t martian_source = 0;  // 0/8, 127/8, 224/4, 240/4
  std::uint64_t own_address = 0;     // an address of the host, or a subnet broadcast
  std::uint64_t no_route = 0;        // no route back out of the interface it came in on
  std::uint64_t no_neighbour = 0;    // the route's neighbour not resolved yet
  // No reply of the kernel's to the source through the interface learned
  // since the host's routes, neighbours or addresses last changed: the
  // first request of each source, on a host that does not forward.
  std::uint64_t route_unknown = 0;
};

// Written by exactly one serving thread, read by any: a relaxed load and
// store instead of a locked add keeps the hot path free of atomic
// read-modify-write instructions.
class counter {
 public:
  void add(std::uint64_t amount, std::memory_order order = std::memory_order_relaxed) {
    value_.store(value_.load(std::memory_order_relaxed) + amount, order);
  }
  std::uint64_t get(std::memory_order order = std::memory_order_relaxed) const {
    return value_.load(order);
  }

 private:
  std::atomic<std::uint64_t> value_{0};
};

// Aligned so that two threads' counters never share a cache line.
// `received` is counted last for each batch, with release order, and read
// first: a reader that sees a datagram received sees what became of it
// (`stun_received` is counted just before it).
struct alignas(64) probe_counters {
  counter received;
  counter answered;
  counter dropped_malformed;
  counter dropped_rate_limited;
  counter send_failed;
  counter sources_tracked;
  counter sources_evicted;
  counter stun_received;
  counter stun_answered;
  counter stun_dropped_malformed;
  counter stun_dropped_rate_limited;
  counter stun_send_failed;

  counter_values snapshot() const {
    counter_values values;
    values.received = received.get(std::memory_order_acquire);
    values.answered = answered.get();
    values.dropped_malformed = dropped_malformed.get();
    values.dropped_rate_limited = dropped_rate_limited.get();
    values.send_failed = send_failed.get();
    values.sources_tracked = sources_tracked.get();
    values.sources_evicted = sources_evicted.get();
    values.stun_received = stun_received.get();
    values.stun_answered = stun_answered.get();
    values.stun_dropped_malformed = stun_dropped_malformed.get();
    values.stun_dropped_rate_limited = stun_dropped_rate_limited.get();
    values.stun_send_failed = stun_send_failed.get();
    return values;
  }
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_PROBE_COUNTERS_H
