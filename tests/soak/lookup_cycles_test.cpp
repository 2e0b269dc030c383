// Start and stop with a host-name lookup in flight, many times: every stop
// cuts a lookup short at a different moment, and nothing may stay behind.

#include <gtest/gtest.h>

#include "probe_control.h"
#include "soak_budget.h"
#include "support/test_name_server.h"
#include "support/worker_harness.h"

namespace wanseer::testing {
namespace {

TEST(LookupCycles, StopsThatCutLookupsShortLeaveNothingBehind) {
  use_fresh_key();
  test_name_server names;
  names.set_behaviour(test_name_server::behaviour::silent);
  test_resolver_configuration resolver({&names});
  const std::string server = "probe.example.net:7171";
  // One cycle first: the first lookup loads what the resolver keeps for
  // the process's life.
  start_probe(server.c_str(), real_schedule);
  ASSERT_TRUE(names.wait_for_queries("probe.example.net", 1));
  stop_probe();
  const std::size_t descriptors_before = open_descriptor_count();
  const auto threads_before = thread_count_without_worker();
  ASSERT_TRUE(threads_before) << "the worker is still running";
  const std::size_t heap_before = heap_in_use();

  const int cycles = soak_cycles();
  for (int cycle = 0; cycle < cycles; ++cycle) {
    start_probe(server.c_str(), real_schedule);
    // Every other stop waits for the query, so that it finds the lookup
    // under way; the others come at any moment of the start.
    if (cycle % 2 == 0) {
      ASSERT_TRUE(names.wait_for_queries("probe.example.net", 2 + cycle / 2));
    }
    stop_probe();
  }
  EXPECT_TRUE(eventually([&] { return thread_count() == *threads_before; }));
  EXPECT_EQ(open_descriptor_count(), descriptors_before);
  // Allocator caches may grow a little; a leak per cycle would not fit.
  EXPECT_LT(heap_in_use(), heap_before + 64 * 1024);
}

}  // namespace
}  // namespace wanseer::testing
