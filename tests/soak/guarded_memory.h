// Caller memory with no slack around it: a block that ends exactly where an
// inaccessible page begins, so that a write or read one byte past its end
// faults in any build, and with guard bytes in front that must stay as set.
#ifndef WANSEER_TESTS_SOAK_GUARDED_MEMORY_H
#define WANSEER_TESTS_SOAK_GUARDED_MEMORY_H

#include <cstddef>
#include <cstdint>

namespace wanseer::testing {

class guarded_block {
 public:
  static constexpr std::size_t front_guard = 64;
  static constexpr std::uint8_t guard_byte = 0xA5;

  // `size` bytes, all set to `fill`.
  guarded_block(std::size_t size, std::uint8_t fill);
  guarded_block(const guarded_block&) = delete;
  guarded_block& operator=(const guarded_block&) = delete;
  ~guarded_block();

  std::uint8_t* data() const { return block_; }
  std::size_t size() const { return size_; }
  // True when every guard byte in front still holds guard_byte.
  bool front_guard_intact() const;
  // How many of the block's bytes still hold `fill`.
  std::size_t count_of(std::uint8_t fill) const;

 private:
  std::size_t mapped_ = 0;
  void* mapping_ = nullptr;
  std::uint8_t* block_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_SOAK_GUARDED_MEMORY_H
