// wanseer_get through the real value store, with and without a worker.

#include <gtest/gtest.h>

#include "pellary.h"
#include "support/worker_harness.h"
#include "wanseer.h"

namespace wanseer::testing {
namespace {

using std::chrono::milliseconds;

TEST(Query, StatusesAsTheHostSeesThem) {
  const std::string key = use_fresh_key();
  // Nothing learned yet.
  stored_read value = read_stored();
  EXPECT_EQ(value.status, -2);
  EXPECT_EQ(value.bytes, (address_bytes{0, 0, 0, 0}));

  const address_bytes address = {198, 51, 100, 77};
  loopback_probe_server server([&](std::size_t) { return answer::with(address); });
  running_worker worker(server.address(), scaled_schedule(milliseconds(20)));
  ASSERT_TRUE(wait_until_stored(address));
  value = read_stored();
  EXPECT_EQ(value.length, 4);

  // Too small: nothing copied, the count tells the size needed.
  value = read_stored(3);
  EXPECT_EQ(value.status, 2);
  EXPECT_EQ(value.length, 4);
  EXPECT_EQ(value.bytes, (address_bytes{0, 0, 0, 0}));

  // A larger buffer gets the 4 bytes and the count says so.
  value = read_stored(16);
  EXPECT_EQ(value.status, 0);
  EXPECT_EQ(value.length, 4);

  // After the stop the last address is still there.
  worker.stop();
  EXPECT_EQ(read_stored().bytes, address);
}

TEST(Query, ReadsUnderTheKeyLastSet) {
  const std::string first = use_fresh_key();
  ASSERT_EQ(pellary_open(), 0);
  const unsigned char value[4] = {1, 2, 3, 4};
  ASSERT_EQ(pellary_write(first.c_str(), value, 4), 0);
  pellary_close();
  EXPECT_EQ(read_stored().status, 0);
  use_fresh_key();
  EXPECT_EQ(read_stored().status, -2);
  wanseer_init(nullptr, first.c_str());
  EXPECT_EQ(read_stored().bytes, (address_bytes{1, 2, 3, 4}));
}

TEST(Query, BadArgumentsTouchNothing) {
  use_fresh_key();
  int32_t length = 4;
  errno = 0;
  EXPECT_EQ(wanseer_get(nullptr, &length), -1);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(errno, EINVAL);

  unsigned char buffer[4] = {9, 9, 9, 9};
  errno = 0;
  EXPECT_EQ(wanseer_get(buffer, nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  length = -1;
  errno = 0;
  EXPECT_EQ(wanseer_get(buffer, &length), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(buffer[0], 9);
}

TEST(Query, ClearsOnlyAsFarAsTheCountReaches) {
  use_fresh_key();
  unsigned char buffer[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  int32_t length = 3;
  EXPECT_EQ(wanseer_get(buffer, &length), -2);
  EXPECT_EQ(buffer[2], 0);
  EXPECT_EQ(buffer[3], 9);
}

}  // namespace
}  // namespace wanseer::testing
