#include "service_order.h"

#include <algorithm>
#include <cstdint>

namespace wanseer {

void order_service_targets(std::vector<service_target>& targets, schedule_random& random) {
  std::stable_sort(targets.begin(), targets.end(),
                   [](const service_target& left, const service_target& right) {
                     return left.priority < right.priority;
                   });
  for (auto group = targets.begin(); group != targets.end();) {
    const auto group_end = std::find_if(group, targets.end(), [&](const service_target& target) {
      return target.priority != group->priority;
    });
    std::stable_partition(group, group_end,
                          [](const service_target& target) { return target.weight == 0; });
    // Each place of the group in turn gets the target that a draw in
    // [0, sum of the weights left] first reaches in the running sum.
    for (auto place = group; place != group_end; ++place) {
      std::uint64_t sum = 0;
      for (auto left = place; left != group_end; ++left) {
        sum += left->weight;
      }
      const std::uint64_t draw = random.next() % (sum + 1);
      std::uint64_t running = 0;
      auto chosen = place;
      for (auto left = place; left != group_end; ++left) {
        running += left->weight;
        if (running >= draw) {
          chosen = left;
          break;
        }
      }
      // Moved to the front, the others keeping their order.
      std::rotate(place, chosen, chosen + 1);
    }
    group = group_end;
  }
}

}  // namespace wanseer
