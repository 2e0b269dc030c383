// wanseer_get with every kind of buffer and count a caller can hand it: a
// heap block of exactly the caller's size, a count within it, zero or
// negative, a NULL count or a NULL buffer; with or without a value stored
// under the key, of any length.  AddressSanitizer reports a touch outside
// the block; the checks below find a touch inside it beyond the count, and
// every result, count and errno the header promises.

#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_check.h"
#include "value_store.h"
#include "wanseer.h"

namespace {

constexpr int errno_before = 4711;
constexpr std::uint8_t untouched = 0xA5;
constexpr std::size_t largest_block = 64;
constexpr char stored_key[] = "fuzz-stored";
constexpr char empty_key[] = "fuzz-never-stored";

struct call {
  bool null_buffer;
  bool null_length;
  bool value_stored;
  std::size_t block_size;
  std::int32_t count;
  std::vector<std::uint8_t> value;
};

call as_call(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  call made{};
  made.null_buffer = input.ConsumeBool();
  made.null_length = input.ConsumeBool();
  made.value_stored = input.ConsumeBool();
  made.block_size = input.ConsumeIntegralInRange<std::size_t>(0, largest_block);
  switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0:
      made.count = static_cast<std::int32_t>(made.block_size);
      break;
    case 1:
      made.count =
          input.ConsumeIntegralInRange<std::int32_t>(0, static_cast<std::int32_t>(made.block_size));
      break;
    default:
      made.count = input.ConsumeIntegralInRange<std::int32_t>(INT32_MIN, -1);
      break;
  }
  made.value = input.ConsumeRemainingBytes<std::uint8_t>();
  return made;
}

bool all_equal(const std::uint8_t* from, const std::uint8_t* to, std::uint8_t byte) {
  for (; from != to; ++from) {
    if (*from != byte) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const call made = as_call(data, size);
  wanseer_init(nullptr, made.value_stored ? stored_key : empty_key);
  if (made.value_stored) {
    const wanseer::store_session store;
    FUZZ_REQUIRE(pellary_write(stored_key, made.value.data(),
                               static_cast<std::int32_t>(made.value.size())) == 0,
                 "the value is stored");
  }
  const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[made.block_size]);
  std::uint8_t* const begin = block.get();
  std::uint8_t* const end = begin + made.block_size;
  std::memset(begin, untouched, made.block_size);
  std::int32_t length = made.count;

  errno = errno_before;
  const std::int32_t result =
      wanseer_get(made.null_buffer ? nullptr : begin, made.null_length ? nullptr : &length);
  const int error = errno;

  if (made.null_buffer) {
    FUZZ_REQUIRE(result == -1 && error == EINVAL, "NULL buffer: -1 with EINVAL");
    FUZZ_REQUIRE(length == made.count, "NULL buffer: the count is not looked at");
    FUZZ_REQUIRE(all_equal(begin, end, untouched), "NULL buffer: nothing written");
    return 0;
  }
  if (made.null_length || made.count < 0) {
    FUZZ_REQUIRE(result == -1 && error == EINVAL, "no usable count: -1 with EINVAL");
    FUZZ_REQUIRE(length == made.count, "no usable count: the count stays");
    FUZZ_REQUIRE(all_equal(begin, end, untouched), "no usable count: nothing written");
    return 0;
  }
  FUZZ_REQUIRE(error == errno_before, "an answer from the store leaves errno alone");
  std::uint8_t* const counted_end = begin + made.count;
  FUZZ_REQUIRE(all_equal(counted_end, end, untouched), "nothing past the count is written");
  const auto value_size = static_cast<std::int32_t>(made.value.size());
  if (!made.value_stored) {
    FUZZ_REQUIRE(result == -2 && length == made.count, "nothing stored: -2, count stays");
    FUZZ_REQUIRE(all_equal(begin, counted_end, 0), "nothing stored: the counted bytes are zero");
  } else if (value_size > made.count) {
    FUZZ_REQUIRE(result == 2 && length == value_size, "too small: 2 and the size needed");
    FUZZ_REQUIRE(all_equal(begin, counted_end, 0), "too small: nothing copied, bytes zero");
  } else {
    FUZZ_REQUIRE(result == 0 && length == value_size, "known: 0 and the value's size");
    FUZZ_REQUIRE(value_size == 0 || std::memcmp(begin, made.value.data(), made.value.size()) == 0,
                 "known: the value is copied");
    FUZZ_REQUIRE(all_equal(begin + value_size, counted_end, 0), "known: the rest stays zero");
  }
  return 0;
}
