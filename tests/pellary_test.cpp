// The value store's contract, as the library relies on it.

#include "pellary.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

// Both declarations of the store's operations in one unit: a mismatch
// between what the library calls and what the store offers fails to compile.
#include "value_store.h"

namespace {

class Pellary : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(pellary_open(), PELLARY_OK); }
  void TearDown() override { EXPECT_EQ(pellary_close(), PELLARY_OK); }
};

TEST_F(Pellary, ReadContract) {
  std::array<unsigned char, 8> buffer{};
  int32_t length = 8;
  EXPECT_EQ(pellary_read("contract", buffer.data(), &length), PELLARY_NOT_FOUND);
  EXPECT_EQ(length, 8);

  const unsigned char value[4] = {192, 0, 2, 1};
  ASSERT_EQ(pellary_write("contract", value, 4), PELLARY_OK);
  length = 3;
  EXPECT_EQ(pellary_read("contract", buffer.data(), &length), PELLARY_TOO_SMALL);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(buffer[0], 0);
  length = 8;
  EXPECT_EQ(pellary_read("contract", buffer.data(), &length), PELLARY_OK);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(buffer[3], 1);
}

TEST_F(Pellary, BadArgumentsAreNegative) {
  unsigned char buffer[4];
  int32_t length = 4;
  EXPECT_EQ(pellary_read(nullptr, buffer, &length), PELLARY_BAD_ARGUMENT);
  EXPECT_EQ(pellary_read("", buffer, &length), PELLARY_BAD_ARGUMENT);
  EXPECT_EQ(pellary_read("k", buffer, nullptr), PELLARY_BAD_ARGUMENT);
  EXPECT_EQ(pellary_read("k", nullptr, &length), PELLARY_BAD_ARGUMENT);
  length = -1;
  EXPECT_EQ(pellary_read("k", buffer, &length), PELLARY_BAD_ARGUMENT);
  EXPECT_EQ(pellary_write("k", nullptr, 4), PELLARY_BAD_ARGUMENT);
  EXPECT_EQ(pellary_write("k", buffer, -1), PELLARY_BAD_ARGUMENT);
  EXPECT_EQ(pellary_write(nullptr, buffer, 4), PELLARY_BAD_ARGUMENT);
}

TEST(PellaryOpens, NestAndValuesOutliveEveryClose) {
  const unsigned char value[4] = {1, 2, 3, 4};
  ASSERT_EQ(pellary_open(), PELLARY_OK);   // a worker's long open
  ASSERT_EQ(pellary_open(), PELLARY_OK);   // a query's open...
  ASSERT_EQ(pellary_close(), PELLARY_OK);  // ...and close
  EXPECT_EQ(pellary_write("nest", value, 4), PELLARY_OK);
  ASSERT_EQ(pellary_close(), PELLARY_OK);
  unsigned char buffer[4];
  int32_t length = 4;
  EXPECT_EQ(pellary_write("nest", value, 4), PELLARY_NOT_OPEN);
  EXPECT_EQ(pellary_read("nest", buffer, &length), PELLARY_NOT_OPEN);
  EXPECT_EQ(pellary_close(), PELLARY_NOT_OPEN);
  ASSERT_EQ(pellary_open(), PELLARY_OK);
  EXPECT_EQ(pellary_read("nest", buffer, &length), PELLARY_OK);
  EXPECT_EQ(buffer[3], 4);
  pellary_close();
}

TEST_F(Pellary, ReadersSeeWholeValuesWhileAWriterReplacesThem) {
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (unsigned char round = 0; round < 200; ++round) {
      const std::vector<unsigned char> value(4, round);
      pellary_write("whole", value.data(), 4);
    }
    done = true;
  });
  std::vector<std::thread> readers;
  std::atomic<int> mixed{0};
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([&] {
      while (!done) {
        pellary_open();
        unsigned char buffer[4];
        int32_t length = 4;
        if (pellary_read("whole", buffer, &length) == PELLARY_OK &&
            !(buffer[0] == buffer[1] && buffer[1] == buffer[2] && buffer[2] == buffer[3])) {
          ++mixed;
        }
        pellary_close();
      }
    });
  }
  writer.join();
  for (auto& reader : readers) {
    reader.join();
  }
  EXPECT_EQ(mixed, 0);
}

}  // namespace

