// A fleet of hosts running the library's probe schedule against one probe
// server, in simulated time: the server goes down for a while and comes
// back, and the simulation prints the requests that reach it in each
// second.  From these come the steady and peak rates a server must carry
// (docs/operating.md).
//
// Each host follows the worker's schedule: a request; after an answer a
// pause of pause_steps * pause_step (plus the round trip); after a miss the
// next request as soon as the receive has waited its timeout, which starts
// at first_receive_timeout and grows by one after each miss up to
// longest_receive_timeout (and keeps its size after an answer).
//
// Usage: fleet_simulation [HOSTS [OUTAGE_START OUTAGE_SECONDS [CAPACITY [END]]]]
//   defaults 1000000 hosts, outage from second 120 for 60 s, no capacity
//   limit (CAPACITY answers per second, beyond which requests go
//   unanswered as in an overload), simulation ends at second 480.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "probe_schedule.h"

namespace {

using millis = std::int64_t;

struct fleet_settings {
  std::uint32_t hosts = 1000000;
  millis outage_start = 120000;
  millis outage_length = 60000;
  std::uint64_t capacity = 0;  // answers per second; 0: unlimited
  millis end = 480000;
};

struct second_tally {
  std::uint64_t requests = 0;
  std::uint64_t answered = 0;
};

// Pending requests by the millisecond they are sent: every event lies less
// than the longest wait ahead, so a ring of buckets covers them all.
class send_calendar {
 public:
  explicit send_calendar(millis horizon) : buckets_(static_cast<std::size_t>(horizon) + 1) {}
  void add(millis when, std::uint32_t host) { bucket(when).push_back(host); }
  std::vector<std::uint32_t>& bucket(millis when) {
    return buckets_[static_cast<std::size_t>(when) % buckets_.size()];
  }

 private:
  std::vector<std::vector<std::uint32_t>> buckets_;
};

std::vector<second_tally> simulate(const fleet_settings& settings,
                                   const wanseer::probe_schedule& schedule) {
  const millis pause = schedule.duration(schedule.pause_steps * schedule.pause_step).count();
  const millis longest = schedule.duration(schedule.longest_receive_timeout).count();
  constexpr millis longest_round_trip = 100;
  send_calendar calendar(std::max(pause, longest) + longest_round_trip + 1);

  std::mt19937 random(12345);
  std::uniform_int_distribution<millis> phase(0, pause - 1);
  std::uniform_int_distribution<int> round_trip_ms(10, static_cast<int>(longest_round_trip));
  std::vector<std::uint8_t> timeout(settings.hosts,
                                    static_cast<std::uint8_t>(schedule.first_receive_timeout));
  std::vector<std::uint8_t> round_trip(settings.hosts);
  for (std::uint32_t host = 0; host < settings.hosts; ++host) {
    round_trip[host] = static_cast<std::uint8_t>(round_trip_ms(random));
    calendar.add(phase(random), host);
  }

  std::vector<second_tally> seconds(static_cast<std::size_t>(settings.end / 1000));
  for (millis now = 0; now < settings.end; ++now) {
    second_tally& tally = seconds[static_cast<std::size_t>(now / 1000)];
    const bool server_up =
        now < settings.outage_start || now >= settings.outage_start + settings.outage_length;
    std::vector<std::uint32_t> due;
    due.swap(calendar.bucket(now));
    for (const std::uint32_t host : due) {
      ++tally.requests;
      const bool answered =
          server_up && (settings.capacity == 0 || tally.answered < settings.capacity);
      if (answered) {
        ++tally.answered;
        calendar.add(now + round_trip[host] + pause, host);
      } else {
        calendar.add(now + schedule.duration(timeout[host]).count(), host);
        timeout[host] = static_cast<std::uint8_t>(
            std::min<int>(timeout[host] + 1, schedule.longest_receive_timeout));
      }
    }
  }
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  fleet_settings settings;
  if (argc > 1)
    settings.hosts = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  if (argc > 3) {
    settings.outage_start = std::atoll(argv[2]) * 1000;
    settings.outage_length = std::atoll(argv[3]) * 1000;
  }
  if (argc > 4)
    settings.capacity = std::strtoull(argv[4], nullptr, 10);
  if (argc > 5)
    settings.end = std::atoll(argv[5]) * 1000;
  if (settings.hosts == 0 || settings.end <= 0 || settings.outage_start < 0 ||
      settings.outage_length < 0) {
    std::fprintf(stderr, "usage: %s [HOSTS [OUTAGE_START OUTAGE_SECONDS [CAPACITY [END]]]]\n",
                 argv[0]);
    return 2;
  }
  const wanseer::probe_schedule schedule = wanseer::real_schedule;
  const auto seconds = simulate(settings, schedule);

  std::printf(
      "# %u hosts; server down from second %lld for %lld s; capacity %s\n", settings.hosts,
      static_cast<long long>(settings.outage_start / 1000),
      static_cast<long long>(settings.outage_length / 1000),
      settings.capacity ? (std::to_string(settings.capacity) + " answers/s").c_str() : "unlimited");
  std::printf("# second requests answered\n");
  for (std::size_t second = 0; second < seconds.size(); ++second) {
    std::printf("%zu %llu %llu\n", second,
                static_cast<unsigned long long>(seconds[second].requests),
                static_cast<unsigned long long>(seconds[second].answered));
  }
  // The steady rate: the minute before the outage, once the start-up
  // phases have spread.
  const auto from =
      static_cast<std::size_t>(std::max<millis>(settings.outage_start / 1000 - 60, 0));
  const auto to = static_cast<std::size_t>(settings.outage_start / 1000);
  double steady = 0;
  for (std::size_t second = from; second < to; ++second) {
    steady += static_cast<double>(seconds[second].requests);
  }
  steady /= static_cast<double>(std::max<std::size_t>(to - from, 1));
  std::size_t peak_second = 0;
  for (std::size_t second = 0; second < seconds.size(); ++second) {
    if (seconds[second].requests > seconds[peak_second].requests) {
      peak_second = second;
    }
  }
  const double peak = static_cast<double>(seconds[peak_second].requests);
  std::printf(
      "# steady %.0f requests/s (%.4f per host); peak %.0f requests/s at second %zu, "
      "%.1f times steady\n",
      steady, steady / settings.hosts, peak, peak_second, steady > 0 ? peak / steady : 0.0);
  return 0;
}
