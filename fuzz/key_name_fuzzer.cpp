// wanseer_init with any key text.  The text sits in a heap block that ends
// where a correct reader has to stop: right after the key's NUL, or after the
// WANSEER_KEY_CAPACITY bytes that are the most the library may read of a
// text with no NUL among them; AddressSanitizer reports any read beyond.
// Afterwards the key is the new one, whole, or the old one, untouched.

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "module_state.h"
#include "wanseer.h"

namespace {

constexpr int errno_before = 4711;

struct caller_text {
  std::unique_ptr<char[]> block;  // empty for an empty input: a NULL key
  bool terminated = false;
};

// The input up to and with its first NUL.  An input without one gets a NUL
// added when it is shorter than a key may be; a longer one is cut to
// key_capacity bytes and passed without a NUL.
caller_text as_caller_text(const std::uint8_t* data, std::size_t size) {
  caller_text text;
  if (size == 0) {
    return text;
  }
  const std::size_t looked_at = size < wanseer::key_capacity ? size : wanseer::key_capacity;
  const auto* nul = static_cast<const std::uint8_t*>(std::memchr(data, 0, looked_at));
  std::size_t block_size = 0;
  if (nul != nullptr) {
    block_size = static_cast<std::size_t>(nul - data) + 1;
  } else if (size >= wanseer::key_capacity) {
    block_size = wanseer::key_capacity;
  } else {
    block_size = size + 1;
  }
  text.block.reset(new char[block_size]);
  const std::size_t copied = block_size <= size ? block_size : size;
  std::memcpy(text.block.get(), data, copied);
  if (copied < block_size) {
    text.block[copied] = '\0';
  }
  text.terminated = text.block[block_size - 1] == '\0';
  return text;
}

bool key_is_terminated() {
  return std::memchr(wanseer::key_name, 0, wanseer::key_capacity) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // "Never read": a block with no byte in it, so that any read is reported.
  static const std::unique_ptr<char[]> reserved(new char[0]);
  const caller_text text = as_caller_text(data, size);
  const std::string old_key = wanseer::key_name;

  errno = errno_before;
  wanseer_init(reserved.get(), text.block.get());

  FUZZ_REQUIRE(key_is_terminated(), "the key always ends within its room");
  const std::string key_now = wanseer::key_name;
  if (!text.block || text.block[0] == '\0') {
    FUZZ_REQUIRE(errno == EINVAL, "a NULL or empty key is refused with EINVAL");
    FUZZ_REQUIRE(key_now == old_key, "a refused key leaves the old one");
  } else if (!text.terminated) {
    FUZZ_REQUIRE(errno == ENAMETOOLONG, "an overlong key is refused with ENAMETOOLONG");
    FUZZ_REQUIRE(key_now == old_key, "a refused key leaves the old one");
  } else {
    FUZZ_REQUIRE(errno == errno_before, "a taken key leaves errno alone");
    FUZZ_REQUIRE(key_now == std::string(text.block.get()), "a taken key is taken whole");
  }
  return 0;
}
