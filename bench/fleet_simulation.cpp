// A fleet of hosts running the library's probe schedule against one probe
// server, in simulated time: the server goes down for a while and comes
// back, and the simulation prints the requests that reach it in each
// second.  From these come the steady and peak rates a server must carry
// (docs/operating.md).
//
// Each host follows the worker's schedule, through the schedule's own code:
// a request; after an answer the next request after the interval that
// probe_schedule::interval_after_reply draws, counted from the answered
// request; after a miss the next request as soon as the receive has waited
// its timeout, which starts at first_receive_timeout and grows by one after
// each miss up to longest_receive_timeout (and keeps its size after an
// answer).
//
// Usage: fleet_simulation [--before | --spread PERCENT]
//                         [HOSTS [OUTAGE_START OUTAGE_SECONDS [CAPACITY [END]]]]
//   defaults 1000000 hosts, outage from second 900 for 60 s, no capacity
//   limit (CAPACITY answers per second, beyond which requests go
//   unanswered as in an overload), simulation ends at second 1560: 15 minutes for the
//   start-up phases to spread, 10 after the outage.
//   --spread sets the schedule's interval_spread_percent, to compare
//   choices; --before runs the schedule of version 1.1 instead, a fixed
//   pause of 60 s after each reply, so after the round trip.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "probe_schedule.h"

namespace {

using millis = std::int64_t;

struct fleet_settings {
  std::uint32_t hosts = 1000000;
  millis outage_start = 900000;
  millis outage_length = 60000;
  std::uint64_t capacity = 0;  // answers per second; 0: unlimited
  millis end = 1560000;
  bool before = false;  // the 1.1 schedule: a fixed pause after the reply
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
  const millis pause = schedule.mean_interval().count();
  const millis widest_interval =
      pause + pause * std::max(schedule.interval_spread_percent, 0) / 100;
  const millis longest = schedule.duration(schedule.longest_receive_timeout).count();
  constexpr millis longest_round_trip = 100;
  send_calendar calendar(std::max(widest_interval, longest) + longest_round_trip + 1);

  std::mt19937 random(12345);
  std::mt19937_64 interval_random(54321);
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
        if (settings.before) {
          calendar.add(now + round_trip[host] + pause, host);
        } else {
          // The reply comes long before the interval ends.
          const auto interval = std::chrono::duration_cast<std::chrono::milliseconds>(
              schedule.interval_after_reply(interval_random()));
          calendar.add(now + std::max<millis>(interval.count(), round_trip[host]), host);
        }
      } else {
        calendar.add(now + schedule.duration(timeout[host]).count(), host);
        timeout[host] = static_cast<std::uint8_t>(
            std::min<int>(timeout[host] + 1, schedule.longest_receive_timeout));
      }
    }
  }
  return seconds;
}

// The highest one-second rate from `from` to the end, in requests.
double peak_from(const std::vector<second_tally>& seconds, std::size_t from) {
  std::uint64_t peak = 0;
  for (std::size_t second = from; second < seconds.size(); ++second) {
    peak = std::max(peak, seconds[second].requests);
  }
  return static_cast<double>(peak);
}

}  // namespace

int main(int argc, char** argv) {
  fleet_settings settings;
  wanseer::probe_schedule schedule = wanseer::real_schedule;
  int first_number = 1;
  bool usable = true;
  if (argc > 1 && std::strcmp(argv[1], "--before") == 0) {
    settings.before = true;
    first_number = 2;
  } else if (argc > 2 && std::strcmp(argv[1], "--spread") == 0) {
    schedule.interval_spread_percent = std::atoi(argv[2]);
    usable = schedule.interval_spread_percent >= 0 && schedule.interval_spread_percent <= 100;
    first_number = 3;
  }
  char** numbers = argv + first_number;
  const int count = argc - first_number;
  if (count > 0)
    settings.hosts = static_cast<std::uint32_t>(std::strtoul(numbers[0], nullptr, 10));
  if (count > 2) {
    settings.outage_start = std::atoll(numbers[1]) * 1000;
    settings.outage_length = std::atoll(numbers[2]) * 1000;
  }
  if (count > 3)
    settings.capacity = std::strtoull(numbers[3], nullptr, 10);
  if (count > 4)
    settings.end = std::atoll(numbers[4]) * 1000;
  if (!usable || settings.hosts == 0 || settings.end <= 0 || settings.outage_start < 0 ||
      settings.outage_length < 0 || (count > 0 && numbers[0][0] == '-')) {
    std::fprintf(stderr,
                 "usage: %s [--before | --spread PERCENT] "
                 "[HOSTS [OUTAGE_START OUTAGE_SECONDS [CAPACITY [END]]]]\n",
                 argv[0]);
    return 2;
  }
  const auto seconds = simulate(settings, schedule);

  std::printf(
      "# %u hosts; server down from second %lld for %lld s; capacity %s; %s\n", settings.hosts,
      static_cast<long long>(settings.outage_start / 1000),
      static_cast<long long>(settings.outage_length / 1000),
      settings.capacity ? (std::to_string(settings.capacity) + " answers/s").c_str() : "unlimited",
      settings.before
          ? "1.1 schedule (fixed 60 s pause after each reply)"
          : ("intervals of 60 s +- " + std::to_string(schedule.interval_spread_percent) + " %")
                .c_str());
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
  const auto ratio = [steady](double rate) { return steady > 0 ? rate / steady : 0.0; };
  std::printf(
      "# steady %.0f requests/s (%.4f per host); peak %.0f requests/s at second %zu, "
      "%.1f times steady\n",
      steady, steady / settings.hosts, peak, peak_second, ratio(peak));
  // The highest one-second rate from 1, 3 and 5 minutes after the outage's
  // end to the end of the run: the 5-minute figure is the one to meet.
  const auto recovery =
      static_cast<std::size_t>((settings.outage_start + settings.outage_length) / 1000);
  std::printf("# peak from 1 / 3 / 5 minutes after the outage: %.2f / %.2f / %.2f times steady\n",
              ratio(peak_from(seconds, recovery + 60)), ratio(peak_from(seconds, recovery + 180)),
              ratio(peak_from(seconds, recovery + 300)));
  return 0;
}
