// Per-source-address rate limit of the probe server, so that it cannot be
// used to flood a third party whose address a sender forges.
//
// Each source address has a token bucket kept in its "generic cell rate"
// form: one theoretical arrival time per address.  The table has a fixed
// number of slots chosen at start, so memory stays bounded however many
// addresses send.  Slots form sets of four; a new address takes the slot of
// its set whose bucket is the fullest, which for an idle address is the same
// as never having seen it.
#ifndef WANSEER_TOOLS_SOURCE_RATE_LIMITER_H
#define WANSEER_TOOLS_SOURCE_RATE_LIMITER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wanseer_tools {

struct rate_limit {
  // Sustained answers per second to one source address; 0 means no limit.
  double per_second = 50.0;
  // Answers one address may get at once after being idle.
  unsigned burst = 100;
  // Slots of the source table (rounded up to a multiple of four).
  std::size_t table_slots = 65536;
};

class source_rate_limiter {
 public:
  // `hash_seed` varies the set an address falls in, so that a sender cannot
  // choose addresses that crowd one set.
  source_rate_limiter(const rate_limit& limit, std::uint64_t hash_seed);

  // Whether a request from `ipv4` (network byte order) arriving at
  // `now_ns` (monotonic, > 0) may be answered; counts it if so.
  bool admit(std::uint32_t ipv4, std::uint64_t now_ns);

 private:
  struct slot {
    std::uint32_t address = 0;
    std::uint64_t arrival_ns = 0;  // 0: slot unused
  };
  static constexpr std::size_t ways = 4;

  slot* find_or_claim(std::uint32_t ipv4, std::uint64_t now_ns);

  bool unlimited_;
  std::uint64_t interval_ns_;
  std::uint64_t tolerance_ns_;
  std::uint64_t hash_seed_;
  std::size_t set_count_;
  std::vector<slot> slots_;
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_SOURCE_RATE_LIMITER_H
