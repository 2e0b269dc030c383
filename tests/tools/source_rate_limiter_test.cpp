// The probe server's per-source limit with the clock given, for what only
// minutes of real time would show.

#include "source_rate_limiter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace wanseer_tools {
namespace {

constexpr std::uint64_t ms = 1000000ULL;

TEST(SourceRateLimiter, NamesAThrottledSourceAgainOnlyAfterAFullMinute) {
  probe_counters counters;
  rate_limit limit;
  limit.per_second = 0.001;  // no refill within the test
  limit.burst = 1;
  source_rate_limiter limiter(limit, 4, 1, counters);
  const std::uint32_t source = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(limiter.admit(source, 59000 * ms), admission::answer);
  // Either side of a clock minute's end, and just short of and past 60 s.
  const struct {
    std::uint64_t at_ms;
    admission expected;
  } steps[] = {{59800, admission::drop_and_report},
               {60400, admission::drop},
               {119700, admission::drop},
               {120900, admission::drop_and_report},
               {121000, admission::drop}};
  for (const auto& step : steps) {
    EXPECT_EQ(limiter.admit(source, step.at_ms * ms), step.expected) << step.at_ms << " ms";
  }
}

}  // namespace
}  // namespace wanseer_tools
