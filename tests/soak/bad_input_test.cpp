// Bad input at the four exports, through the built library as a host links
// it: null pointers where the header allows them, keys that are too long or
// not terminated, negative and zero counts, server texts that do not parse.
// Each must give the documented status and errno, touch no byte outside the
// caller's memory (guard bytes in front, an inaccessible page right behind)
// and, for a server text, leave a worker that still stops at once.
//
// main() first moves the process into a network namespace of its own where
// it can (no interface is up there), so that no text can cause traffic
// beyond this machine; the texts are also chosen so that none of them leads
// to a host name lookup.

#include <gtest/gtest.h>
#include <sched.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "guarded_memory.h"
#include "soak_budget.h"
#include "support/cpu_time.h"
#include "support/stored_value.h"
#include "wanseer.h"

namespace wanseer::testing {
namespace {

using std::chrono::seconds;
using std::chrono::steady_clock;

// Neither an errno value the library sets nor one a call may leave behind.
constexpr int untouched_errno = 12345;

const address_bytes kept_value = {192, 0, 2, 17};

TEST(BadInput, RefusedKeysLeaveTheKeyAndSayWhy) {
  ASSERT_TRUE(store_under("soak-kept", {kept_value.begin(), kept_value.end()}));
  wanseer_init(nullptr, "soak-kept");
  ASSERT_EQ(read_stored().bytes, kept_value);

  const std::string overlong(WANSEER_KEY_CAPACITY, 'y');
  const std::string very_long(1 << 20, 'y');
  // Exactly the key's room with no NUL, right before an inaccessible page:
  // a read of one byte more faults.
  guarded_block unterminated(WANSEER_KEY_CAPACITY, 'z');
  struct refused {
    const char* key;
    int error;
  };
  const refused cases[] = {
      {nullptr, EINVAL},
      {"", EINVAL},
      {overlong.c_str(), ENAMETOOLONG},
      {very_long.c_str(), ENAMETOOLONG},
      {reinterpret_cast<const char*>(unterminated.data()), ENAMETOOLONG},
  };
  for (const refused& bad : cases) {
    errno = untouched_errno;
    wanseer_init(nullptr, bad.key);
    EXPECT_EQ(errno, bad.error) << "key of " << (bad.key ? std::strlen(bad.key) : 0) << " bytes";
    EXPECT_EQ(read_stored().bytes, kept_value) << "the key changed";
  }
  EXPECT_TRUE(unterminated.front_guard_intact());
  EXPECT_EQ(unterminated.count_of('z'), unterminated.size());

  // The longest key that fits, ending right at the inaccessible page, is
  // taken without a byte past its NUL being read; the reserved pointer is
  // never looked at.
  guarded_block longest(WANSEER_KEY_CAPACITY, 'w');
  longest.data()[WANSEER_KEY_CAPACITY - 1] = '\0';
  const auto* longest_key = reinterpret_cast<const char*>(longest.data());
  ASSERT_TRUE(store_under(longest_key, {198, 51, 100, 3}));
  errno = untouched_errno;
  wanseer_init(reinterpret_cast<const void*>(std::uintptr_t{8}), longest_key);
  EXPECT_EQ(errno, untouched_errno);
  EXPECT_EQ(read_stored().bytes, (address_bytes{198, 51, 100, 3}));
}

struct get_case {
  const char* what;
  std::size_t buffer_size;  // 0: a null buffer
  bool null_length;
  std::int32_t length;
  bool stored;  // a value is under the key
  std::int32_t status;
  int error;                // errno afterwards
  std::int32_t length_out;  // *length afterwards
  std::size_t zeroed;       // leading bytes set to zero (or to the value)
  bool value;               // the leading 4 bytes are the value
};

TEST(BadInput, QueryStatusesTouchOnlyTheBytesCounted) {
  const get_case cases[] = {
      // Bad input.
      {"null buffer", 0, false, 4, true, -1, EINVAL, 4, 0, false},
      {"null buffer and length", 0, true, 0, true, -1, EINVAL, 0, 0, false},
      {"null length", 8, true, 0, true, -1, EINVAL, 0, 0, false},
      {"length -1", 8, false, -1, true, -1, EINVAL, -1, 0, false},
      {"length INT32_MIN", 8, false, INT32_MIN, true, -1, EINVAL, INT32_MIN, 0, false},
      {"length 0, value stored", 8, false, 0, true, 2, untouched_errno, 4, 0, false},
      {"length 0, nothing stored", 8, false, 0, false, -2, untouched_errno, 0, 0, false},
      {"length 3, value stored", 3, false, 3, true, 2, untouched_errno, 4, 3, false},
      {"length 1, nothing stored", 1, false, 1, false, -2, untouched_errno, 1, 1, false},
      // The edges of good input, for the guard check.
      {"length 4, exact", 4, false, 4, true, 0, untouched_errno, 4, 4, true},
      {"length 64", 64, false, 64, true, 0, untouched_errno, 4, 64, true},
      {"length 64, nothing stored", 64, false, 64, false, -2, untouched_errno, 64, 64, false},
  };
  ASSERT_TRUE(store_under("soak-query-stored", {kept_value.begin(), kept_value.end()}));
  for (const get_case& c : cases) {
    SCOPED_TRACE(c.what);
    wanseer_init(nullptr, c.stored ? "soak-query-stored" : "soak-query-nothing");
    constexpr std::uint8_t fill = 0x5A;
    // The buffer ends at the inaccessible page: the library must not write
    // past *length bytes, nor past what it says it copied.
    guarded_block buffer(c.buffer_size == 0 ? 1 : c.buffer_size, fill);
    std::int32_t length = c.length;
    errno = untouched_errno;
    const std::int32_t status = wanseer_get(c.buffer_size == 0 ? nullptr : buffer.data(),
                                            c.null_length ? nullptr : &length);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(errno, c.error);
    if (!c.null_length) {
      EXPECT_EQ(length, c.length_out);
    }
    EXPECT_TRUE(buffer.front_guard_intact());
    for (std::size_t i = 0; i < buffer.size(); ++i) {
      std::uint8_t expected = fill;
      if (i < c.zeroed) {
        expected = c.value && i < 4 ? kept_value[i] : 0;
      }
      ASSERT_EQ(buffer.data()[i], expected) << "byte " << i;
    }
  }
}

TEST(BadInput, ServerTextsThatDoNotParseLeaveAWorkerThatStopsAtOnce) {
  wanseer_init(nullptr, "soak-bad-server-texts");
  const std::string texts[] = {
      "",
      ":",
      "x:y",
      "1.2.3.4:99999",
      "256.1.1.1:1",
      "127.0.0.1",
      "127.0.0.1:",
      ":7171",
      "127.0.0.1:-1",
      "127.0.0.1:65536",
      "127.0.0.1:1:2",
      "127.0.0.1:0x1f",
      "127.0.0.1:7171\n",
      " 127.0.0.1:1",
      "[::1]:1",
      "localhost:abc",
      "127.0.0.1:" + std::string(5000, '7'),
      std::string(70000, 'a') + ":7171",
  };
  // The first thread a process makes may bring a sanitizer's own thread
  // along: count after one start and stop.
  wanseer_startup(texts[0].c_str());
  wanseer_stop();
  const auto threads_before = thread_count_without_worker();
  ASSERT_TRUE(threads_before) << "the worker is still running";
  const std::size_t descriptors_before = open_descriptor_count();
  for (const std::string& text : texts) {
    SCOPED_TRACE("server text of " + std::to_string(text.size()) + " bytes: " + text.substr(0, 20));
    // Reported, yet the worker starts and keeps trying, as it always did.
    errno = untouched_errno;
    wanseer_startup(text.c_str());
    EXPECT_EQ(errno, EINVAL);
    // It is a worker like any other: a second start is refused.
    wanseer_startup("127.0.0.1:7171");
    EXPECT_EQ(errno, EBUSY);
    // Stopped once in its wait: a worker that spun would never get there.
    EXPECT_TRUE(eventually(other_threads_blocked));
    errno = untouched_errno;
    const auto started = steady_clock::now();
    wanseer_stop();
    EXPECT_LT(steady_clock::now() - started, prompt_stop);
    EXPECT_EQ(errno, untouched_errno);
  }
  EXPECT_TRUE(eventually([&] { return thread_count() == *threads_before; }));
  EXPECT_EQ(open_descriptor_count(), descriptors_before);
  EXPECT_EQ(read_stored().status, -2);
}

TEST(BadInput, NullServerIsRefusedAndNothingNeedsStopping) {
  const auto threads_before = thread_count_without_worker();
  ASSERT_TRUE(threads_before) << "an earlier worker is still running";
  errno = untouched_errno;
  wanseer_startup(nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(thread_count(), *threads_before);
  // Stops without a worker, twice: nothing happens, errno stays.
  for (int i = 0; i < 2; ++i) {
    errno = untouched_errno;
    wanseer_stop();
    EXPECT_EQ(errno, untouched_errno);
  }
}

}  // namespace
}  // namespace wanseer::testing

int main(int argc, char** argv) {
  const bool isolated =
      ::unshare(CLONE_NEWNET) == 0 || ::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0;
  ::testing::InitGoogleTest(&argc, argv);
  if (!isolated) {
    std::printf("note: no network namespace of our own (%s); the texts still stay on this host\n",
                std::strerror(errno));
  }
  return RUN_ALL_TESTS();
}
