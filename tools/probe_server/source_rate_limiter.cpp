#include "source_rate_limiter.h"

#include <algorithm>

namespace wanseer_tools {

source_rate_limiter::source_rate_limiter(const rate_limit& limit, std::size_t slots,
                                         std::uint64_t hash_seed, probe_counters& counters)
    : unlimited_(limit.per_second <= 0.0),
      interval_ns_(unlimited_ ? 0 : static_cast<std::uint64_t>(1e9 / limit.per_second)),
      tolerance_ns_(interval_ns_ * (std::max(limit.burst, 1U) - 1)),
      hash_seed_(hash_seed),
      set_count_(std::max<std::size_t>((slots + ways - 1) / ways, 1)),
      slots_(unlimited_ ? 0 : set_count_ * ways),
      counters_(counters) {}

admission source_rate_limiter::admit(std::uint32_t ipv4, std::uint64_t now_ns) {
  if (unlimited_) {
    return admission::answer;
  }
  slot* const entry = find_or_claim(ipv4, now_ns);
  const std::uint64_t arrival = std::max(entry->arrival_ns, now_ns);
  if (arrival - now_ns > tolerance_ns_) {
    // Whole seconds, so that more than 60 of them apart is a full minute.
    const auto second = static_cast<std::uint32_t>(now_ns / 1000000000ULL) + 1;
    if (entry->reported_second != 0 && second - entry->reported_second <= 60) {
      return admission::drop;
    }
    entry->reported_second = second;
    return admission::drop_and_report;
  }
  entry->arrival_ns = arrival + interval_ns_;
  return admission::answer;
}

source_rate_limiter::slot* source_rate_limiter::find_or_claim(std::uint32_t ipv4,
                                                              std::uint64_t now_ns) {
  const std::uint64_t mixed = (ipv4 ^ hash_seed_) * 0x9E3779B97F4A7C15ULL;
  slot* const set = &slots_[((mixed >> 32) % set_count_) * ways];
  slot* fullest = set;
  for (std::size_t way = 0; way < ways; ++way) {
    if (set[way].arrival_ns != 0 && set[way].address == ipv4) {
      return &set[way];
    }
    if (set[way].arrival_ns < fullest->arrival_ns) {
      fullest = &set[way];
    }
  }
  if (fullest->arrival_ns == 0) {
    counters_.sources_tracked.add(1);
    fullest->arrival_ns = now_ns;
  } else {
    // The bucket stays as the evicted address left it (see the header).
    counters_.sources_evicted.add(1);
  }
  // The report mark stays too, so that churn cannot multiply the lines.
  fullest->address = ipv4;
  return fullest;
}

}  // namespace wanseer_tools
