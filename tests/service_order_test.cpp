// The order in which SRV targets are asked: priorities kept, and within a
// priority each target first as often as its weight says (RFC 2782), from
// the worker's own random source.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "service_order.h"

namespace wanseer {
namespace {

std::vector<service_target> targets(std::initializer_list<std::pair<int, int>> priority_weight) {
  std::vector<service_target> made;
  for (const auto& [priority, weight] : priority_weight) {
    made.push_back({"t" + std::to_string(made.size()), 3478, static_cast<std::uint16_t>(priority),
                    static_cast<std::uint16_t>(weight)});
  }
  return made;
}

// How often (in percent) each target comes first over `draws` orderings.
std::map<std::string, double> first_shares(const std::vector<service_target>& given, int draws,
                                           schedule_random& random) {
  std::map<std::string, double> shares;
  for (int draw = 0; draw < draws; ++draw) {
    std::vector<service_target> ordered = given;
    order_service_targets(ordered, random);
    shares[ordered.front().host] += 100.0 / draws;
  }
  return shares;
}

TEST(ServiceOrder, EachTargetOfAPriorityComesFirstAsOftenAsItsWeightSays) {
  schedule_random random;
  const struct {
    std::vector<service_target> given;
    double first_share;  // percent for t0
  } cases[] = {
      {targets({{10, 10}, {10, 90}}), 10},
      {targets({{10, 90}, {10, 10}}), 90},
      {targets({{10, 50}, {10, 50}}), 50},
      // A lower priority always first, whatever its weight.
      {targets({{5, 1}, {10, 1000}}), 100},
      {targets({{10, 1000}, {5, 1}}), 0},
      // Weight 0 only when the draw is 0 (1 in 101 here).
      {targets({{10, 0}, {10, 100}}), 1},
      // All of weight 0: the order of the answer.
      {targets({{10, 0}, {10, 0}}), 100},
  };
  for (const auto& row : cases) {
    const auto shares = first_shares(row.given, 1000, random);
    const auto t0 = shares.find("t0");
    EXPECT_NEAR(t0 == shares.end() ? 0.0 : t0->second, row.first_share, 5.0)
        << row.given[0].weight << "/" << row.given[1].weight;
  }
}

TEST(ServiceOrder, PrioritiesStayInOrderAndEveryTargetStays) {
  schedule_random random;
  for (int draw = 0; draw < 100; ++draw) {
    auto ordered = targets({{20, 5}, {10, 1}, {20, 0}, {10, 7}, {30, 3}, {10, 0}});
    order_service_targets(ordered, random);
    ASSERT_EQ(ordered.size(), 6u);
    std::map<std::string, int> seen;
    for (std::size_t at = 0; at < ordered.size(); ++at) {
      ++seen[ordered[at].host];
      if (at > 0) {
        EXPECT_LE(ordered[at - 1].priority, ordered[at].priority);
      }
    }
    EXPECT_EQ(seen.size(), 6u);
  }
}

}  // namespace
}  // namespace wanseer
