// The worker's rtnetlink watch fed real news: links, addresses and routes
// changed by ip(8) in network namespaces of the test's own, through the
// kernel filter and the classification alike.  Root only (skipped
// otherwise).

#include <poll.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "network_namespace.h"
#include "network_watch.h"

namespace wanseer::testing {
namespace {

using std::chrono::steady_clock;

// Whether the watch reports a relevant change before `limit`.  News that
// ip(8) makes is queued before ip exits, but a carrier change reaches the
// watch later, from the kernel's link watch.
bool reports_change(network_watch& watch, std::chrono::milliseconds limit) {
  const auto deadline = steady_clock::now() + limit;
  for (;;) {
    if (watch.drain_and_classify()) {
      return true;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd readable{watch.descriptor(), POLLIN, 0};
    ::poll(&readable, 1, static_cast<int>(left.count()));
  }
}

TEST(NetworkWatch, ChangesThatMayMoveTheAddressCountAndOthersDoNot) {
  // The watch's namespace holds link wan0; its veth peer far0 lives in a
  // second one, so that far0 going down or up changes only the carrier of
  // wan0, which stays up.
  network_namespace watched;
  network_namespace far_end;
  if (!watched.usable() || !far_end.usable()) {
    GTEST_SKIP() << "no network namespace of our own (root only): "
                 << std::strerror(watched.usable() ? far_end.error() : watched.error());
  }
  ASSERT_TRUE(watched.ip({"link", "set", "lo", "up"}));
  ASSERT_TRUE(watched.ip({"link", "add", "name", "wan0", "type", "veth", "peer", "name", "far0",
                          "netns", far_end.path()}));
  ASSERT_TRUE(watched.ip({"link", "set", "wan0", "up"}));
  ASSERT_TRUE(watched.ip({"address", "add", "192.0.2.1/24", "dev", "wan0"}));

  std::optional<network_watch> watch;
  ASSERT_TRUE(watched.run_inside([&] { watch.emplace(); }));
  ASSERT_GE(watch->descriptor(), 0);
  // The dump of the links at the start is the state to compare with.
  EXPECT_FALSE(watch->drain_and_classify());

  struct change {
    const char* what;
    const network_namespace& where;
    std::vector<std::string> command;
    bool counts;
  };
  // In this order: each row starts from the state the rows above left.
  // Rows that must not count come before the carrier changes, whose news
  // arrives late.
  const change changes[] = {
      {"a veth pair that is down made",
       watched,
       {"link", "add", "name", "idle0", "type", "veth", "peer", "name", "idle1"},
       false},
      {"its MTU changed", watched, {"link", "set", "idle0", "mtu", "1400"}, false},
      {"the pair removed", watched, {"link", "delete", "idle0"}, false},
      {"a route that is not a default one",
       watched,
       {"route", "add", "198.51.100.0/24", "via", "192.0.2.2"},
       false},
      {"a host-scope address", watched, {"address", "add", "127.0.0.2/8", "dev", "lo"}, false},
      {"an address added", watched, {"address", "add", "192.0.2.7/24", "dev", "wan0"}, true},
      {"an address removed", watched, {"address", "delete", "192.0.2.7/24", "dev", "wan0"}, true},
      {"a default route added", watched, {"route", "add", "default", "via", "192.0.2.2"}, true},
      {"the default route removed", watched, {"route", "delete", "default"}, true},
      {"the link up, its carrier coming", far_end, {"link", "set", "far0", "up"}, true},
      {"the carrier lost, the link still up", far_end, {"link", "set", "far0", "down"}, true},
      {"the carrier back", far_end, {"link", "set", "far0", "up"}, true},
      {"the carrying link taken down", watched, {"link", "set", "wan0", "down"}, true},
  };
  for (const change& row : changes) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(row.where.ip(row.command));
    // A change missed leaves the rows below a state they do not expect.
    if (row.counts) {
      ASSERT_TRUE(reports_change(*watch, std::chrono::seconds(10)));
    } else {
      EXPECT_FALSE(watch->drain_and_classify());
    }
  }
}

}  // namespace
}  // namespace wanseer::testing
