// wanseer_init: which keys are taken, which are refused, and that nothing
// is read or written beyond the key's room.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "module_state.h"
#include "wanseer.h"

namespace wanseer {
namespace {

class KeyName : public ::testing::Test {
 protected:
  void SetUp() override { wanseer_init(nullptr, "IP"); }
  void TearDown() override { wanseer_init(nullptr, "IP"); }
};

TEST_F(KeyName, NullOrEmptyKeyLeavesTheKeyAndSaysEinval) {
  wanseer_init(nullptr, "first");
  errno = 0;
  wanseer_init(nullptr, nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  wanseer_init(nullptr, "");
  EXPECT_EQ(errno, EINVAL);
  EXPECT_STREQ(key_name, "first");
}

TEST_F(KeyName, ShorterKeyReplacesALongerOneWhole) {
  wanseer_init(nullptr, "a-rather-long-key");
  wanseer_init(nullptr, "ab");
  EXPECT_STREQ(key_name, "ab");
}

TEST_F(KeyName, FirstArgumentIsNeverRead) {
  // An address that would fault if it were read.
  wanseer_init(reinterpret_cast<const void*>(std::uintptr_t{16}), "k");
  EXPECT_STREQ(key_name, "k");
}

TEST_F(KeyName, LongestKeyThatFitsIsTakenWhole) {
  const std::string longest(WANSEER_KEY_CAPACITY - 1, 'x');
  errno = 0;
  wanseer_init(nullptr, longest.c_str());
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(std::string(key_name), longest);
}

TEST_F(KeyName, OverlongKeyIsRefusedNotCut) {
  wanseer_init(nullptr, "kept");
  const std::string overlong(WANSEER_KEY_CAPACITY, 'y');
  errno = 0;
  wanseer_init(nullptr, overlong.c_str());
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_STREQ(key_name, "kept");
}

TEST_F(KeyName, UnterminatedTextIsNotReadBeyondTheKeyRoom) {
  // Exactly the key's room, with no NUL: under AddressSanitizer a read of
  // one byte more is reported.
  auto unterminated = std::make_unique<char[]>(WANSEER_KEY_CAPACITY);
  std::memset(unterminated.get(), 'z', WANSEER_KEY_CAPACITY);
  wanseer_init(nullptr, unterminated.get());
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_STREQ(key_name, "IP");
}

}  // namespace
}  // namespace wanseer
