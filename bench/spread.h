// How a set of timings spreads, printed alike by every benchmark that times
// runs one by one.
#ifndef WANSEER_BENCH_SPREAD_H
#define WANSEER_BENCH_SPREAD_H

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <vector>

namespace wanseer_bench {

// One line: median, 90th and 99th percentile, minimum and maximum.
// `figures` must not be empty.
inline void print_spread(std::vector<double> figures) {
  std::sort(figures.begin(), figures.end());
  const auto percentile = [&figures](double fraction) {
    return figures[static_cast<std::size_t>(fraction * static_cast<double>(figures.size() - 1))];
  };
  std::printf("  median %.1f  p90 %.1f  p99 %.1f  min %.1f  max %.1f\n", percentile(0.5),
              percentile(0.9), percentile(0.99), figures.front(), figures.back());
}

}  // namespace wanseer_bench

#endif  // WANSEER_BENCH_SPREAD_H
