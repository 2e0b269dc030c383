// A host that already holds more than 1,024 descriptors when it starts the
// library: the worker's socket and wake-up handle get numbers above
// FD_SETSIZE, where select() could not watch them, and the worker must still
// probe, store and stop at once.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>

#include "soak_budget.h"
#include "support/cpu_time.h"
#include "support/loopback_probe_server.h"
#include "wanseer.h"

namespace wanseer::testing {
namespace {

using std::chrono::seconds;

constexpr int held_by_host = 1100;

class held_descriptors {
 public:
  explicit held_descriptors(int count) {
    // Each copy takes the lowest free number, so no gap is left below the
    // highest one for the library to fill.
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0) {
      return;
    }
    held_.push_back(null);
    while (held_.size() < static_cast<std::size_t>(count)) {
      const int copy = ::fcntl(null, F_DUPFD_CLOEXEC, 0);
      if (copy < 0) {
        break;
      }
      held_.push_back(copy);
    }
  }
  held_descriptors(const held_descriptors&) = delete;
  held_descriptors& operator=(const held_descriptors&) = delete;
  ~held_descriptors() {
    for (const int fd : held_) {
      ::close(fd);
    }
  }
  std::size_t count() const { return held_.size(); }

 private:
  std::vector<int> held_;
};

TEST(ManyDescriptors, WorkerAboveFdSetsizeProbesStoresAndStopsAtOnce) {
  const resource_limit limit(RLIMIT_NOFILE, 4096);
  if (limit.current() < static_cast<rlim_t>(held_by_host + 64)) {
    GTEST_SKIP() << "SKIPPED: the hard descriptor limit " << limit.current()
                 << " is too low to hold " << held_by_host << " descriptors";
  }
  wanseer_init(nullptr, "soak-many-descriptors");
  const address_bytes address = {198, 51, 100, 211};
  loopback_probe_server server([&](std::size_t) { return answer::with(address); });
  const auto sockets_before = descriptors_of_kind("socket:");
  const std::size_t descriptors_before = open_descriptor_count();
  held_descriptors held(held_by_host);
  ASSERT_EQ(held.count(), static_cast<std::size_t>(held_by_host));

  wanseer_startup(server.address().c_str());
  ASSERT_TRUE(server.wait_for_requests(1));
  // The worker's own handles are the ones that are new.
  std::set<int> worker_sockets;
  for (const int fd : descriptors_of_kind("socket:")) {
    if (sockets_before.count(fd) == 0) {
      worker_sockets.insert(fd);
    }
  }
  const auto wake_handles = descriptors_of_kind("anon_inode:[eventfd]");
  // The UDP socket, and the rtnetlink socket where it can be opened.
  ASSERT_GE(worker_sockets.size(), 1u);
  ASSERT_LE(worker_sockets.size(), 2u);
  ASSERT_EQ(wake_handles.size(), 1u);
  EXPECT_GE(*worker_sockets.begin(), FD_SETSIZE);
  EXPECT_GE(*wake_handles.begin(), FD_SETSIZE);
  std::printf("worker socket %d, wake-up handle %d\n", *worker_sockets.begin(),
              *wake_handles.begin());

  unsigned char stored[4] = {};
  std::int32_t length = 4;
  EXPECT_TRUE(eventually(
      [&] {
        length = 4;
        return wanseer_get(stored, &length) == 0 &&
               std::equal(address.begin(), address.end(), stored);
      },
      seconds(30)));

  const auto started = std::chrono::steady_clock::now();
  wanseer_stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, prompt_stop);
  EXPECT_EQ(server.request_count(), 1u);
  EXPECT_EQ(open_descriptor_count(), descriptors_before + held.count());
}

}  // namespace
}  // namespace wanseer::testing