namespace {

TEST(PellaryOpens, AnOpenOnOneThreadServesEveryThreadButClosesOnlyThere) {
  ASSERT_EQ(pellary_open(), PELLARY_OK);
  std::int32_t written = 0;
  std::int32_t foreign_close = 0;
  std::thread other([&] {
    const unsigned char value[1] = {42};
    written = pellary_write("cross-thread", value, 1);
    foreign_close = pellary_close();
  });
  other.join();
  EXPECT_EQ(written, PELLARY_OK);
  EXPECT_EQ(foreign_close, PELLARY_NOT_OPEN);
  EXPECT_EQ(pellary_close(), PELLARY_OK);
}

}  // namespace

namespace {

std::int32_t read_byte(const char* key, unsigned char& byte) {
  std::int32_t length = 1;
  return pellary_read(key, &byte, &length);
}

TEST_F(Pellary, ReaderSeesEveryLaterWriteFromAnotherThread) {
  unsigned char byte = 0;
  EXPECT_EQ(read_byte("fresh", byte), PELLARY_NOT_FOUND);
  for (unsigned char round = 1; round <= 3; ++round) {
    std::thread writer([&] {
      pellary_open();
      pellary_write("fresh", &round, 1);
      pellary_close();
    });
    writer.join();
    ASSERT_EQ(read_byte("fresh", byte), PELLARY_OK);
    EXPECT_EQ(byte, round);
    // Another key read in between is not mistaken for this one.
    EXPECT_EQ(read_byte("fresh-other", byte), PELLARY_NOT_FOUND);
  }
}

// Calls from a destructor that runs at thread exit, after the thread's other
// objects are gone: they must still work (and, under AddressSanitizer, touch
// nothing freed).
struct reads_at_thread_exit {
  std::int32_t* result;
  ~reads_at_thread_exit() {
    unsigned char byte = 0;
    pellary_open();
    *result = read_byte("at-exit", byte) == PELLARY_OK ? byte : -1;
    pellary_close();
  }
};

TEST_F(Pellary, CallsFromThreadExitDestructorsStillWork) {
  const unsigned char value = 77;
  ASSERT_EQ(pellary_write("at-exit", &value, 1), PELLARY_OK);
  std::int32_t result = 0;
  std::thread([&] {
    thread_local reads_at_thread_exit late{&result};
    unsigned char byte = 0;
    pellary_open();
    read_byte("at-exit", byte);
    pellary_close();
  }).join();
  EXPECT_EQ(result, 77);
}

}  // namespace

namespace {

// What a forked child finds in the store: exit 0 when it can open, read a
// whole value, write and close; the alarm turns a lock left held at the
// fork into a failure rather than a hang.
[[noreturn]] void check_store_in_child() {
  alarm(30);
  unsigned char value[4] = {};
  std::int32_t length = sizeof value;
  int failure = 0;
  if (pellary_open() != PELLARY_OK) {
    failure = 2;
  } else if (pellary_read("forked", value, &length) != PELLARY_OK || length != 4) {
    failure = 3;
  } else if (!(value[0] == value[1] && value[1] == value[2] && value[2] == value[3])) {
    failure = 4;
  } else if (pellary_write("forked-child", value, 4) != PELLARY_OK ||
             pellary_close() != PELLARY_OK) {
    failure = 5;
  }
  _exit(failure);
}

TEST_F(Pellary, ForkWhileAnotherThreadWritesLeavesTheChildAWholeUsableStore) {
  const unsigned char first[4] = {0, 0, 0, 0};
  ASSERT_EQ(pellary_write("forked", first, 4), PELLARY_OK);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    pellary_open();
    for (unsigned char n = 0; !done; ++n) {
      const unsigned char value[4] = {n, n, n, n};
      pellary_write("forked", value, 4);
    }
    pellary_close();
  });
  for (int round = 0; round < 100 && !HasFailure(); ++round) {
    const pid_t child = fork();
    if (child == 0) {
      check_store_in_child();
    }
    int status = 0;
    EXPECT_TRUE(child != -1 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                WEXITSTATUS(status) == 0)
        << "round " << round << ": child "
        << (WIFEXITED(status) ? "exited " + std::to_string(WEXITSTATUS(status))
                              : "killed by signal " + std::to_string(WTERMSIG(status)));
  }
  done = true;
  writer.join();
}

}  // namespace
