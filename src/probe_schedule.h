// The worker's timing.  Counts are in schedule seconds; `unit` says how long
// one of them lasts, a real second for the exported functions, less in tests
// that must see the whole schedule without waiting minutes.
#ifndef WANSEER_PROBE_SCHEDULE_H
#define WANSEER_PROBE_SCHEDULE_H

#include <chrono>
#include <cstdint>

namespace wanseer {

struct probe_schedule {
  std::chrono::milliseconds unit{1000};
  // How long the first receive waits.
  int first_receive_timeout = 5;
  // The receive timeout grows by one after each miss, up to this.
  int longest_receive_timeout = 60;
  // An answered request is followed by the next one pause_steps *
  // pause_step later on average, counted from when the answered request
  // left, in one wait that a stop ends at once.
  int pause_steps = 12;
  int pause_step = 5;
  // Each of these intervals is drawn evenly from the mean less and plus this
  // share of it (25: 45 to 75 s), so that hosts that an outage of their
  // server lined up drift apart again within a few minutes instead of
  // asking together for good.
  int interval_spread_percent = 25;
  // After a network change the next request leaves once the news has
  // settled, this many thousandths of a unit later, so that a burst of
  // news costs one request; and no sooner than early_request_gap after the
  // last request that a change brought forward.
  int change_settle_thousandths = 500;
  int early_request_gap = 5;
  // Whether network news brings requests forward at all (Linux).
  bool follow_network_changes = true;
  // A STUN transaction (RFC 8489 section 6.2.1): the first retransmission
  // after an RTO of this many thousandths of a unit, each next one twice as
  // long after the one before, at most stun_most_sends requests, and the
  // transaction given up stun_last_wait_rtos RTOs (Rm) after the last one.
  int stun_rto_thousandths = 500;
  int stun_most_sends = 7;
  int stun_last_wait_rtos = 16;

  std::chrono::milliseconds duration(int count) const { return unit * count; }
  std::chrono::microseconds change_settle() const {
    return std::chrono::microseconds(unit) * change_settle_thousandths / 1000;
  }

  std::chrono::microseconds stun_rto() const {
    return std::chrono::microseconds(unit) * stun_rto_thousandths / 1000;
  }

  // The mean interval between two answered requests.
  std::chrono::milliseconds mean_interval() const { return duration(pause_steps * pause_step); }

  // The interval from an answered request to the next one, for
  // `random_bits` drawn evenly from all 64-bit values.
  std::chrono::nanoseconds interval_after_reply(std::uint64_t random_bits) const {
    const std::chrono::nanoseconds mean = mean_interval();
    const std::chrono::nanoseconds widest = mean * interval_spread_percent / 100;
    // The top 53 bits as a fraction in [0, 1): exact in a double.
    const double fraction =
        static_cast<double>(random_bits >> 11) / static_cast<double>(std::uint64_t{1} << 53);
    const auto offset = std::chrono::nanoseconds(
        static_cast<std::int64_t>(static_cast<double>(2 * widest.count()) * fraction));
    return mean - widest + offset;
  }
};

inline constexpr probe_schedule real_schedule{};

}  // namespace wanseer

#endif  // WANSEER_PROBE_SCHEDULE_H
