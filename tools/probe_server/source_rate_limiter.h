// Per-source-address rate limit of the probe server, so that it cannot be
// used to flood a third party whose address a sender forges.
//
// Each source address has a token bucket kept in its "generic cell rate"
// form: one theoretical arrival time per address.  The table has a fixed
// number of slots chosen at start, so memory stays bounded however many
// addresses send.  Slots form sets of four; a new address takes the slot of
// its set whose bucket is the fullest, and inherits that bucket as it is:
// an idle slot gives a full burst, as if the address had never been seen,
// while a slot still draining gives no more than it had left.  Arrival times
// in a set therefore never go backwards, and an address pushed out and
// coming back cannot gain budget by it, however many addresses churn the
// table.
//
// One limiter belongs to one serving thread; it takes no lock.
#ifndef WANSEER_TOOLS_SOURCE_RATE_LIMITER_H
#define WANSEER_TOOLS_SOURCE_RATE_LIMITER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "probe_counters.h"

namespace wanseer_tools {

struct rate_limit {
  // Sustained answers per second to one source address; 0 means no limit.
  // High enough for the hosts of a large carrier-grade NAT behind one
  // address, low enough that a forged victim gets nothing that matters.
  double per_second = 1000.0;
  // Answers one address may get at once after being idle.
  unsigned burst = 2000;
  // Slots of the source table, for all threads together (each thread's
  // share is rounded up to a multiple of four).
  std::size_t table_slots = 65536;
};

enum class admission {
  answer,
  drop,
  // Dropped, and the first drop of this address for more than 60 s: worth
  // a line.
  drop_and_report,
};

// What a serving thread asks before it answers a source.
class source_admission {
 public:
  virtual ~source_admission() = default;
  // Whether a request from `ipv4` (network byte order) arriving at
  // `now_ns` (monotonic, > 0) may be answered; counts it if so.
  virtual admission admit(std::uint32_t ipv4, std::uint64_t now_ns) = 0;
};

class source_rate_limiter final : public source_admission {
 public:
  // `hash_seed` varies the set an address falls in, so that a sender cannot
  // choose addresses that crowd one set.  `counters` receives the sources
  // tracked and evicted.
  source_rate_limiter(const rate_limit& limit, std::size_t slots, std::uint64_t hash_seed,
                      probe_counters& counters);

  admission admit(std::uint32_t ipv4, std::uint64_t now_ns) override;

 private:
  struct slot {
    std::uint32_t address = 0;
    std::uint32_t reported_second = 0;  // monotonic second + 1 of the last report; 0: none
    std::uint64_t arrival_ns = 0;       // 0: slot unused
  };
  static constexpr std::size_t ways = 4;

  slot* find_or_claim(std::uint32_t ipv4, std::uint64_t now_ns);

  bool unlimited_;
  std::uint64_t interval_ns_;
  std::uint64_t tolerance_ns_;
  std::uint64_t hash_seed_;
  std::size_t set_count_;
  std::vector<slot> slots_;
  probe_counters& counters_;
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_SOURCE_RATE_LIMITER_H
